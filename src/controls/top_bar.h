// CreateGtkFixedTopbarView, pelk_controls_topbar_*: the top bar that moves, minimises and closes.
#pragma once

#include <gtk/gtk.h>

// The title bar of every window: picture, minimise and close buttons, and
// the area by which the window is dragged. GTK main thread only.

// A new top bar for window, 421 x 52, to be put at (0, 0). Without buttons
// (the dialogs) the two pictures are shown but do nothing; the window can
// be dragged either way.
GtkWidget *CreateGtkFixedTopbarView(GtkWindow *window, gboolean with_buttons);

// Where the user last dragged a window to; (200, 200) before any drag.
int pelk_controls_topbar_get_window_last_position_x(void);
int pelk_controls_topbar_get_window_last_position_y(void);
