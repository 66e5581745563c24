#include "gui_session.h"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

// Last: its macros (None, Bool, Status) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace veltra_test {

namespace {

namespace fs = std::filesystem;

constexpr int kWindowWidth = 421;
constexpr int kWindowHeight = 394;

// Every poll here starts a program; on two cores a tight loop would starve
// the client it waits for.
bool poll_until(const std::function<bool()> &done, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    return wait_for(
        [&] {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            return false;
        },
        deadline);
}

std::vector<char *> c_vector(std::vector<std::string> &items) {
    std::vector<char *> result;
    for (std::string &item : items) {
        result.push_back(item.data());
    }
    result.push_back(nullptr);
    return result;
}

bool write(const std::string &path, const std::string &text, int mode = 0644) {
    fs::create_directories(fs::path(path).parent_path());
    if (!g_file_set_contents(path.c_str(), text.c_str(), -1, nullptr) || g_chmod(path.c_str(), mode) != 0) {
        ADD_FAILURE() << "cannot write " << path;
        return false;
    }
    return true;
}

// Starts a program in the background with exactly env; its output goes
// to out_file ("" for nowhere). Its pid, or -1 after ADD_FAILURE().
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string &folder,
            const std::string &out_file) {
    const int out =
        open(out_file.empty() ? "/dev/null" : out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    g_autoptr(GError) error = nullptr;
    GPid pid = 0;
    const bool started =
        g_spawn_async_with_fds(folder.empty() ? nullptr : folder.c_str(), c_vector(argv).data(), c_vector(env).data(),
                               G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, -1, out, out, &error);
    close(out);
    if (!started) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << error->message;
        return -1;
    }
    return pid;
}

// Reads `getwindowgeometry --shell` output of one or more windows.
std::vector<ClientWindow> parse_geometry(const std::string &text) {
    std::vector<ClientWindow> windows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long id = 0;
        if (std::sscanf(line.c_str(), "WINDOW=%lu", &id) == 1) {
            windows.push_back({id, {}});
        } else if (!windows.empty()) {
            Rect &f = windows.back().frame;
            (void)(std::sscanf(line.c_str(), "X=%d", &f.x) == 1 || std::sscanf(line.c_str(), "Y=%d", &f.y) == 1 ||
                   std::sscanf(line.c_str(), "WIDTH=%d", &f.width) == 1 ||
                   std::sscanf(line.c_str(), "HEIGHT=%d", &f.height) == 1);
        }
    }
    return windows;
}

std::string describe(const ClientWindow &w) {
    return "window " + std::to_string(w.id) + " " + std::to_string(w.frame.width) + "x" +
           std::to_string(w.frame.height) + " at (" + std::to_string(w.frame.x) + "," + std::to_string(w.frame.y) + ")";
}

// The client's children that run its OpenVPN program: a link named after

std::string screenshot_name(const std::string &step) {
    // Numbered per test, across the sessions a test starts.
    static std::string test;
    static int number = 0;
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = info != nullptr ? info->name() : "NoTest";
    if (name != test) {
        // Pictures of an earlier run of this test would pass for this one's.
        std::error_code ignored;
        for (const auto &entry : fs::directory_iterator(VELTRA_GUI_SCREENSHOT_DIR, ignored)) {
            if (entry.path().filename().string().rfind(name + "_", 0) == 0) {
                fs::remove(entry.path(), ignored);
            }
        }
        test = name;
        number = 0;
    }
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "_%02d_", ++number);
    return std::string(VELTRA_GUI_SCREENSHOT_DIR) + "/" + name + prefix + step + ".png";
}

}  // namespace

Rgb Screenshot::pixel(int x, int y) const {
    const int ox = window_ ? window_->frame.x : 0;
    const int oy = window_ ? window_->frame.y : 0;
    GdkPixbuf *p = pixbuf_.get();
    x += ox;
    y += oy;
    if (p == nullptr || x < 0 || y < 0 || x >= gdk_pixbuf_get_width(p) || y >= gdk_pixbuf_get_height(p)) {
        return {-1, -1, -1};
    }
    const guchar *at = gdk_pixbuf_read_pixels(p) + y * gdk_pixbuf_get_rowstride(p) + x * gdk_pixbuf_get_n_channels(p);
    return {at[0], at[1], at[2]};
}

