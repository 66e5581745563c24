#include "views/main_view.h"

#include "controls/bottom_bar.h"
#include "controls/drawing.h"
#include "controls/top_bar.h"
#include "dal/vpn_button_state.h"
#include "view_models/main_view_model.h"

namespace {

constexpr int kStatusX = 102, kStatusY = 242, kStatusWidth = 213, kStatusHeight = 20;
constexpr int kStatusFontSize = 13;
constexpr guint kRedrawMs = 100;

// The current view's screens; cleared when the view goes.
GtkWidget *main_subview = nullptr;
GtkWidget *server_select_subview = nullptr;
GtkWidget *settings_subview = nullptr;
guint redraw_source = 0;

void set_visible(GtkWidget *subview, bool visible) {
    if (subview != nullptr) {
        gtk_widget_set_visible(subview, visible);
    }
}

void on_view_destroy(GtkWidget *, gpointer) {
    // A timer must never outlive the widgets it repaints.
    if (redraw_source != 0) {
        g_source_remove(redraw_source);
        redraw_source = 0;
    }
    main_subview = nullptr;
    server_select_subview = nullptr;
    settings_subview = nullptr;
}

GtkWidget *main_subview_new(GtkWidget *window) {
    GtkWidget *subview = gtk_fixed_new();
    gtk_fixed_put(GTK_FIXED(subview), CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    pelk_controls_bottom_bar_new_to_fixed_common(GTK_FIXED(subview));
    return subview;
}

GtkWidget *server_select_subview_new(GtkWidget *window) {
    GtkWidget *subview = gtk_fixed_new();
    gtk_fixed_put(GTK_FIXED(subview), CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    return subview;
}

GtkWidget *settings_subview_new(GtkWidget *window) {
    GtkWidget *subview = gtk_fixed_new();
    gtk_fixed_put(GTK_FIXED(subview), CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    pelk_controls_bottom_bar_new_to_fixed_settings_window(GTK_FIXED(subview));
    return subview;
}

}  // namespace

GtkWidget *CreateMainView(GtkWidget *window) {
    GtkWidget *view = gtk_fixed_new();
    main_subview = main_subview_new(window);
    server_select_subview = server_select_subview_new(window);
    settings_subview = settings_subview_new(window);
    gtk_fixed_put(GTK_FIXED(view), main_subview, 0, 0);
    gtk_fixed_put(GTK_FIXED(view), server_select_subview, 0, 0);
    gtk_fixed_put(GTK_FIXED(view), settings_subview, 0, 0);
    pelk_views_main_subview_main_show();

    g_signal_connect(main_subview, "draw", G_CALLBACK(main_subview_on_draw), nullptr);
    g_signal_connect(view, "destroy", G_CALLBACK(on_view_destroy), nullptr);
    if (redraw_source != 0) {
        g_source_remove(redraw_source);
    }
    redraw_source = gdk_threads_add_timeout(kRedrawMs, cb_timeout_widget_redrawer, main_subview);
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

GtkWidget *pelk_views_main_subview_main_get(void) { return main_subview; }
GtkWidget *pelk_views_main_subview_server_select_get(void) { return server_select_subview; }

void pelk_view_main_view_try_to_redraw(GtkWidget *widget) {
    if (widget != nullptr && GTK_IS_WIDGET(widget) && gtk_widget_get_visible(widget)) {
        gtk_widget_queue_draw(widget);
    }
}

void pelk_views_main_view_redraw(void) { pelk_view_main_view_try_to_redraw(main_subview); }

void pelk_views_main_view_draw_error_text(cairo_t *cr, const char *text) {
    Pelk_Cairo_DrawText_Centered(cr, text, kStatusFontSize, kStatusX, kStatusY, kStatusWidth, kStatusHeight);
}

gboolean main_subview_on_draw(GtkWidget *, cairo_t *cr, gpointer) {
    pelk_views_main_view_draw_error_text(cr, pelk_dal_vpn_button_state_to_string(pelk_view_model_main_vpn_state_get()));
    // The children (bars, buttons) paint over this.
    return FALSE;
}

gboolean cb_timeout_widget_redrawer(gpointer widget) {
    pelk_view_main_view_try_to_redraw(static_cast<GtkWidget *>(widget));
    return G_SOURCE_CONTINUE;
}
