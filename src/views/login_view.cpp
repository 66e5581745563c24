// CreateLoginView, pelk_views_login_view_*: the login screen.
#include "views/login_view.h"

#include "base/owned_text.h"
#include "controls/drawing.h"
#include "controls/entry_view.h"
#include "controls/top_bar.h"
#include "controls/uri_label.h"
#include "platform/web_pages.h"
#include "resources/resource_manager.h"
#include "view_models/login_view_model.h"

#include <gdk/gdkkeysyms.h>

// The sign-in shared by the button and the Enter key.
static void pelk_views_login_view_on_login(void);
static gboolean pelk_views_login_view_on_enter_key_press(GtkWidget *widget, GdkEventKey *event, gpointer data);
static gboolean pelk_views_login_view_on_focus_select_all_field(GtkWidget *widget, GdkEvent *event, gpointer data);
static void pelk_views_login_view_on_destroy(GtkWidget *widget, gpointer data);
static void pelk_views_login_view_OnLoginCredsChanged(GObject *entry, GParamSpec *property, gpointer data);
static void pelk_views_login_view_on_btn_login_click(GtkButton *button, gpointer data);
static gboolean pelk_iews_login_view_btn_login_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
static gboolean cb_login_view_redraw(gpointer data);

namespace {

// Positions in window pixels, in reading order.
constexpr int kEmailCaptionX = 100, kEmailCaptionY = 91;
constexpr int kEmailEntryX = 100, kEmailEntryY = 114;
constexpr int kPasswordCaptionX = 100, kPasswordCaptionY = 184;
constexpr int kPasswordEntryX = 100, kPasswordEntryY = 203;
constexpr int kLoginX = 153, kLoginY = 264;
constexpr int kLoginWidth = 130, kLoginHeight = 44;
constexpr int kForgotX = 153, kForgotY = 333, kForgotWidth = 130;
constexpr int kCreateX = 156, kCreateY = 363, kCreateWidth = 125;
constexpr int kLinkHeight = 21;
constexpr guint kRedrawMs = 100;

GtkWidget *login_button = nullptr;
GtkWidget *email_entry = nullptr;
GtkWidget *password_entry = nullptr;
GtkEntryBuffer *email_buffer = nullptr;
GtkEntryBuffer *password_buffer = nullptr;
bool destroyed = false;
guint redraw_source = 0;

bool is_entry(GtkWidget *widget) { return widget != nullptr && GTK_IS_ENTRY(widget); }

void set_text(GtkWidget *entry, const char *text) {
    if (is_entry(entry) && g_strcmp0(gtk_entry_get_text(GTK_ENTRY(entry)), text) != 0) {
        gtk_entry_set_text(GTK_ENTRY(entry), text != nullptr ? text : "");
    }
}

const char *entry_text(GtkWidget *entry) { return is_entry(entry) ? gtk_entry_get_text(GTK_ENTRY(entry)) : ""; }

// The view's widgets are about to go: nothing may reach them any more.
void forget_widgets() {
    destroyed = true;
    login_button = nullptr;
    email_entry = nullptr;
    password_entry = nullptr;
    email_buffer = nullptr;
    password_buffer = nullptr;
}

}  // namespace

GtkWidget *CreateLoginView(GtkWidget *window) {
    GtkWidget *forgot =
        pelk_controls_uri_label_new(pelk_web_page_forgot_password, "Forgot password?", kForgotWidth, kLinkHeight);
    GtkWidget *create =
        pelk_controls_uri_label_new(pelk_web_page_sign_up, "Create FREE account", kCreateWidth, kLinkHeight);

    GtkEntryBuffer *email = gtk_entry_buffer_new("", 0);
    GtkEntryBuffer *password = gtk_entry_buffer_new("", 0);
    GtkWidget *view = gtk_fixed_new();
    GtkWidget *email_field = Pelk_CreateEntryView(email, 0);
    GtkWidget *password_field = Pelk_CreateEntryView(password, 1);
    // The entries hold their buffers now.
    g_object_unref(email);
    g_object_unref(password);

    GtkWidget *button = gtk_button_new();
    gtk_widget_set_sensitive(button, FALSE);
    gtk_widget_set_size_request(button, kLoginWidth, kLoginHeight);

    g_signal_connect(email_field, "key-press-event", G_CALLBACK(pelk_views_login_view_on_enter_key_press), nullptr);
    g_signal_connect(password_field, "key-press-event", G_CALLBACK(pelk_views_login_view_on_enter_key_press), nullptr);
    g_signal_connect(email_field, "focus-in-event", G_CALLBACK(pelk_views_login_view_on_focus_select_all_field),
                     nullptr);
    g_signal_connect(password_field, "focus-in-event", G_CALLBACK(pelk_views_login_view_on_focus_select_all_field),
                     nullptr);
    g_signal_connect(view, "destroy", G_CALLBACK(pelk_views_login_view_on_destroy), nullptr);
    g_signal_connect_after(email_field, "notify::text", G_CALLBACK(pelk_views_login_view_OnLoginCredsChanged), nullptr);
    g_signal_connect_after(password_field, "notify::text", G_CALLBACK(pelk_views_login_view_OnLoginCredsChanged),
                           nullptr);
    g_signal_connect(button, "clicked", G_CALLBACK(pelk_views_login_view_on_btn_login_click), nullptr);
    g_signal_connect(button, "draw", G_CALLBACK(pelk_iews_login_view_btn_login_draw), nullptr);

    GtkFixed *fixed = GTK_FIXED(view);
    gtk_fixed_put(fixed, CreateGtkFixedTopbarView(GTK_WINDOW(window), TRUE), 0, 0);
    gtk_fixed_put(fixed, gtk_label_new_with_mnemonic("Email:"), kEmailCaptionX, kEmailCaptionY);
    gtk_fixed_put(fixed, email_field, kEmailEntryX, kEmailEntryY);
    gtk_fixed_put(fixed, gtk_label_new_with_mnemonic("Password:"), kPasswordCaptionX, kPasswordCaptionY);
    gtk_fixed_put(fixed, password_field, kPasswordEntryX, kPasswordEntryY);
    gtk_fixed_put(fixed, button, kLoginX, kLoginY);
    gtk_fixed_put(fixed, forgot, kForgotX, kForgotY);
    gtk_fixed_put(fixed, create, kCreateX, kCreateY);

    login_button = button;
    email_entry = email_field;
    password_entry = password_field;
    email_buffer = email;
    password_buffer = password;

    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text stored_password(pelk_view_model_login_password_get_new());
    set_text(email_entry, username.get());
    set_text(password_entry, stored_password.get());

    destroyed = false;
    if (redraw_source != 0) {
        g_source_remove(redraw_source);
    }
    redraw_source = gdk_threads_add_timeout(kRedrawMs, cb_login_view_redraw, nullptr);
    return view;
}

