// pelk_global_variable*: the program path, the app folder and this run's log paths.
#include "base/global_variables.h"

#include "base/logger.h"
#include "base/owned_text.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Folder paths are formatted into buffers of this size in the original
// layout; a longer one is refused rather than cut to a different folder.
constexpr size_t kFolderBufferSize = 500;

// Worker threads are never joined and may still log while the process
// exits, so the paths are never destroyed.
struct Paths {
    std::string exe_path;
    std::string app_dir;
    char separator = '\0';
    std::string dev_log;
    std::string out_log;
    std::string err_log;
};

Paths &paths() {
    static Paths *instance = new Paths();
    return *instance;
}

// The folder part of path, separator included, and that separator; "" and
// '\0' when the path holds none.
std::string folder_of(const std::string &path, char *separator) {
    const size_t last = path.find_last_of("\\/");
    if (last == std::string::npos) {
        return "";
    }
    *separator = path[last];
    return path.substr(0, last + 1);
}

// Started through PATH, argument 0 is a bare name; the program's own folder
// is then where the kernel says the running file is.
std::string folder_of_running_program(char *separator) {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return "";
    }
    return folder_of(std::string(buffer, static_cast<size_t>(length)), separator);
}

char *copy_text(const std::string &text) { return strdup(text.c_str()); }

std::string openvpn_path(const char *file) {
    if (paths().app_dir.empty()) {
        return "";
    }
    return paths().app_dir + "openvpn" + paths().separator + file;
}

// The logs hold the account service's replies and OpenVPN's output: only
// the client's own user may enter their folders. A folder of ours left
// wider by an older run is narrowed; one that is not ours (or a link) is
// left alone, and the logger then refuses to write into it.
void make_folder(const std::string &path) {
    if (mkdir(path.c_str(), 0700) == 0) {
        return;
    }
    const int error = errno;
    printf("mkdir error: %i. Path: %s\n", error, path.c_str());
    fflush(stdout);
    if (error != EEXIST) {
        return;
    }
    // A trailing '/' would make open() follow a link despite O_NOFOLLOW.
    const std::string bare = path.substr(0, path.find_last_not_of('/') + 1);
    const int fd = open(bare.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_uid == geteuid() && (info.st_mode & 077) != 0) {
        fchmod(fd, 0700);
    }
    close(fd);
}

// The package's folder, as this build installs it, with its trailing '/'
// ("" for a build that knows none).
std::string install_folder() {
#ifdef VELTRA_INSTALL_DIR
    std::string folder = VELTRA_INSTALL_DIR;
    folder.erase(folder.find_last_not_of('/') + 1);
    return folder + "/";
#else
    return "";
#endif
}

// The installed client may be started through another path to the same
// folder (/lib on a merged /usr); the kernel's view of both settles it.
bool is_install_folder(const std::string &app_dir) {
    const std::string installed = install_folder();
    if (installed.empty() || app_dir.empty()) {
        return false;
    }
    if (app_dir == installed) {
        return true;
    }
    const pelk_owned_text a(realpath(app_dir.c_str(), nullptr));
    const pelk_owned_text b(realpath(installed.c_str(), nullptr));
    return a && b && strcmp(a.get(), b.get()) == 0;
}

// The logs sit beside the program when its user may write there (the build
// tree, a root run, an unpacked copy); otherwise, and always for the
// installed client, whose folder is the package's under /usr and no run's
// to write into (root's neither), in the user's state folder. "" when the
// installed client has no home to put them in.
std::string log_root_for(const std::string &app_dir) {
    const bool installed = is_install_folder(app_dir);
    if (!installed &&
        (access(app_dir.empty() ? "." : app_dir.c_str(), W_OK) == 0 || (errno != EACCES && errno != EROFS))) {
        return app_dir + "Logs/";
    }
    const std::string beside = installed ? "" : app_dir + "Logs/";
    const char *state = getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        const char *home = getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            return beside;
        }
        base = std::string(home) + "/.local/state";
    }
    // Missing parents are made private too; existing ones are left as they are.
    const std::string folder = base + "/veltra";
    g_mkdir_with_parents(folder.c_str(), 0700);
    return folder + "/Logs/";
}

std::string log_path_in(const std::string &folder) {
    char *path = pelk_logger_log_new(folder.c_str());
    std::string result = path != nullptr ? path : "";
    free(path);
    return result;
}

}  // namespace

void pelk_global_variables_init_program(const char *path) {
    Paths &p = paths();
    p.exe_path = path != nullptr ? path : "";
    p.separator = '\0';
    p.dev_log.clear();
    p.out_log.clear();
    p.err_log.clear();

    p.app_dir = folder_of(p.exe_path, &p.separator);
    if (p.app_dir.empty()) {
        p.app_dir = folder_of_running_program(&p.separator);
    }
}

void pelk_global_variables_init(const char *path) {
    pelk_global_variables_init_program(path);
    Paths &p = paths();

    // The log folders are always joined with '/', whatever the program path uses.
    const std::string log_root = log_root_for(p.app_dir);
    if (log_root.empty()) {
        pelk_write_dev_log("No folder for the logs (neither XDG_STATE_HOME nor HOME), logs disabled\n");
        return;
    }
    const std::string out_dir = log_root + "out/";
    const std::string err_dir = log_root + "err/";
    const std::string dev_dir = log_root + "dev/";
    for (const std::string *folder : {&log_root, &out_dir, &err_dir, &dev_dir}) {
        if (folder->size() >= kFolderBufferSize) {
            pelk_write_dev_log(("Log folder path too long, logs disabled: " + *folder + "\n").c_str());
            return;
        }
    }

    make_folder(log_root);
    make_folder(err_dir);
    make_folder(out_dir);
    make_folder(dev_dir);

    p.dev_log = log_path_in(dev_dir);
    p.out_log = log_path_in(out_dir);
    p.err_log = log_path_in(err_dir);
}

const char *pelk_global_variable_exe_path(void) { return paths().exe_path.c_str(); }
char pelk_global_variable_path_separator(void) { return paths().separator; }
const char *pelk_global_variable_dev_log_path(void) { return paths().dev_log.c_str(); }
const char *pelk_global_variable_out_log_path(void) { return paths().out_log.c_str(); }
const char *pelk_global_variable_err_log_path(void) { return paths().err_log.c_str(); }

char *pelk_global_variable_path_to_dir_new(void) { return copy_text(paths().app_dir); }
char *pelk_global_variable_path_to_openvpn_new(void) { return copy_text(openvpn_path("pelk.openvpn.exe")); }
char *pelk_global_variable_path_to_openvpn_cert_new(void) { return copy_text(openvpn_path("ca.crt")); }
