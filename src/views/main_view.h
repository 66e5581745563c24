#pragma once

#include "dal/server_entity.h"
#include "service/json_parser.h"

#include <gtk/gtk.h>

#include <string>

// The content of the main window: three screens stacked at the same place
// (main, server selection, settings), one shown at a time. The main screen
// repaints itself ten times a second from the main view model. GTK main
// thread only; one main view at a time.

// Builds the view for window (whose top bars move and minimise it).
GtkWidget *CreateMainView(GtkWidget *window);
GtkWidget *pelk_main_view_internal_main_subview_new(GtkWidget *window);
GtkWidget *pelk_main_view_internal_server_select_subview_new(GtkWidget *window);

void pelk_views_main_subview_main_show(void);
void pelk_views_main_subview_server_select_show(void);
void pelk_views_main_subview_settings_show(void);
void pelk_views_main_subview_settings_hide(void);
void pelk_views_main_subview_swap_visibility(void);

GtkWidget *pelk_views_main_subview_main_get(void);
GtkWidget *pelk_views_main_subview_server_select_get(void);
void pelk_views_main_server_select_enable(void);
void pelk_views_main_server_select_disable(void);

// Queues a redraw of widget when it exists and is visible.
void pelk_view_main_view_try_to_redraw(GtkWidget *widget);
void pelk_views_main_view_redraw(void);
// Shows server (or "Select server..." for none) on the main screen's row.
void pelk_main_view_set_server_button_server(pelk_dal_server_entity *server);
void pelk_main_view_internal_set_server_button_labeled(const char *text);
void pelk_views_main_view_draw_error_text(cairo_t *cr, const char *text);
void pelk_views_main_view_draw_error_details_text(cairo_t *cr, const char *text);

// The plan line for an account: empty for a trial or a plan with a week
// or more left.
std::string pelk_views_main_view_plan_line(const pelk_json_authentication &authentication);
// Both bounds inclusive.
bool is_mouse_inside_rect(int x, int y, int width, int height);

gboolean main_subview_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
gboolean cb_timeout_widget_redrawer(gpointer widget);
gboolean cb_timeout_server_list_button_updater(gpointer widget);
gboolean pelk_views_main_server_select_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean error_details_event_box_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
gboolean expire_event_box_event_box_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
