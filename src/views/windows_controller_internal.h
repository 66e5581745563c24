// pelk_windows_controller_internal_*: a sign-in's steps that touch no window, for the tests.
#pragma once

// The steps of a sign-in's success that touch no window, for the headless
// tests that stand in for the window layer.

// Remembers the signed-in credentials in the settings store (the password
// only when the user keeps it) and logs them, the password as stars.
void pelk_windows_controller_internal_remember_login(void);
// The server list of the signed-in account; 0 when the exchange succeeded.
int pelk_windows_controller_internal_fetch_server_list(void);
// One developer-log line per server of the list.
void pelk_windows_controller_internal_log_server_list(void);
// Connects to the favourite when auto-connect is on.
void pelk_windows_controller_internal_auto_connect(void);
