// pelk_views_exit_modal_*, pelk_views_info_modal_*: the dialogs.
#pragma once

#include <gtk/gtk.h>

// The two dialogs: the exit question and an information message that may
// open a web page when its text is clicked. Each builds the content of a
// dialog window that the windows controller made; its buttons close the
// dialog and bring the application windows back. GTK main thread only.

GtkWidget *pelk_views_exit_modal_view_new(GtkWidget *window);
GtkWidget *pelk_views_info_modal_view_new(GtkWidget *window, const char *message);
// url is held, not copied (a text that lives as long as the program), or
// NULL for a message without a link.
GtkWidget *pelk_views_info_modal_view_url_new(GtkWidget *window, const char *message, const char *url);
