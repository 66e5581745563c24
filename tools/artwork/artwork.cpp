// Draws every picture of the client's image bundle and the desktop icon from code, so the artwork can be
// regenerated, reviewed as a diff of intent rather than of pixels, and kept on one palette.
//
//   veltra-artwork [BUNDLE_DIR [ICON_DIR]]            write the pictures
//   veltra-artwork --check [BUNDLE_DIR [ICON_DIR]]    load them back and verify size, format, alpha and key pixels
//
// The same table drives both modes, so a picture cannot be added without saying what it must look like.

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#ifndef VELTRA_ARTWORK_SOURCE_DIR
#define VELTRA_ARTWORK_SOURCE_DIR "."
#endif
#ifndef VELTRA_ARTWORK_ICON_DIR
#define VELTRA_ARTWORK_ICON_DIR "../../data/icons"
#endif

namespace {

constexpr double kPi = std::numbers::pi;
constexpr const char *kFontFamily = "DejaVu Sans";
constexpr const char *kCondensedFamily = "DejaVu Sans Condensed";

// ---------------------------------------------------------------------------------------------------------------
// RAII for the C objects.

struct SurfaceDeleter {
    void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
    void operator()(cairo_t *cr) const { cairo_destroy(cr); }
};
struct PatternDeleter {
    void operator()(cairo_pattern_t *p) const { cairo_pattern_destroy(p); }
};
struct FontOptionsDeleter {
    void operator()(cairo_font_options_t *o) const { cairo_font_options_destroy(o); }
};
struct GObjectDeleter {
    void operator()(gpointer o) const { g_object_unref(o); }
};

using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;
using PatternPtr = std::unique_ptr<cairo_pattern_t, PatternDeleter>;
using FontOptionsPtr = std::unique_ptr<cairo_font_options_t, FontOptionsDeleter>;
using PixbufPtr = std::unique_ptr<GdkPixbuf, GObjectDeleter>;

// ---------------------------------------------------------------------------------------------------------------
// Palette. Every colour in the bundle derives from these, so a change of brand colour is one line.

struct Rgb {
    double r, g, b;
};

constexpr Rgb rgb(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0}; }

constexpr Rgb kWindowGreen = rgb(8, 122, 73);
constexpr Rgb kBarGreen = rgb(33, 133, 58);
constexpr Rgb kFieldGreen = rgb(8, 37, 25);
constexpr Rgb kRowGreen = rgb(9, 66, 41);
constexpr Rgb kButtonGreen = rgb(48, 178, 86);
constexpr Rgb kLoginGreen = rgb(56, 196, 96);
constexpr Rgb kKnobGreen = rgb(62, 204, 106);
constexpr Rgb kKnobDarkGreen = rgb(18, 84, 52);
constexpr Rgb kCancelRed = rgb(128, 52, 50);
constexpr Rgb kBlack = rgb(0, 0, 0);
constexpr Rgb kNearBlack = rgb(22, 24, 23);
constexpr Rgb kWhite = rgb(255, 255, 255);
constexpr Rgb kLightGrey = rgb(230, 230, 230);
constexpr Rgb kMidGrey = rgb(128, 132, 130);
constexpr Rgb kGold = rgb(246, 188, 36);
constexpr Rgb kGoldDeep = rgb(214, 132, 16);
constexpr Rgb kConnectDisabled = rgb(128, 128, 96);
constexpr Rgb kConnectGreen = rgb(46, 184, 92);
constexpr Rgb kConnectOrange = rgb(240, 140, 30);
constexpr Rgb kConnectRed = rgb(210, 50, 45);
constexpr Rgb kSocialBlue = rgb(62, 92, 156);
constexpr Rgb kSocialSky = rgb(42, 158, 220);
constexpr Rgb kSocialRed = rgb(206, 72, 54);