Rgb Screenshot::mean(const Rect &area, double *saturation) const {
    long r = 0, g = 0, b = 0, spread = 0;
    const long count = std::max(1L, long(area.width) * area.height);
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            const Rgb c = pixel(x, y);
            r += c.r;
            g += c.g;
            b += c.b;
            spread += std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b});
        }
    }
    if (saturation != nullptr) {
        *saturation = double(spread) / count;
    }
    return {int(r / count), int(g / count), int(b / count)};
}

bool Screenshot::same_area(const Screenshot &other, const Rect &area) const {
    if (!ok() || !other.ok()) {
        return false;
    }
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            const Rgb a = pixel(x, y);
            const Rgb b = other.pixel(x, y);
            if (a.r != b.r || a.g != b.g || a.b != b.b || a.r < 0) {
                return false;
            }
        }
    }
    return true;
}

bool Screenshot::painted() const {
    if (!ok()) {
        return false;
    }
    const int width = window_ ? window_->frame.width : gdk_pixbuf_get_width(pixbuf_.get());
    const int height = window_ ? window_->frame.height : gdk_pixbuf_get_height(pixbuf_.get());
    const Rgb first = pixel(0, 0);
    for (int y = 0; y < height; y += 7) {
        for (int x = 0; x < width; x += 7) {
            const Rgb c = pixel(x, y);
            if (c.r != first.r || c.g != first.g || c.b != first.b) {
                return true;
            }
        }
    }
    return false;
}

std::unique_ptr<GuiSession> GuiSession::start(const std::string &service_base_url, const std::string &ca_file,
                                              const GuiOptions &options) {
    std::unique_ptr<GuiSession> session(new GuiSession());
    if (!session->display_.ok()) {
        ADD_FAILURE() << "Xvfb did not start";
        return nullptr;
    }
    if (options.before_client) {
        session->before_client_kept_ = options.before_client(session->display_.display());
    }
    session->through_pkexec_ = options.through_pkexec;
    session->extra_environment_ = options.environment;
    if (!session->watch_maps() || !session->write_stand_ins(options) || (options.tray && !session->start_tray()) ||
        !session->start_client(service_base_url, ca_file, options.app_parts)) {
        return nullptr;
    }
    return session;
}

GuiSession::~GuiSession() {
    if (watcher_ != nullptr) {
        XCloseDisplay(watcher_);
    }
    // A client ended by a signal leaves its OpenVPN child running, and with
    // it the tunnel the next test would start inside.
    const std::vector<pid_t> openvpn = pid_ > 0 ? openvpn_under(pid_) : std::vector<pid_t>{};
    for (pid_t *pid : {&pid_, &tray_pid_}) {
        if (*pid <= 0) {
            continue;
        }
        int status = 0;
        kill(*pid, SIGTERM);
        if (!wait_for([&] { return waitpid(*pid, &status, WNOHANG) == *pid; }, std::chrono::seconds(5))) {
            kill(*pid, SIGKILL);
            waitpid(*pid, &status, 0);
        }
        *pid = -1;
    }
    for (pid_t child : openvpn) {
        kill(child, SIGTERM);
        // An orphan is reaped by whoever adopted it; this process only when
        // it is a subreaper.
        auto gone = [&] {
            waitpid(child, nullptr, WNOHANG);
            const std::string stat = read_file("/proc/" + std::to_string(child) + "/stat");
            return stat.empty() || stat.find(") Z ") != std::string::npos;
        };
        if (!wait_for(gone, std::chrono::seconds(10))) {
            kill(child, SIGKILL);
            wait_for(gone, std::chrono::seconds(5));
        }
    }
}

// The client opens web pages through GIO's default handler for the scheme.
// The user's own mimeapps.list ($XDG_CONFIG_HOME) outranks every system one
// and $XDG_DATA_HOME/applications is searched for the entry it names, so no
// XDG_DATA_DIRS is needed for the stand-in to win.
bool GuiSession::write_stand_ins(const GuiOptions &options) {
    const std::string opener = user_file("opener.sh");
    return write_users(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + user_file("opened.txt") + "'\n", 0755) &&
           write_users(data_file("applications/veltra-test-opener.desktop"),
                       "[Desktop Entry]\nType=Application\nName=Opener\nExec=" + opener +
                           " %u\nMimeType=x-scheme-handler/https;x-scheme-handler/http;text/plain;text/x-log;\n") &&
           // The logs are text/x-log, a kind of text/plain: both, so that no
           // system viewer of either wins.
           write_users(config_file("mimeapps.list"),
                       "[Default Applications]\nx-scheme-handler/https=veltra-test-opener.desktop\n"
                       "x-scheme-handler/http=veltra-test-opener.desktop\ntext/plain=veltra-test-opener.desktop\n"
                       "text/x-log=veltra-test-opener.desktop\n") &&
           (options.settings.empty() || write_users(config_file("Veltra/settings.ini"), options.settings, 0600)) &&
           (!options.autostart_entry ||
            write_users(config_file("autostart/Veltra.desktop"),
                        "[Desktop Entry]\nType=Application\nName=Veltra\nExec=/bin/true\n"));
}

