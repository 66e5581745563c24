// pelk_controls_bottom_bar_*: the bottom bar (settings, social pages, log out).
#include "controls/bottom_bar.h"

#include "base/ui_callbacks.h"
#include "platform/shell.h"
#include "platform/web_pages.h"
#include "resources/resource_manager.h"

// Puts bar_picture at (0, 360) into fixed with first_button over its left
// icon and the four other buttons over theirs.
static void pelk_controls_bottom_bar_new_to_fixed(GtkFixed *fixed, GtkWidget *first_button, GtkWidget *bar_picture);
static void pelk_controls_bottom_bar_on_settings_clicked(GtkButton *button, gpointer data);
static void pelk_controls_bottom_bar_on_settings_exit_clicked(GtkButton *button, gpointer data);
static void pelk_controls_bottom_bar_on_facebook_clicked(GtkButton *button, gpointer data);
static void pelk_controls_bottom_bar_on_twitter_clicked(GtkButton *button, gpointer data);
static void pelk_controls_bottom_bar_on_google_clicked(GtkButton *button, gpointer data);
static void pelk_controls_bottom_bar_on_log_out_clicked(GtkButton *button, gpointer data);
static gboolean pelk_controls_bottom_bar_on_draw_empty(GtkWidget *widget, cairo_t *cr, gpointer data);

namespace {

constexpr int kBarY = 360;
constexpr int kButtonY = 364;
constexpr int kButtonHeight = 28;

struct Area {
    int x;
    int y;
    int width;
};
constexpr Area kFirst{13, kButtonY, 85};
constexpr Area kFacebook{154, kButtonY, 34};
constexpr Area kTwitter{194, kButtonY, 41};
constexpr Area kGoogle{241, kButtonY, 29};
constexpr Area kLogOut{331, 362, 85};

// The theme gives a stock button a minimum height above the bar's 28
// pixels, which would stretch the window past its 394; these buttons show
// nothing, so they need none of the theme's padding.
GtkStyleProvider *click_area_style() {
    static GtkCssProvider *provider = [] {
        GtkCssProvider *made = gtk_css_provider_new();
        gtk_css_provider_load_from_data(made, "button { min-height: 0; min-width: 0; padding: 0; border-width: 0; }",
                                        -1, nullptr);
        return made;
    }();
    return GTK_STYLE_PROVIDER(provider);
}

void place(GtkFixed *fixed, GtkWidget *button, const Area &area) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(button), click_area_style(),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_widget_set_size_request(button, area.width, kButtonHeight);
    gtk_fixed_put(fixed, button, area.x, area.y);
    // Click areas over a picture: never in the Tab order, never painted.
    gtk_widget_set_can_focus(button, FALSE);
    g_signal_connect(button, "draw", G_CALLBACK(pelk_controls_bottom_bar_on_draw_empty), nullptr);
}

}  // namespace

void pelk_controls_bottom_bar_new_to_fixed(GtkFixed *fixed, GtkWidget *first_button, GtkWidget *bar_picture) {
    GtkWidget *facebook = gtk_button_new();
    GtkWidget *twitter = gtk_button_new();
    GtkWidget *google = gtk_button_new();
    GtkWidget *log_out = gtk_button_new();

    gtk_fixed_put(fixed, bar_picture, 0, kBarY);
    place(fixed, first_button, kFirst);
    place(fixed, facebook, kFacebook);
    place(fixed, twitter, kTwitter);
    place(fixed, google, kGoogle);
    place(fixed, log_out, kLogOut);

    g_signal_connect(facebook, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_facebook_clicked), nullptr);
    g_signal_connect(twitter, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_twitter_clicked), nullptr);
    g_signal_connect(google, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_google_clicked), nullptr);
    g_signal_connect(log_out, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_log_out_clicked), nullptr);
}

void pelk_controls_bottom_bar_new_to_fixed_common(GtkFixed *fixed) {
    GtkWidget *settings = gtk_button_new();
    g_signal_connect(settings, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_settings_clicked), nullptr);
    pelk_controls_bottom_bar_new_to_fixed(fixed, settings, pelk_resources_image_bottom_bar_background_new());
}

void pelk_controls_bottom_bar_new_to_fixed_settings_window(GtkFixed *fixed) {
    GtkWidget *back = gtk_button_new();
    g_signal_connect(back, "clicked", G_CALLBACK(pelk_controls_bottom_bar_on_settings_exit_clicked), nullptr);
    pelk_controls_bottom_bar_new_to_fixed(fixed, back, pelk_resources_image_settings_bottom_bar_new());
}

void pelk_controls_bottom_bar_on_settings_clicked(GtkButton *, gpointer) { pelk_ui_report_settings_show(); }
void pelk_controls_bottom_bar_on_settings_exit_clicked(GtkButton *, gpointer) { pelk_ui_report_settings_hide(); }
void pelk_controls_bottom_bar_on_facebook_clicked(GtkButton *, gpointer) { pelk_open_uri(pelk_web_page_facebook); }
void pelk_controls_bottom_bar_on_twitter_clicked(GtkButton *, gpointer) { pelk_open_uri(pelk_web_page_twitter); }
void pelk_controls_bottom_bar_on_google_clicked(GtkButton *, gpointer) { pelk_open_uri(pelk_web_page_google); }
void pelk_controls_bottom_bar_on_log_out_clicked(GtkButton *, gpointer) { pelk_ui_report_log_out(); }
gboolean pelk_controls_bottom_bar_on_draw_empty(GtkWidget *, cairo_t *, gpointer) { return TRUE; }
