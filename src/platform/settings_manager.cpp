// pelk_platform_specific_settings_manager_*: the settings file and the autostart entry.
#include "platform/settings_manager.h"

#include "platform/settings_manager_internal.h"

#include "base/logger.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

namespace {

constexpr const char *kFolderName = "Veltra";
constexpr const char *kFileName = "settings.ini";
constexpr const char *kLockName = "settings.lock";
constexpr const char *kGroup = "Veltra";
constexpr const char *kAutostartName = "Veltra.desktop";

// Values are read into a buffer of this many bytes: what an entry of the
// window holds (100 characters of up to four bytes of UTF-8 each), not the
// original 260, which saved a long password and then forgot it. They are
// stored without a terminating NUL, so a value of exactly this length fits.
constexpr size_t kValueBufferSize = 400;

// A settings file is a few hundred bytes; anything far larger is not ours
// and is not worth holding in memory.
constexpr off_t kMaxFileSize = 1 << 20;

// Enough numbered backups of damaged files for any realistic history.
constexpr int kMaxBackups = 100;

constexpr const char *kErrorOpen = "ERROR[RegOpenKeyEx]\n";
constexpr const char *kErrorCreate = "ERROR[RegCreateKeyEx]\n";
constexpr const char *kErrorSetValue = "ERROR[RegSetValueEx]\n";
constexpr const char *kErrorQuery = "ERROR[RegQueryValueEx]\n";
constexpr const char *kErrorRunSet = "ERROR[RegSetValue]\n";
constexpr const char *kErrorRunDelete = "ERROR[RegDeleteValue]\n";

void note(const char *line) { pelk_write_dev_log(line); }

class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result: a failed close can be a lost write.
    bool close_checked() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

  private:
    int fd_;
};

