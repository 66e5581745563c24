// The window's building blocks inside the test process, on a private
// display: the image bundle as compiled in, the tray's pictures, the text
// face, the stylesheet and the drawing rules.
#include "controls/css.h"
#include "controls/drawing.h"
#include "resources/resource_manager.h"
#include "support/xvfb.h"
#include "views/tray_view.h"
#include "views/tray_view_internal.h"

#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>

namespace {

class WindowKitTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        display_ = new veltra_test::Xvfb();
        ASSERT_TRUE(display_->ok());
        g_setenv("DISPLAY", display_->display().c_str(), TRUE);
        g_setenv("GDK_GL", "disable", TRUE);
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
        pelk_resource_manager_init();
    }
    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }
    static veltra_test::Xvfb *display_;
};
veltra_test::Xvfb *WindowKitTest::display_ = nullptr;

struct Entry {
    const char *path;
    int width;
    int height;
    bool alpha;
};
// Every picture of the bundle; the views place them by these sizes.
const Entry kBundle[] = {
    {"/Common/Dialogs/btn_ok.png", 68, 37, true},
    {"/Common/Dialogs/btn_cancel.png", 68, 37, true},
    {"/Common/Login/btnLogin.png", 130, 44, true},
    {"/Common/Login/btnLogin_disabled.png", 130, 44, true},
    {"/Common/Login/btnLogin_focused.png", 130, 44, true},
    {"/Common/Login/textViewBackground.png", 234, 30, true},
    {"/Common/Login/textViewBackground_focused.png", 234, 30, true},
    {"/Common/Login/carret.png", 8, 14, true},
    {"/Common/Main/bottomBar.png", 421, 34, false},
    {"/Common/Main/btnConnectDisabled.png", 118, 118, true},
    {"/Common/Main/btnConnectGreen.png", 118, 118, true},
    {"/Common/Main/btnConnectOrange.png", 118, 118, true},
    {"/Common/Main/btnConnectRed.png", 118, 118, true},
    {"/Common/Main/btnConnectDisabled.ico", 64, 64, true},
    {"/Common/Main/btnConnectGreen.ico", 64, 64, true},
    {"/Common/Main/btnConnectOrange.ico", 64, 64, true},
    {"/Common/Main/btnConnectRed.ico", 64, 64, true},
    {"/Common/Main/btnServerBackground.png", 213, 37, false},
    {"/Common/Main/btnServerForeground_Upgrade.png", 213, 37, true},
    {"/Common/Main/PublicIpBackground.png", 213, 36, true},
    {"/Common/Main/ServerStar.png", 20, 21, true},
    {"/Common/Main/ServerStar_unchecked.png", 20, 21, true},
    {"/Common/No.jpg", 64, 63, false},
    {"/Common/Settings/bottomBar.png", 421, 34, false},
    {"/Common/Settings/switch_off.png", 88, 29, true},
    {"/Common/Settings/switch_on.png", 90, 29, true},
    {"/Common/TopBar/Background.png", 421, 52, true},
    {"/Common/TopBar/btnClose.png", 24, 21, true},
    {"/Common/TopBar/btnMinimize.png", 24, 21, true},
};

int count_entries(const char *folder) {
    g_auto(GStrv) children = g_resources_enumerate_children(folder, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    int count = 0;
    for (int i = 0; children != nullptr && children[i] != nullptr; ++i) {
        const std::string child = std::string(folder) + children[i];
        count += g_str_has_suffix(children[i], "/") ? count_entries(child.c_str()) : 1;
    }
    return count;
}

// The mean colour of a picture's fill: opaque pixels that are neither the
// light symbol nor the dark ring.
std::array<int, 3> fill_colour(GdkPixbuf *pixbuf) {
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    long sum[3] = {0, 0, 0};
    long count = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(pixbuf); ++y) {
        const guchar *row = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf);
        for (int x = 0; x < gdk_pixbuf_get_width(pixbuf); ++x) {
            const guchar *p = row + x * channels;
            const int low = std::min({p[0], p[1], p[2]});
            const int high = std::max({p[0], p[1], p[2]});
            if ((channels < 4 || p[3] > 200) && low < 190 && high > 90) {
                for (int c = 0; c < 3; ++c) {
                    sum[c] += p[c];
                }
                ++count;
            }
        }
    }
    if (count == 0) {
        return {0, 0, 0};
    }
    return {static_cast<int>(sum[0] / count), static_cast<int>(sum[1] / count), static_cast<int>(sum[2] / count)};
}

