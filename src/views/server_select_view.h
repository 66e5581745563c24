// CreateServerSelectView: the server selection screen.
#pragma once

#include <gtk/gtk.h>

// The server selection screen: the list of the account's servers and
// "Cancel". GTK main thread only.
GtkWidget *CreateServerSelectView(GtkWidget *window);
