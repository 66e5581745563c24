// CreateLoginView, pelk_views_login_view_*: the login screen.
#pragma once

#include <gtk/gtk.h>

// The content of the login window: e-mail and password entries kept in
// step with the login view model, the login button and two web links. One
// login view at a time. GTK main thread only.

// Builds the view for window (whose top bar moves and minimises it).
GtkWidget *CreateLoginView(GtkWidget *window);

void pelk_views_login_view_username_set(const char *text);
void pelk_views_login_view_password_set(const char *text);
