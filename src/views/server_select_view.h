#pragma once

#include <gtk/gtk.h>

// The server selection screen: the list of the account's servers and
// "Cancel". GTK main thread only.
GtkWidget *CreateServerSelectView(GtkWidget *window);
gboolean pelk_views_server_select_view_calcel_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
// Connected to the main window: Space opens and closes the selection while
// the list can be used; the arrow keys and Home do nothing.
gboolean pelk_views_pelk_main_window_controller_on_server_select_key_press(GtkWidget *window, GdkEventKey *event,
                                                                           gpointer data);
