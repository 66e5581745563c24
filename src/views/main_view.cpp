// CreateMainView, pelk_views_main_*: the main window's three screens.
#include "views/main_view.h"

#include "base/global_variables.h"
#include "controls/bottom_bar.h"
#include "controls/drawing.h"
#include "controls/top_bar.h"
#include "dal/vpn_button_state.h"
#include "platform/shell.h"
#include "platform/web_pages.h"
#include "service/json_parser.h"
#include "view_models/main_view_model.h"
#include "views/connect_button.h"
#include "views/main_window_controller.h"
#include "views/public_ip_widget.h"
#include "views/server_list.h"
#include "views/server_select_view.h"
#include "views/settings_view.h"

#include <string>

static GtkWidget *pelk_main_view_internal_main_subview_new(GtkWidget *window);
static GtkWidget *pelk_main_view_internal_server_select_subview_new(GtkWidget *window);
static void pelk_views_main_subview_server_select_show(void);
static void pelk_views_main_server_select_enable(void);
static void pelk_views_main_server_select_disable(void);
// Shows server (or "Select server..." for none) on the main screen's row.
static void pelk_main_view_set_server_button_server(pelk_dal_server_entity *server);
static void pelk_main_view_internal_set_server_button_labeled(const char *text);
static void pelk_views_main_view_draw_error_text(cairo_t *cr, const char *text);
static void pelk_views_main_view_draw_error_details_text(cairo_t *cr, const char *text);
// The plan line for an account: empty for a trial or a plan with a week
// or more left.
static std::string pelk_views_main_view_plan_line(const pelk_json_authentication &authentication);
// Both bounds inclusive.
static bool is_mouse_inside_rect(int x, int y, int width, int height);
static gboolean main_subview_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static gboolean cb_timeout_widget_redrawer(gpointer widget);
static gboolean cb_timeout_server_list_button_updater(gpointer widget);
static gboolean pelk_views_main_server_select_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
static gboolean error_details_event_box_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);
static gboolean expire_event_box_event_box_on_clicked(GtkWidget *widget, GdkEvent *event, gpointer data);

