#pragma once

// Which screen exists and is shown. GTK main thread only.

// Start of the run, before the main loop: stops an OpenVPN left by an
// earlier run, loads the remembered credentials, signs in automatically when
// it can and starts the first public-address lookup.
void pelk_windows_controller_init(void);

// Leaves the login screen after a sign-in: remembers the credentials and
// opens the main screen.
void pelk_windows_controller_on_login_end(void);
// Fetches the server list for the signed-in account, opens the main screen
// and connects to the favourite when auto-connect is on.
void pelk_windows_controller_on_main_start(void);

// Information dialogs, one at a time.
void pelk_windows_controller_modal_info_show(const char *message);
void pelk_windows_controller_modal_info_url_show(const char *message, const char *url);
