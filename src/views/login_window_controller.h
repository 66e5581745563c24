// pelk_login_window_controller_*: the outcome of a sign-in.
#pragma once

// The outcome of a sign-in, on the GTK main thread.

// Remembers the credentials, fetches the server list, opens the main screen
// and connects to the favourite when the user asked for that.
void pelk_login_window_controller_on_login_succeeded(void);

// Turns start-at-login off, shows the message for the code and clears what
// the failure invalidated.
void pelk_login_window_controller_on_login_failed(int error_code);
