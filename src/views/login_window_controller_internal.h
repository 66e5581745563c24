// pelk_login_window_controller_internal_*: a failed sign-in's steps, for the tests.
#pragma once

// The parts of a failed sign-in that show nothing, for the headless tests.

// The message of a failure code and the web page its text links to (NULL
// for none); false for a code that shows nothing. Both texts are constants.
bool pelk_login_window_controller_internal_message(int error_code, const char **message, const char **url);
// Turns start-at-login off (not for -1: no verdict on the account) and
// clears the credentials the code invalidates, in the login view model and
// in the settings store.
void pelk_login_window_controller_internal_forget(int error_code);