// The centre pixel of a picture, as (r, g, b).
std::array<int, 3> centre(GdkPixbuf *pixbuf) {
    const guchar *p = gdk_pixbuf_get_pixels(pixbuf) +
                      gdk_pixbuf_get_height(pixbuf) / 2 * gdk_pixbuf_get_rowstride(pixbuf) +
                      gdk_pixbuf_get_width(pixbuf) / 2 * gdk_pixbuf_get_n_channels(pixbuf);
    return {p[0], p[1], p[2]};
}

TEST_F(WindowKitTest, TheBundleHoldsEveryPictureUncompressedAtItsSize) {
    EXPECT_EQ(count_entries("/Common/"), static_cast<int>(std::size(kBundle)));
    for (const Entry &entry : kBundle) {
        SCOPED_TRACE(entry.path);
        gsize size = 0;
        guint32 flags = 1;
        ASSERT_TRUE(g_resources_get_info(entry.path, G_RESOURCE_LOOKUP_FLAGS_NONE, &size, &flags, nullptr));
        EXPECT_EQ(flags, 0u);
        g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new_from_resource(entry.path, nullptr);
        ASSERT_NE(pixbuf, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), entry.width);
        EXPECT_EQ(gdk_pixbuf_get_height(pixbuf), entry.height);
        EXPECT_EQ(static_cast<bool>(gdk_pixbuf_get_has_alpha(pixbuf)), entry.alpha);
        EXPECT_EQ(size, 24u + gdk_pixbuf_get_rowstride(pixbuf) * static_cast<gsize>(entry.height));
    }
    // Every shared picture was made from the bundle, not GTK's missing-image.
    for (int slot = 0; slot < PELK_IMAGE_COUNT; ++slot) {
        GtkImage *image = pelk_resource_manager_image(static_cast<pelk_resource_image>(slot));
        ASSERT_NE(image, nullptr) << slot;
        EXPECT_EQ(gtk_image_get_storage_type(image), GTK_IMAGE_PIXBUF) << slot;
    }
    // The crosswise pair: the focused accessor gives textViewBackground.png,
    // which is the black look an entry shows while it has the focus.
    auto middle_of = [](pelk_resource_image slot) {
        return centre(gtk_image_get_pixbuf(pelk_resource_manager_image(slot)));
    };
    EXPECT_LT(middle_of(PELK_IMAGE_TEXT_VIEW_BACKGROUND_FOCUSED)[1], 10);
    EXPECT_GT(middle_of(PELK_IMAGE_TEXT_VIEW_BACKGROUND)[1], 25);
    // Enabled and disabled are the same grey disc.
    EXPECT_EQ(middle_of(PELK_IMAGE_CONNECT_ENABLED), middle_of(PELK_IMAGE_CONNECT_DISABLED));
}