constexpr Rgb mix(Rgb a, Rgb b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
constexpr Rgb lighter(Rgb c, double t) { return mix(c, kWhite, t); }
constexpr Rgb darker(Rgb c, double t) { return mix(c, kBlack, t); }

// A tone is what the disabled login button is made of: the colour's own luminance, a little dimmed.
Rgb desaturate(Rgb c, double keep) {
    const double grey = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
    return mix(Rgb{grey, grey, grey}, c, keep);
}

void set_colour(cairo_t *cr, Rgb c, double alpha = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void set_vertical_gradient(cairo_t *cr, double y0, double y1, Rgb top, Rgb bottom, double alpha = 1.0) {
    PatternPtr p{cairo_pattern_create_linear(0, y0, 0, y1)};
    cairo_pattern_add_color_stop_rgba(p.get(), 0, top.r, top.g, top.b, alpha);
    cairo_pattern_add_color_stop_rgba(p.get(), 1, bottom.r, bottom.g, bottom.b, alpha);
    cairo_set_source(cr, p.get());
}

// A white sheen fading out downwards: the highlight that keeps flat fills from looking like a wireframe.
void set_sheen(cairo_t *cr, double y0, double y1, double strength) {
    PatternPtr p{cairo_pattern_create_linear(0, y0, 0, y1)};
    cairo_pattern_add_color_stop_rgba(p.get(), 0, 1, 1, 1, strength);
    cairo_pattern_add_color_stop_rgba(p.get(), 1, 1, 1, 1, 0);
    cairo_set_source(cr, p.get());
}

// ---------------------------------------------------------------------------------------------------------------
// Shapes.

void rounded_rect(cairo_t *cr, double x, double y, double w, double h, double r) {
    r = std::min({r, w / 2, h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

void star_path(cairo_t *cr, double cx, double cy, double outer, double inner) {
    constexpr int kPoints = 5;
    cairo_new_sub_path(cr);
    for (int i = 0; i < 2 * kPoints; ++i) {
        const double radius = (i % 2 == 0) ? outer : inner;
        const double angle = -kPi / 2 + i * kPi / kPoints;
        cairo_line_to(cr, cx + radius * std::cos(angle), cy + radius * std::sin(angle));
    }
    cairo_close_path(cr);
}

// The shield of the logo, in a w x h box: a peak at the top, straight flanks, and a point at the bottom.
void shield_path(cairo_t *cr, double x, double y, double w, double h) {
    auto px = [&](double u) { return x + u * w; };
    auto py = [&](double v) { return y + v * h; };
    cairo_new_sub_path(cr);
    cairo_move_to(cr, px(0.5), py(0.0));
    cairo_curve_to(cr, px(0.66), py(0.08), px(0.84), py(0.12), px(1.0), py(0.12));
    cairo_line_to(cr, px(1.0), py(0.46));
    cairo_curve_to(cr, px(1.0), py(0.74), px(0.78), py(0.9), px(0.5), py(1.0));
    cairo_curve_to(cr, px(0.22), py(0.9), px(0.0), py(0.74), px(0.0), py(0.46));
    cairo_line_to(cr, px(0.0), py(0.12));
    cairo_curve_to(cr, px(0.16), py(0.12), px(0.34), py(0.08), px(0.5), py(0.0));
    cairo_close_path(cr);
}

struct ShieldStyle {
    Rgb top;
    Rgb bottom;
    Rgb rim;
    Rgb mark;
    double rim_width;
    double mark_width;
};

void draw_shield(cairo_t *cr, double x, double y, double w, double h, const ShieldStyle &style) {
    shield_path(cr, x, y, w, h);
    set_vertical_gradient(cr, y, y + h, style.top, style.bottom);
    cairo_fill_preserve(cr);

    // The right half a shade darker reads as a lit, folded face rather than a flat sticker.
    cairo_save(cr);
    cairo_clip(cr);
    cairo_rectangle(cr, x + w / 2, y, w / 2, h);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
    cairo_fill(cr);
    cairo_restore(cr);

    if (style.rim_width > 0) {
        shield_path(cr, x, y, w, h);
        cairo_set_line_width(cr, style.rim_width);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        set_colour(cr, style.rim);
        cairo_stroke(cr);
    }

    cairo_move_to(cr, x + 0.27 * w, y + 0.50 * h);
    cairo_line_to(cr, x + 0.44 * w, y + 0.65 * h);
    cairo_line_to(cr, x + 0.75 * w, y + 0.33 * h);
    cairo_set_line_width(cr, style.mark_width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    set_colour(cr, style.mark);
    cairo_stroke(cr);
}

// ---------------------------------------------------------------------------------------------------------------
// Text. The toy API is enough for single words; DejaVu is what the build machines are guaranteed to have.

void select_font(cairo_t *cr, double size, const char *family = kFontFamily) {
    cairo_select_font_face(cr, family, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, size);
    // Hinted outlines keep small labels crisp; the options are fixed here so the output does not depend on the
    // desktop settings of whoever regenerates the pictures.
    FontOptionsPtr options{cairo_font_options_create()};
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options.get());
}

double text_advance(cairo_t *cr, const char *text, double size, const char *family = kFontFamily) {
    select_font(cr, size, family);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, text, &ext);
    return ext.x_advance;
}

// Labels get the largest size up to `size` that fits, so a longer word shrinks instead of spilling.
double fit_font_size(cairo_t *cr, const char *text, double size, double max_width, const char *family = kFontFamily) {
    constexpr double kMinSize = 7.0;
    constexpr double kStep = 0.25;
    while (size > kMinSize && text_advance(cr, text, size, family) > max_width) {
        size -= kStep;
    }
    return size;
}

// Baseline that puts capital letters' middle on cy, whatever descenders the word has, snapped to a pixel row.
double centred_baseline(cairo_t *cr, double cy, double size) {
    select_font(cr, size);
    cairo_text_extents_t cap;
    cairo_text_extents(cr, "H", &cap);
    return std::round(cy - cap.y_bearing / 2);
}

struct Label {
    const char *text;
    double size;
    Rgb colour;
    double alpha = 1.0;
    double shadow = 0.35;  // opacity of the one-pixel drop shadow; 0 for none
    const char *family = kFontFamily;
};

void show_text_at(cairo_t *cr, const Label &label, double x, double baseline) {
    select_font(cr, label.size, label.family);
    x = std::round(x);
    if (label.shadow > 0) {
        cairo_move_to(cr, x, baseline + 1);
        cairo_set_source_rgba(cr, 0, 0, 0, label.shadow);
        cairo_show_text(cr, label.text);
    }
    cairo_move_to(cr, x, baseline);
    set_colour(cr, label.colour, label.alpha);
    cairo_show_text(cr, label.text);
    cairo_new_path(cr);
}

void show_text_centred(cairo_t *cr, const Label &label, double cx, double cy) {
    select_font(cr, label.size, label.family);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, label.text, &ext);
    show_text_at(cr, label, cx - ext.x_bearing - ext.width / 2, centred_baseline(cr, cy, label.size));
}

// ---------------------------------------------------------------------------------------------------------------
// Small line icons for the bottom bars, all drawn in one colour around a centre point.

void draw_gear(cairo_t *cr, double cx, double cy, double outer, Rgb colour) {
    constexpr int kTeeth = 8;
    constexpr double kToothHalf = 0.16;  // of one tooth period, at the tip
    constexpr double kRootHalf = 0.30;   // of one tooth period, at the root
    const double inner = outer * 0.74;
    const double step = 2 * kPi / kTeeth;
    cairo_new_sub_path(cr);
    for (int i = 0; i < kTeeth; ++i) {
        const double a = i * step;
        cairo_line_to(cr, cx + outer * std::cos(a - kToothHalf * step), cy + outer * std::sin(a - kToothHalf * step));
        cairo_line_to(cr, cx + outer * std::cos(a + kToothHalf * step), cy + outer * std::sin(a + kToothHalf * step));
        cairo_arc(cr, cx, cy, inner, a + kRootHalf * step, a + step - kRootHalf * step);
    }
    cairo_close_path(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx, cy, outer * 0.34, 0, 2 * kPi);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    set_vertical_gradient(cr, cy - outer, cy + outer, colour, darker(colour, 0.22));
    cairo_fill(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
}

void draw_antenna(cairo_t *cr, double cx, double cy, Rgb colour) {
    set_colour(cr, colour);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 1.7);
    cairo_move_to(cr, cx, cy - 1);
    cairo_line_to(cr, cx, cy + 8);
    cairo_stroke(cr);
    cairo_arc(cr, cx, cy - 2.5, 2.0, 0, 2 * kPi);
    cairo_fill(cr);
    constexpr double kSpread = 0.75;  // radians either side of horizontal
    for (double radius : {4.6, 8.0}) {
        cairo_arc(cr, cx, cy - 2.5, radius, -kSpread, kSpread);
        cairo_stroke(cr);
        cairo_arc(cr, cx, cy - 2.5, radius, kPi - kSpread, kPi + kSpread);
        cairo_stroke(cr);
    }
}

void draw_person(cairo_t *cr, double cx, double cy, Rgb colour) {
    set_vertical_gradient(cr, cy - 8, cy + 8, colour, darker(colour, 0.2));
    cairo_arc(cr, cx, cy - 4, 3.6, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_move_to(cr, cx - 6.5, cy + 7);
    cairo_curve_to(cr, cx - 6.5, cy + 0.5, cx + 6.5, cy + 0.5, cx + 6.5, cy + 7);
    cairo_close_path(cr);
    cairo_fill(cr);
}

// A small white bird of our own, perched and facing right: tilted body, round head, beak, dropped tail and legs.
void draw_bird(cairo_t *cr, double cx, double cy) {
    set_colour(cr, kWhite);
    cairo_save(cr);
    cairo_translate(cr, cx - 0.5, cy + 1.2);
    cairo_rotate(cr, -0.35);
    cairo_scale(cr, 1.35, 1.0);
    cairo_arc(cr, 0, 0, 3.9, 0, 2 * kPi);
    cairo_restore(cr);
    cairo_fill(cr);
    cairo_arc(cr, cx + 3.6, cy - 2.8, 2.7, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_move_to(cr, cx + 5.8, cy - 3.9);
    cairo_line_to(cr, cx + 8.8, cy - 2.9);
    cairo_line_to(cr, cx + 5.9, cy - 1.7);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_move_to(cr, cx - 4.2, cy + 1.0);
    cairo_line_to(cr, cx - 8.6, cy + 5.4);
    cairo_line_to(cr, cx - 2.6, cy + 4.2);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 1.1);
    for (double x : {cx - 0.8, cx + 1.6}) {
        cairo_move_to(cr, x, cy + 4.6);
        cairo_line_to(cr, x - 0.4, cy + 7.4);
    }
    cairo_stroke(cr);
    // The wing and the eye are cut back in the tile colour.
    set_colour(cr, kSocialSky);
    cairo_arc(cr, cx + 4.3, cy - 3.2, 0.75, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_move_to(cr, cx - 3.6, cy + 2.6);
    cairo_curve_to(cr, cx - 2.2, cy - 0.2, cx + 0.6, cy - 0.6, cx + 2.2, cy + 1.0);
    cairo_stroke(cr);
}

// ---------------------------------------------------------------------------------------------------------------
// Composite pieces.

struct ButtonLook {
    Rgb top;
    Rgb bottom;
    Rgb border;
    double radius;
    double sheen;
};

void draw_button_body(cairo_t *cr, double w, double h, const ButtonLook &look) {
    rounded_rect(cr, 0.5, 0.5, w - 1, h - 1, look.radius);
    set_vertical_gradient(cr, 0, h, look.top, look.bottom);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, look.border);
    cairo_stroke(cr);

    // Gloss on the upper half, inset so the border stays clean.
    rounded_rect(cr, 1.5, 1.5, w - 3, h / 2 - 1, look.radius - 1);
    set_sheen(cr, 1.5, h / 2, look.sheen);
    cairo_fill(cr);

    // A one-pixel light line under the top edge gives the bevel.
    cairo_move_to(cr, look.radius, 1.5);
    cairo_line_to(cr, w - look.radius, 1.5);
    cairo_set_source_rgba(cr, 1, 1, 1, look.sheen * 0.9);
    cairo_stroke(cr);
}

ButtonLook green_button(Rgb base, double radius) {
    return {lighter(base, 0.18), darker(base, 0.22), darker(base, 0.5), radius, 0.30};
}

void draw_dialog_button(cairo_t *cr, int w, int h, Rgb base, const char *text, bool check) {
    draw_button_body(cr, w, h, green_button(base, 6));
    constexpr double kLabelSize = 14;
    const double size = fit_font_size(cr, text, kLabelSize, w - (check ? 26 : 12));
    if (!check) {
        show_text_centred(cr, {text, size, kWhite}, w / 2.0, h / 2.0);
        return;
    }
    // A tick before the word makes the affirmative button recognisable even without reading.
    const double text_w = text_advance(cr, text, size);
    constexpr double kTickW = 11, kGap = 4;
    const double x0 = std::round((w - (kTickW + kGap + text_w)) / 2);
    const double cy = h / 2.0;
    cairo_move_to(cr, x0 + 1, cy + 0.5);
    cairo_line_to(cr, x0 + 4.5, cy + 4);
    cairo_line_to(cr, x0 + kTickW, cy - 4);
    cairo_set_line_width(cr, 2.4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_save(cr);
    cairo_translate(cr, 0, 1);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.3);
    cairo_stroke_preserve(cr);
    cairo_restore(cr);
    set_colour(cr, kWhite);
    cairo_stroke(cr);
    show_text_at(cr, {text, size, kWhite}, x0 + kTickW + kGap, centred_baseline(cr, cy, size));
}

enum class LoginState { Normal, Disabled, Focused };

void draw_login_button(cairo_t *cr, int w, int h, LoginState state) {
    constexpr double kRadius = 8;
    constexpr double kLabelSize = 16;
    switch (state) {
    case LoginState::Normal:
        draw_button_body(cr, w, h, green_button(kLoginGreen, kRadius));
        show_text_centred(cr, {"LOGIN", kLabelSize, kWhite}, w / 2.0, h / 2.0);
        break;
    case LoginState::Disabled: {
        const Rgb grey = darker(desaturate(kLoginGreen, 0.15), 0.25);
        ButtonLook look = green_button(grey, kRadius);
        look.sheen = 0.14;
        draw_button_body(cr, w, h, look);
        show_text_centred(cr, {"LOGIN", kLabelSize, kLightGrey, 0.45, 0.15}, w / 2.0, h / 2.0);
        break;
    }
    case LoginState::Focused:
        draw_button_body(cr, w, h, green_button(lighter(kLoginGreen, 0.18), kRadius));
        rounded_rect(cr, 1, 1, w - 2, h - 2, kRadius - 0.5);
        cairo_set_line_width(cr, 2);
        set_colour(cr, kWhite);
        cairo_stroke(cr);
        show_text_centred(cr, {"LOGIN", kLabelSize, kWhite}, w / 2.0, h / 2.0);
        break;
    }
}

void draw_text_field(cairo_t *cr, int w, int h, Rgb fill, Rgb edge) {
    constexpr double kRadius = 5;
    rounded_rect(cr, 0.5, 0.5, w - 1, h - 1, kRadius);
    set_colour(cr, fill);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, edge);
    cairo_stroke(cr);
    // A soft shadow under the top edge makes the box read as sunk into the window.
    cairo_save(cr);
    rounded_rect(cr, 1, 1, w - 2, h - 2, kRadius - 0.5);
    cairo_clip(cr);
    PatternPtr p{cairo_pattern_create_linear(0, 1, 0, 5)};
    cairo_pattern_add_color_stop_rgba(p.get(), 0, 0, 0, 0, 0.45);
    cairo_pattern_add_color_stop_rgba(p.get(), 1, 0, 0, 0, 0);
    cairo_set_source(cr, p.get());
    cairo_paint(cr);
    cairo_restore(cr);
}

void draw_caret(cairo_t *cr, int w, int h) {
    set_colour(cr, kLightGrey);
    const double mid = w / 2.0;
    cairo_rectangle(cr, mid - 1, 1, 2, h - 2);  // stem, two pixels so it stays visible on black
    cairo_rectangle(cr, mid - 3, 0, 6, 1);      // top serif
    cairo_rectangle(cr, mid - 3, h - 1, 6, 1);  // bottom serif
    cairo_fill(cr);
}

constexpr double kDiscDesign = 118;  // the connect disc is drawn in these units and scaled to any size

void draw_connect_disc(cairo_t *cr, double size, Rgb fill) {
    cairo_save(cr);
    cairo_scale(cr, size / kDiscDesign, size / kDiscDesign);
    constexpr double c = kDiscDesign / 2;
    constexpr double kFaceRadius = 52;

    // Dark ring: radial so its outer edge is the darkest, like a bezel.
    {
        PatternPtr p{cairo_pattern_create_radial(c, c - 8, 40, c, c, c)};
        cairo_pattern_add_color_stop_rgb(p.get(), 0, 0.20, 0.22, 0.21);
        cairo_pattern_add_color_stop_rgb(p.get(), 1, 0.04, 0.05, 0.045);
        cairo_arc(cr, c, c, c, 0, 2 * kPi);
        cairo_set_source(cr, p.get());
        cairo_fill(cr);
    }
    // Thin light lip at the ring's inner edge.
    cairo_arc(cr, c, c, kFaceRadius + 1.5, 0, 2 * kPi);
    set_vertical_gradient(cr, c - kFaceRadius, c + kFaceRadius, rgb(120, 124, 122), rgb(40, 42, 41));
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    // Face: lit from the upper left.
    {
        PatternPtr p{cairo_pattern_create_radial(c - 16, c - 22, 4, c, c, kFaceRadius + 14)};
        const Rgb hi = lighter(fill, 0.28), lo = darker(fill, 0.30);
        cairo_pattern_add_color_stop_rgb(p.get(), 0, hi.r, hi.g, hi.b);
        cairo_pattern_add_color_stop_rgb(p.get(), 0.55, fill.r, fill.g, fill.b);
        cairo_pattern_add_color_stop_rgb(p.get(), 1, lo.r, lo.g, lo.b);
        cairo_arc(cr, c, c, kFaceRadius, 0, 2 * kPi);
        cairo_set_source(cr, p.get());
        cairo_fill(cr);
    }
    // Gloss cap over the upper part of the face.
    cairo_save(cr);
    cairo_translate(cr, c, c - 24);
    cairo_scale(cr, 1.0, 0.52);
    cairo_arc(cr, 0, 0, 40, 0, 2 * kPi);
    cairo_restore(cr);
    set_sheen(cr, c - 45, c - 3, 0.38);
    cairo_fill(cr);

    // Power symbol: an open ring and a bar, with a soft shadow so it sits on the face.
    constexpr double kSymbolRadius = 22, kGap = 0.62, kStroke = 7;
    auto symbol = [&] {
        cairo_new_sub_path(cr);
        cairo_arc(cr, c, c + 3, kSymbolRadius, -kPi / 2 + kGap, 3 * kPi / 2 - kGap);
        cairo_move_to(cr, c, c + 3 - kSymbolRadius - 9);
        cairo_line_to(cr, c, c + 3 - 4);
    };
    cairo_set_line_width(cr, kStroke);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_save(cr);
    cairo_translate(cr, 0, 2);
    symbol();
    cairo_set_source_rgba(cr, 0, 0, 0, 0.30);
    cairo_stroke(cr);
    cairo_restore(cr);
    symbol();
    set_vertical_gradient(cr, c - 30, c + 26, kWhite, rgb(226, 230, 228));
    cairo_stroke(cr);
    cairo_restore(cr);
}

// Both bottom bars share everything but the left item.
enum class LeftItem { Settings, Connection };

constexpr double kBarIconY = 17;
constexpr std::array<double, 3> kSocialCentres = {171, 214, 255};
constexpr double kSocialSize = 22;
constexpr std::array<double, 2> kSeparators = {126.5, 300.5};

// Puts an icon and a word side by side, centred inside [x0, x1], shrinking the word if it does not fit.
void draw_bar_item(cairo_t *cr, double x0, double x1, double icon_w, const char *text,
                   const std::function<void(double cx)> &icon) {
    constexpr double kGap = 5, kLabelSize = 12, kSmallest = 11.5;
    const double room = (x1 - x0) - icon_w - kGap;
    // A long word goes condensed before it goes small, so both bars keep labels of one height.
    const char *family = kFontFamily;
    double size = fit_font_size(cr, text, kLabelSize, room, family);
    if (size < kSmallest) {
        family = kCondensedFamily;
        size = fit_font_size(cr, text, kLabelSize, room, family);
    }
    const double total = icon_w + kGap + text_advance(cr, text, size, family);
    const double start = std::round(x0 + ((x1 - x0) - total) / 2);
    icon(start + icon_w / 2);
    show_text_at(cr, {text, size, kLightGrey, 1.0, 0.0, family}, start + icon_w + kGap,
                 centred_baseline(cr, kBarIconY, size));
}

void draw_social_tile(cairo_t *cr, double cx, Rgb colour, const std::function<void()> &glyph) {
    const double x = std::round(cx - kSocialSize / 2), y = std::round(kBarIconY - kSocialSize / 2);
    rounded_rect(cr, x + 0.5, y + 0.5, kSocialSize - 1, kSocialSize - 1, 4);
    set_vertical_gradient(cr, y, y + kSocialSize, lighter(colour, 0.15), darker(colour, 0.15));
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, darker(colour, 0.45));
    cairo_stroke(cr);
    rounded_rect(cr, x + 1.5, y + 1.5, kSocialSize - 3, kSocialSize / 2 - 1, 3);
    set_sheen(cr, y + 1, y + kSocialSize / 2, 0.25);
    cairo_fill(cr);
    glyph();
}

void draw_bottom_bar(cairo_t *cr, int w, int h, LeftItem left) {
    set_vertical_gradient(cr, 0, h, rgb(34, 36, 35), kBlack);
    cairo_paint(cr);
    {
        PatternPtr p{cairo_pattern_create_linear(0, 0, 0, h)};
        cairo_pattern_add_color_stop_rgb(p.get(), 0, 0.14, 0.15, 0.145);
        cairo_pattern_add_color_stop_rgb(p.get(), 0.55, 0.02, 0.02, 0.02);
        cairo_pattern_add_color_stop_rgb(p.get(), 1, 0, 0, 0);
        cairo_set_source(cr, p.get());
        cairo_paint(cr);
    }
    cairo_rectangle(cr, 0, 0, w, 1);
    set_colour(cr, rgb(70, 74, 72));
    cairo_fill(cr);

    for (double x : kSeparators) {
        PatternPtr p{cairo_pattern_create_linear(0, 5, 0, h - 5)};
        cairo_pattern_add_color_stop_rgba(p.get(), 0, 1, 1, 1, 0);
        cairo_pattern_add_color_stop_rgba(p.get(), 0.5, 1, 1, 1, 0.28);
        cairo_pattern_add_color_stop_rgba(p.get(), 1, 1, 1, 1, 0);
        cairo_rectangle(cr, x - 0.5, 5, 1, h - 10);
        cairo_set_source(cr, p.get());
        cairo_fill(cr);
    }

    if (left == LeftItem::Settings) {
        draw_bar_item(cr, 13, 98, 16, "Settings", [&](double cx) { draw_gear(cr, cx, kBarIconY, 7.8, kLightGrey); });
    } else {
        draw_bar_item(cr, 13, 98, 18, "Connection", [&](double cx) { draw_antenna(cr, cx, kBarIconY, kLightGrey); });
    }

    constexpr double kGlyphSize = 15;
    draw_social_tile(cr, kSocialCentres[0], kSocialBlue, [&] {
        show_text_centred(cr, {"f", kGlyphSize + 1, kWhite, 1.0, 0.0}, kSocialCentres[0] + 1, kBarIconY + 0.5);
    });
    draw_social_tile(cr, kSocialCentres[1], kSocialSky, [&] { draw_bird(cr, kSocialCentres[1], kBarIconY); });
    draw_social_tile(cr, kSocialCentres[2], kSocialRed, [&] {
        show_text_centred(cr, {"g+", 11, kWhite, 1.0, 0.0}, kSocialCentres[2] + 0.5, kBarIconY - 1);
    });

    draw_bar_item(cr, 331, 416, 14, "Log out", [&](double cx) { draw_person(cr, cx, kBarIconY, kLightGrey); });
}

void draw_top_bar(cairo_t *cr, int w, int h) {
    {
        PatternPtr p{cairo_pattern_create_linear(0, 0, 0, h)};
        const Rgb top = lighter(kBarGreen, 0.12), bottom = darker(kBarGreen, 0.16);
        cairo_pattern_add_color_stop_rgb(p.get(), 0, top.r, top.g, top.b);
        cairo_pattern_add_color_stop_rgb(p.get(), 0.5, kBarGreen.r, kBarGreen.g, kBarGreen.b);
        cairo_pattern_add_color_stop_rgb(p.get(), 1, bottom.r, bottom.g, bottom.b);
        cairo_set_source(cr, p.get());
        cairo_paint(cr);
    }
    cairo_rectangle(cr, 0, 0, w, 1);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.28);
    cairo_fill(cr);
    cairo_rectangle(cr, 0, h - 1, w, 1);
    set_colour(cr, darker(kBarGreen, 0.5));
    cairo_fill(cr);

    // Logo: a light shield carrying the window-green tick, then the name.
    constexpr double kShieldX = 14, kShieldY = 10, kShieldW = 26, kShieldH = 32;
    cairo_save(cr);
    cairo_translate(cr, 0, 1.5);
    shield_path(cr, kShieldX, kShieldY, kShieldW, kShieldH);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.25);
    cairo_fill(cr);
    cairo_restore(cr);
    draw_shield(cr, kShieldX, kShieldY, kShieldW, kShieldH,
                {kWhite, kLightGrey, darker(kBarGreen, 0.45), kWindowGreen, 1.0, 3.6});
    show_text_at(cr, {"Veltra", 22, kWhite, 1.0, 0.35}, kShieldX + kShieldW + 9, centred_baseline(cr, h / 2.0, 22));

    // The frame the close and minimise buttons sit in (buttons at x 357..381 and 383..407, y 16..37).
    constexpr double kFrameX = 353, kFrameY = 12, kFrameW = 58, kFrameH = 29;
    rounded_rect(cr, kFrameX, kFrameY + 1, kFrameW, kFrameH, 6);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
    cairo_fill(cr);
    rounded_rect(cr, kFrameX, kFrameY, kFrameW, kFrameH, 6);
    set_colour(cr, kBlack);
    cairo_fill(cr);
}

