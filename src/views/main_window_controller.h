// pelk_main_window_controller_*: the engine's events turned into states, and the server selection.
#pragma once

#include "base/ui_callbacks.h"
#include "dal/server_entity.h"

// Every engine entry of the callback table: the operations below and the
// main view model's, each running where the engine calls it. The client and
// the headless tests install the same rows.
pelk_engine_callbacks pelk_main_window_controller_engine_callbacks(void);

// The VPN engine's events, turned into connection states. Called on the VPN
// worker threads; they touch only the main view model, never a window.

// The tunnel reports it is up: check the public address through it. Called
// on the standard-output reader of the child whose tunnel came up.
void pelk_main_window_controller_on_vpn_started(void);
// OpenVPN reported errors, died, or the address did not change: set the
// error flag and disconnect.
void pelk_main_window_controller_on_vpn_error(void);
void pelk_main_window_controller_on_vpn_died(void);
void pelk_main_window_controller_on_vpn_disconnecting(void);
// OpenVPN has been stopped: disconnected, and the address through the
// tunnel forgotten.
void pelk_main_window_controller_on_vpn_disconnected(void);
void pelk_main_window_controller_on_vpn_after_disconnected(void);

// The server selection, on the GTK main thread. The server button of the
// main screen: shows the selection while the list may be used.
void pelk_main_window_controller_on_server_select_click(void);
// A server chosen in the selection: back to the main screen with it, while
// the list may be used; otherwise nothing.
void pelk_main_window_controller_on_server_selected(pelk_dal_server_entity *server);
// "Cancel" and Space: swap the screens, whatever the state.
void pelk_main_window_controller_on_server_select_cancel(void);
