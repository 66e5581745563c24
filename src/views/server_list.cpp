// pelk_controls_server_button_*, pelk_controls_server_list_*: the server rows and their list.
#include "views/server_list.h"

#include "base/owned_text.h"
#include "controls/drawing.h"
#include "platform/settings_manager.h"
#include "resources/resource_manager.h"
#include "view_models/main_view_model.h"
#include "views/flags.h"
#include "views/main_window_controller.h"

#include <cstring>

static gboolean pelk_controls_server_button_on_click(GtkWidget *area, GdkEvent *event, gpointer server);
static gboolean pelk_controls_server_button_on_favorite_click(GtkWidget *area, GdkEvent *event, gpointer server);
static gboolean pelk_controls_server_button_on_draw(GtkWidget *widget, cairo_t *cr, gpointer server);
static gboolean pelk_controls_server_button_on_draw_just_text(GtkWidget *widget, cairo_t *cr, gpointer text);
static void pelk_controls_server_button_on_draw_background(GtkWidget *widget, cairo_t *cr);
static void pelk_controls_server_list_set_servers(server_entity_container *servers);
static void pelk_controls_server_list_reset_favorite(void);
static void pelk_controls_server_list_reload_favorite(void);
static void pelk_controls_server_list_redraw(void);
static gboolean pelk_controls_server_list_on_event(GtkWidget *viewport, GdkEvent *event, gpointer data);
static void pelk_controls_server_list_vertical_adjustment_value_changed(GtkAdjustment *adjustment, gpointer data);
static void pelk_controls_server_list_vertical_adjustment_changed(GtkAdjustment *adjustment, gpointer data);

namespace {

constexpr int kRowWidth = 213, kRowHeight = 37;
constexpr int kSelectWidth = 180;
constexpr int kStarX = 183, kStarY = 8, kStarAreaSize = 20, kStarWidth = 20, kStarHeight = 21;
constexpr int kFlagX = 5, kFlagY = 3, kFlagSize = 30;
constexpr int kNameX = 45, kBaseline = 24;
constexpr int kFontSize = 16;
constexpr int kUpgradeX = -10;
constexpr int kListHeight = 200;
constexpr int kPageRows = 5;
constexpr int kColumnTop = 10;

// The process-wide list control and what it shows; replaced with each new
// main view, and forgotten when its widgets go.
GtkWidget *list_control = nullptr;
GtkWidget *viewport = nullptr;
GtkWidget *column = nullptr;
GtkAdjustment *adjustment = nullptr;
server_entity_container *shown = nullptr;

void set_text_style(cairo_t *cr, double grey_r, double grey_g, double grey_b) {
    cairo_set_source_rgb(cr, grey_r, grey_g, grey_b);
    cairo_select_font_face(cr, "Purisa", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, kFontSize);
}

void draw_centred_label(cairo_t *cr, const char *text) {
    set_text_style(cr, 0.9, 0.9, 0.9);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text, &extents);
    cairo_move_to(cr, static_cast<int>((kRowWidth - extents.width) / 2), kBaseline);
    cairo_show_text(cr, text);
}

GtkWidget *row(gpointer data, GCallback draw, bool with_handlers) {
    GtkWidget *button = gtk_fixed_new();
    gtk_widget_set_size_request(button, kRowWidth, kRowHeight);
    GtkWidget *select = gtk_event_box_new();
    gtk_widget_set_size_request(select, kSelectWidth, kRowHeight);
    GtkWidget *star = gtk_event_box_new();
    gtk_widget_set_size_request(star, kStarAreaSize, kStarAreaSize);
    gtk_fixed_put(GTK_FIXED(button), select, 0, 0);
    gtk_fixed_put(GTK_FIXED(button), star, kStarX, kStarY);
    if (with_handlers) {
        g_signal_connect(select, "button_press_event", G_CALLBACK(pelk_controls_server_button_on_click), data);
        g_signal_connect(star, "button_press_event", G_CALLBACK(pelk_controls_server_button_on_favorite_click), data);
    }
    g_signal_connect(button, "draw", draw, data);
    return button;
}

void store_favourite(const char *address) { pelk_platform_Specific_settings_manager_favorite_server_set(address); }