enum class WindowGlyph { Close, Minimise };

void draw_window_button(cairo_t *cr, int w, int h, WindowGlyph glyph) {
    set_vertical_gradient(cr, 0, h, lighter(kWindowGreen, 0.08), darker(kWindowGreen, 0.08));
    cairo_paint(cr);
    cairo_rectangle(cr, 0, 0, w, 1);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.22);
    cairo_fill(cr);

    const double cx = w / 2.0, cy = std::floor(h / 2.0) + 0.5;
    cairo_set_line_width(cr, 2);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    if (glyph == WindowGlyph::Close) {
        constexpr double kArm = 4.5;
        cairo_move_to(cr, cx - kArm, cy - kArm);
        cairo_line_to(cr, cx + kArm, cy + kArm);
        cairo_move_to(cr, cx + kArm, cy - kArm);
        cairo_line_to(cr, cx - kArm, cy + kArm);
    } else {
        cairo_move_to(cr, cx - 5, cy + 0.5);
        cairo_line_to(cr, cx + 5, cy + 0.5);
    }
    set_colour(cr, kWhite);
    cairo_stroke(cr);
}

constexpr double kRowRadius = 6;

void draw_server_row(cairo_t *cr, int w, int h) {
    set_colour(cr, kWindowGreen);
    cairo_paint(cr);
    rounded_rect(cr, 0.5, 0.5, w - 1, h - 1, kRowRadius);
    set_vertical_gradient(cr, 0, h, lighter(kRowGreen, 0.06), darker(kRowGreen, 0.18));
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, lighter(kWindowGreen, 0.32), 0.85);
    cairo_stroke(cr);
    cairo_move_to(cr, kRowRadius, 1.5);
    cairo_line_to(cr, w - kRowRadius, 1.5);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.10);
    cairo_stroke(cr);
}

