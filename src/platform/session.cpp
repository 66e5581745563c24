// pelk_platform_session_*: whom the window works for, and the drop to that user before the toolkit starts.
#include "platform/session.h"

#include "platform/session_internal.h"

#include <gio/gio.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *kTrustedPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// The accessibility bus's address comes from the user's session bus, or not
// at all; a slow bus must not hold up the window for long.
constexpr int kAccessibilityTimeoutMs = 2000;
// The variables a direct start may use to point the root helper at other
// folders and programs (tests, development).
constexpr const char *kHelperVariables[] = {"VELTRA_FILES_DIR", "VELTRA_RECORDS_DIR", "VELTRA_RESOLV_CONF",
                                            "VELTRA_RESOLVECTL", "VELTRA_LEAK_BLOCK_OMIT"};

enum class Start { kOwn, kPkexec, kSudo };

struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::vector<gid_t> groups;
};

// Written once by pelk_platform_session_init, before any other thread
// exists; read-only afterwards. Never destroyed: worker threads may read it
// while exit() runs the static destructors.
Start start = Start::kOwn;
bool dropped = false;
User &user = *new User;

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

// A uid that has a process running: pkexec's and sudo's callers wait for
// us, so a real request always has one.
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

// The user named by a variable of pkexec or sudo: a running user other than root.
bool user_from(const char *variable, const char *value) {
    char *end = nullptr;
    errno = 0;
    const unsigned long uid = strtoul(value, &end, 10);
    const bool number = value[0] != '\0' && *end == '\0' && errno == 0 && uid < UINT_MAX &&
                        isdigit(static_cast<unsigned char>(value[0]));
    if (!number || uid == 0 || !lookup_user(static_cast<uid_t>(uid), &user) ||
        !has_running_process(static_cast<uid_t>(uid))) {
        fprintf(stderr, "Veltra: refusing to run for %s \"%.40s\": not a running user other than root\n", variable,
                value);
        return false;
    }
    return true;
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

// Everything pkexec's instance keeps of the environment it was given: the
// display, its cookie's path (read only once the window is the user's, so
// the user's own permissions judge it) and the language.
void reset_environment() {
    const char *display_value = getenv("DISPLAY");
    const std::string display = text_is(display_value, display_char) ? display_value : "";
    const char *xauthority = getenv("XAUTHORITY");
    const std::string cookie =
        xauthority != nullptr && xauthority[0] == '/' && strlen(xauthority) < PATH_MAX ? xauthority : "";
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
    if (!display.empty()) {
        setenv("DISPLAY", display.c_str(), 1);
    }
    if (!cookie.empty()) {
        setenv("XAUTHORITY", cookie.c_str(), 1);
    }
}

// The user's session, as the password database and the runtime folder say,
// replaces root's (or the caller's) in the environment.
void take_users_session() {
    setenv("HOME", user.home.c_str(), 1);
    setenv("USER", user.name.c_str(), 1);
    setenv("LOGNAME", user.name.c_str(), 1);
    unsetenv("PKEXEC_UID");
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    unsetenv("SUDO_USER");
    unsetenv("SUDO_COMMAND");
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("AT_SPI_BUS_ADDRESS");
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    struct stat st {};
    if (stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user.uid) {
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string bus = runtime + "/bus";
        if (lstat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == user.uid) {
            setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
        }
    }
}

// Every capability set of this process is empty, as /proc says.
bool holds_no_capability() {
    g_autofree char *status = nullptr;
    if (!g_file_get_contents("/proc/self/status", &status, nullptr, nullptr)) {
        return false;
    }
    for (const char *field : {"\nCapInh:", "\nCapPrm:", "\nCapEff:", "\nCapAmb:"}) {
        const char *at = strstr(status, field);
        if (at == nullptr) {
            continue;  // a kernel without ambient capabilities
        }
        at += strlen(field);
        while (*at == ' ' || *at == '\t') {
            ++at;
        }
        if (strtoull(at, nullptr, 16) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

int pelk_platform_session_init(int argc) {
    start = Start::kOwn;
    dropped = false;
    user = User{};
    user.uid = geteuid();
    if (geteuid() != 0) {
        return 0;
    }
    const char *pkexec_uid = getenv("PKEXEC_UID");
    const char *sudo_uid = getenv("SUDO_UID");
    if (pkexec_uid != nullptr) {
        // pkexec passes on whatever the caller's command line held; the
        // toolkit would take some of it as orders.
        if (argc > 1) {
            fprintf(stderr, "Veltra: refusing to run with arguments when started through pkexec\n");
            return 1;
        }
        if (!user_from("PKEXEC_UID", pkexec_uid)) {
            return 1;
        }
        start = Start::kPkexec;
        reset_environment();
        return 0;
    }
    // Root that ran sudo is root's own start.
    if (sudo_uid != nullptr && strcmp(sudo_uid, "0") != 0) {
        if (!user_from("SUDO_UID", sudo_uid)) {
            return 1;
        }
        start = Start::kSudo;
    }
    return 0;
}

bool pelk_platform_session_is_elevated(void) { return start == Start::kPkexec; }
bool pelk_platform_session_has_user(void) { return start != Start::kOwn; }
uid_t pelk_platform_session_user_uid(void) { return user.uid; }

std::vector<std::string> pelk_platform_session_helper_environment(void) {
    if (start == Start::kPkexec) {
        return {"PKEXEC_UID=" + std::to_string(user.uid)};
    }
    std::vector<std::string> environment;
    for (const char *name : kHelperVariables) {
        if (const char *value = getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    return environment;
}

int pelk_platform_session_drop(void) {
    if (start == Start::kOwn) {
        return 0;
    }
    // Groups first, while root may still set them; then the group, then the
    // user, all three ids of each, so none is left to return to.
    if (setgroups(user.groups.size(), user.groups.data()) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
        setresuid(user.uid, user.uid, user.uid) != 0) {
        fprintf(stderr, "Veltra: cannot become user %u: %s\n", static_cast<unsigned>(user.uid), strerror(errno));
        return -1;
    }
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (setuid(0) == 0 || getresuid(&real, &effective, &saved) != 0 || real != user.uid || effective != user.uid ||
        saved != user.uid || !holds_no_capability()) {
        fprintf(stderr, "Veltra: the drop to user %u did not hold\n", static_cast<unsigned>(user.uid));
        return -1;
    }
    dropped = true;
    take_users_session();
    return 0;
}

void pelk_platform_session_accessibility(void) {
    if (!dropped) {
        return;
    }
    const char *bus = getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string address;
    if (bus != nullptr) {
        g_autoptr(GError) error = nullptr;
        g_autoptr(GDBusConnection) session = g_dbus_connection_new_for_address_sync(
            bus,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (session != nullptr) {
            g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
                session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr, G_VARIANT_TYPE("(s)"),
                G_DBUS_CALL_FLAGS_NONE, kAccessibilityTimeoutMs, nullptr, nullptr);
            if (reply != nullptr) {
                const char *answer = nullptr;
                g_variant_get(reply, "(&s)", &answer);
                address = answer != nullptr ? answer : "";
            }
            g_dbus_connection_close_sync(session, nullptr, nullptr);
        }
    }
    if (address.rfind("unix:", 0) == 0) {
        setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
    } else {
        // Without it the bridge would look on the root window, where any
        // client of the display may have put an address of its choosing.
        setenv("NO_AT_BRIDGE", "1", 1);
    }
}

void pelk_platform_session_internal_reset(void) {
    start = Start::kOwn;
    dropped = false;
    user = User{};
}
