#pragma once

#include <gtk/gtk.h>

// The content of the login window: e-mail and password entries kept in
// step with the login view model, the login button and two web links. One
// login view at a time. GTK main thread only.

// Builds the view for window (whose top bar moves and minimises it).
GtkWidget *CreateLoginView(GtkWidget *window);

void pelk_views_login_view_username_set(const char *text);
void pelk_views_login_view_password_set(const char *text);
// New copies of the entries' texts (g_free), or NULL without a view.
char *pelk_views_login_view_username_get_new(void);
char *pelk_views_login_view_password_get_new(void);
char *pelk_views_login_view_internal_copy_from_const_gchar(const gchar *text);

// Marks the view gone: its timer ends at its next tick.
void pelk_views_login_view_destroy(void);
// The sign-in shared by the button and the Enter key.
void pelk_views_login_view_on_login(void);

gboolean pelk_views_login_view_on_enter_key_press(GtkWidget *widget, GdkEventKey *event, gpointer data);
gboolean pelk_views_login_view_on_focus_select_all_field(GtkWidget *widget, GdkEvent *event, gpointer data);
void pelk_views_login_view_on_destroy(GtkWidget *widget, gpointer data);
void pelk_views_login_view_OnLoginCredsChanged(GObject *entry, GParamSpec *property, gpointer data);
void pelk_views_login_view_on_btn_login_click(GtkButton *button, gpointer data);
gboolean pelk_iews_login_view_btn_login_draw(GtkWidget *widget, cairo_t *cr, gpointer data);
gboolean cb_login_view_redraw(gpointer data);
