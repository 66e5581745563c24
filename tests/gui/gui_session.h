#pragma once

// Drives the real client on a private X server the way a user would: clicks
// and keys through xdotool, what is shown through screen grabs. Run as root,
// the client is started for a user made for the session, as sudo starts it:
// its root helper stays root and its window becomes that user's, with the
// user's settings, pages and logs.

#include "support/test_user.h"
#include "support/test_util.h"
#include "support/xvfb.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace veltra_test {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

struct Rgb {
    int r = 0, g = 0, b = 0;
};

// One shown client window; position and size on the screen.
struct ClientWindow {
    unsigned long id = 0;
    Rect frame;
};

// A grab of the whole screen, read in the coordinates of the window that
// was shown when it was taken (or of the screen when none was).
class Screenshot {
  public:
    bool ok() const { return pixbuf_ != nullptr; }
    Rgb pixel(int x, int y) const;
    // Mean colour of area; *saturation gets the mean of max(r,g,b) -
    // min(r,g,b), low for grey pictures.
    Rgb mean(const Rect &area, double *saturation = nullptr) const;
    // Same pixels in area here and in other (both window-relative).
    bool same_area(const Screenshot &other, const Rect &area) const;
    // Painted at all: an unpainted window is one flat colour.
    bool painted() const;

  private:
    friend class GuiSession;
    std::shared_ptr<GdkPixbuf> pixbuf_;
    std::optional<ClientWindow> window_;
};

struct GuiOptions {
    // Runs a system tray (trayer) so the client's status icon can embed.
    bool tray = false;
    // Content of $XDG_CONFIG_HOME/Veltra/settings.ini before start; none when empty.
    std::string settings;
    // Seeds $XDG_CONFIG_HOME/autostart/Veltra.desktop before start.
    bool autostart_entry = false;
    // A folder whose entries, but the client and its logs, are linked into
    // the client's private app folder: the sandbox's holds the OpenVPN
    // program, the VPN servers' CA and the flags.
    std::string app_parts;
    // Starts the client as pkexec starts it for the session's user: root,
    // PKEXEC_UID and a cleared environment (no service or CA variable: the
    // compiled service and the system's CAs). Needs root; without it the
    // client starts as below.
    bool through_pkexec = false;
    // More of the client's environment ("NAME=value"), in a direct start.
    std::vector<std::string> environment;
    // Runs once the display is up, before the client starts (display name);
    // what it returns lives until the display goes.
    std::function<std::shared_ptr<void>(const std::string &display)> before_client;
};

class GuiSession {
  public:
    // The screen strip the tray panel takes (top left corner).
    static constexpr Rect kTrayArea{0, 0, 60, 24};

    // Starts Xvfb, the tray when asked, and the client with the account
    // service at service_base_url, trusted through ca_file. Returns nullptr
    // after ADD_FAILURE() when a part does not start.
    static std::unique_ptr<GuiSession> start(const std::string &service_base_url, const std::string &ca_file,
                                             const GuiOptions &options = {});
    ~GuiSession();
    GuiSession(const GuiSession &) = delete;
    GuiSession &operator=(const GuiSession &) = delete;

    // The shown client window when exactly one is shown.
    std::optional<ClientWindow> window() const;
    // Waits until the shown window passes accept; failure names what.
    std::optional<ClientWindow> wait_window(const std::string &what,
                                            const std::function<bool(const ClientWindow &)> &accept);
    // Waits for a shown window other than previous, at (x, y).
    std::optional<ClientWindow> wait_new_window(const std::string &what, unsigned long previous, int x, int y);
    // Waits for window id to be shown at (x, y).
    std::optional<ClientWindow> wait_shown(const std::string &what, unsigned long id, int x, int y);
    // Waits until no client window is shown.
    bool wait_none_shown(const std::string &what);
    // Whether the X window still exists (shown or not).
    bool exists(unsigned long id) const;
    // The client's status icon when it is shown in the tray.
    std::optional<Rect> tray_icon() const;
    // The X window tree, for failure messages.
    std::string window_tree() const;
    // Every client-sized window mapped since start, in order, with where it
    // was at that moment: polling can miss a window that shows only briefly
    // or jumps right after it shows, the X server's own account cannot.
    std::vector<ClientWindow> mapped();