void draw_upgrade_overlay(cairo_t *cr, int w, int h) {
    rounded_rect(cr, 0, 0, w, h, kRowRadius);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.50);
    cairo_fill(cr);

    constexpr double kTagSize = 10, kTagPad = 7, kTagH = 19, kRightMargin = 7;
    const double text_w = text_advance(cr, "UPGRADE", kTagSize);
    const double tag_w = std::round(text_w + 2 * kTagPad);
    const double x = w - kRightMargin - tag_w, y = std::round((h - kTagH) / 2);
    rounded_rect(cr, x + 0.5, y + 0.5, tag_w - 1, kTagH - 1, 4);
    set_vertical_gradient(cr, y, y + kTagH, lighter(kGold, 0.2), kGoldDeep);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, darker(kGoldDeep, 0.35));
    cairo_stroke(cr);
    rounded_rect(cr, x + 1.5, y + 1.5, tag_w - 3, kTagH / 2 - 1, 3);
    set_sheen(cr, y + 1, y + kTagH / 2, 0.35);
    cairo_fill(cr);
    show_text_centred(cr, {"UPGRADE", kTagSize, rgb(74, 38, 0), 1.0, 0.0}, x + tag_w / 2, y + kTagH / 2.0);
}

void draw_public_ip_box(cairo_t *cr, int w, int h) {
    constexpr double kEdge = 1.5;
    rounded_rect(cr, kEdge / 2, kEdge / 2, w - kEdge, h - kEdge, kRowRadius);
    set_colour(cr, kWindowGreen);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, kEdge);
    set_colour(cr, darker(kWindowGreen, 0.55));
    cairo_stroke(cr);
    cairo_save(cr);
    rounded_rect(cr, kEdge, kEdge, w - 2 * kEdge, h - 2 * kEdge, kRowRadius - 1);
    cairo_clip(cr);
    PatternPtr p{cairo_pattern_create_linear(0, kEdge, 0, kEdge + 4)};
    cairo_pattern_add_color_stop_rgba(p.get(), 0, 0, 0, 0, 0.22);
    cairo_pattern_add_color_stop_rgba(p.get(), 1, 0, 0, 0, 0);
    cairo_set_source(cr, p.get());
    cairo_paint(cr);
    cairo_restore(cr);
}

