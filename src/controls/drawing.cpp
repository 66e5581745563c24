// Pelk_Cairo_*, Create*, pelk_controls_drawing_*: the palette, pictures and text painting.

// GdkColor is deprecated, yet the palette still offers it.
#define GDK_DISABLE_DEPRECATION_WARNINGS

#include "controls/drawing.h"

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

namespace {

constexpr const char *kFace = "Purisa";
constexpr double kTextGrey = 0.9;

GdkColor parse_color(const char *text) {
    GdkColor color{};
    gdk_color_parse(text, &color);
    return color;
}

GdkRGBA parse_rgba(const char *text) {
    GdkRGBA color{};
    gdk_rgba_parse(&color, text);
    return color;
}

void apply_text_style(cairo_t *cr, int font_size) {
    cairo_select_font_face(cr, kFace, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_source_rgb(cr, kTextGrey, kTextGrey, kTextGrey);
    cairo_set_font_size(cr, font_size);
}

struct SurfaceDestroy {
    void operator()(cairo_surface_t *surface) const { cairo_surface_destroy(surface); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDestroy>;

// Pictures as painted: scaled and converted to cairo's pixel format once,
// not ten times a second. Keyed by pixbuf and the size asked for (-1 x -1:
// natural); an entry goes when its pixbuf is finalised, so an address that
// a later pixbuf reuses never finds an old picture, and views built anew at
// every sign-in or dialog leave nothing behind.
std::map<std::tuple<const GdkPixbuf *, int, int>, Surface> &painted =
    *new std::map<std::tuple<const GdkPixbuf *, int, int>, Surface>;

void forget_pixbuf(gpointer, GObject *finalised) {
    const auto *pixbuf = reinterpret_cast<const GdkPixbuf *>(finalised);
    painted.erase(painted.lower_bound(std::make_tuple(pixbuf, INT_MIN, INT_MIN)),
                  painted.upper_bound(std::make_tuple(pixbuf, INT_MAX, INT_MAX)));
}

cairo_surface_t *painted_surface(GdkPixbuf *pixbuf, int width, int height) {
    const bool scale = width >= 1 && height >= 1;
    const auto key = std::make_tuple(static_cast<const GdkPixbuf *>(pixbuf), scale ? width : -1, scale ? height : -1);
    auto found = painted.find(key);
    if (found == painted.end()) {
        const auto first_of_pixbuf = painted.lower_bound(std::make_tuple(std::get<0>(key), INT_MIN, INT_MIN));
        if (first_of_pixbuf == painted.end() || std::get<0>(first_of_pixbuf->first) != std::get<0>(key)) {
            g_object_weak_ref(G_OBJECT(pixbuf), forget_pixbuf, nullptr);
        }
        g_autoptr(GdkPixbuf) scaled =
            scale ? gdk_pixbuf_scale_simple(pixbuf, width, height, GDK_INTERP_BILINEAR) : nullptr;
        Surface surface(gdk_cairo_surface_create_from_pixbuf(scaled != nullptr ? scaled : pixbuf, 1, nullptr));
        found = painted.emplace(key, std::move(surface)).first;
    }
    return found->second.get();
}

double ink_width(cairo_t *cr, const char *text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text, &extents);
    return extents.width;
}

}  // namespace

GdkRGBA CreateCommonBackgroundRGBA(void) { return parse_rgba("rgba(8,122,73,1)"); }
GdkRGBA CreateTextViewForegroundRGBA(void) { return parse_rgba("rgba(255,255,255,1)"); }
GdkColor CreateUriLabelForeground(void) { return parse_color("white"); }

void Pelk_Cairo_DrawImage(cairo_t *cr, GtkImage *image, int x, int y) {
    Pelk_Cairo_DrawImage_WithSize(cr, image, x, y, -1, -1);
}

void Pelk_Cairo_DrawImage_WithSize(cairo_t *cr, GtkImage *image, int x, int y, int width, int height) {
    if (image == nullptr || gtk_image_get_storage_type(image) != GTK_IMAGE_PIXBUF) {
        return;
    }
    GdkPixbuf *pixbuf = gtk_image_get_pixbuf(image);
    if (pixbuf == nullptr) {
        return;
    }
    pelk_controls_drawing_pixbuf(cr, pixbuf, x, y, width, height);
    cairo_fill(cr);
}

void pelk_controls_drawing_pixbuf(cairo_t *cr, GdkPixbuf *pixbuf, int x, int y, int width, int height) {
    if (pixbuf == nullptr) {
        return;
    }
    cairo_set_source_surface(cr, painted_surface(pixbuf, width, height), x, y);
    cairo_paint(cr);
}

void Pelk_Cairo_DrawText_Centered(cairo_t *cr, const char *text, int font_size, int x, int y, int width, int height) {
    if (text == nullptr) {
        return;
    }
    apply_text_style(cr, font_size);
    const double w = ink_width(cr, text);
    const int left = static_cast<int>(width / 2 - w / 2 + x);
    const int baseline = y + height / 2;
    cairo_move_to(cr, left, baseline);
    cairo_show_text(cr, text);
}

int pelk_controls_drawing_entry_text_left(double ink_width, size_t byte_count, int x, int width) {
    if (byte_count == 0) {
        return x;
    }
    const long mean = static_cast<long>(ink_width / static_cast<double>(byte_count));
    // Ink narrower than a pixel a byte (spaces only) says nothing about the
    // width; such a text is measured directly instead of divided by zero.
    const bool overflows = mean > 0 ? width / mean < static_cast<long>(ink_width / mean) : ink_width > width;
    return overflows ? static_cast<int>((x + width) - ink_width) : x;
}

void Pelk_Cairo_DrawText_For_Entry(cairo_t *cr, const char *text, int font_size, int x, int y, int width) {
    if (text == nullptr) {
        return;
    }
    apply_text_style(cr, font_size);
    int left = x;
    if (text[0] != '\0') {
        left = pelk_controls_drawing_entry_text_left(ink_width(cr, text), strlen(text), x, width);
    }
    cairo_move_to(cr, left, y);
    cairo_show_text(cr, text);
}