// Root's own window (a root session, tests) may still be pointed at a
// user's folder through XDG_CONFIG_HOME; whatever it creates there must stay
// that user's, and it follows no symbolic link inside it. A window working
// for a user never needs this: it runs as that user.
struct Owner {
    bool change = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// setfsuid answers the identity it replaces; -1 changes nothing.
bool files_as_root() { return setfsuid(static_cast<uid_t>(-1)) == 0; }

Owner owner_of(const struct stat &folder) {
    Owner owner;
    owner.change = files_as_root() && folder.st_uid != 0;
    owner.uid = folder.st_uid;
    owner.gid = folder.st_gid;
    return owner;
}

// A failed hand-over leaves the file usable by this instance; only the
// user's own non-elevated instances would miss it, and they report that.
bool give_to(int fd, const Owner &owner) { return !owner.change || fchown(fd, owner.uid, owner.gid) == 0; }

bool give_path_to(const std::string &path, const Owner &owner) {
    return !owner.change || lchown(path.c_str(), owner.uid, owner.gid) == 0;
}

bool absolute(const char *path) { return path != nullptr && path[0] == '/'; }

// Read at each call: GLib caches g_get_user_config_dir() for the process.
std::string config_home() {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (absolute(xdg)) {
        return xdg;
    }
    const char *home = getenv("HOME");
    if (!absolute(home)) {
        home = g_get_home_dir();
    }
    if (!absolute(home)) {
        return "";
    }
    return std::string(home) + "/.config";
}

// Makes path and any missing parent folder with mode, each new one owned
// like its parent; false when path cannot be a folder.
bool ensure_folder_tree(const std::string &path, mode_t mode, Owner *owner) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        *owner = owner_of(st);
        return S_ISDIR(st.st_mode);
    }
    if (errno != ENOENT) {
        return false;
    }
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    if (slash == std::string::npos || parent == path || !ensure_folder_tree(parent, mode, owner)) {
        return false;
    }
    if (mkdir(path.c_str(), mode) == 0) {
        give_path_to(path, *owner);
        // The umask may have taken bits away (a restrictive one can leave
        // the folder unusable); the mode asked for is the one that counts.
        chmod(path.c_str(), mode);
    } else if (errno != EEXIST) {
        return false;
    }
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder of our own inside the config home, made 0700 when absent (and
// forced to 0700 when private is set); false when it cannot be a folder.
bool ensure_own_folder(const std::string &folder, const Owner &owner, bool make_private) {
    if (mkdir(folder.c_str(), 0700) == 0) {
        give_path_to(folder, owner);
        chmod(folder.c_str(), 0700);
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat st {};
    const int found = owner.change ? lstat(folder.c_str(), &st) : stat(folder.c_str(), &st);
    if (found != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    if (make_private && (st.st_mode & 07777) != 0700) {
        chmod(folder.c_str(), 0700);
    }
    return true;
}

// The settings folder, made private (it holds a plain password, whatever
// mode an earlier tool or the umask left); "" after its log line.
std::string open_settings_folder(Owner *owner) {
    const std::string home = config_home();
    if (home.empty() || !ensure_folder_tree(home, 0700, owner)) {
        note(kErrorOpen);
        return "";
    }
    const std::string folder = home + "/" + kFolderName;
    if (!ensure_own_folder(folder, *owner, true)) {
        note(kErrorCreate);
        return "";
    }
    return folder;
}

// Letters, digits, '_', '-' and '.': nothing a key file could read as a
// group, a comment, a locale suffix or a second key.
bool valid_value_name(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    for (const char *c = name; *c != '\0'; ++c) {
        if (!g_ascii_isalnum(*c) && *c != '_' && *c != '-' && *c != '.') {
            return false;
        }
    }
    return true;
}

bool has_control_character(const char *text) {
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c != '\0'; ++c) {
        if (*c < 0x20 || *c == 0x7f) {
            return true;
        }
    }
    return false;
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Readers see the old file or the new one, never a part: the text goes to
// a private file beside the target, reaches the disk, then takes its name.
bool write_file_atomically(const std::string &folder, const std::string &name, const char *data, size_t length,
                           mode_t mode, const Owner &owner) {
    std::string temp = folder + "/." + name + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return false;
    }
    give_to(fd.get(), owner);
    const bool written = fchmod(fd.get(), mode) == 0 && write_all(fd.get(), data, length) && fsync(fd.get()) == 0;
    if (!fd.close_checked() || !written || rename(temp.c_str(), (folder + "/" + name).c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        fsync(dir.get());
    }
    return true;
}

enum class Loaded { ok, missing, damaged, unreadable };

// Loads the settings file into keys, and what fstat said of the file read
// into *seen when asked. O_NONBLOCK keeps a FIFO planted under the file's
// name from stalling the caller.
Loaded load_settings(const std::string &path, const Owner &owner, GKeyFile *keys, struct stat *seen = nullptr) {
    const int no_links = owner.change ? O_NOFOLLOW : 0;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | no_links));
    if (fd.get() < 0) {
        return errno == ENOENT ? Loaded::missing : Loaded::unreadable;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Loaded::unreadable;
    }
    if (st.st_size > kMaxFileSize) {
        return Loaded::damaged;
    }
    if (seen != nullptr) {
        *seen = st;
    }
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Loaded::unreadable;
        }
        if (got == 0) {
            break;
        }
        data.append(buffer, static_cast<size_t>(got));
        if (data.size() > static_cast<size_t>(kMaxFileSize)) {
            return Loaded::damaged;
        }
    }
    // Comments and other groups are somebody's; a write keeps them.
    const GKeyFileFlags flags = static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);
    if (!g_key_file_load_from_data(keys, data.data(), data.size(), flags, nullptr)) {
        return Loaded::damaged;
    }
    return Loaded::ok;
}