TEST_F(WindowKitTest, TheTrayShowsEachStateInItsColourAtTwentyPixels) {
    pelk_views_tray_view_new_if_not_exist();
    for (int slot = 0; slot < PELK_TRAY_PICTURE_COUNT; ++slot) {
        GdkPixbuf *picture = pelk_views_tray_view_picture(static_cast<pelk_views_tray_picture>(slot));
        ASSERT_NE(picture, nullptr) << slot;
        EXPECT_EQ(gdk_pixbuf_get_width(picture), 20);
        EXPECT_EQ(gdk_pixbuf_get_height(picture), 20);
    }
    // Which colour dominates the middle of the picture a state gets.
    enum Hue { kGrey, kGreen, kOrange, kRed };
    auto hue_of = [](pelk_dal_vpn_button_state state) {
        const auto [r, g, b] = fill_colour(pelk_views_tray_view_picture(pelk_views_tray_view_picture_for(state)));
        if (r > 180 && g < 100) {
            return kRed;
        }
        if (r > 200 && g > 100 && b < 90) {
            return kOrange;
        }
        if (g > r + 40 && g > b + 40) {
            return kGreen;
        }
        return kGrey;
    };
    struct Case {
        pelk_dal_vpn_button_state state;
        Hue hue;
        const char *tooltip;
    };
    const Case cases[] = {
        {96, kRed, "Error! Disconnected!"},
        {64 | 4, kRed, nullptr},
        {8, kOrange, "Connecting..."},
        {16, kOrange, "Disconnecting..."},
        {4, kGreen, nullptr},
        {1, kGrey, "Ready!"},
        {2, kGrey, nullptr},
        {32, kGrey, "Disconnected!"},
        {0, kGrey, "Veltra"},
        {128, kGrey, "Veltra"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(hue_of(c.state), c.hue);
        pelk_views_vpn_tray_view_set_state(c.state);
        if (c.tooltip != nullptr) {
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            g_autofree char *tooltip = gtk_status_icon_get_tooltip_text(pelk_views_tray_view_icon());
            G_GNUC_END_IGNORE_DEPRECATIONS
            EXPECT_STREQ(tooltip, c.tooltip);
        }
    }
    // A state never makes the icon visible by itself.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    EXPECT_FALSE(gtk_status_icon_get_visible(pelk_views_tray_view_icon()));
    G_GNUC_END_IGNORE_DEPRECATIONS
}

TEST_F(WindowKitTest, TextFaceAndStylesheet) {
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("Purisa:bold"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    ASSERT_NE(match, nullptr);
    FcChar8 *family = nullptr;
    ASSERT_EQ(FcPatternGetString(match, FC_FAMILY, 0, &family), FcResultMatch);
    EXPECT_STREQ(reinterpret_cast<const char *>(family), "Purisa") << "a fallback face would change every text";
    FcPatternDestroy(match);
    FcPatternDestroy(pattern);

    // The text is kept as shipped; GTK 3.24 skips its Pango-style font
    // declarations and applies the rest, so labels come out white.
    EXPECT_EQ(strlen(pelk_css_get()), 548u);
    pelk_css_setup();
    GtkWidget *window = gtk_offscreen_window_new();
    GtkWidget *label = gtk_label_new("Email:");
    gtk_container_add(GTK_CONTAINER(window), label);
    gtk_widget_show_all(window);
    GdkRGBA colour{};
    gtk_style_context_get_color(gtk_widget_get_style_context(label), GTK_STATE_FLAG_NORMAL, &colour);
    EXPECT_DOUBLE_EQ(colour.red, 1.0);
    EXPECT_DOUBLE_EQ(colour.green, 1.0);
    EXPECT_DOUBLE_EQ(colour.blue, 1.0);
    gtk_widget_destroy(window);
}

TEST_F(WindowKitTest, EntryTextStaysInItsBoxAndPicturesPaintAsAsked) {
    struct Case {
        const char *name;
        double ink;
        size_t bytes;
        int left;
    };
    const Case cases[] = {
        {"empty", 0, 0, 5},
        {"fits", 100, 10, 5},
        {"exactly the box", 225, 25, 5},
        // The rule counts whole mean widths: a pixel over is still as many.
        {"a pixel over, as many mean widths as the box", 226, 25, 5},
        {"one mean character too many", 234, 26, (5 + 225) - 234},
        {"long address", 600, 60, (5 + 225) - 600},
        // Narrower than a pixel a byte: no mean width to divide by.
        {"spaces that fit", 20, 40, 5},
        {"spaces that do not fit", 230, 300, (5 + 225) - 230},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pelk_controls_drawing_entry_text_left(c.ink, c.bytes, 5, 225), c.left);
    }

    // Scaling needs both sides; otherwise the natural size is painted.
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 200);
    cairo_t *cr = cairo_create(surface);
    GtkImage *star = pelk_resource_manager_image(PELK_IMAGE_SERVER_STAR_CHECKED);
    auto painted_width = [&](int width, int height) {
        cairo_save(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_restore(cr);
        Pelk_Cairo_DrawImage_WithSize(cr, star, 0, 0, width, height);
        cairo_surface_flush(surface);
        const unsigned char *row = cairo_image_surface_get_data(surface) + 10 * cairo_image_surface_get_stride(surface);
        int last = -1;
        for (int x = 0; x < 200; ++x) {
            if (row[x * 4 + 3] != 0) {
                last = x;
            }
        }
        return last + 1;
    };
    EXPECT_LE(painted_width(-1, -1), 20);
    EXPECT_LE(painted_width(30, 0), 20);
    EXPECT_GT(painted_width(100, 100), 50);
    // An image without a picture paints nothing and does not fail.
    GtkWidget *empty = g_object_ref_sink(gtk_image_new());
    Pelk_Cairo_DrawImage(cr, GTK_IMAGE(empty), 0, 0);
    Pelk_Cairo_DrawImage(cr, nullptr, 0, 0);
    g_object_unref(empty);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

// A prepared picture paints exactly what converting it at every repaint
// painted, at every size asked for, the first time and from the cache; a
// pixbuf let go takes its prepared copies with it, so a new pixbuf at a
// reused address never gets the old picture.
TEST_F(WindowKitTest, PreparedPicturesPaintWhatDirectConversionPaints) {
    struct Case {
        const char *name;
        pelk_resource_image picture;
        int width;
        int height;
    };
    const Case cases[] = {
        {"natural size", PELK_IMAGE_CONNECT_SUCCESS, -1, -1},
        {"its own size", PELK_IMAGE_CONNECT_SUCCESS, 118, 118},
        {"smaller", PELK_IMAGE_CONNECT_ERROR, 31, 31},
        {"larger", PELK_IMAGE_SERVER_STAR_CHECKED, 40, 42},
        {"one side only", PELK_IMAGE_SERVER_STAR_UNCHECKED, 30, 0},
        {"negative", PELK_IMAGE_TOP_BAR_BACKGROUND, -5, 20},
        {"one pixel", PELK_IMAGE_LOGIN_NORMAL, 1, 1},
    };
    constexpr int kSide = 160;
    auto render = [&](const std::function<void(cairo_t *)> &paint) {
        cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
        cairo_t *cr = cairo_create(surface);
        cairo_set_source_rgb(cr, 8 / 255.0, 122 / 255.0, 73 / 255.0);
        cairo_paint(cr);
        paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        std::string pixels(reinterpret_cast<const char *>(cairo_image_surface_get_data(surface)),
                           size_t(stride) * kSide);
        cairo_surface_destroy(surface);
        return pixels;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        GdkPixbuf *pixbuf = gtk_image_get_pixbuf(pelk_resource_manager_image(c.picture));
        ASSERT_NE(pixbuf, nullptr);
        const std::string direct = render([&](cairo_t *cr) {
            g_autoptr(GdkPixbuf) scaled = c.width >= 1 && c.height >= 1
                                              ? gdk_pixbuf_scale_simple(pixbuf, c.width, c.height, GDK_INTERP_BILINEAR)
                                              : GDK_PIXBUF(g_object_ref(pixbuf));
            gdk_cairo_set_source_pixbuf(cr, scaled, 7, 5);
            cairo_paint(cr);
        });
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(render([&](cairo_t *cr) { pelk_controls_drawing_pixbuf(cr, pixbuf, 7, 5, c.width, c.height); }),
                      direct)
                << "round " << round;
        }
    }

    // Pixbufs the caller drops between repaints (views built anew at every
    // sign-in): each paints itself, and the prepared copies do not keep it
    // alive, so nothing piles up.
    for (const guint32 colour : {0xff0000ffu, 0x00ff00ffu, 0x0000ffffu}) {
        GdkPixbuf *own = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 10, 10);
        gdk_pixbuf_fill(own, colour);
        const std::string direct = render([&](cairo_t *cr) {
            gdk_cairo_set_source_pixbuf(cr, own, 0, 0);
            cairo_paint(cr);
        });
        EXPECT_EQ(render([&](cairo_t *cr) { pelk_controls_drawing_pixbuf(cr, own, 0, 0, -1, -1); }), direct);
        EXPECT_EQ(render([&](cairo_t *cr) { pelk_controls_drawing_pixbuf(cr, own, 0, 0, 4, 4); }),
                  render([&](cairo_t *cr) {
                      g_autoptr(GdkPixbuf) scaled = gdk_pixbuf_scale_simple(own, 4, 4, GDK_INTERP_BILINEAR);
                      gdk_cairo_set_source_pixbuf(cr, scaled, 0, 0);
                      cairo_paint(cr);
                  }));
        gpointer alive = own;
        g_object_add_weak_pointer(G_OBJECT(own), &alive);
        g_object_unref(own);
        EXPECT_EQ(alive, nullptr) << "a prepared picture keeps its pixbuf alive";
    }
    const std::string background = render([](cairo_t *) {});
    EXPECT_EQ(render([](cairo_t *cr) { pelk_controls_drawing_pixbuf(cr, nullptr, 0, 0, 30, 30); }), background);
}

}  // namespace