namespace {

// Window pixels, in the order the main screen is read.
constexpr int kErrorAreaX = 102, kErrorAreaY = 267, kErrorAreaWidth = 213, kErrorAreaHeight = 20;
constexpr int kPublicIpX = 95, kPublicIpY = 60;
constexpr int kConnectX = 149, kConnectY = 114, kConnectSize = 118;
constexpr int kStatusX = 102, kStatusY = 242, kStatusWidth = 213, kStatusHeight = 20;
constexpr int kServerX = 102, kServerY = 292, kServerWidth = 213, kServerHeight = 37;
constexpr int kPlanX = 0, kPlanY = 335, kPlanWidth = 421, kPlanHeight = 30;
constexpr int kStatusFontSize = 13;
constexpr int kPlanFontSize = 14;
constexpr int kLastWarningDay = 6;
constexpr guint kTimerMs = 100;

// What the timer repaints: every part drawn from the view model (the public
// address strip, the connect picture, the status and detail lines, the
// server row with its star, the plan line), with room above and below each
// line for the glyphs of its face. The top bar and the bottom bar are
// pictures that only their own events change.
constexpr cairo_rectangle_int_t kRepaintedBands[] = {
    {kPublicIpX, kPublicIpY, 263, 36},
    {kConnectX, kConnectY, kConnectSize, kConnectSize},
    {0, kStatusY - 12, 421, kServerY - (kStatusY - 12)},
    {kServerX, kServerY, kServerWidth, kServerHeight},
    {0, kPlanY - 12, 421, 360 - (kPlanY - 12)},
};

// The current main view's parts; cleared when the view goes.
GtkWidget *main_subview = nullptr;
GtkWidget *server_select_subview = nullptr;
GtkWidget *settings_subview = nullptr;
GtkWidget *server_button_holder = nullptr;
GtkWidget *current_server_button = nullptr;
GtkWidget *server_selection_area = nullptr;
// The record the current server button shows: rebuilt only when it changes.
pelk_dal_server_entity *shown_server = nullptr;
bool shown_label = false;
guint redraw_source = 0;
guint server_button_source = 0;

void set_visible(GtkWidget *subview, bool visible) {
    if (subview != nullptr) {
        gtk_widget_set_visible(subview, visible);
    }
}

void remove_timers() {
    for (guint *source : {&redraw_source, &server_button_source}) {
        if (*source != 0) {
            g_source_remove(*source);
            *source = 0;
        }
    }
}

void on_view_destroy(GtkWidget *, gpointer) {
    // The timers must never outlive the widgets they repaint.
    remove_timers();
    main_subview = nullptr;
    server_select_subview = nullptr;
    settings_subview = nullptr;
    server_button_holder = nullptr;
    current_server_button = nullptr;
    server_selection_area = nullptr;
    shown_server = nullptr;
    shown_label = false;
}

void replace_server_button(GtkWidget *button) {
    if (current_server_button != nullptr) {
        gtk_widget_destroy(current_server_button);
    }
    current_server_button = button;
    gtk_fixed_put(GTK_FIXED(server_button_holder), button, 0, 0);
    gtk_widget_show_all(button);
    gtk_widget_queue_draw(button);
    // The new row's own click areas are windows made after the selection
    // area's, so they would lie above it and take its presses.
    if (server_selection_area != nullptr && gtk_widget_get_realized(server_selection_area)) {
        gdk_window_raise(gtk_widget_get_window(server_selection_area));
    }
}

GtkWidget *click_area(int width, int height, bool above_child, GCallback on_press) {
    GtkWidget *area = gtk_event_box_new();
    gtk_widget_set_size_request(area, width, height);
    gtk_event_box_set_above_child(GTK_EVENT_BOX(area), above_child);
    g_signal_connect(area, "button_press_event", on_press, nullptr);
    return area;
}

}  // namespace

std::string pelk_views_main_view_plan_line(const pelk_json_authentication &authentication) {
    if (pelk_json_authentication_is_trial(&authentication)) {
        return "";
    }
    const int days = authentication.expiry_date_in_days;
    if (days < 0) {
        return "Current plan has expired. Click here to purchase a plan.";
    }
    if (days <= kLastWarningDay) {
        char line[500];
        g_snprintf(line, sizeof line, "Current plan will expire in %i day(s). Click here to renew.", days + 1);
        return line;
    }
    return "";
}

bool is_mouse_inside_rect(int x, int y, int width, int height) { return x >= 0 && y >= 0 && x <= width && y <= height; }