constexpr double kStarOuter = 9.4, kStarInner = 3.8;

void draw_star(cairo_t *cr, int w, int h, bool filled) {
    const double cx = w / 2.0, cy = h / 2.0 + 0.6;
    star_path(cr, cx, cy, kStarOuter, kStarInner);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    if (filled) {
        set_vertical_gradient(cr, cy - kStarOuter, cy + kStarOuter, lighter(kGold, 0.35), kGoldDeep);
        cairo_fill_preserve(cr);
        cairo_set_line_width(cr, 1);
        set_colour(cr, darker(kGoldDeep, 0.25));
    } else {
        cairo_set_line_width(cr, 1.3);
        set_colour(cr, kLightGrey);
    }
    cairo_stroke(cr);
}

void draw_no_sign(cairo_t *cr, int w, int h) {
    set_colour(cr, kWhite);
    cairo_paint(cr);
    const double cx = w / 2.0, cy = h / 2.0, r = std::min(w, h) / 2.0 - 4;
    cairo_arc(cr, cx, cy + 1, r, 0, 2 * kPi);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
    cairo_fill(cr);
    cairo_arc(cr, cx, cy, r, 0, 2 * kPi);
    set_vertical_gradient(cr, cy - r, cy + r, lighter(kConnectRed, 0.15), darker(kConnectRed, 0.15));
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1.5);
    set_colour(cr, darker(kConnectRed, 0.35));
    cairo_stroke(cr);
    constexpr double kArm = 10;
    cairo_move_to(cr, cx - kArm, cy - kArm);
    cairo_line_to(cr, cx + kArm, cy + kArm);
    cairo_move_to(cr, cx + kArm, cy - kArm);
    cairo_line_to(cr, cx - kArm, cy + kArm);
    cairo_set_line_width(cr, 6);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    set_colour(cr, kWhite);
    cairo_stroke(cr);
}

