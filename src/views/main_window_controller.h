#pragma once

// The VPN engine's events, turned into connection states. Called on the VPN
// worker threads; they touch only the main view model, never a window.

// The tunnel reports it is up: check the public address through it.
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