GtkWidget *pelk_main_view_internal_main_subview_new(GtkWidget *window) {
    GtkWidget *subview = gtk_fixed_new();
    GtkWidget *plan_area = click_area(kPlanWidth, kPlanHeight, true, G_CALLBACK(expire_event_box_event_box_on_clicked));
    server_selection_area =
        click_area(kServerWidth, kServerHeight, false, G_CALLBACK(pelk_views_main_server_select_clicked));
    server_button_holder = gtk_fixed_new();
    GtkWidget *error_area =
        click_area(kErrorAreaWidth, kErrorAreaHeight, true, G_CALLBACK(error_details_event_box_on_clicked));

    GtkFixed *fixed = GTK_FIXED(subview);
    gtk_fixed_put(fixed, error_area, kErrorAreaX, kErrorAreaY);
    gtk_fixed_put(fixed, CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    gtk_fixed_put(fixed, pelk_controls_public_ip_widget_new(), kPublicIpX, kPublicIpY);
    gtk_fixed_put(fixed, pelk_controls_vpn_button_new(), kConnectX, kConnectY);
    gtk_fixed_put(fixed, server_button_holder, kServerX, kServerY);
    gtk_fixed_put(fixed, server_selection_area, kServerX, kServerY);
    gtk_fixed_put(fixed, plan_area, kPlanX, kPlanY);
    pelk_controls_bottom_bar_new_to_fixed_common(fixed);
    return subview;
}

GtkWidget *pelk_main_view_internal_server_select_subview_new(GtkWidget *window) {
    return CreateServerSelectView(window);
}

GtkWidget *CreateMainView(GtkWidget *window) {
    current_server_button = nullptr;
    shown_server = nullptr;
    shown_label = false;
    GtkWidget *view = gtk_fixed_new();
    main_subview = pelk_main_view_internal_main_subview_new(window);
    server_select_subview = pelk_main_view_internal_server_select_subview_new(window);
    settings_subview = pelk_views_settings_view_new(window);
    gtk_fixed_put(GTK_FIXED(view), main_subview, 0, 0);
    gtk_fixed_put(GTK_FIXED(view), server_select_subview, 0, 0);
    gtk_fixed_put(GTK_FIXED(view), settings_subview, 0, 0);
    pelk_views_main_subview_main_show();

    g_signal_connect(main_subview, "draw", G_CALLBACK(main_subview_on_draw), nullptr);
    g_signal_connect(view, "destroy", G_CALLBACK(on_view_destroy), nullptr);
    // A view replaced without being destroyed first must not leave its
    // timers running on the new one's behalf.
    remove_timers();
    redraw_source = gdk_threads_add_timeout(kTimerMs, cb_timeout_widget_redrawer, main_subview);
    server_button_source = gdk_threads_add_timeout(kTimerMs, cb_timeout_server_list_button_updater, main_subview);
    return view;
}

void pelk_views_main_subview_main_show(void) {
    set_visible(main_subview, true);
    set_visible(settings_subview, false);
    set_visible(server_select_subview, false);
}

void pelk_views_main_subview_server_select_show(void) {
    set_visible(main_subview, false);
    set_visible(settings_subview, false);
    set_visible(server_select_subview, true);
}

void pelk_views_main_subview_settings_show(void) {
    set_visible(main_subview, false);
    set_visible(server_select_subview, false);
    set_visible(settings_subview, true);
}

void pelk_views_main_subview_settings_hide(void) {
    set_visible(settings_subview, false);
    set_visible(server_select_subview, false);
    set_visible(main_subview, true);
}

void pelk_views_main_subview_swap_visibility(void) {
    if (main_subview != nullptr && gtk_widget_get_visible(main_subview)) {
        pelk_views_main_subview_server_select_show();
    } else {
        pelk_views_main_subview_main_show();
    }
}

void pelk_views_main_server_select_enable(void) {
    if (server_selection_area != nullptr) {
        gtk_widget_set_sensitive(server_selection_area, TRUE);
    }
}

void pelk_views_main_server_select_disable(void) {
    if (server_selection_area != nullptr) {
        gtk_widget_set_sensitive(server_selection_area, FALSE);
    }
}

void pelk_main_view_set_server_button_server(pelk_dal_server_entity *server) {
    if (server == nullptr) {
        pelk_main_view_internal_set_server_button_labeled("Select server...");
        return;
    }
    if (server_button_holder == nullptr) {
        return;
    }
    // Rebuilding an unchanged row ten times a second would only churn
    // widgets; the row repaints with the screen anyway.
    if (current_server_button != nullptr && !shown_label && shown_server == server) {
        return;
    }
    replace_server_button(pelk_controls_server_button_new(server));
    shown_server = server;
    shown_label = false;
}

void pelk_main_view_internal_set_server_button_labeled(const char *text) {
    if (server_button_holder == nullptr || (current_server_button != nullptr && shown_label)) {
        return;
    }
    replace_server_button(pelk_controls_server_button_new_just_label(text));
    shown_server = nullptr;
    shown_label = true;
}

void pelk_views_main_view_draw_error_text(cairo_t *cr, const char *text) {
    Pelk_Cairo_DrawText_Centered(cr, text, kStatusFontSize, kStatusX, kStatusY, kStatusWidth, kStatusHeight);
}

void pelk_views_main_view_draw_error_details_text(cairo_t *cr, const char *text) {
    Pelk_Cairo_DrawText_Centered(cr, text, kStatusFontSize, kErrorAreaX, kErrorAreaY, kErrorAreaWidth,
                                 kErrorAreaHeight);
}

gboolean main_subview_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    const pelk_dal_vpn_button_state state = pelk_view_model_main_vpn_state_get();
    pelk_views_main_view_draw_error_text(cr, pelk_dal_vpn_button_state_to_string(state));
    Pelk_Cairo_DrawImage_WithSize(cr, pelk_controls_vpn_button_picture_for(state), kConnectX, kConnectY, kConnectSize,
                                  kConnectSize);
    if (pelk_dal_vpn_button_state_is_error(state)) {
        pelk_views_main_view_draw_error_details_text(cr, "Click for details");
    }
    pelk_json_authentication authentication{};
    pelk_view_model_main_authentication_get(&authentication);
    if (!pelk_json_authentication_is_trial(&authentication)) {
        const std::string line = pelk_views_main_view_plan_line(authentication);
        Pelk_Cairo_DrawText_Centered(cr, line.c_str(), kPlanFontSize, kPlanX, kPlanY, kPlanWidth, kPlanHeight);
    }
    // The children (bars, strip, server row) paint over this.
    return FALSE;
}