bool GuiSession::as_user() const { return user_.ok(); }

std::string GuiSession::user_file(const std::string &name) const {
    return (as_user() ? user_.home() : home_.path()) + "/" + name;
}

std::string GuiSession::config_file(const std::string &name) const {
    return as_user() ? user_.home() + "/.config/" + name : home_.file("config/" + name);
}

std::string GuiSession::data_file(const std::string &name) const {
    return as_user() ? user_.home() + "/.local/share/" + name : home_.file("data/" + name);
}

std::string GuiSession::log_folder(const std::string &kind) const {
    return as_user() ? user_.log_folder(kind) : home_.file("app/Logs/" + kind);
}

bool GuiSession::write_users(const std::string &path, const std::string &text, int mode) const {
    if (!as_user()) {
        return write(path, text, mode);
    }
    const std::string relative = path.substr(user_.home().size() + 1);
    if (!user_.write(relative, text, mode)) {
        ADD_FAILURE() << "cannot write " << path;
        return false;
    }
    return true;
}

bool GuiSession::start_tray() {
    const std::string width = std::to_string(kTrayArea.width);
    const std::string height = std::to_string(kTrayArea.height);
    tray_pid_ = spawn({"/usr/bin/trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", width,
                       "--heighttype", "pixel", "--height", height, "--SetDockType", "false", "--expand", "false"},
                      {"DISPLAY=" + display_.display(), "PATH=/usr/bin:/bin", "HOME=" + home_.path()}, "", "");
    // The client must find the tray already there, or its icon waits for one.
    const bool up =
        tray_pid_ > 0 && poll_until([&] {
            for (const ClientWindow &w : shown({"--onlyvisible", "--class", "trayer"})) {
                if (w.frame.x == kTrayArea.x && w.frame.y == kTrayArea.y && w.frame.width == kTrayArea.width) {
                    return true;
                }
            }
            return false;
        });
    if (!up) {
        ADD_FAILURE() << "the trayer panel did not appear";
    }
    return up;
}

bool GuiSession::start_client(const std::string &service_base_url, const std::string &ca_file,
                              const std::string &app_parts) {
    // A private app folder: the client, its helper and the app's parts.
    // Root's, and open to the user for the flags beside the client.
    chmod(home_.path().c_str(), 0755);
    fs::create_directories(home_.file("app"));
    fs::create_symlink(VELTRA_CLIENT_PATH, home_.file("app/veltra"));
    std::error_code ignored;
    fs::create_symlink(fs::path(VELTRA_CLIENT_PATH).parent_path() / "veltra-helper", home_.file("app/veltra-helper"),
                       ignored);
    for (const auto &entry : fs::directory_iterator(app_parts, ignored)) {
        const std::string name = entry.path().filename();
        if (name != "veltra" && name != "veltra-helper" && name != "Logs") {
            fs::create_symlink(entry.path(), home_.file("app/" + name));
        }
    }
    // The window drops to the user: its CA must be one the user may read.
    fs::copy_file(ca_file, home_.file("ca.pem"), fs::copy_options::overwrite_existing, ignored);
    chmod(home_.file("ca.pem").c_str(), 0644);
    std::vector<std::string> env{"DISPLAY=" + display_.display(), "VELTRA_SERVICE_BASE_URL=" + service_base_url,
                                 "VELTRA_CA_FILE=" + home_.file("ca.pem"), "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    if (as_user() && through_pkexec_) {
        // What pkexec passes on: its own few variables, the display, the
        // user who asked. What else a session might leave must count for
        // nothing, so the service variable here points nowhere.
        if (!user_.keep_running()) {
            ADD_FAILURE() << "cannot run a process as the test user";
            return false;
        }
        env = {"PKEXEC_UID=" + std::to_string(user_.uid()),
               "DISPLAY=" + display_.display(),
               "HOME=/root",
               "USER=root",
               "LOGNAME=root",
               "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
               "VELTRA_SERVICE_BASE_URL=https://127.0.0.1:9/nowhere/"};
    } else if (as_user()) {
        // Started by root for the user, as sudo starts it: the helper stays
        // root, the window becomes the user's. sudo's caller runs meanwhile.
        if (!user_.keep_running()) {
            ADD_FAILURE() << "cannot run a process as the test user";
            return false;
        }
        env.push_back("SUDO_UID=" + std::to_string(user_.uid()));
    } else {
        env.insert(env.end(), {"VELTRA_NO_ELEVATION=1", "HOME=" + home_.path(),
                               "XDG_CONFIG_HOME=" + home_.file("config"), "XDG_DATA_HOME=" + home_.file("data")});
    }
    if (!through_pkexec_) {
        env.insert(env.end(), extra_environment_.begin(), extra_environment_.end());
    }
    pid_ = spawn({home_.file("app/veltra")}, env, home_.file("app"), home_.file("client.out"));
    return pid_ > 0;
}