void pelk_views_login_view_username_set(const char *text) { set_text(email_entry, text); }
void pelk_views_login_view_password_set(const char *text) { set_text(password_entry, text); }

void pelk_views_login_view_on_login(void) {
    pelk_view_model_login_username_set_new(entry_text(email_entry));
    pelk_view_model_login_password_set_new(entry_text(password_entry));
    // On success this destroys the login window before it returns.
    pelk_view_model_on_login_click();
}

gboolean pelk_views_login_view_on_enter_key_press(GtkWidget *, GdkEventKey *event, gpointer) {
    switch (event->keyval) {
    case GDK_KEY_Return:
        pelk_views_login_view_on_login();
        return TRUE;
    // The caret is always drawn after the last character, so moving the
    // entry's own cursor would put typing where the user does not see it.
    case GDK_KEY_Home:
    case GDK_KEY_Left:
    case GDK_KEY_Up:
    case GDK_KEY_Right:
    case GDK_KEY_Down:
        return TRUE;
    default:
        return FALSE;
    }
}

gboolean pelk_views_login_view_on_focus_select_all_field(GtkWidget *widget, GdkEvent *, gpointer) {
    // Grabbing the focus again selects the whole text, so the next key
    // typed replaces it.
    gtk_widget_grab_focus(widget);
    return FALSE;
}

void pelk_views_login_view_on_destroy(GtkWidget *, gpointer) {
    forget_widgets();
    if (redraw_source != 0) {
        g_source_remove(redraw_source);
        redraw_source = 0;
    }
}

void pelk_views_login_view_OnLoginCredsChanged(GObject *, GParamSpec *, gpointer) {
    const char *email = entry_text(email_entry);
    const char *password = entry_text(password_entry);
    if (login_button != nullptr) {
        gtk_widget_set_sensitive(login_button, g_utf8_strlen(email, -1) > 0 && g_utf8_strlen(password, -1) > 0);
    }
    pelk_view_model_login_username_set_new(email);
    pelk_view_model_login_password_set_new(password);
}

void pelk_views_login_view_on_btn_login_click(GtkButton *, gpointer) { pelk_views_login_view_on_login(); }

gboolean pelk_iews_login_view_btn_login_draw(GtkWidget *widget, cairo_t *cr, gpointer) {
    pelk_resource_image picture = PELK_IMAGE_LOGIN_NORMAL;
    if (!gtk_widget_is_sensitive(widget)) {
        picture = PELK_IMAGE_LOGIN_DISABLED;
    } else if (gtk_widget_has_focus(widget)) {
        picture = PELK_IMAGE_LOGIN_FOCUSED;
    }
    Pelk_Cairo_DrawImage(cr, pelk_resource_manager_image(picture), 0, 0);
    return TRUE;
}

gboolean cb_login_view_redraw(gpointer) {
    if (destroyed) {
        redraw_source = 0;
        return G_SOURCE_REMOVE;
    }
    if (!is_entry(email_entry) || !is_entry(password_entry)) {
        return G_SOURCE_CONTINUE;
    }
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    set_text(email_entry, username.get());
    set_text(password_entry, password.get());
    if (g_strcmp0(password.get(), "") == 0 && g_strcmp0(username.get(), "") == 0) {
        gtk_widget_grab_focus(email_entry);
    }
    gtk_widget_queue_draw(email_entry);
    gtk_widget_queue_draw(password_entry);
    return G_SOURCE_CONTINUE;
}