gboolean cb_timeout_widget_redrawer(gpointer widget) {
    auto *subview = static_cast<GtkWidget *>(widget);
    if (subview != nullptr && GTK_IS_WIDGET(subview) && gtk_widget_get_visible(subview)) {
        // One region: each invalidation walks the window's children again.
        cairo_region_t *bands = cairo_region_create_rectangles(kRepaintedBands, G_N_ELEMENTS(kRepaintedBands));
        gtk_widget_queue_draw_region(subview, bands);
        cairo_region_destroy(bands);
    }
    return G_SOURCE_CONTINUE;
}

gboolean cb_timeout_server_list_button_updater(gpointer) {
    pelk_main_view_set_server_button_server(pelk_view_model_main_selected_server_get());
    if (pelk_view_model_main_is_server_list_enabled_get()) {
        pelk_views_main_server_select_enable();
    } else {
        pelk_views_main_server_select_disable();
    }
    return G_SOURCE_CONTINUE;
}

gboolean pelk_views_main_server_select_clicked(GtkWidget *, GdkEvent *, gpointer) {
    pelk_main_window_controller_on_server_select_click();
    return FALSE;
}

gboolean error_details_event_box_on_clicked(GtkWidget *, GdkEvent *event, gpointer) {
    const int x = static_cast<int>(event->button.x);
    const int y = static_cast<int>(event->button.y);
    if (is_mouse_inside_rect(x, y, kErrorAreaWidth, kErrorAreaHeight) &&
        pelk_dal_vpn_button_state_is_error(pelk_view_model_main_vpn_state_get())) {
        pelk_shell_open_text_file(pelk_global_variable_out_log_path());
    }
    return FALSE;
}

gboolean expire_event_box_event_box_on_clicked(GtkWidget *, GdkEvent *event, gpointer) {
    const int x = static_cast<int>(event->button.x);
    const int y = static_cast<int>(event->button.y);
    if (!is_mouse_inside_rect(x, y, kPlanWidth, kPlanHeight)) {
        return FALSE;
    }
    pelk_json_authentication authentication{};
    pelk_view_model_main_authentication_get(&authentication);
    if (authentication.expiry_date_in_days <= kLastWarningDay && !pelk_json_authentication_is_trial(&authentication)) {
        pelk_open_uri(pelk_web_page_pricing);
    }
    return FALSE;
}
