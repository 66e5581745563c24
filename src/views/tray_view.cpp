// pelk_views_tray_view_*, pelk_views_vpn_tray_view_set_state: the tray icon.

// GtkStatusIcon is deprecated in GTK 3 yet is the one way into an X11
// system tray.
#define GDK_DISABLE_DEPRECATION_WARNINGS

#include "views/tray_view.h"

#include "base/logger.h"
#include "views/tray_view_internal.h"

// The window the next click on the icon brings back.
static void pelk_views_tray_view_track_window(GtkWindow *window);
static void pelk_views_tray_view_show(void);
// Brings the tracked window back and hides the icon, unless the window is
// already visible.
static void pelk_views_tray_view_hide(void);
static gboolean pelk_views_tray_on_clicked(GtkStatusIcon *icon, GdkEvent *event, gpointer data);

namespace {

constexpr int kPictureSize = 20;
// How long a shown icon may take to be embedded before the tray counts as
// absent.
constexpr guint kEmbedWaitMs = 1500;

constexpr const char *kPicturePaths[PELK_TRAY_PICTURE_COUNT] = {
    "/Common/Main/btnConnectDisabled.png", "/Common/Main/btnConnectGreen.png",    "/Common/Main/btnConnectOrange.png",
    "/Common/Main/btnConnectRed.png",      "/Common/Main/btnConnectDisabled.png",
};

GtkStatusIcon *icon = nullptr;
GdkPixbuf *pictures[PELK_TRAY_PICTURE_COUNT];
// Weak: cleared by GObject if the window goes while minimised.
GtkWindow *tracked = nullptr;
// A minimised window waiting for the icon to be embedded before it hides.
GtkWindow *pending_hide = nullptr;
guint embed_wait_source = 0;

// The bundle stores raw pixel rows, which the scaling loader cannot read:
// load at full size, then scale.
GdkPixbuf *load_picture(const char *path) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GdkPixbuf) full = gdk_pixbuf_new_from_resource(path, &error);
    if (full == nullptr) {
        g_autofree char *line = g_strdup_printf("tray: cannot load %s: %s\n", path, error->message);
        pelk_write_dev_log(line);
        return nullptr;
    }
    return gdk_pixbuf_scale_simple(full, kPictureSize, kPictureSize, GDK_INTERP_BILINEAR);
}

void set_weak(GtkWindow *&slot, GtkWindow *window) {
    if (slot == window) {
        return;
    }
    if (slot != nullptr) {
        g_object_remove_weak_pointer(G_OBJECT(slot), reinterpret_cast<gpointer *>(&slot));
    }
    slot = window;
    if (slot != nullptr) {
        g_object_add_weak_pointer(G_OBJECT(slot), reinterpret_cast<gpointer *>(&slot));
    }
}

void stop_waiting_for_embed() {
    set_weak(pending_hide, nullptr);
    if (embed_wait_source != 0) {
        g_source_remove(embed_wait_source);
        embed_wait_source = 0;
    }
}

void hide_pending_window() {
    if (pending_hide != nullptr && gtk_status_icon_is_embedded(icon)) {
        gtk_widget_set_visible(GTK_WIDGET(pending_hide), FALSE);
    }
    stop_waiting_for_embed();
}

void on_embedded_changed(GObject *, GParamSpec *, gpointer) {
    if (pending_hide != nullptr) {
        hide_pending_window();
    }
}

gboolean on_embed_wait_over(gpointer) {
    embed_wait_source = 0;
    if (pending_hide != nullptr) {
        pelk_write_dev_log("tray: no system tray embedded the icon; the window stays iconified\n");
        set_weak(pending_hide, nullptr);
        gtk_status_icon_set_visible(icon, FALSE);
    }
    return G_SOURCE_REMOVE;
}

}  // namespace