void on_list_destroy(GtkWidget *widget, gpointer) {
    if (widget == list_control) {
        list_control = nullptr;
        viewport = nullptr;
        column = nullptr;
        adjustment = nullptr;
        shown = nullptr;
    }
}

}  // namespace

int pelk_controls_server_button_width_get(void) { return kRowWidth; }
int pelk_controls_server_button_height_get(void) { return kRowHeight; }

GtkWidget *pelk_controls_server_button_new(pelk_dal_server_entity *server) {
    return row(server, G_CALLBACK(pelk_controls_server_button_on_draw), true);
}

GtkWidget *pelk_controls_server_button_new_just_label(const char *text) {
    return row(const_cast<char *>(text), G_CALLBACK(pelk_controls_server_button_on_draw_just_text), false);
}

gboolean pelk_controls_server_button_on_click(GtkWidget *, GdkEvent *, gpointer data) {
    auto *server = static_cast<pelk_dal_server_entity *>(data);
    if (server != nullptr && server->is_enabled) {
        pelk_main_window_controller_on_server_selected(server);
    }
    return FALSE;
}

gboolean pelk_controls_server_button_on_favorite_click(GtkWidget *area, GdkEvent *, gpointer data) {
    auto *server = static_cast<pelk_dal_server_entity *>(data);
    if (server == nullptr || !server->is_enabled) {
        return FALSE;
    }
    const int was_favourite = server->is_favourite;
    pelk_controls_server_list_reset_favorite();
    server->is_favourite = was_favourite ? 0 : 1;
    store_favourite(server->is_favourite ? server->server_address : "");
    pelk_controls_server_list_redraw();
    gtk_widget_queue_draw(area);
    return FALSE;
}

void pelk_controls_server_button_on_draw_background(GtkWidget *, cairo_t *cr) {
    Pelk_Cairo_DrawImage(cr, pelk_resource_manager_image(PELK_IMAGE_SERVER_BACKGROUND), 0, 0);
}

gboolean pelk_controls_server_button_on_draw(GtkWidget *widget, cairo_t *cr, gpointer data) {
    auto *server = static_cast<pelk_dal_server_entity *>(data);
    pelk_controls_server_button_on_draw_background(widget, cr);
    if (server == nullptr || server->server_name == nullptr || server->server_name[0] == '\0') {
        draw_centred_label(cr, "Select server...");
        return FALSE;
    }
    pelk_owned_text flag_path(pelk_view_model_main_format_flag_path_new(server->country_code));
    pelk_controls_drawing_pixbuf(cr, pelk_views_flags_picture(flag_path.get()), kFlagX, kFlagY, kFlagSize, kFlagSize);
    // The star shows what is stored, not the record's flag.
    pelk_owned_text favourite(pelk_platform_specific_settings_manager_favorite_server_get());
    const bool starred =
        favourite && server->server_address != nullptr && strcmp(favourite.get(), server->server_address) == 0;
    Pelk_Cairo_DrawImage_WithSize(
        cr, pelk_resource_manager_image(starred ? PELK_IMAGE_SERVER_STAR_CHECKED : PELK_IMAGE_SERVER_STAR_UNCHECKED),
        kStarX, kStarY, kStarWidth, kStarHeight);
    if (server->is_enabled) {
        set_text_style(cr, 0.9, 0.9, 0.9);
    } else {
        set_text_style(cr, 0.5, 0.7, 0.5);
    }
    // A long name ends before the star rather than under it.
    cairo_save(cr);
    cairo_rectangle(cr, 0, 0, kSelectWidth, kRowHeight);
    cairo_clip(cr);
    cairo_move_to(cr, kNameX, kBaseline);
    cairo_show_text(cr, server->server_name);
    cairo_restore(cr);
    if (!server->is_enabled) {
        Pelk_Cairo_DrawImage(cr, pelk_resource_manager_image(PELK_IMAGE_SERVER_FOREGROUND_UPGRADE), kUpgradeX, 0);
    }
    return FALSE;
}

gboolean pelk_controls_server_button_on_draw_just_text(GtkWidget *widget, cairo_t *cr, gpointer text) {
    pelk_controls_server_button_on_draw_background(widget, cr);
    draw_centred_label(cr, static_cast<const char *>(text));
    return FALSE;
}

