// pelk_controls_public_ip_widget_*: the public address and its flag.
#include "views/public_ip_widget.h"

#include "base/owned_text.h"
#include "controls/drawing.h"
#include "resources/resource_manager.h"
#include "view_models/main_view_model.h"
#include "views/flags.h"

#include <string>

static gboolean pelk_controls_public_ip_widget_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static void pelk_controls_public_ip_widget_draw_text(cairo_t *cr, const char *text);
// The line for an address: "Public IP: " and the address, cut so that the
// line stays within 500 bytes (a hostile reply cannot stretch it).
static std::string pelk_controls_public_ip_widget_line(const char *ip);

namespace {

constexpr int kWidth = 263;
constexpr int kHeight = 36;
constexpr int kFlagX = 16, kFlagY = 3, kFlagSize = 31;
constexpr int kFontSize = 13;
constexpr int kTextX = 55, kTextY = kFontSize + 8;
constexpr size_t kLineBytes = 500;
constexpr double kGrey = 0.9;

}  // namespace

GtkWidget *pelk_controls_public_ip_widget_new(void) {
    GtkWidget *widget = gtk_fixed_new();
    gtk_widget_set_size_request(widget, kWidth, kHeight);
    gtk_fixed_put(GTK_FIXED(widget), pelk_resources_image_public_ip_background_new(), 0, 0);
    g_signal_connect(widget, "draw", G_CALLBACK(pelk_controls_public_ip_widget_on_draw), widget);
    return widget;
}

std::string pelk_controls_public_ip_widget_line(const char *ip) {
    std::string line = std::string("Public IP: ") + (ip != nullptr ? ip : "");
    if (line.size() > kLineBytes - 1) {
        line.resize(kLineBytes - 1);
    }
    return line;
}

void pelk_controls_public_ip_widget_draw_text(cairo_t *cr, const char *text) {
    cairo_set_source_rgb(cr, kGrey, kGrey, kGrey);
    cairo_select_font_face(cr, "Purisa", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, kFontSize);
    cairo_move_to(cr, kTextX, kTextY);
    cairo_show_text(cr, text);
}

gboolean pelk_controls_public_ip_widget_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    switch (pelk_view_model_main_update_ip_job_state_get()) {
    case PELK_VIEW_MODEL_MAIN_IP_JOB_IDLE:
    case PELK_VIEW_MODEL_MAIN_IP_JOB_DONE: {
        pelk_owned_text flag_path(pelk_view_model_main_flag_path_get_new());
        pelk_owned_text ip(pelk_view_model_main_ip_get_new());
        pelk_controls_drawing_pixbuf(cr, pelk_views_flags_picture(flag_path.get()), kFlagX, kFlagY, kFlagSize,
                                     kFlagSize);
        if (ip) {
            pelk_controls_public_ip_widget_draw_text(cr, pelk_controls_public_ip_widget_line(ip.get()).c_str());
        }
        break;
    }
    case PELK_VIEW_MODEL_MAIN_IP_JOB_RUNNING:
        pelk_controls_public_ip_widget_draw_text(cr, "Public IP: Loading...");
        break;
    case PELK_VIEW_MODEL_MAIN_IP_JOB_FAILED:
        pelk_controls_public_ip_widget_draw_text(cr, "Public IP: Failed!");
        break;
    }
    // The background picture is never painted: the strip shows the flag and
    // the line over the window behind it.
    return TRUE;
}
