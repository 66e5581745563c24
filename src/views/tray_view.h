// pelk_views_tray_view_*, pelk_views_vpn_tray_view_set_state: the tray icon.
#pragma once

#include "dal/vpn_button_state.h"

#include <gtk/gtk.h>

// The tray icon: mirrors the connection state at all times and brings a
// minimised window back. Created hidden on first use, never destroyed. GTK
// main thread only.

void pelk_views_tray_view_new_if_not_exist(void);
// Picture and tooltip for state; the icon's visibility is left alone.
void pelk_views_vpn_tray_view_set_state(pelk_dal_vpn_button_state state);

// The minimise button's way into the tray: tracks window and shows the
// icon; the window is hidden only once a system tray has embedded the icon,
// so that it is never hidden with nothing to bring it back. Without a tray
// it stays iconified.
void pelk_views_tray_view_minimize(GtkWindow *window);
