// pelk_controls_bottom_bar_*: the bottom bar (settings, social pages, log out).
#pragma once

#include <gtk/gtk.h>

// The bar at the foot of the main screens: a picture with five invisible
// click areas (settings or back, three social pages, log out). GTK main
// thread only.

// The main and server screens' bar: its first button opens the settings.
void pelk_controls_bottom_bar_new_to_fixed_common(GtkFixed *fixed);
// The settings screen's bar: its first button goes back.
void pelk_controls_bottom_bar_new_to_fixed_settings_window(GtkFixed *fixed);
