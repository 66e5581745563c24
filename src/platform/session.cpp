// pelk_platform_session_*: the user an elevated instance works for.
#include "platform/session.h"

#include "platform/session_internal.h"

#include <fcntl.h>
#include <glib.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr size_t kMaxCookieBytes = 64 * 1024;
constexpr const char *kTrustedPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char *kOpener = "/usr/bin/gio";

struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::vector<gid_t> groups;
};

// Written once by pelk_platform_session_init, before any other thread
// exists; read-only afterwards. Never destroyed, as the I/O thread may still
// act as the user while exit() runs the static destructors.
bool elevated = false;
User &user = *new User;
std::string &user_display = *new std::string;
std::string &user_xauthority = *new std::string;
std::string &cookie_copy = *new std::string;

bool lookup_user(uid_t uid, User *out) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    out->uid = uid;
    out->gid = entry.pw_gid;
    out->name = entry.pw_name;
    out->home = entry.pw_dir != nullptr ? entry.pw_dir : "";
    int count = 64;
    out->groups.assign(static_cast<size_t>(count), 0);
    if (getgrouplist(entry.pw_name, entry.pw_gid, out->groups.data(), &count) < 0) {
        out->groups.assign(static_cast<size_t>(count), 0);
        if (getgrouplist(entry.pw_name, entry.pw_gid, out->groups.data(), &count) < 0) {
            return false;
        }
    }
    out->groups.resize(static_cast<size_t>(count));
    return true;
}

// A uid that has a process running: pkexec's caller waits for us, so a real
// request always has one.
bool has_running_process(uid_t uid) {
    g_autoptr(GDir) proc = g_dir_open("/proc", 0, nullptr);
    if (proc == nullptr) {
        return false;
    }
    while (const char *name = g_dir_read_name(proc)) {
        if (!g_ascii_isdigit(name[0])) {
            continue;
        }
        struct stat st {};
        const std::string path = std::string("/proc/") + name;
        if (stat(path.c_str(), &st) == 0 && st.st_uid == uid) {
            return true;
        }
    }
    return false;
}

