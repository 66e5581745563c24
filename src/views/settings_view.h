// pelk_views_settings_view_new, pelk_controls_toogle_button_*: the settings screen and its switches.
#pragma once

#include <gtk/gtk.h>

// The settings screen: three switches that write the settings store at
// once. GTK main thread only.
GtkWidget *pelk_views_settings_view_new(GtkWidget *window);
