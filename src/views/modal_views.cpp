// pelk_views_exit_modal_*, pelk_views_info_modal_*: the dialogs.
#include "views/modal_views.h"

#include "controls/top_bar.h"
#include "platform/shell.h"
#include "resources/resource_manager.h"
#include "views/windows_controller.h"

static gboolean pelk_views_exit_modal_on_yes_click(GtkWidget *widget, GdkEvent *event, gpointer window);
static gboolean pelk_views_exit_modal_on_no_click(GtkWidget *widget, GdkEvent *event, gpointer window);
static gboolean pelk_views_info_modal_on_yes_click(GtkWidget *widget, GdkEvent *event, gpointer window);
static gboolean pelk_views_info_modal_on_label_click(GtkWidget *widget, GdkEvent *event, gpointer url);
static void pelk_views_info_modal_perform_yes_click(gpointer window);
static gboolean pelk_views_info_modal_view_on_enter_key_press(GtkWidget *widget, GdkEventKey *event, gpointer window);

namespace {

constexpr int kWidth = 421;
constexpr int kMessageHeight = 250;
constexpr int kMessageY = 50;
constexpr int kButtonWidth = 68;
constexpr int kButtonHeight = 37;
constexpr int kButtonY = 250;
constexpr int kYesX = 128;
constexpr int kNoX = 228;
constexpr int kOkX = 175;

GtkWidget *message_label(const char *text) {
    GtkWidget *label = gtk_label_new(text);
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
    gtk_widget_set_size_request(label, kWidth, kMessageHeight);
    return label;
}

GtkWidget *click_area(int width, int height) {
    GtkWidget *area = gtk_event_box_new();
    gtk_widget_set_size_request(area, width, height);
    return area;
}

GtkWidget *picture(GtkWidget *image) {
    gtk_widget_set_size_request(image, kButtonWidth, kButtonHeight);
    return image;
}

}  // namespace

GtkWidget *pelk_views_exit_modal_view_new(GtkWidget *window) {
    GtkWidget *question = message_label("Are you sure you want to exit?");
    GtkWidget *yes_area = click_area(kButtonWidth, kButtonHeight);
    GtkWidget *no_area = click_area(kButtonWidth, kButtonHeight);
    GtkWidget *view = gtk_fixed_new();

    GtkFixed *fixed = GTK_FIXED(view);
    gtk_fixed_put(fixed, CreateGtkFixedTopbarView(GTK_WINDOW(window), FALSE), 0, 0);
    gtk_fixed_put(fixed, question, 0, kMessageY);
    gtk_fixed_put(fixed, picture(pelk_resources_modal_btn_ok_new()), kYesX, kButtonY);
    gtk_fixed_put(fixed, picture(pelk_resources_modal_btn_cancel_new()), kNoX, kButtonY);
    // The click areas go last so that they lie over the pictures.
    gtk_fixed_put(fixed, yes_area, kYesX, kButtonY);
    gtk_fixed_put(fixed, no_area, kNoX, kButtonY);

    g_signal_connect(yes_area, "button_press_event", G_CALLBACK(pelk_views_exit_modal_on_yes_click), window);
    g_signal_connect(no_area, "button_press_event", G_CALLBACK(pelk_views_exit_modal_on_no_click), window);
    return view;
}

GtkWidget *pelk_views_info_modal_view_new(GtkWidget *window, const char *message) {
    return pelk_views_info_modal_view_url_new(window, message, nullptr);
}

GtkWidget *pelk_views_info_modal_view_url_new(GtkWidget *window, const char *message, const char *url) {
    GtkWidget *label = message_label(message);
    int label_width = 0;
    int label_height = 0;
    gtk_widget_get_size_request(label, &label_width, &label_height);
    GtkWidget *link_area = click_area(label_width, label_height);
    GtkWidget *ok_area = click_area(kButtonWidth, kButtonHeight);
    GtkWidget *view = gtk_fixed_new();

    GtkFixed *fixed = GTK_FIXED(view);
    gtk_fixed_put(fixed, CreateGtkFixedTopbarView(GTK_WINDOW(window), FALSE), 0, 0);
    gtk_fixed_put(fixed, label, 0, kMessageY);
    gtk_fixed_put(fixed, link_area, 0, kMessageY);
    gtk_fixed_put(fixed, picture(pelk_resources_modal_btn_ok_new()), kOkX, kButtonY);
    gtk_fixed_put(fixed, ok_area, kOkX, kButtonY);

    g_signal_connect(ok_area, "button_press_event", G_CALLBACK(pelk_views_info_modal_on_yes_click), window);
    g_signal_connect(link_area, "button_press_event", G_CALLBACK(pelk_views_info_modal_on_label_click),
                     const_cast<char *>(url));
    g_signal_connect(window, "key-press-event", G_CALLBACK(pelk_views_info_modal_view_on_enter_key_press), window);
    return view;
}

gboolean pelk_views_exit_modal_on_yes_click(GtkWidget *, GdkEvent *, gpointer window) {
    if (GTK_IS_WINDOW(window)) {
        gtk_main_quit();
    }
    pelk_windows_controller_change_windows_visibility(TRUE);
    return FALSE;
}

gboolean pelk_views_exit_modal_on_no_click(GtkWidget *, GdkEvent *, gpointer window) {
    if (GTK_IS_WINDOW(window)) {
        gtk_widget_destroy(GTK_WIDGET(window));
        pelk_windows_controller_change_windows_visibility(TRUE);
    }
    // The press must not travel on to the widgets of the destroyed window.
    return TRUE;
}

gboolean pelk_views_info_modal_on_yes_click(GtkWidget *, GdkEvent *, gpointer window) {
    pelk_views_info_modal_perform_yes_click(window);
    return TRUE;
}

void pelk_views_info_modal_perform_yes_click(gpointer window) {
    if (GTK_IS_WINDOW(window)) {
        gtk_widget_destroy(GTK_WIDGET(window));
    }
    pelk_windows_controller_change_windows_visibility(TRUE);
}

gboolean pelk_views_info_modal_on_label_click(GtkWidget *, GdkEvent *, gpointer url) {
    if (url != nullptr) {
        pelk_open_uri(static_cast<const char *>(url));
    }
    return FALSE;
}

gboolean pelk_views_info_modal_view_on_enter_key_press(GtkWidget *, GdkEventKey *event, gpointer window) {
    if (event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_space) {
        pelk_views_info_modal_perform_yes_click(window);
        return TRUE;
    }
    return FALSE;
}