    // Input, at window-relative points of w; the pointer moves there first
    // because the keyboard follows it (no window manager).
    void click(const ClientWindow &w, int x, int y);
    void click(const ClientWindow &w, const Rect &area) { click(w, area.x + area.width / 2, area.y + area.height / 2); }
    void click_screen(int x, int y);
    void type(const std::string &text);
    // Clicks into the entry and types at once: the client may move the
    // focus between a click and the keys (see the login test).
    void type_into(const ClientWindow &w, const Rect &entry, const std::string &text);
    void key(const std::string &name, int repeat = 1);
    // Turns the mouse wheel over (x, y) of w by notches, down or up.
    void wheel(const ClientWindow &w, int x, int y, bool down, int notches);
    // Presses at (x, y), moves by (dx, dy) in two steps, releases.
    void drag(const ClientWindow &w, int x, int y, int dx, int dy);
    // Focuses the entry and deletes everything in it.
    void clear_entry(const ClientWindow &w, const Rect &entry, int longest_text);

    // Grabs the screen until accept holds (default: painted and the same as
    // the grab before), saves the shown window's part as
    // <Test>_<NN>_<step>.png and returns the grab.
    Screenshot shot(const std::string &step, const std::function<bool(const Screenshot &)> &accept = {});

    // The mean colour of area of w on the screen now: one small read from
    // the X server, quick enough to follow a picture shown for a moment,
    // which a whole-screen grab can miss.
    std::optional<Rgb> sample(const ClientWindow &w, const Rect &area) const;

    // URLs the client handed to the desktop, one a line.
    std::string opened_urls() const;
    // A value of [Veltra] in settings.ini; nullopt when the key is absent.
    std::optional<std::string> setting(const std::string &key) const;
    bool autostart_entry_exists() const;
    std::string dev_log() const;
    // This run's OpenVPN output log.
    std::string out_log() const;
    std::string client_output() const;
    // The client's running OpenVPN (its helper's child), -1 when there is none.
    pid_t openvpn_child() const;
    // The folder of the client's developer ("dev") or OpenVPN ("out") logs.
    std::string log_folder(const std::string &kind) const;
    // The client's process id (its window's).
    pid_t pid() const { return pid_; }
    // The user the window runs as (not ok() when the session runs without root).
    const TestUser &user() const { return user_; }
    // Waits for the client to end; its exit status, or -1 when it did not
    // end (or was killed).
    int wait_exit();

  private:
    GuiSession() = default;
    bool write_stand_ins(const GuiOptions &options);
    bool as_user() const;
    // Files of the user's: in the home, the settings home, the data home.
    std::string user_file(const std::string &name) const;
    std::string config_file(const std::string &name) const;
    std::string data_file(const std::string &name) const;
    // Writes a file of the user's, owned by the user.
    bool write_users(const std::string &path, const std::string &text, int mode = 0644) const;
    bool start_tray();
    bool start_client(const std::string &service_base_url, const std::string &ca_file, const std::string &app_parts);
    // Runs a program with this display; its standard output, nullopt on failure.
    std::optional<std::string> run(const std::vector<std::string> &argv) const;
    std::vector<ClientWindow> shown(const std::vector<std::string> &search) const;
    std::vector<ClientWindow> client_windows() const;
    std::optional<Screenshot> grab() const;
    bool watch_maps();

    // Goes last: its processes are ended and it is removed after the rest.
    // The session's user when it runs as root; one that cannot be made
    // leaves the window root's (not ok()).
    TestUser user_;
    // -br: a black root, so a window not painted yet is one flat colour.
    Xvfb display_{std::vector<std::string>{"-nocursor", "-br"}};
    // What before_client made: gone before the display is.
    std::shared_ptr<void> before_client_kept_;
    TempDir home_;
    _XDisplay *watcher_ = nullptr;  // own connection, notified of the root's children
    std::map<unsigned long, Rect> frames_;
    std::vector<ClientWindow> mapped_;
    pid_t tray_pid_ = -1;
    bool through_pkexec_ = false;
    std::vector<std::string> extra_environment_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

}  // namespace veltra_test
