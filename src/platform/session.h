// pelk_platform_session_*: the user an elevated instance works for.
#pragma once

#include <sys/types.h>

#include <string>

// Who this instance works for. An instance that pkexec started for a user
// runs as root but belongs to that user: it takes nothing from its
// environment but the display, reads and writes the user's files with the
// user's identity, and opens pages and files as the user. An instance
// started directly (root itself, or VELTRA_NO_ELEVATION=1) is its own user.

// Settles the above from PKEXEC_UID, before anything reads the environment;
// then empties the environment of an elevated instance down to what it may
// trust. Non-zero when the instance must not go on: the reason is on
// standard error (the logs do not exist yet).
int pelk_platform_session_init(void);

// Removes the copy of the user's display cookie once the display is open.
void pelk_platform_session_display_opened(void);

// True for an instance that pkexec started for a user.
bool pelk_platform_session_is_elevated(void);
// The user who asked; meaningful only when elevated.
uid_t pelk_platform_session_user_uid(void);
// The user's settings home (~/.config from the password database) when
// elevated; "" otherwise, when the usual environment lookup applies.
std::string pelk_platform_session_user_config_home(void);

// For the scope of one object, this thread reads and writes files as the
// user who asked (file-system uid, gid and groups are per thread on Linux),
// so a link the user planted leads only where the user may go anyway.
// Nothing when not elevated.
class pelk_platform_session_user_files {
  public:
    pelk_platform_session_user_files();
    ~pelk_platform_session_user_files();
    pelk_platform_session_user_files(const pelk_platform_session_user_files &) = delete;
    pelk_platform_session_user_files &operator=(const pelk_platform_session_user_files &) = delete;
    // False when the identity could not be taken: the caller must not touch
    // the user's files.
    bool ok() const { return ok_; }

  private:
    bool switched_ = false;
    bool ok_ = true;
    gid_t own_groups_[64];
    int own_group_count_ = 0;
};

// Opens a URI (or an absolute path) with the desktop's default handler as
// the user who asked: through `gio open` in a child that has dropped to the
// user, with the user's home, display and session bus. False when the child
// could not be started.
bool pelk_platform_session_open_as_user(const char *uri);