pelk_views_tray_picture pelk_views_tray_view_picture_for(pelk_dal_vpn_button_state state) {
    if (pelk_dal_vpn_button_state_is_error(state)) {
        return PELK_TRAY_ERROR;
    }
    if (pelk_dal_vpn_button_state_is_connected(state)) {
        return PELK_TRAY_CONNECTED;
    }
    if (pelk_dal_vpn_button_state_is_connecting(state)) {
        return PELK_TRAY_BUSY;
    }
    if (pelk_dal_vpn_button_state_is_disabled(state)) {
        return PELK_TRAY_DISABLED;
    }
    if (pelk_dal_vpn_button_state_is_disconnected(state)) {
        return PELK_TRAY_IDLE;
    }
    if (pelk_dal_vpn_button_state_is_disconnecting(state)) {
        return PELK_TRAY_BUSY;
    }
    if (pelk_dal_vpn_button_state_is_enabled(state)) {
        return PELK_TRAY_IDLE;
    }
    return PELK_TRAY_DISABLED;
}

GdkPixbuf *pelk_views_tray_view_picture(pelk_views_tray_picture slot) {
    return slot >= 0 && slot < PELK_TRAY_PICTURE_COUNT ? pictures[slot] : nullptr;
}

GtkStatusIcon *pelk_views_tray_view_icon(void) { return icon; }

void pelk_views_tray_view_new_if_not_exist(void) {
    for (int slot = 0; slot < PELK_TRAY_PICTURE_COUNT; ++slot) {
        if (pictures[slot] == nullptr) {
            pictures[slot] = load_picture(kPicturePaths[slot]);
        }
    }
    if (icon != nullptr) {
        return;
    }
    icon = gtk_status_icon_new();
    g_signal_connect(icon, "button-press-event", G_CALLBACK(pelk_views_tray_on_clicked), nullptr);
    g_signal_connect(icon, "notify::embedded", G_CALLBACK(on_embedded_changed), nullptr);
    gtk_status_icon_set_visible(icon, FALSE);
    gtk_status_icon_set_tooltip_text(icon, "Veltra");
    // A minimise before the first connection state must not show an empty
    // icon that cannot be seen or clicked.
    if (pictures[PELK_TRAY_DISABLED] != nullptr) {
        gtk_status_icon_set_from_pixbuf(icon, pictures[PELK_TRAY_DISABLED]);
    }
}

void pelk_views_vpn_tray_view_set_state(pelk_dal_vpn_button_state state) {
    pelk_views_tray_view_new_if_not_exist();
    const char *text = pelk_dal_vpn_button_state_to_string(state);
    gtk_status_icon_set_tooltip_text(icon, text != nullptr ? text : "Veltra");
    if (GdkPixbuf *picture = pictures[pelk_views_tray_view_picture_for(state)]) {
        gtk_status_icon_set_from_pixbuf(icon, picture);
    }
}

void pelk_views_tray_view_track_window(GtkWindow *window) {
    pelk_views_tray_view_new_if_not_exist();
    set_weak(tracked, window);
}

void pelk_views_tray_view_show(void) {
    pelk_views_tray_view_new_if_not_exist();
    gtk_status_icon_set_visible(icon, TRUE);
}

void pelk_views_tray_view_hide(void) {
    pelk_views_tray_view_new_if_not_exist();
    if (tracked == nullptr || gtk_widget_get_visible(GTK_WIDGET(tracked))) {
        return;
    }
    stop_waiting_for_embed();
    gtk_widget_set_visible(GTK_WIDGET(tracked), TRUE);
    gtk_window_deiconify(tracked);
    gtk_window_set_focus(tracked, GTK_WIDGET(tracked));
    gtk_status_icon_set_visible(icon, FALSE);
}

gboolean pelk_views_tray_on_clicked(GtkStatusIcon *, GdkEvent *, gpointer) {
    pelk_views_tray_view_hide();
    return FALSE;
}

void pelk_views_tray_view_minimize(GtkWindow *window) {
    pelk_views_tray_view_track_window(window);
    pelk_views_tray_view_show();
    stop_waiting_for_embed();
    set_weak(pending_hide, window);
    const bool embedded = gtk_status_icon_is_embedded(icon);
    if (embedded) {
        hide_pending_window();
        return;
    }
    embed_wait_source = g_timeout_add(kEmbedWaitMs, on_embed_wait_over, nullptr);
}
