// A per-widget colour override is what this factory is for.
#define GDK_DISABLE_DEPRECATION_WARNINGS

#include "controls/label.h"

GtkWidget *pelk_controls_label_default_new(const char *text, GdkRGBA color) {
    GtkWidget *label = gtk_label_new(text);
    gtk_widget_override_color(label, GTK_STATE_FLAG_NORMAL, &color);
    return label;
}