std::optional<std::string> GuiSession::run(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = args;
    std::vector<std::string> env{"DISPLAY=" + display_.display(), "PATH=/usr/bin:/bin", "HOME=" + home_.path()};
    g_autofree char *out = nullptr;
    int status = 0;
    if (!g_spawn_sync(nullptr, c_vector(argv).data(), c_vector(env).data(),
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH_FROM_ENVP | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                      nullptr, &out, nullptr, &status, nullptr) ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return std::string(out != nullptr ? out : "");
}

std::vector<ClientWindow> GuiSession::shown(const std::vector<std::string> &search) const {
    std::vector<std::string> argv{"xdotool", "search"};
    argv.insert(argv.end(), search.begin(), search.end());
    argv.insert(argv.end(), {"getwindowgeometry", "--shell", "%@"});
    const std::optional<std::string> out = run(argv);
    return out ? parse_geometry(*out) : std::vector<ClientWindow>{};
}

std::vector<ClientWindow> GuiSession::client_windows() const {
    std::vector<ClientWindow> found;
    for (const ClientWindow &w : shown({"--onlyvisible", "--name", "^Veltra$"})) {
        // The search ignores case, so the status icon ("veltra") matches too;
        // client windows have one size.
        if (w.frame.width == kWindowWidth && w.frame.height == kWindowHeight) {
            found.push_back(w);
        }
    }
    return found;
}

std::optional<ClientWindow> GuiSession::window() const {
    // Two at once only in the middle of a hand-over between windows.
    const std::vector<ClientWindow> found = client_windows();
    return found.size() == 1 ? std::optional<ClientWindow>(found.front()) : std::nullopt;
}

std::optional<ClientWindow> GuiSession::wait_window(const std::string &what,
                                                    const std::function<bool(const ClientWindow &)> &accept) {
    std::optional<ClientWindow> last;
    if (poll_until([&] { return (last = window()) && accept(*last); })) {
        return last;
    }
    std::string all;
    for (const ClientWindow &w : shown({"--onlyvisible", "--name", "^Veltra$"})) {
        all += "; " + describe(w);
    }
    ADD_FAILURE() << "waiting for " << what << ", shown" << (all.empty() ? ": nothing" : all);
    return std::nullopt;
}

std::optional<ClientWindow> GuiSession::wait_new_window(const std::string &what, unsigned long previous, int x, int y) {
    return wait_window(what,
                       [&](const ClientWindow &w) { return w.id != previous && w.frame.x == x && w.frame.y == y; });
}

std::optional<ClientWindow> GuiSession::wait_shown(const std::string &what, unsigned long id, int x, int y) {
    return wait_window(what, [&](const ClientWindow &w) { return w.id == id && w.frame.x == x && w.frame.y == y; });
}

bool GuiSession::wait_none_shown(const std::string &what) {
    if (poll_until([&] { return client_windows().empty(); })) {
        return true;
    }
    ADD_FAILURE() << "waiting for " << what << ": a window stays shown";
    return false;
}

bool GuiSession::exists(unsigned long id) const {
    return run({"xdotool", "getwindowgeometry", std::to_string(id)}).has_value();
}

std::optional<Rect> GuiSession::tray_icon() const {
    // xdotool joins search conditions with "or" unless told --all; the empty
    // name matches every window, which makes the pid the only condition.
    for (const ClientWindow &w : shown({"--all", "--onlyvisible", "--pid", std::to_string(pid_), "--name", ""})) {
        const Rect &f = w.frame;
        if (f.width >= 1 && f.height >= 1 && f.x >= kTrayArea.x && f.y >= kTrayArea.y &&
            f.x + f.width <= kTrayArea.x + kTrayArea.width && f.y + f.height <= kTrayArea.y + kTrayArea.height) {
            return f;
        }
    }
    return std::nullopt;
}

bool GuiSession::watch_maps() {
    watcher_ = XOpenDisplay(display_.display().c_str());
    if (watcher_ == nullptr) {
        ADD_FAILURE() << "cannot open display " << display_.display();
        return false;
    }
    XSelectInput(watcher_, DefaultRootWindow(watcher_), SubstructureNotifyMask);
    XSync(watcher_, False);
    return true;
}

std::vector<ClientWindow> GuiSession::mapped() {
    // A round trip first: every event of requests made before this call is in.
    XSync(watcher_, False);
    while (XPending(watcher_) > 0) {
        XEvent event;
        XNextEvent(watcher_, &event);
        if (event.type == CreateNotify) {
            const XCreateWindowEvent &e = event.xcreatewindow;
            frames_[e.window] = {e.x, e.y, e.width, e.height};
        } else if (event.type == ConfigureNotify) {
            const XConfigureEvent &e = event.xconfigure;
            frames_[e.window] = {e.x, e.y, e.width, e.height};
        } else if (event.type == MapNotify) {
            const auto known = frames_.find(event.xmap.window);
            if (known != frames_.end() && known->second.width == kWindowWidth &&
                known->second.height == kWindowHeight) {
                mapped_.push_back({event.xmap.window, known->second});
            }
        }
    }
    return mapped_;
}

std::string GuiSession::window_tree() const {
    return run({"xwininfo", "-root", "-tree"}).value_or("(xwininfo failed)");
}

void GuiSession::click(const ClientWindow &w, int x, int y) { click_screen(w.frame.x + x, w.frame.y + y); }

void GuiSession::click_screen(int x, int y) {
    // Without --sync: it hangs when the pointer is already there.
    EXPECT_TRUE(run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "--delay", "0", "1"}));
}

