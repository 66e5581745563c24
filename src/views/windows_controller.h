// pelk_windows_controller_*: which window exists and is shown.
#pragma once

#include <gtk/gtk.h>

// Which window exists and which is shown: the login window, the main
// window, and the one dialog that may stand in for them. Every window is
// 421 x 394, borderless, at the place the user last dragged a window to.
// GTK main thread only.

// Start of the run, before the main loop: stops an OpenVPN left by an
// earlier run, loads the remembered credentials, opens the login window,
// signs in automatically when it can and starts the first public-address
// lookup.
void pelk_windows_controller_init(void);

// Hides or shows the login and main windows; showing them ends the dialog.
void pelk_windows_controller_change_windows_visibility(gboolean visible);

void pelk_windows_controller_modal_exit_show(void);
void pelk_windows_controller_modal_info_show(const char *message);
// url is held by the dialog: a text that lives as long as the program.
void pelk_windows_controller_modal_info_url_show(const char *message, const char *url);

// Leaves the login screen after a sign-in: remembers the credentials and
// opens the main screen.
void pelk_windows_controller_on_login_end(void);
// Log out: ends OpenVPN at once and goes back to the login window.
void pelk_windows_controller_on_main_end(void);
