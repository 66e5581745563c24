// pelk_views_settings_view_new, pelk_controls_toogle_button_*: the settings screen and its switches.
#include "views/settings_view.h"

#include "base/owned_text.h"
#include "controls/bottom_bar.h"
#include "controls/drawing.h"
#include "controls/top_bar.h"
#include "platform/settings_manager.h"
#include "resources/resource_manager.h"
#include "view_models/login_view_model.h"

static GtkWidget *pelk_controls_toogle_button_auto_start_new(void);
static GtkWidget *pelk_controls_toogle_button_auto_connect_new(void);
static GtkWidget *pelk_controls_toogle_button_save_password_new(void);
static gboolean pelk_controls_toogle_button_auto_start_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
static gboolean pelk_controls_toogle_button_auto_connect_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
static gboolean pelk_controls_toogle_button_save_password_on_click(GtkWidget *widget, GdkEvent *event, gpointer data);
static gboolean pelk_controls_toggle_button_auto_start_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static gboolean pelk_controls_toggle_button_auto_connect_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static gboolean pelk_controls_toggle_button_save_password_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static void pelk_controls_toggle_button_common_draw(cairo_t *cr, int state);

namespace {

constexpr int kSwitchWidth = 90, kSwitchHeight = 29;
constexpr int kCaptionX = 64, kSwitchX = 269;
constexpr int kFirstRowY = 121, kRowStep = 70, kCaptionDrop = 6;

// One state per kind of switch for the whole run, loaded when a switch is
// built and flipped by each press.
int auto_start = 0;
int auto_connect = 0;
int save_password = 0;

int flipped(int state) { return state == 0 ? 1 : 0; }

GtkWidget *switch_new(GCallback on_click, GCallback on_draw) {
    GtkWidget *container = gtk_fixed_new();
    GtkWidget *area = gtk_event_box_new();
    gtk_widget_set_size_request(container, kSwitchWidth, kSwitchHeight);
    gtk_widget_set_size_request(area, kSwitchWidth, kSwitchHeight);
    gtk_fixed_put(GTK_FIXED(container), area, 0, 0);
    g_signal_connect(area, "button_press_event", on_click, nullptr);
    g_signal_connect(container, "draw", on_draw, nullptr);
    return container;
}

}  // namespace

GtkWidget *pelk_controls_toogle_button_auto_start_new(void) {
    GtkWidget *container = switch_new(G_CALLBACK(pelk_controls_toogle_button_auto_start_on_click),
                                      G_CALLBACK(pelk_controls_toggle_button_auto_start_on_draw));
    auto_start = pelk_platform_specific_settings_manager_auto_start_on_logon_get();
    return container;
}

GtkWidget *pelk_controls_toogle_button_auto_connect_new(void) {
    GtkWidget *container = switch_new(G_CALLBACK(pelk_controls_toogle_button_auto_connect_on_click),
                                      G_CALLBACK(pelk_controls_toggle_button_auto_connect_on_draw));
    auto_connect = pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get();
    return container;
}

GtkWidget *pelk_controls_toogle_button_save_password_new(void) {
    GtkWidget *container = switch_new(G_CALLBACK(pelk_controls_toogle_button_save_password_on_click),
                                      G_CALLBACK(pelk_controls_toggle_button_save_password_on_draw));
    save_password = pelk_platform_specific_settings_manager_is_remember_password_set();
    return container;
}

gboolean pelk_controls_toogle_button_auto_start_on_click(GtkWidget *widget, GdkEvent *, gpointer) {
    auto_start = flipped(auto_start);
    gtk_widget_queue_draw(widget);
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(auto_start);
    return FALSE;
}

gboolean pelk_controls_toogle_button_auto_connect_on_click(GtkWidget *widget, GdkEvent *, gpointer) {
    auto_connect = flipped(auto_connect);
    pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(auto_connect);
    gtk_widget_queue_draw(widget);
    return FALSE;
}

gboolean pelk_controls_toogle_button_save_password_on_click(GtkWidget *widget, GdkEvent *, gpointer) {
    save_password = flipped(save_password);
    gtk_widget_queue_draw(widget);
    if (save_password == 1) {
        pelk_owned_text password(pelk_view_model_login_password_get_new());
        pelk_platform_specific_settings_manager_password_set(password.get());
    } else {
        pelk_platform_specific_settings_manager_password_set("");
    }
    return FALSE;
}

void pelk_controls_toggle_button_common_draw(cairo_t *cr, int state) {
    Pelk_Cairo_DrawImage(
        cr, pelk_resource_manager_image(state == 1 ? PELK_IMAGE_SETTINGS_SWITCH_ON : PELK_IMAGE_SETTINGS_SWITCH_OFF), 0,
        0);
}

gboolean pelk_controls_toggle_button_auto_start_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    pelk_controls_toggle_button_common_draw(cr, auto_start);
    return FALSE;
}

gboolean pelk_controls_toggle_button_auto_connect_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    pelk_controls_toggle_button_common_draw(cr, auto_connect);
    return FALSE;
}

gboolean pelk_controls_toggle_button_save_password_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    pelk_controls_toggle_button_common_draw(cr, save_password);
    return FALSE;
}

GtkWidget *pelk_views_settings_view_new(GtkWidget *window) {
    GtkWidget *view = gtk_fixed_new();
    GtkFixed *fixed = GTK_FIXED(view);
    gtk_fixed_put(fixed, CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    pelk_controls_bottom_bar_new_to_fixed_settings_window(fixed);
    const char *captions[] = {"Auto-Start VPN with Windows", "Auto-Connect VPN with App", "Save Password"};
    for (int row = 0; row < 3; ++row) {
        gtk_fixed_put(fixed, gtk_label_new(captions[row]), kCaptionX, kFirstRowY + kRowStep * row + kCaptionDrop);
    }
    gtk_fixed_put(fixed, pelk_controls_toogle_button_auto_start_new(), kSwitchX, kFirstRowY);
    gtk_fixed_put(fixed, pelk_controls_toogle_button_auto_connect_new(), kSwitchX, kFirstRowY + kRowStep);
    gtk_fixed_put(fixed, pelk_controls_toogle_button_save_password_new(), kSwitchX, kFirstRowY + 2 * kRowStep);
    return view;
}