void GuiSession::type(const std::string &text) { EXPECT_TRUE(run({"xdotool", "type", "--delay", "0", text})); }

void GuiSession::type_into(const ClientWindow &w, const Rect &entry, const std::string &text) {
    EXPECT_TRUE(run({"xdotool", "mousemove", std::to_string(w.frame.x + entry.x + entry.width / 2),
                     std::to_string(w.frame.y + entry.y + entry.height / 2), "click", "--delay", "0", "1", "type",
                     "--delay", "0", text}));
}

void GuiSession::key(const std::string &name, int repeat) {
    EXPECT_TRUE(run({"xdotool", "key", "--delay", "0", "--repeat", std::to_string(repeat), name}));
}

void GuiSession::wheel(const ClientWindow &w, int x, int y, bool down, int notches) {
    EXPECT_TRUE(run({"xdotool", "mousemove", std::to_string(w.frame.x + x), std::to_string(w.frame.y + y), "click",
                     "--delay", "0", "--repeat", std::to_string(notches), down ? "5" : "4"}));
}

void GuiSession::drag(const ClientWindow &w, int x, int y, int dx, int dy) {
    const int from_x = w.frame.x + x;
    const int from_y = w.frame.y + y;
    EXPECT_TRUE(run({"xdotool", "mousemove", std::to_string(from_x), std::to_string(from_y), "mousedown", "1",
                     "mousemove", std::to_string(from_x + dx / 2), std::to_string(from_y + dy / 2), "mousemove",
                     std::to_string(from_x + dx), std::to_string(from_y + dy), "mouseup", "1"}));
}

void GuiSession::clear_entry(const ClientWindow &w, const Rect &entry, int longest_text) {
    // The caret lands wherever the click falls in the text: delete both ways.
    click(w, entry);
    key("BackSpace", longest_text);
    key("Delete", longest_text);
}

