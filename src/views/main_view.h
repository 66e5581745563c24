#pragma once

#include <gtk/gtk.h>

// The content of the main window: three screens stacked at the same place
// (main, server selection, settings), one shown at a time. GTK main thread
// only; one main view at a time.

// Builds the view for window (whose top bars move and minimise it).
GtkWidget *CreateMainView(GtkWidget *window);

void pelk_views_main_subview_main_show(void);
void pelk_views_main_subview_server_select_show(void);
void pelk_views_main_subview_settings_show(void);
void pelk_views_main_subview_settings_hide(void);
void pelk_views_main_subview_swap_visibility(void);

GtkWidget *pelk_views_main_subview_main_get(void);
GtkWidget *pelk_views_main_subview_server_select_get(void);

// Queues a redraw of widget when it exists and is visible.
void pelk_view_main_view_try_to_redraw(GtkWidget *widget);
void pelk_views_main_view_redraw(void);
void pelk_views_main_view_draw_error_text(cairo_t *cr, const char *text);

gboolean main_subview_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
gboolean cb_timeout_widget_redrawer(gpointer widget);