void draw_switch(cairo_t *cr, int w, int h, bool on) {
    const double r = h / 2.0;
    rounded_rect(cr, 0.5, 0.5, w - 1, h - 1, r - 0.5);
    set_vertical_gradient(cr, 0, h, rgb(6, 7, 7), kNearBlack);
    cairo_fill_preserve(cr);
    cairo_set_line_width(cr, 1);
    set_colour(cr, rgb(58, 62, 60));
    cairo_stroke(cr);

    // The knob covers a bit more than half the track and carries the state's word.
    constexpr double kKnobW = 46, kInset = 2.5;
    const double kx = on ? w - kInset - kKnobW : kInset;
    const Rgb base = on ? kKnobGreen : kKnobDarkGreen;
    cairo_save(cr);
    cairo_translate(cr, 0, 1);
    rounded_rect(cr, kx, kInset, kKnobW, h - 2 * kInset, r - kInset);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
    cairo_fill(cr);
    cairo_restore(cr);
    ButtonLook look = green_button(base, r - kInset);
    look.sheen = on ? 0.32 : 0.16;
    cairo_save(cr);
    cairo_translate(cr, kx - 0.5, kInset - 0.5);
    draw_button_body(cr, kKnobW + 1, h - 2 * kInset + 1, look);
    cairo_restore(cr);
    const Label label = on ? Label{"ON", 11, kWhite} : Label{"OFF", 11, rgb(190, 214, 200), 1.0, 0.25};
    show_text_centred(cr, label, kx + kKnobW / 2, h / 2.0);
}

constexpr double kIconDesign = 256;

void draw_app_icon(cairo_t *cr, int size) {
    const double px = kIconDesign / size;  // one output pixel in design units
    cairo_scale(cr, 1 / px, 1 / px);
    constexpr double x = 30, y = 14, w = 196, h = 228;
    // Line widths have a floor in output pixels so the 16 px icon keeps its rim and tick.
    const double rim = std::max(12.0, 1.3 * px), mark = std::max(28.0, 2.2 * px);
    if (size >= 32) {
        cairo_save(cr);
        cairo_translate(cr, 0, 6);
        shield_path(cr, x, y, w, h);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.28);
        cairo_fill(cr);
        cairo_restore(cr);
    }
    const double inset = rim / 2;
    draw_shield(cr, x + inset, y + inset, w - 2 * inset, h - 2 * inset,
                {lighter(kConnectGreen, 0.15), kWindowGreen, kWhite, kWhite, rim, mark});
}

// ---------------------------------------------------------------------------------------------------------------
// The table of pictures.

enum class Root { Bundle, Icons };
enum class Channels { Rgb, Rgba };
enum class Format { Png, Jpeg, Ico };

// A pixel the checker reads back: what the picture must show there, within a tolerance per channel.
struct Probe {
    int x, y;
    std::array<int, 4> rgba;  // alpha is ignored for RGB pictures
    int tolerance;
};

// Shorthands for the probe table.
Probe transparent(int x, int y) { return {x, y, {0, 0, 0, 0}, 0}; }
Probe colour_at(int x, int y, int r, int g, int b, int tol = 24) { return {x, y, {r, g, b, 255}, tol}; }

using DrawFn = std::function<void(cairo_t *, int w, int h)>;

struct Picture {
    Root root;
    std::string path;
    int width;
    int height;
    Channels channels;
    Format format;
    DrawFn draw;
    std::vector<Probe> probes;
};

