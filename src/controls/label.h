#pragma once

#include <gtk/gtk.h>

// A plain label in the given colour (the stylesheet still sets its font).
GtkWidget *pelk_controls_label_default_new(const char *text, GdkRGBA color);