std::optional<Screenshot> GuiSession::grab() const {
    const std::string file = home_.file("grab.png");
    Screenshot shot;
    shot.window_ = window();
    // PNG24: a palette picture would be read back the same, but a lossy
    // colour reduction must never enter a pixel comparison.
    if (!run({"import", "-window", "root", "PNG24:" + file})) {
        return std::nullopt;
    }
    const std::optional<ClientWindow> after = window();
    if (after.has_value() != shot.window_.has_value() ||
        (after && (after->id != shot.window_->id || after->frame.x != shot.window_->frame.x ||
                   after->frame.y != shot.window_->frame.y))) {
        return std::nullopt;  // the window changed during the grab
    }
    GdkPixbuf *pixbuf = gdk_pixbuf_new_from_file(file.c_str(), nullptr);
    if (pixbuf == nullptr) {
        return std::nullopt;
    }
    shot.pixbuf_.reset(pixbuf, g_object_unref);
    return shot;
}

Screenshot GuiSession::shot(const std::string &step, const std::function<bool(const Screenshot &)> &accept) {
    std::optional<Screenshot> previous;
    std::optional<Screenshot> last;
    const bool accepted = poll_until([&] {
        previous = last;
        last = grab();
        if (!last) {
            return false;
        }
        if (accept) {
            return accept(*last);
        }
        // Settled: painted, and the same as the grab before.
        const Rect whole = last->window_ ? Rect{0, 0, kWindowWidth, kWindowHeight} : Rect{0, 0, 1024, 768};
        return last->painted() && previous && previous->window_.has_value() == last->window_.has_value() &&
               last->same_area(*previous, whole);
    });
    const std::string path = screenshot_name(step);
    if (!last) {
        ADD_FAILURE() << "no screen grab for " << path;
        return {};
    }
    if (!accepted) {
        ADD_FAILURE() << "the screen never reached step " << step << "; see " << path;
    }
    fs::create_directories(VELTRA_GUI_SCREENSHOT_DIR);
    GdkPixbuf *whole = last->pixbuf_.get();
    // With no window shown, the same size from the screen's origin: the tray is there.
    const int x = last->window_ ? last->window_->frame.x : 0;
    const int y = last->window_ ? last->window_->frame.y : 0;
    g_autoptr(GdkPixbuf) part = gdk_pixbuf_new_subpixbuf(whole, x, y, kWindowWidth, kWindowHeight);
    EXPECT_TRUE(gdk_pixbuf_save(part, path.c_str(), "png", nullptr, nullptr)) << path;
    return *last;
}

std::optional<Rgb> GuiSession::sample(const ClientWindow &w, const Rect &area) const {
    XImage *image = XGetImage(watcher_, DefaultRootWindow(watcher_), w.frame.x + area.x, w.frame.y + area.y, area.width,
                              area.height, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return std::nullopt;
    }
    long r = 0, g = 0, b = 0;
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            r += long((p & image->red_mask) >> __builtin_ctzl(image->red_mask));
            g += long((p & image->green_mask) >> __builtin_ctzl(image->green_mask));
            b += long((p & image->blue_mask) >> __builtin_ctzl(image->blue_mask));
        }
    }
    XDestroyImage(image);
    const long count = std::max(1L, long(area.width) * area.height);
    return Rgb{int(r / count), int(g / count), int(b / count)};
}

std::string GuiSession::opened_urls() const { return read_file(user_file("opened.txt")); }

std::optional<std::string> GuiSession::setting(const std::string &key) const {
    g_autoptr(GKeyFile) keys = g_key_file_new();
    if (!g_key_file_load_from_file(keys, config_file("Veltra/settings.ini").c_str(), G_KEY_FILE_NONE, nullptr)) {
        return std::nullopt;
    }
    g_autofree char *value = g_key_file_get_string(keys, "Veltra", key.c_str(), nullptr);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

bool GuiSession::autostart_entry_exists() const { return fs::exists(config_file("autostart/Veltra.desktop")); }

std::string GuiSession::dev_log() const {
    std::string text;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(log_folder("dev"), ignored)) {
        text += read_file(entry.path());
    }
    return text;
}

std::string GuiSession::out_log() const {
    std::string text;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(log_folder("out"), ignored)) {
        text += read_file(entry.path());
    }
    return text;
}

pid_t GuiSession::openvpn_child() const {
    const std::vector<pid_t> found = pid_ > 0 ? openvpn_under(pid_) : std::vector<pid_t>{};
    return found.size() == 1 ? found.front() : -1;
}

std::string GuiSession::client_output() const { return read_file(home_.file("client.out")); }

int GuiSession::wait_exit() {
    int status = 0;
    if (pid_ > 0 && wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
        pid_ = -1;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return pid_ > 0 ? -1 : exit_status_;
}

}  // namespace veltra_test