// A damaged settings file is kept under a free backup name (a hard link, so
// it is never copied half) before a write replaces it; false when no backup
// could be made, in which case the write must not go ahead.
bool keep_damaged_file(const std::string &folder, const std::string &path) {
    for (int n = 0; n < kMaxBackups; ++n) {
        std::string backup = folder + "/" + kFileName + ".corrupt";
        if (n > 0) {
            backup += "." + std::to_string(n);
        }
        if (link(path.c_str(), backup.c_str()) == 0) {
            // It may hold a password whatever mode it had. Through a
            // descriptor: the name may be swapped for a link meanwhile.
            UniqueFd copy(open(backup.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
            if (copy.get() >= 0) {
                fchmod(copy.get(), 0600);
            }
            note(("Settings file is damaged; kept it as " + backup + "\n").c_str());
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

class FileLock {
  public:
    // flock needs no write access, so a lock file left read-only by a
    // restrictive umask still serves every later instance.
    explicit FileLock(const std::string &path, const Owner &owner)
        : fd_(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
        if (fd_.get() < 0) {
            return;
        }
        give_to(fd_.get(), owner);
        fchmod(fd_.get(), 0600);
        while (flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return;
            }
        }
        held_ = true;
    }
    // Closing the descriptor releases the lock.
    bool held() const { return held_; }

  private:
    UniqueFd fd_;
    bool held_ = false;
};

struct KeyFileDeleter {
    void operator()(GKeyFile *keys) const noexcept { g_key_file_free(keys); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool earlier(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The settings file as last read, kept so that the main screen's read of
// its star at every repaint costs a stat, not a parse. A read uses it only
// while stat describes the very file it was loaded from: same device, inode,
// size, and modification and change times to the nanosecond.
//
// A file changed twice within one tick of the kernel's file clock would keep
// its times; so the copy is trusted only when the file's change time lies
// before the tick in which the read began (read from the coarse clock the
// kernel stamps files with, which never runs ahead of a stamp). Any later
// change then carries a later change time. Until then every read loads the
// file again.
class SettingsSnapshot {
  public:
    // The keys of the file at path, loaded again unless the copy still
    // holds; nullptr when the file could not be loaded. Valid while the
    // caller holds lock().
    GKeyFile *keys(const std::string &path, const Owner &owner) {
        struct stat now {};
        const int found = owner.change ? lstat(path.c_str(), &now) : stat(path.c_str(), &now);
        if (found == 0 && settled_ && path == path_ && describes(now)) {
            return keys_.get();
        }
        forget();
        struct timespec began {};
        clock_gettime(CLOCK_REALTIME_COARSE, &began);
        KeyFilePtr keys(g_key_file_new());
        if (load_settings(path, owner, keys.get(), &seen_) != Loaded::ok) {
            return nullptr;
        }
        path_ = path;
        keys_ = std::move(keys);
        settled_ = earlier(seen_.st_ctim, began);
        return keys_.get();
    }
    void forget() {
        keys_.reset();
        path_.clear();
        settled_ = false;
    }
    std::mutex &lock() { return mutex_; }

  private:
    bool describes(const struct stat &now) const {
        return now.st_dev == seen_.st_dev && now.st_ino == seen_.st_ino && now.st_size == seen_.st_size &&
               same_time(now.st_mtim, seen_.st_mtim) && same_time(now.st_ctim, seen_.st_ctim);
    }

    std::mutex mutex_;
    std::string path_;
    struct stat seen_ {};
    KeyFilePtr keys_;
    bool settled_ = false;
};

// Never destroyed: a worker thread may read a setting while exit() runs.
SettingsSnapshot &snapshot = *new SettingsSnapshot;

// Read-modify-write of one value under the folder's lock, so two instances
// writing different values at once both keep theirs. The folder reports its
// own failure; false is any later one.
bool store_value(const std::string &folder, const Owner &owner, const char *value_name, const char *value) {
    FileLock lock(folder + "/" + kLockName, owner);
    if (!lock.held()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> held(snapshot.lock());
        snapshot.forget();
    }
    const std::string path = folder + "/" + kFileName;
    KeyFilePtr keys(g_key_file_new());
    switch (load_settings(path, owner, keys.get())) {
    case Loaded::ok:
        break;
    case Loaded::missing:
        break;
    case Loaded::damaged:
        if (!keep_damaged_file(folder, path)) {
            return false;
        }
        keys.reset(g_key_file_new());
        break;
    case Loaded::unreadable:
        // Replacing what cannot be read could destroy it.
        return false;
    }
    g_key_file_set_string(keys.get(), kGroup, value_name, value);
    gsize length = 0;
    g_autofree char *data = g_key_file_to_data(keys.get(), &length, nullptr);
    return data != nullptr && write_file_atomically(folder, kFileName, data, length, 0600, owner);
}

std::string running_program_path() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
}

bool usable_entry_path(const char *path) {
    return absolute(path) && g_utf8_validate(path, -1, nullptr) && !has_control_character(path);
}

// One argument of an Exec line: always quoted; inside the quotes '"', '`',
// '$' and '\' take a backslash, and '%' is doubled so it is not read as a
// field code. The key file layer escapes the backslashes once more.
std::string exec_quoted(const char *path) {
    std::string quoted = "\"";
    for (const char *c = path; *c != '\0'; ++c) {
        switch (*c) {
        case '"':
        case '`':
        case '$':
        case '\\':
            quoted += '\\';
            quoted += *c;
            break;
        case '%':
            quoted += "%%";
            break;
        default:
            quoted += *c;
        }
    }
    return quoted + "\"";
}

std::string autostart_entry_path(const std::string &home) { return home + "/autostart/" + kAutostartName; }

}  // namespace

namespace {

char *create_registry_impl(void) {
    Owner owner;
    const std::string folder = open_settings_folder(&owner);
    return folder.empty() ? nullptr : strdup(folder.c_str());
}

}  // namespace

namespace {

void string_set_impl(const char *text, const char *value_name) {
    const char *value = text != nullptr ? text : "";
    if (!valid_value_name(value_name) || !g_utf8_validate(value, -1, nullptr)) {
        note(kErrorSetValue);
        return;
    }
    Owner owner;
    const std::string folder = open_settings_folder(&owner);
    if (!folder.empty() && !store_value(folder, owner, value_name, value)) {
        note(kErrorSetValue);
    }
}

}  // namespace

namespace {

char *string_get_impl(const char *value_name) {
    Owner owner;
    const std::string folder = open_settings_folder(&owner);
    if (folder.empty()) {
        return nullptr;
    }
    if (!valid_value_name(value_name)) {
        note(kErrorQuery);
        return nullptr;
    }
    // No file lock: the file is only ever replaced whole.
    std::lock_guard<std::mutex> held(snapshot.lock());
    GKeyFile *keys = snapshot.keys(folder + "/" + kFileName, owner);
    if (keys == nullptr) {
        note(kErrorQuery);
        return nullptr;
    }
    GError *error = nullptr;
    g_autofree char *value = g_key_file_get_string(keys, kGroup, value_name, &error);
    const bool readable = error == nullptr && value != nullptr;
    g_clear_error(&error);
    if (!readable || value[0] == '\0' || strlen(value) > kValueBufferSize) {
        note(kErrorQuery);
        return nullptr;
    }
    return strdup(value);
}

}  // namespace

void pelk_platform_specific_settings_manager_username_set(const char *text) {
    pelk_platform_specific_settings_manager_string_set(text, "username");
}

char *pelk_platform_specific_settings_manager_username_get(void) {
    return pelk_platform_specific_settings_manager_string_get("username");
}

void pelk_platform_specific_settings_manager_password_set(const char *text) {
    pelk_platform_specific_settings_manager_string_set(text, "password");
}

char *pelk_platform_specific_settings_manager_password_get(void) {
    char *password = pelk_platform_specific_settings_manager_string_get("password");
    if (password != nullptr && password[0] == '\0') {
        free(password);
        return nullptr;
    }
    return password;
}

void pelk_platform_Specific_settings_manager_favorite_server_set(const char *server_address) {
    pelk_platform_specific_settings_manager_string_set(server_address, "favorite_server");
}

char *pelk_platform_specific_settings_manager_favorite_server_get(void) {
    return pelk_platform_specific_settings_manager_string_get("favorite_server");
}

void pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(int flag) {
    pelk_platform_specific_settings_manager_string_set(flag != 0 ? "1" : "0", "auto_connect");
}

int pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get(void) {
    char *value = pelk_platform_specific_settings_manager_string_get("auto_connect");
    const int on = value != nullptr && strcmp(value, "1") == 0 ? 1 : 0;
    free(value);
    return on;
}

int pelk_platform_specific_settings_manager_is_remember_password_set(void) {
    char *password = pelk_platform_specific_settings_manager_password_get();
    const int remembered = password != nullptr ? 1 : 0;
    free(password);
    return remembered;
}

char *pelk_platform_specific_settings_manager_autostart_entry_new(const char *program_path, const char *app_dir) {
    if (!usable_entry_path(program_path) || !usable_entry_path(app_dir)) {
        return nullptr;
    }
    KeyFilePtr entry(g_key_file_new());
    const char *group = G_KEY_FILE_DESKTOP_GROUP;
    g_key_file_set_string(entry.get(), group, G_KEY_FILE_DESKTOP_KEY_TYPE, G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
    g_key_file_set_string(entry.get(), group, G_KEY_FILE_DESKTOP_KEY_NAME, "Veltra");
    g_key_file_set_string(entry.get(), group, G_KEY_FILE_DESKTOP_KEY_EXEC, exec_quoted(program_path).c_str());
    g_key_file_set_string(entry.get(), group, G_KEY_FILE_DESKTOP_KEY_PATH, app_dir);
    g_key_file_set_string(entry.get(), group, "X-GNOME-Autostart-enabled", "true");
    g_autofree char *data = g_key_file_to_data(entry.get(), nullptr, nullptr);
    return data != nullptr ? strdup(data) : nullptr;
}

namespace {

void auto_start_on_logon_set_impl(int flag) {
    const std::string home = config_home();
    if (home.empty()) {
        note(kErrorOpen);
        return;
    }
    const std::string folder = home + "/autostart";
    if (flag == 0) {
        struct stat st {};
        const Owner owner = stat(home.c_str(), &st) == 0 ? owner_of(st) : Owner{};
        const bool linked = lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if ((linked && owner.change) || unlink(autostart_entry_path(home).c_str()) != 0) {
            note(kErrorRunDelete);
        }
        return;
    }
    Owner owner;
    if (!ensure_folder_tree(home, 0700, &owner) || !ensure_own_folder(folder, owner, false)) {
        note(kErrorOpen);
        return;
    }
    const std::string program = running_program_path();
    g_autofree char *app_dir = g_path_get_dirname(program.c_str());
    char *entry = pelk_platform_specific_settings_manager_autostart_entry_new(program.c_str(), app_dir);
    const bool written =
        entry != nullptr && write_file_atomically(folder, kAutostartName, entry, strlen(entry), 0644, owner);
    free(entry);
    if (!written) {
        note(kErrorRunSet);
    }
}

}  // namespace

namespace {

int auto_start_on_logon_get_impl(void) {
    const std::string home = config_home();
    if (home.empty()) {
        note(kErrorOpen);
        return 0;
    }
    struct stat st {};
    if (stat(autostart_entry_path(home).c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return 0;
        }
        note(kErrorOpen);
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        note(kErrorOpen);
        return 0;
    }
    return 1;
}

}  // namespace

char *pelk_platform_specific_settings_manager_create_registry(void) { return create_registry_impl(); }

void pelk_platform_specific_settings_manager_string_set(const char *text, const char *value_name) {
    string_set_impl(text, value_name);
}

char *pelk_platform_specific_settings_manager_string_get(const char *value_name) { return string_get_impl(value_name); }

void pelk_platform_specific_settings_manager_auto_start_on_logon_set(int flag) { auto_start_on_logon_set_impl(flag); }

int pelk_platform_specific_settings_manager_auto_start_on_logon_get(void) { return auto_start_on_logon_get_impl(); }
