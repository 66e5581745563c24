#pragma once

#include "dal/vpn_button_state.h"

#include <vector>

// Every state delivered so far, in delivery order. The icon itself comes
// with the window layer; until then the states are only recorded.
std::vector<pelk_dal_vpn_button_state> pelk_views_vpn_tray_view_delivered(void);
void pelk_views_vpn_tray_view_forget(void);
