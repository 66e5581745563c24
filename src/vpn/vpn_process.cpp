#include "vpn/vpn_process.h"

#include "app/logger.h"
#include "vpn/vpn_process_internal.h"

#include <dirent.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct pelk_vpn_pipe {
    explicit pelk_vpn_pipe(int descriptor) : fd(descriptor) {}
    ~pelk_vpn_pipe() {
        if (fd >= 0) {
            close(fd);
        }
    }
    pelk_vpn_pipe(const pelk_vpn_pipe &) = delete;
    pelk_vpn_pipe &operator=(const pelk_vpn_pipe &) = delete;
    const int fd;
};

namespace {

constexpr size_t kPieceSize = 4096;
constexpr size_t kCommandLineSize = 5000;
constexpr auto kTerminateGrace = std::chrono::seconds(3);
constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr const char *kProgramName = "pelk.openvpn.exe";

// The record of the one child. Guarded by child_lock; readers copy a pipe
// reference under the lock and read without it.
struct Child {
    bool running = false;
    bool reaped = false;
    pid_t pid = -1;
    int stdin_fd = -1;
    pelk_vpn_pipe_ref out;
    pelk_vpn_pipe_ref err;
    std::string config_path;
    std::string credentials_path;
};

std::mutex child_lock;
Child child;

int errno_of_spawn_error(const GError *error) {
    if (error == nullptr || error->domain != G_SPAWN_ERROR) {
        return errno;
    }
    switch (error->code) {
    case G_SPAWN_ERROR_NOENT:
        return ENOENT;
    case G_SPAWN_ERROR_ACCES:
        return EACCES;
    case G_SPAWN_ERROR_PERM:
        return EPERM;
    case G_SPAWN_ERROR_NOEXEC:
        return ENOEXEC;
    case G_SPAWN_ERROR_NOMEM:
        return ENOMEM;
    case G_SPAWN_ERROR_ISDIR:
        return EISDIR;
    case G_SPAWN_ERROR_NAMETOOLONG:
        return ENAMETOOLONG;
    case G_SPAWN_ERROR_TOO_BIG:
        return E2BIG;
    default:
        return EIO;
    }
}

void report(const char *text, int error_number) {
    char line[500];
    snprintf(line, sizeof line, "PELK_VPN_MANAGER: %s(%i) \n", text, error_number);
    pelk_write_dev_log(line);
}

void delete_files(const std::string &config_path, const std::string &credentials_path) {
    if (!credentials_path.empty()) {
        g_remove(credentials_path.c_str());
    }
    if (!config_path.empty()) {
        g_remove(config_path.c_str());
    }
}

// Waits for pid to end within the grace time; true when it was reaped.
bool reap_within(pid_t pid, std::chrono::steady_clock::duration grace) {
    const auto end = std::chrono::steady_clock::now() + grace;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

// Ends the child on record. Called with child_lock held.
void end_child_locked() {
    pelk_write_dev_log("vpn_subprocess_free: Terminate\n");
    if (!child.reaped) {
        // SIGTERM first: OpenVPN then removes the routes it added, which a
        // SIGKILL would leave behind.
        kill(child.pid, SIGTERM);
        if (!reap_within(child.pid, kTerminateGrace)) {
            kill(child.pid, SIGKILL);
            int status = 0;
            while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (child.stdin_fd >= 0) {
        close(child.stdin_fd);
    }
    delete_files(child.config_path, child.credentials_path);
    child = Child{};
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program file names a process is known by: that of its executable and
// that of its argument 0 (the client's child runs a link, so only argument 0
// carries the name). The kernel's short "comm" name is cut to 15 characters
// and cannot tell names apart.
bool process_is_named(pid_t pid, const char *name) {
    const std::string proc = "/proc/" + std::to_string(pid);
    char target[4096];
    const ssize_t length = readlink((proc + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0 && base_name(std::string(target, static_cast<size_t>(length))) == name) {
        return true;
    }
    g_autofree char *cmdline = nullptr;
    gsize size = 0;
    if (!g_file_get_contents((proc + "/cmdline").c_str(), &cmdline, &size, nullptr) || size == 0) {
        return false;
    }
    // argument 0 ends at the first NUL
    return base_name(std::string(cmdline)) == name;
}

std::vector<pid_t> processes_named(const char *name) {
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        if (process_is_named(static_cast<pid_t>(pid), name)) {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return found;
}

char *copy_piece(const char *bytes, size_t length) {
    char *piece = static_cast<char *>(malloc(length + 1));
    if (piece == nullptr) {
        return nullptr;
    }
    memcpy(piece, bytes, length);
    piece[length] = '\0';
    return piece;
}

}  // namespace

void ErrorExit(const char *text) { report(text, errno); }

void killProcessByName(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return;
    }
    std::vector<pid_t> signalled;
    for (pid_t pid : processes_named(name)) {
        // A process of another user cannot be signalled and is skipped.
        if (kill(pid, SIGTERM) == 0) {
            signalled.push_back(pid);
        }
    }
    const auto end = std::chrono::steady_clock::now() + kTerminateGrace;
    for (pid_t pid : signalled) {
        // A child of ours is reaped here; for others kill(0) says gone.
        while (kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) != pid) {
            if (std::chrono::steady_clock::now() >= end) {
                kill(pid, SIGKILL);
                break;
            }
            std::this_thread::sleep_for(kPollStep);
        }
    }
}

void pelk_kill_process(const char *name) { killProcessByName(name); }

void pelk_vpn_subprocess_free(void) {
    pelk_write_dev_log("vpn_subprocess_free\n");
    std::lock_guard<std::mutex> guard(child_lock);
    if (child.running) {
        end_child_locked();
    } else {
        killProcessByName(kProgramName);
    }
}

void pelk_vpn_subprocess_new(const char *program_path, const char *config_path, const char *cert_path,
                             const char *credentials_path) {
    pelk_write_dev_log("Creating subprocess\n");
    pelk_vpn_subprocess_free();

    const std::string program = program_path != nullptr ? program_path : "";
    const std::string config = config_path != nullptr ? config_path : "";
    const std::string cert = cert_path != nullptr ? cert_path : "";
    const std::string credentials = credentials_path != nullptr ? credentials_path : "";

    char command_line[kCommandLineSize];
    snprintf(command_line, sizeof command_line, " --config \"%s\" --ca \"%s\" --auth-user-pass \"%s\"", config.c_str(),
             cert.c_str(), credentials.c_str());
    printf("%s", command_line);
    fflush(stdout);

    if (config.empty() || credentials.empty()) {
        // The files could not be written: starting OpenVPN without them
        // would only show a misleading error of its own.
        errno = ENOENT;
        ErrorExit("CreateProcess failed");
        delete_files(config, credentials);
        return;
    }

    const char *argv[] = {program.c_str(), "--config",         config.c_str(),      "--ca",
                          cert.c_str(),    "--auth-user-pass", credentials.c_str(), nullptr};
    GPid pid = 0;
    int stdin_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    g_autoptr(GError) error = nullptr;
    // The child gets only its three standard streams; every other descriptor
    // of the client is closed in it. Our copies of the pipe ends are
    // close-on-exec and the child's ends are closed here after the start, so
    // a reader sees the end of the pipe when the child exits.
    const bool started =
        g_spawn_async_with_pipes(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                 nullptr, &pid, &stdin_fd, &out_fd, &err_fd, &error);
    if (!started) {
        errno = errno_of_spawn_error(error);
        ErrorExit("CreateProcess failed");
        delete_files(config, credentials);
        return;
    }

    {
        std::lock_guard<std::mutex> guard(child_lock);
        child.running = true;
        child.reaped = false;
        child.pid = pid;
        child.stdin_fd = stdin_fd;
        child.out = std::make_shared<pelk_vpn_pipe>(out_fd);
        child.err = std::make_shared<pelk_vpn_pipe>(err_fd);
        child.config_path = config;
        child.credentials_path = credentials;
    }
    pelk_write_dev_log("Created subprocess: 1 \n");
}

pelk_vpn_pipe_ref pelk_vpn_subprocess_out_pipe(void) {
    std::lock_guard<std::mutex> guard(child_lock);
    return child.running ? child.out : nullptr;
}

pelk_vpn_pipe_ref pelk_vpn_subprocess_err_pipe(void) {
    std::lock_guard<std::mutex> guard(child_lock);
    return child.running ? child.err : nullptr;
}

char *pelk_vpn_subprocess_read_pipe(const pelk_vpn_pipe_ref &pipe) {
    if (!pipe || pipe->fd < 0) {
        return nullptr;
    }
    char buffer[kPieceSize];
    ssize_t length = 0;
    do {
        length = read(pipe->fd, buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) {
        return nullptr;
    }
    return copy_piece(buffer, static_cast<size_t>(length));
}

char *pelk_vpn_subprocess_read_out(void) { return pelk_vpn_subprocess_read_pipe(pelk_vpn_subprocess_out_pipe()); }

char *pelk_vpn_subprocess_read_err(void) { return pelk_vpn_subprocess_read_pipe(pelk_vpn_subprocess_err_pipe()); }

int pelk_vpn_subprocess_is_alive(void) {
    std::lock_guard<std::mutex> guard(child_lock);
    if (!child.running || child.reaped) {
        return 0;
    }
    int status = 0;
    const pid_t done = waitpid(child.pid, &status, WNOHANG);
    if (done == 0) {
        return 1;
    }
    // Exited (or not ours any more): reaped now, so the pid is never
    // signalled again; the record stays until the child is freed.
    child.reaped = true;
    return 0;
}

int pelk_vpn_subprocess_pid(void) {
    std::lock_guard<std::mutex> guard(child_lock);
    return child.running ? child.pid : -1;
}
