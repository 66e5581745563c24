// CreateMainView, pelk_views_main_*: the main window's three screens.
#pragma once

#include <gtk/gtk.h>

// The content of the main window: three screens stacked at the same place
// (main, server selection, settings), one shown at a time. The main screen
// repaints itself ten times a second from the main view model. GTK main
// thread only; one main view at a time.

// Builds the view for window (whose top bars move and minimise it).
GtkWidget *CreateMainView(GtkWidget *window);

void pelk_views_main_subview_main_show(void);
void pelk_views_main_subview_settings_show(void);
void pelk_views_main_subview_settings_hide(void);
void pelk_views_main_subview_swap_visibility(void);
