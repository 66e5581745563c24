#pragma once

#include <gtk/gtk.h>

// The bar at the foot of the main screens: a picture with five invisible
// click areas (settings or back, three social pages, log out). GTK main
// thread only.

// Puts bar_picture at (0, 360) into fixed with first_button over its left
// icon and the four other buttons over theirs.
void pelk_controls_bottom_bar_new_to_fixed(GtkFixed *fixed, GtkWidget *first_button, GtkWidget *bar_picture);
// The main and server screens' bar: its first button opens the settings.
void pelk_controls_bottom_bar_new_to_fixed_common(GtkFixed *fixed);
// The settings screen's bar: its first button goes back.
void pelk_controls_bottom_bar_new_to_fixed_settings_window(GtkFixed *fixed);

void pelk_controls_bottom_bar_on_settings_clicked(GtkButton *button, gpointer data);
void pelk_controls_bottom_bar_on_settings_exit_clicked(GtkButton *button, gpointer data);
void pelk_controls_bottom_bar_on_facebook_clicked(GtkButton *button, gpointer data);
void pelk_controls_bottom_bar_on_twitter_clicked(GtkButton *button, gpointer data);
void pelk_controls_bottom_bar_on_google_clicked(GtkButton *button, gpointer data);
void pelk_controls_bottom_bar_on_log_out_clicked(GtkButton *button, gpointer data);
gboolean pelk_controls_bottom_bar_on_draw_empty(GtkWidget *widget, cairo_t *cr, gpointer data);
