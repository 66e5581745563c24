// pelk_controls_public_ip_widget_*: the public address and its flag.
#pragma once

#include <gtk/gtk.h>

// The strip that shows the public address as last looked up, with its
// country's flag, or that the lookup runs or failed. It reads the main view
// model each time it is drawn. GTK main thread only.
GtkWidget *pelk_controls_public_ip_widget_new(void);
