// pelk_controls_vpn_button_*: the connect button.
#pragma once

#include <gtk/gtk.h>

// The connect button: a 118 x 118 click area. Its picture is painted by the
// main screen from the connection state. GTK main thread only.
GtkWidget *pelk_controls_vpn_button_new(void);
gboolean vpn_button_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer area);

// The picture for a state (NULL: none): the first flag that holds, error
// first, decides.
GtkImage *pelk_controls_vpn_button_picture_for(unsigned state);