std::vector<Picture> pictures() {
    std::vector<Picture> list;
    auto add = [&](Root root, std::string path, int w, int h, Channels ch, Format fmt, DrawFn draw,
                   std::vector<Probe> probes) {
        list.push_back({root, std::move(path), w, h, ch, fmt, std::move(draw), std::move(probes)});
    };
    constexpr auto B = Root::Bundle;
    constexpr auto RGB = Channels::Rgb;
    constexpr auto RGBA = Channels::Rgba;
    constexpr auto PNG = Format::Png;

    add(B, "Common/Dialogs/btn_ok.png", 68, 37, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_dialog_button(cr, w, h, kButtonGreen, "OK", true); },
        {transparent(0, 0), transparent(67, 36), colour_at(6, 26, 40, 150, 72, 30)});
    add(B, "Common/Dialogs/btn_cancel.png", 68, 37, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_dialog_button(cr, w, h, kCancelRed, "Cancel", false); },
        {transparent(0, 0), transparent(67, 36), colour_at(4, 26, 106, 44, 42, 30)});

    add(B, "Common/Login/btnLogin.png", 130, 44, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_login_button(cr, w, h, LoginState::Normal); },
        {transparent(0, 0), transparent(129, 43), colour_at(8, 32, 50, 168, 82, 30)});
    add(B, "Common/Login/btnLogin_disabled.png", 130, 44, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_login_button(cr, w, h, LoginState::Disabled); },
        {transparent(0, 0), colour_at(8, 32, 86, 92, 88, 30)});
    add(B, "Common/Login/btnLogin_focused.png", 130, 44, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_login_button(cr, w, h, LoginState::Focused); },
        {transparent(0, 0), colour_at(65, 1, 255, 255, 255, 10), colour_at(8, 32, 82, 184, 108, 30)});
    add(B, "Common/Login/textViewBackground.png", 234, 30, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_text_field(cr, w, h, kBlack, darker(kConnectGreen, 0.15)); },
        {transparent(0, 0), colour_at(117, 20, 0, 0, 0, 4)});
    add(B, "Common/Login/textViewBackground_focused.png", 234, 30, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_text_field(cr, w, h, kFieldGreen, lighter(kFieldGreen, 0.14)); },
        {transparent(0, 0), colour_at(117, 20, 8, 37, 25, 4)});
    add(B, "Common/Login/carret.png", 8, 14, RGBA, PNG, [](cairo_t *cr, int w, int h) { draw_caret(cr, w, h); },
        {transparent(0, 7), transparent(7, 7), colour_at(4, 7, 230, 230, 230, 4)});

    // The bars are probed at the separators and in the gaps between items, where only the bar itself shows.
    const std::vector<Probe> bar_probes = {colour_at(140, 30, 0, 0, 0, 8), colour_at(320, 30, 0, 0, 0, 8),
                                           colour_at(126, 17, 70, 70, 70, 30), colour_at(171, 10, 72, 104, 170, 40),
                                           colour_at(255, 10, 218, 90, 72, 40)};
    // The two bars differ only in the left word: ink of "Settings" at x 56 where "Connection" has a gap, and the
    // other way round at x 82.
    auto with = [](std::vector<Probe> probes, std::initializer_list<Probe> more) {
        probes.insert(probes.end(), more);
        return probes;
    };
    add(
        B, "Common/Main/bottomBar.png", 421, 34, RGB, PNG,
        [](cairo_t *cr, int w, int h) { draw_bottom_bar(cr, w, h, LeftItem::Settings); },
        with(bar_probes, {colour_at(56, 13, 230, 230, 230, 40), colour_at(82, 13, 14, 14, 14, 40)}));
    add(
        B, "Common/Settings/bottomBar.png", 421, 34, RGB, PNG,
        [](cairo_t *cr, int w, int h) { draw_bottom_bar(cr, w, h, LeftItem::Connection); },
        with(bar_probes, {colour_at(56, 13, 14, 14, 14, 40), colour_at(82, 13, 230, 230, 230, 40)}));

    struct DiscState {
        const char *name;
        Rgb fill;
    };
    for (const DiscState &s : {DiscState{"Disabled", kConnectDisabled}, DiscState{"Green", kConnectGreen},
                               DiscState{"Orange", kConnectOrange}, DiscState{"Red", kConnectRed}}) {
        const Rgb f = s.fill;
        auto at = [&](int x, int y, int tol) {
            return colour_at(x, y, static_cast<int>(std::lround(f.r * 255)), static_cast<int>(std::lround(f.g * 255)),
                             static_cast<int>(std::lround(f.b * 255)), tol);
        };
        const DrawFn draw = [f](cairo_t *cr, int w, int) { draw_connect_disc(cr, w, f); };
        add(B, std::string("Common/Main/btnConnect") + s.name + ".png", 118, 118, RGBA, PNG, draw,
            {transparent(0, 0), transparent(117, 117), transparent(10, 10), colour_at(59, 4, 30, 30, 30, 30),
             at(30, 80, 36)});
        add(B, std::string("Common/Main/btnConnect") + s.name + ".ico", 64, 64, RGBA, Format::Ico, draw,
            {transparent(0, 0), transparent(63, 63), at(16, 43, 40)});
    }

    add(B, "Common/Main/btnServerBackground.png", 213, 37, RGB, PNG,
        [](cairo_t *cr, int w, int h) { draw_server_row(cr, w, h); },
        {colour_at(0, 0, 8, 122, 73, 2), colour_at(212, 36, 8, 122, 73, 2), colour_at(106, 18, 8, 58, 36, 20)});
    add(B, "Common/Main/btnServerForeground_Upgrade.png", 213, 37, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_upgrade_overlay(cr, w, h); },
        {transparent(0, 0), {40, 18, {0, 0, 0, 128}, 3}, colour_at(160, 26, 230, 150, 30, 40)});
    add(B, "Common/Main/PublicIpBackground.png", 213, 36, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_public_ip_box(cr, w, h); },
        {transparent(0, 0), colour_at(106, 20, 8, 122, 73, 2), colour_at(106, 0, 4, 55, 33, 20)});
    add(B, "Common/Main/ServerStar.png", 20, 21, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_star(cr, w, h, true); },
        {transparent(0, 0), transparent(19, 20), colour_at(10, 12, 245, 180, 40, 40)});
    add(B, "Common/Main/ServerStar_unchecked.png", 20, 21, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_star(cr, w, h, false); },
        {transparent(0, 0), transparent(10, 12), colour_at(10, 2, 230, 230, 230, 30)});

    add(B, "Common/No.jpg", 64, 63, RGB, Format::Jpeg, [](cairo_t *cr, int w, int h) { draw_no_sign(cr, w, h); },
        {colour_at(1, 1, 255, 255, 255, 8), colour_at(32, 12, 210, 50, 45, 40), colour_at(32, 31, 255, 255, 255, 30)});

    add(B, "Common/Settings/switch_off.png", 88, 29, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_switch(cr, w, h, false); },
        {transparent(0, 0), colour_at(6, 22, 16, 72, 44, 24), colour_at(70, 14, 14, 15, 15, 12)});
    add(B, "Common/Settings/switch_on.png", 90, 29, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_switch(cr, w, h, true); },
        {transparent(0, 0), colour_at(50, 20, 62, 178, 100, 30), colour_at(20, 14, 14, 15, 15, 12)});

    add(B, "Common/TopBar/Background.png", 421, 52, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_top_bar(cr, w, h); },
        {colour_at(200, 26, 33, 133, 58, 10), colour_at(382, 14, 0, 0, 0, 4), colour_at(382, 39, 0, 0, 0, 4),
         colour_at(20, 16, 246, 246, 246, 20)});
    add(B, "Common/TopBar/btnClose.png", 24, 21, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_window_button(cr, w, h, WindowGlyph::Close); },
        {colour_at(2, 10, 8, 122, 73, 12), colour_at(12, 10, 255, 255, 255, 40), colour_at(12, 17, 8, 122, 73, 12),
         colour_at(6, 11, 8, 122, 73, 16)});
    add(B, "Common/TopBar/btnMinimize.png", 24, 21, RGBA, PNG,
        [](cairo_t *cr, int w, int h) { draw_window_button(cr, w, h, WindowGlyph::Minimise); },
        {colour_at(2, 10, 8, 122, 73, 12), colour_at(12, 11, 255, 255, 255, 20), colour_at(12, 17, 8, 122, 73, 12),
         colour_at(8, 6, 8, 122, 73, 16)});

    for (int n : {16, 32, 48, 64, 128, 256}) {
        const std::string size = std::to_string(n) + "x" + std::to_string(n);
        // Corners are always outside the shield; the middle of the left half is always the green face.
        add(Root::Icons, "hicolor/" + size + "/apps/veltra.png", n, n, RGBA, PNG,
            [](cairo_t *cr, int w, int) { draw_app_icon(cr, w); },
            {transparent(0, 0), transparent(n - 1, 0), colour_at(n * 28 / 100, n * 33 / 100, 55, 170, 100, 40)});
    }
    return list;
}

// ---------------------------------------------------------------------------------------------------------------
// Rendering and saving.

// Cairo keeps premultiplied native-endian ARGB; gdk-pixbuf wants straight RGB(A) bytes. Pictures without alpha are
// flattened over black, which is a no-op for the opaque pictures they are.
PixbufPtr to_pixbuf(cairo_surface_t *surface, Channels channels) {
    cairo_surface_flush(surface);
    const int w = cairo_image_surface_get_width(surface);
    const int h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char *data = cairo_image_surface_get_data(surface);
    const bool alpha = channels == Channels::Rgba;
    PixbufPtr pixbuf{gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, w, h)};
    if (!pixbuf) {
        return nullptr;
    }
    guchar *out = gdk_pixbuf_get_pixels(pixbuf.get());
    const int out_stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    const int n = alpha ? 4 : 3;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            std::uint32_t v;
            std::memcpy(&v, data + y * stride + 4 * x, sizeof v);
            const unsigned a = v >> 24;
            unsigned c[3] = {(v >> 16) & 0xffu, (v >> 8) & 0xffu, v & 0xffu};
            guchar *p = out + y * out_stride + n * x;
            if (alpha) {
                for (unsigned &ch : c) {
                    ch = a == 0 ? 0 : std::min(255u, (ch * 255 + a / 2) / a);
                }
                p[3] = static_cast<guchar>(a);
            }
            for (int i = 0; i < 3; ++i) {
                p[i] = static_cast<guchar>(c[i]);
            }
        }
    }
    return pixbuf;
}