bool text_is(const char *value, bool (*allowed)(unsigned char)) {
    if (value == nullptr || value[0] == '\0' || strlen(value) > 255) {
        return false;
    }
    for (const char *c = value; *c != '\0'; ++c) {
        if (!allowed(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
    return true;
}

bool display_char(unsigned char c) { return isalnum(c) || c == ':' || c == '.' || c == '-' || c == '_' || c == '/'; }
bool locale_char(unsigned char c) { return isalnum(c) || c == '_' || c == '.' || c == '@' || c == '-' || c == ':'; }

// The user's display cookie, read with the user's identity (the path is the
// user's to choose, so root must not open it), copied to a file only root
// can read for the display connection to use.
std::string copy_display_cookie(const char *path) {
    if (path == nullptr || path[0] != '/') {
        return "";
    }
    std::string content;
    {
        pelk_platform_session_user_files as_user;
        if (!as_user.ok()) {
            return "";
        }
        const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            return "";
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            char buffer[4096];
            ssize_t n = 0;
            while (content.size() < kMaxCookieBytes && (n = read(fd, buffer, sizeof buffer)) > 0) {
                content.append(buffer, static_cast<size_t>(n));
            }
        }
        close(fd);
    }
    if (content.empty() || content.size() >= kMaxCookieBytes) {
        return "";
    }
    char name[] = "/run/veltra-display-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        return "";
    }
    const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    if (!written) {
        unlink(name);
        return "";
    }
    return name;
}

// Everything an elevated instance keeps of the environment it was given.
void reset_environment() {
    const char *display = getenv("DISPLAY");
    user_display = text_is(display, display_char) ? display : "";
    const char *xauthority = getenv("XAUTHORITY");
    user_xauthority = xauthority != nullptr && xauthority[0] == '/' ? xauthority : "";
    std::vector<std::pair<std::string, std::string>> locale;
    for (const char *name : {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE"}) {
        const char *value = getenv(name);
        if (text_is(value, locale_char)) {
            locale.emplace_back(name, value);
        }
    }
    const std::string pkexec_uid = std::to_string(user.uid);

    clearenv();
    setenv("PATH", kTrustedPath, 1);
    setenv("HOME", "/root", 1);
    setenv("PKEXEC_UID", pkexec_uid.c_str(), 1);
    for (const auto &[name, value] : locale) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (!user_display.empty()) {
        setenv("DISPLAY", user_display.c_str(), 1);
    }
    cookie_copy = copy_display_cookie(user_xauthority.c_str());
    if (!cookie_copy.empty()) {
        setenv("XAUTHORITY", cookie_copy.c_str(), 1);
    }
}

// The environment of a program run as the user: the user's own home and
// session, nothing of root's.
std::vector<std::string> user_environment() {
    std::vector<std::string> env{"HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
                                 std::string("PATH=") + kTrustedPath};
    if (!user_display.empty()) {
        env.push_back("DISPLAY=" + user_display);
    }
    if (!user_xauthority.empty()) {
        env.push_back("XAUTHORITY=" + user_xauthority);
    }
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    struct stat st {};
    if (stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user.uid) {
        env.push_back("XDG_RUNTIME_DIR=" + runtime);
        if (stat((runtime + "/bus").c_str(), &st) == 0) {
            env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
        }
    }
    for (const char *name : {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE"}) {
        if (const char *value = getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    return env;
}

// Runs in the child between fork and exec: raw calls only.
void drop_to_user(gpointer) {
    if (syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
        setuid(user.uid) != 0 || setuid(0) == 0) {
        _exit(127);
    }
}

}  // namespace

int pelk_platform_session_init(void) {
    const char *asked_by = getenv("PKEXEC_UID");
    if (geteuid() != 0 || asked_by == nullptr) {
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long uid = strtoul(asked_by, &end, 10);
    const bool number = asked_by[0] != '\0' && *end == '\0' && errno == 0 && uid < UINT_MAX &&
                        isdigit(static_cast<unsigned char>(asked_by[0]));
    if (!number || uid == 0 || !lookup_user(static_cast<uid_t>(uid), &user) ||
        !has_running_process(static_cast<uid_t>(uid))) {
        fprintf(stderr, "Veltra: refusing to run for PKEXEC_UID \"%.40s\": not a running user other than root\n",
                asked_by);
        return 1;
    }
    elevated = true;
    reset_environment();
    return 0;
}

void pelk_platform_session_display_opened(void) {
    if (!cookie_copy.empty()) {
        unlink(cookie_copy.c_str());
        cookie_copy.clear();
    }
}

bool pelk_platform_session_is_elevated(void) { return elevated; }
uid_t pelk_platform_session_user_uid(void) { return user.uid; }

std::string pelk_platform_session_user_config_home(void) {
    return elevated && user.home.rfind('/', 0) == 0 ? user.home + "/.config" : "";
}

pelk_platform_session_user_files::pelk_platform_session_user_files() {
    if (!elevated) {
        return;
    }
    own_group_count_ = getgroups(64, own_groups_);
    // Groups first, while this thread still has root's capabilities; the
    // raw call changes this thread only, where the library call would
    // change every thread of the process.
    ok_ = own_group_count_ >= 0 && syscall(SYS_setgroups, user.groups.size(), user.groups.data()) == 0;
    if (ok_) {
        setfsgid(user.gid);
        setfsuid(user.uid);
        // setfsuid answers the previous value; asking again confirms.
        ok_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == user.uid &&
              static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == user.gid;
    }
    switched_ = true;
}

pelk_platform_session_user_files::~pelk_platform_session_user_files() {
    if (!switched_) {
        return;
    }
    setfsuid(0);
    setfsgid(0);
    if (own_group_count_ >= 0) {
        syscall(SYS_setgroups, own_group_count_, own_groups_);
    }
}

bool pelk_platform_session_open_as_user(const char *uri) {
    if (uri == nullptr || uri[0] == '\0') {
        return false;
    }
    std::vector<std::string> env = user_environment();
    std::vector<char *> envp;
    for (std::string &entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const char *argv[] = {kOpener, "open", uri, nullptr};
    const char *folder = user.home.rfind('/', 0) == 0 ? user.home.c_str() : "/";
    g_autoptr(GError) error = nullptr;
    return g_spawn_async(folder, const_cast<char **>(argv), envp.data(),
                         static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                         drop_to_user, nullptr, nullptr, &error);
}

void pelk_platform_session_internal_act_for(uid_t uid) { elevated = lookup_user(uid, &user); }

void pelk_platform_session_internal_reset(void) {
    elevated = false;
    user = User{};
}
