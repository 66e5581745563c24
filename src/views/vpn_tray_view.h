#pragma once

#include "dal/vpn_button_state.h"

// The tray's view of the connection. GTK main thread only: states reach it
// through the main view model's posting.
void pelk_views_vpn_tray_view_set_state(pelk_dal_vpn_button_state state);