std::string join(const std::string &dir, const std::string &rel) { return dir + "/" + rel; }

const std::string &root_dir(const Picture &pic, const std::string &bundle, const std::string &icons) {
    return pic.root == Root::Bundle ? bundle : icons;
}

bool render_and_save(const Picture &pic, const std::string &file) {
    SurfacePtr surface{cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pic.width, pic.height)};
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: cannot create a surface\n", file.c_str());
        return false;
    }
    {
        ContextPtr cr{cairo_create(surface.get())};
        pic.draw(cr.get(), pic.width, pic.height);
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) {
            std::fprintf(stderr, "%s: drawing failed: %s\n", file.c_str(),
                         cairo_status_to_string(cairo_status(cr.get())));
            return false;
        }
    }
    PixbufPtr pixbuf = to_pixbuf(surface.get(), pic.channels);
    if (!pixbuf) {
        std::fprintf(stderr, "%s: out of memory\n", file.c_str());
        return false;
    }
    g_autofree gchar *dir = g_path_get_dirname(file.c_str());
    if (g_mkdir_with_parents(dir, 0755) != 0) {
        std::fprintf(stderr, "%s: cannot create the folder\n", dir);
        return false;
    }
    g_autoptr(GError) error = nullptr;
    gboolean ok = FALSE;
    switch (pic.format) {
    case Format::Png:
        ok = gdk_pixbuf_save(pixbuf.get(), file.c_str(), "png", &error, "compression", "9", nullptr);
        break;
    case Format::Jpeg:
        ok = gdk_pixbuf_save(pixbuf.get(), file.c_str(), "jpeg", &error, "quality", "95", nullptr);
        break;
    case Format::Ico:
        ok = gdk_pixbuf_save(pixbuf.get(), file.c_str(), "ico", &error, nullptr);
        break;
    }
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), error ? error->message : "cannot save");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Checking.

std::string_view format_name(Format f) {
    switch (f) {
    case Format::Png:
        return "png";
    case Format::Jpeg:
        return "jpeg";
    case Format::Ico:
        return "ico";
    }
    return "";
}

// Returns the problems found with one file; empty means it is what the table says.
std::vector<std::string> check_picture(const Picture &pic, const std::string &file) {
    std::vector<std::string> problems;
    auto fail = [&](std::string what) { problems.push_back(file + ": " + std::move(what)); };

    gint fw = 0, fh = 0;
    GdkPixbufFormat *format = gdk_pixbuf_get_file_info(file.c_str(), &fw, &fh);
    if (!format) {
        fail("not an image gdk-pixbuf recognises");
        return problems;
    }
    g_autofree gchar *name = gdk_pixbuf_format_get_name(format);
    if (format_name(pic.format) != name) {
        fail(std::string("stored as ") + name + ", expected " + std::string(format_name(pic.format)));
    }

    g_autoptr(GError) error = nullptr;
    PixbufPtr pixbuf{gdk_pixbuf_new_from_file(file.c_str(), &error)};
    if (!pixbuf) {
        fail(std::string("does not load: ") + (error ? error->message : "unknown error"));
        return problems;
    }
    const int w = gdk_pixbuf_get_width(pixbuf.get()), h = gdk_pixbuf_get_height(pixbuf.get());
    if (w != pic.width || h != pic.height) {
        fail("is " + std::to_string(w) + "x" + std::to_string(h) + ", expected " + std::to_string(pic.width) + "x" +
             std::to_string(pic.height));
        return problems;
    }
    const bool want_alpha = pic.channels == Channels::Rgba;
    const int channels = gdk_pixbuf_get_n_channels(pixbuf.get());
    const bool has_alpha = gdk_pixbuf_get_has_alpha(pixbuf.get());
    if (has_alpha != want_alpha || channels != (want_alpha ? 4 : 3) ||
        gdk_pixbuf_get_bits_per_sample(pixbuf.get()) != 8) {
        fail("has " + std::to_string(channels) + " channels" + (has_alpha ? " with" : " without") +
             " alpha, expected " + (want_alpha ? "RGBA" : "RGB"));
        return problems;
    }

    const guchar *pixels = gdk_pixbuf_read_pixels(pixbuf.get());
    const int stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    for (const Probe &probe : pic.probes) {
        if (probe.x < 0 || probe.y < 0 || probe.x >= w || probe.y >= h) {
            fail("probe at " + std::to_string(probe.x) + "," + std::to_string(probe.y) + " lies outside the picture");
            continue;
        }
        const guchar *p = pixels + probe.y * stride + probe.x * channels;
        const int alpha = has_alpha ? p[3] : 255;
        bool ok = std::abs(alpha - probe.rgba[3]) <= std::max(probe.tolerance, 2);
        // Colour under a fully transparent pixel means nothing.
        if (probe.rgba[3] != 0) {
            for (int i = 0; i < 3; ++i) {
                ok = ok && std::abs(p[i] - probe.rgba[i]) <= probe.tolerance;
            }
        }
        if (!ok) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "pixel %d,%d is %d,%d,%d,%d, expected %d,%d,%d,%d (+-%d)", probe.x, probe.y,
                          p[0], p[1], p[2], alpha, probe.rgba[0], probe.rgba[1], probe.rgba[2], probe.rgba[3],
                          probe.tolerance);
            fail(buf);
        }
    }
    return problems;
}

int usage(const char *argv0) {
    std::fprintf(stderr, "usage: %s [--check] [BUNDLE_DIR [ICON_DIR]]\n", argv0);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool check = false;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--check") {
            check = true;
        } else if (arg == "-h" || arg == "--help") {
            usage(argv[0]);
            return 0;
        } else if (arg.starts_with("-") || dirs.size() == 2) {
            return usage(argv[0]);
        } else {
            dirs.emplace_back(arg);
        }
    }
    const std::string bundle = dirs.size() > 0 ? dirs[0] : VELTRA_ARTWORK_SOURCE_DIR;
    const std::string icons = dirs.size() > 1 ? dirs[1] : VELTRA_ARTWORK_ICON_DIR;

    int failures = 0;
    int count = 0;
    for (const Picture &pic : pictures()) {
        const std::string file = join(root_dir(pic, bundle, icons), pic.path);
        ++count;
        if (check) {
            for (const std::string &problem : check_picture(pic, file)) {
                std::fprintf(stderr, "%s\n", problem.c_str());
                ++failures;
            }
        } else if (!render_and_save(pic, file)) {
            ++failures;
        }
    }
    if (failures > 0) {
        std::fprintf(stderr, "%d problem(s) in %d pictures\n", failures, count);
        return 1;
    }
    std::printf("%s %d pictures under %s and %s\n", check ? "checked" : "wrote", count, bundle.c_str(), icons.c_str());
    return 0;
}
