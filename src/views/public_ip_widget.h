#pragma once

#include <gtk/gtk.h>

#include <string>

// The strip that shows the public address as last looked up, with its
// country's flag, or that the lookup runs or failed. It reads the main view
// model each time it is drawn. GTK main thread only.
GtkWidget *pelk_controls_public_ip_widget_new(void);
gboolean pelk_controls_public_ip_widget_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
void pelk_controls_public_ip_widget_draw_text(cairo_t *cr, const char *text);

// The line for an address: "Public IP: " and the address, cut so that the
// line stays within 500 bytes (a hostile reply cannot stretch it).
std::string pelk_controls_public_ip_widget_line(const char *ip);
