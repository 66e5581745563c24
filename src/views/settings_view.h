#pragma once

#include <gtk/gtk.h>

// The settings screen: three switches that write the settings store at
// once. GTK main thread only.
GtkWidget *pelk_views_settings_view_new(GtkWidget *window);

GtkWidget *pelk_controls_toogle_button_auto_start_new(void);
GtkWidget *pelk_controls_toogle_button_auto_connect_new(void);
GtkWidget *pelk_controls_toogle_button_save_password_new(void);
gboolean pelk_controls_toogle_button_auto_start_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean pelk_controls_toogle_button_auto_connect_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean pelk_controls_toogle_button_save_password_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean pelk_controls_toggle_button_auto_start_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
gboolean pelk_controls_toggle_button_auto_connect_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
gboolean pelk_controls_toggle_button_save_password_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
void pelk_controls_toggle_button_common_draw(cairo_t *cr, int state);