GtkWidget *pelk_controls_server_list_new(server_entity_container *servers) {
    const int count = server_entity_container_get_items_count(servers);
    list_control = gtk_fixed_new();
    column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    adjustment = gtk_adjustment_new(0, 0, count, 1, kPageRows, kPageRows);
    viewport = gtk_layout_new(nullptr, nullptr);
    GtkWidget *scrollbar = gtk_scrollbar_new(GTK_ORIENTATION_VERTICAL, adjustment);

    gtk_widget_set_size_request(viewport, kRowWidth, kListHeight);
    gtk_widget_set_size_request(column, kRowWidth, kListHeight);
    gtk_widget_set_size_request(scrollbar, 0, kListHeight);
    gtk_fixed_put(GTK_FIXED(list_control), scrollbar, kRowWidth, 0);
    gtk_fixed_put(GTK_FIXED(list_control), viewport, 0, 0);
    gtk_layout_put(GTK_LAYOUT(viewport), column, 0, 0);
    shown = servers;
    pelk_controls_server_list_set_servers(servers);

    gtk_widget_add_events(viewport, GDK_SCROLL_MASK);
    g_signal_connect(viewport, "event", G_CALLBACK(pelk_controls_server_list_on_event), nullptr);
    g_signal_connect(adjustment, "changed", G_CALLBACK(pelk_controls_server_list_vertical_adjustment_changed), nullptr);
    g_signal_connect(adjustment, "value-changed",
                     G_CALLBACK(pelk_controls_server_list_vertical_adjustment_value_changed), nullptr);
    g_signal_connect(list_control, "destroy", G_CALLBACK(on_list_destroy), nullptr);
    pelk_controls_server_list_reload_favorite();
    return list_control;
}

void pelk_controls_server_list_set_servers(server_entity_container *servers) {
    if (column == nullptr) {
        return;
    }
    for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(servers, i); ++i) {
        GtkWidget *button = pelk_controls_server_button_new(server);
        gtk_box_pack_start(GTK_BOX(column), button, TRUE, TRUE, 0);
        gtk_widget_show(button);
    }
}

void pelk_controls_server_list_reset_favorite(void) {
    for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(shown, i); ++i) {
        server->is_favourite = 0;
    }
}

void pelk_controls_server_list_reload_favorite(void) {
    // Without a list nothing says the favourite is gone: one bad reply of
    // the service must not forget it for good.
    if (shown == nullptr) {
        return;
    }
    pelk_owned_text stored(pelk_platform_specific_settings_manager_favorite_server_get());
    const char *favourite = stored ? stored.get() : "";
    bool matched = false;
    for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(shown, i); ++i) {
        server->is_favourite = 0;
        if (server->server_address != nullptr && strcmp(server->server_address, favourite) == 0) {
            if (server->is_enabled) {
                server->is_favourite = 1;
            } else {
                store_favourite("");
            }
            matched = true;
            break;
        }
    }
    if (!matched) {
        store_favourite("");
    }
    pelk_controls_server_list_redraw();
}

void pelk_controls_server_list_redraw(void) {
    if (viewport != nullptr) {
        gtk_widget_queue_draw(viewport);
    }
}

gboolean pelk_controls_server_list_on_event(GtkWidget *, GdkEvent *event, gpointer) {
    if (event->type != GDK_SCROLL || adjustment == nullptr) {
        return FALSE;
    }
    const double value = gtk_adjustment_get_value(adjustment);
    if (event->scroll.direction == GDK_SCROLL_DOWN) {
        gtk_adjustment_set_value(adjustment, value + 1);
    } else if (event->scroll.direction == GDK_SCROLL_UP) {
        gtk_adjustment_set_value(adjustment, value - 1);
    }
    return FALSE;
}

void pelk_controls_server_list_vertical_adjustment_value_changed(GtkAdjustment *changed, gpointer) {
    if (viewport != nullptr && column != nullptr) {
        const int rows = static_cast<int>(gtk_adjustment_get_value(changed));
        gtk_layout_move(GTK_LAYOUT(viewport), column, 0, kColumnTop - kRowHeight * rows);
    }
}

void pelk_controls_server_list_vertical_adjustment_changed(GtkAdjustment *, gpointer) {}

bool pelk_controls_server_list_is_shown(void) {
    return list_control != nullptr && gtk_widget_get_visible(list_control);
}
