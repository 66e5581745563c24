// pelk_platform_session_*: whom the window works for, and the drop to that user before the toolkit starts.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Who started this instance, and whom its window works for:
// - the user's own instance (not root): itself;
// - pkexec's (root with PKEXEC_UID): the user who asked; of its environment
//   only the display is trusted;
// - sudo's (root with SUDO_UID): the user who ran sudo; a direct start, whose
//   environment counts;
// - root's own (root with neither, as in a root session or the tests): root.
// An instance with a user to work for starts the root helper while it is
// root, then drops to that user for good before any toolkit code runs: X11
// lets every client of a display steer GTK (its modules, its theme, its
// accessibility bus), so root never runs GTK on a user's display.

// Settles the above, before anything reads the environment; pkexec's
// instance refuses any argument, and its environment is emptied down to
// what it may trust. Non-zero when the instance must not go on: the reason
// is on standard error (the logs do not exist yet).
int pelk_platform_session_init(int argc);

// True for an instance that pkexec started for a user.
bool pelk_platform_session_is_elevated(void);
// True when the window will drop to a user (pkexec's or sudo's instance).
bool pelk_platform_session_has_user(void);
// The user the window works for; its own uid when it has no user to drop to.
uid_t pelk_platform_session_user_uid(void);

// The whole environment of the root helper ("NAME=value"): PKEXEC_UID alone
// for pkexec's instance; otherwise the development variables that point the
// helper at other folders and programs, when set.
std::vector<std::string> pelk_platform_session_helper_environment(void);

// Drops for good to the user (supplementary groups, gid, uid), checks that
// root cannot be regained and that no capability is left, and takes HOME,
// USER, LOGNAME and XDG_RUNTIME_DIR (with its session bus) from the password
// database. Nothing without a user. 0, or -1 with the reason on standard
// error: the instance must then end.
int pelk_platform_session_drop(void);

// For an instance that dropped to its user: the accessibility bridge is
// given the accessibility bus that the user's own session bus names, so that
// it never takes the address a client of the display put on the root
// window; with no session bus the bridge is not loaded. Nothing otherwise.
void pelk_platform_session_accessibility(void);
