#pragma once

#include "dal/vpn_button_state.h"

#include <string>
#include <vector>

namespace veltra_test {

// A window layer for tests without a display: the engine's events reach the
// real main window controller, a sign-in's outcome runs every step that
// touches no window, and what would be shown (dialogs, tray states) is
// recorded instead.
void install_headless_ui();

struct RecordedDialog {
    int count = 0;
    std::string message;
    std::string url;
};
// The last dialog a sign-in failure asked for, and how many were asked for.
RecordedDialog last_dialog();
// Every state the tray was given, in delivery order.
std::vector<pelk_dal_vpn_button_state> tray_states();
void forget_ui_records();

}  // namespace veltra_test
