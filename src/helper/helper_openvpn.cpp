// pelk_helper_openvpn_*: the OpenVPN child in the root helper: started, read, ended; strays ended by name.
#include "helper/helper_openvpn.h"

#include "base/global_variables.h"
#include "base/logger.h"
#include "base/owned_fd.h"
#include "base/owned_text.h"
#include "vpn/config_generator.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr size_t kPieceSize = 4096;
constexpr size_t kCommandLineSize = 5000;
constexpr auto kTerminateGrace = std::chrono::seconds(3);
constexpr auto kPollStep = std::chrono::milliseconds(10);
// The record of the one child. Guarded by subprocess_lock.
struct Child {
    bool running = false;
    bool reaped = false;
    pid_t pid = -1;
    int stdin_fd = -1;
    std::string config_path;
    std::string credentials_path;
};

std::mutex subprocess_lock;
// Never destroyed: exit() runs static destructors while a reader may still
// be handing on the last of a child's output.
Child &subprocess = *new Child;
std::atomic<pelk_helper_openvpn_sink> output_sink{nullptr};

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

void report_errno(const char *text) { report(text, errno); }

void delete_files(const std::string &config_path, const std::string &credentials_path) {
    config_generator_delete_file(credentials_path.c_str());
    config_generator_delete_file(config_path.c_str());
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

// Ends the child on record. Called with subprocess_lock held.
void end_child_locked() {
    pelk_write_dev_log("vpn_subprocess_free: Terminate\n");
    if (!subprocess.reaped) {
        // SIGTERM first: OpenVPN then removes the routes it added, which a
        // SIGKILL would leave behind.
        kill(subprocess.pid, SIGTERM);
        if (!reap_within(subprocess.pid, kTerminateGrace)) {
            kill(subprocess.pid, SIGKILL);
            int status = 0;
            while (waitpid(subprocess.pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (subprocess.stdin_fd >= 0) {
        close(subprocess.stdin_fd);
    }
    delete_files(subprocess.config_path, subprocess.credentials_path);
    subprocess = Child{};
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Up to limit bytes of a file under a /proc/PID folder; "" when unreadable.
std::string read_proc_file(int proc_fd, const char *name, size_t limit) {
    const pelk_owned_fd fd(openat(proc_fd, name, O_RDONLY | O_CLOEXEC));
    return fd.get() < 0 ? "" : pelk_owned_fd_read(fd.get(), limit);
}

// The process's executable; "" for one that has none any more (a zombie, a
// kernel thread) or that we may not inspect. A program replaced on disk
// while it runs (a package upgrade) still counts as that program.
std::string executable_of(int proc_fd) {
    char target[PATH_MAX];
    const ssize_t length = readlinkat(proc_fd, "exe", target, sizeof target - 1);
    if (length <= 0) {
        return "";
    }
    std::string path(target, static_cast<size_t>(length));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

// Real and effective user both ours: as root, another user's process of the
// same name is that user's business, not a stray of ours.
bool runs_as_us(int proc_fd) {
    const std::string status = read_proc_file(proc_fd, "status", 4096);
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos) {
        return false;
    }
    unsigned long real = 0;
    unsigned long effective = 0;
    if (sscanf(status.c_str() + at, "\nUid: %lu %lu", &real, &effective) != 2) {
        return false;
    }
    return real == geteuid() && effective == geteuid();
}

// Whether the process behind proc_fd is one of ours named name: its
// executable carries the name, or it runs the program the app's own
// openvpn link points to and its argument 0 carries the name (the link's
// target shows as executable). The kernel's short "comm" name is cut to 15
// characters and cannot tell names apart. A root process elsewhere that only
// calls itself so in argument 0 is not ours to end.
// The owner is read last: its status file is the longest read, and almost
// every process on the machine is already ruled out by its executable.
bool process_matches(int proc_fd, const char *name, const std::string &own_program) {
    const std::string executable = executable_of(proc_fd);
    if (executable.empty()) {
        return false;
    }
    if (base_name(executable) != name) {
        if (own_program.empty() || executable != own_program) {
            return false;
        }
        // argument 0 ends at the first NUL
        const std::string argv0 = read_proc_file(proc_fd, "cmdline", PATH_MAX).c_str();
        if (base_name(argv0) != name) {
            return false;
        }
    }
    return runs_as_us(proc_fd);
}

// The real file the app's OpenVPN link resolves to, when name is that
// program's name; "" otherwise.
std::string own_program_for(const char *name) {
    const pelk_owned_text link(pelk_global_variable_path_to_openvpn_new());
    if (!link || link.get()[0] == '\0' || base_name(link.get()) != name) {
        return "";
    }
    const pelk_owned_text real(realpath(link.get(), nullptr));
    return real ? real.get() : "";
}

// Debian 12's <sys/pidfd.h> declares these without C linkage, so C++ code
// cannot link against them; the system calls are called directly.
int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int signal_pidfd(int pidfd, int signal_number) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal_number, nullptr, 0));
}

// A matching process held by a pidfd, which names that one process for as
// long as we hold it: a PID that is freed and reused can never be signalled
// by mistake.
struct Target {
    pelk_owned_fd pidfd;
};

// Matches, then opens a pidfd, then matches again through the /proc folder
// opened before the pidfd. That folder answers only while its own process
// lives; if it still answers, that process outlived the pidfd's opening, so
// both name the same process.
std::vector<Target> processes_named(const char *name) {
    std::vector<Target> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        report_errno("kill by name: cannot read /proc");
        return found;
    }
    const pid_t self = getpid();
    const std::string own_program = own_program_for(name);
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const pelk_owned_fd proc_fd(openat(dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (proc_fd.get() < 0 || !process_matches(proc_fd.get(), name, own_program)) {
            continue;
        }
        pelk_owned_fd pidfd(open_pidfd(static_cast<pid_t>(pid)));
        if (pidfd.get() < 0) {
            if (errno != ESRCH) {
                report_errno("kill by name: pidfd_open failed");
            }
            continue;
        }
        if (process_matches(proc_fd.get(), name, own_program)) {
            found.push_back(Target{std::move(pidfd)});
        }
    }
    closedir(proc);
    return found;
}

// A pidfd turns readable once its process has ended, also when it stays a
// zombie that another parent never reaps.
bool has_ended(const Target &target) {
    pollfd ready{target.pidfd.get(), POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

// Reaps the process when it is our own child; a stranger's is reaped by its
// parent.
void reap_if_ours(const Target &target) {
    siginfo_t info{};
    while (waitid(P_PIDFD, static_cast<id_t>(target.pidfd.get()), &info, WEXITED | WNOHANG) < 0 && errno == EINTR) {
    }
}

// Waits until every target has ended or the deadline passes; the ones still
// running are left in targets.
void wait_for_ends(std::vector<Target> *targets, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        std::erase_if(*targets, [](const Target &target) {
            if (!has_ended(target)) {
                return false;
            }
            reap_if_ours(target);
            return true;
        });
        const auto now = std::chrono::steady_clock::now();
        if (targets->empty() || now >= deadline) {
            return;
        }
        std::vector<pollfd> waiting;
        for (const Target &target : *targets) {
            waiting.push_back(pollfd{target.pidfd.get(), POLLIN, 0});
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR) {
            return;
        }
    }
}

// Reads one stream of connection's child until its end, handing every
// piece on in order; the pipe is this thread's own, so nothing of a later
// child can reach it.
void read_stream(unsigned int connection, pelk_helper_stream stream, pelk_owned_fd pipe) {
    char buffer[kPieceSize];
    for (;;) {
        ssize_t length = 0;
        do {
            length = read(pipe.get(), buffer, sizeof buffer);
        } while (length < 0 && errno == EINTR);
        if (auto *sink = output_sink.load()) {
            sink(connection, stream, buffer, length > 0 ? static_cast<size_t>(length) : 0);
        }
        if (length <= 0) {
            return;
        }
    }
}

// A stream nobody reads would fill its pipe and stall OpenVPN; one that
// cannot get a reader is closed, so OpenVPN's writes to it fail instead.
void start_reader(unsigned int connection, pelk_helper_stream stream, int fd) {
    pelk_owned_fd pipe(fd);
    try {
        std::thread(read_stream, connection, stream, std::move(pipe)).detach();
    } catch (const std::system_error &) {
        report_errno("cannot start an output reader");
    }
}

}  // namespace

const char *const pelk_helper_openvpn_program_name = "pelk.openvpn.exe";

void pelk_helper_openvpn_set_sink(pelk_helper_openvpn_sink sink) { output_sink = sink; }

void pelk_helper_openvpn_kill_by_name(const char *name) {
    if (name == nullptr || name[0] == '\0') {
        return;
    }
    std::vector<Target> targets;
    for (Target &target : processes_named(name)) {
        if (signal_pidfd(target.pidfd.get(), SIGTERM) == 0) {
            targets.push_back(std::move(target));
        } else if (errno != ESRCH) {
            report_errno("kill by name: SIGTERM failed");
        }
    }
    wait_for_ends(&targets, std::chrono::steady_clock::now() + kTerminateGrace);
    for (const Target &target : targets) {
        if (signal_pidfd(target.pidfd.get(), SIGKILL) != 0 && errno != ESRCH) {
            report_errno("kill by name: SIGKILL failed");
        }
    }
    // SIGKILL cannot be refused; the wait only lets the next OpenVPN start
    // once the old one has let go of its tunnel and port.
    wait_for_ends(&targets, std::chrono::steady_clock::now() + kTerminateGrace);
}

void pelk_helper_openvpn_stop(void) {
    pelk_write_dev_log("vpn_subprocess_free\n");
    std::lock_guard<std::mutex> guard(subprocess_lock);
    if (subprocess.running) {
        end_child_locked();
    } else {
        pelk_helper_openvpn_kill_by_name(pelk_helper_openvpn_program_name);
    }
}

int pelk_helper_openvpn_start(unsigned int connection, const char *program_path, const char *config_path,
                              const char *cert_path, const char *credentials_path) {
    pelk_write_dev_log("Creating subprocess\n");
    pelk_helper_openvpn_stop();

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
        report_errno("CreateProcess failed");
        delete_files(config, credentials);
        return -1;
    }

    const char *argv[] = {program.c_str(), "--config",         config.c_str(),      "--ca",
                          cert.c_str(),    "--auth-user-pass", credentials.c_str(), nullptr};
    GPid pid = 0;
    int stdin_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    g_autoptr(GError) error = nullptr;
    // The child gets only its three standard streams; every other descriptor
    // of the helper (its socket above all) is closed in it. Our copies of the
    // pipe ends are close-on-exec and the child's ends are closed here after
    // the start, so a reader sees the end of the pipe when the child exits.
    const bool started =
        g_spawn_async_with_pipes(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                 nullptr, &pid, &stdin_fd, &out_fd, &err_fd, &error);
    if (!started) {
        errno = errno_of_spawn_error(error);
        report_errno("CreateProcess failed");
        delete_files(config, credentials);
        return -1;
    }

    {
        std::lock_guard<std::mutex> guard(subprocess_lock);
        subprocess.running = true;
        subprocess.reaped = false;
        subprocess.pid = pid;
        subprocess.stdin_fd = stdin_fd;
        subprocess.config_path = config;
        subprocess.credentials_path = credentials;
    }
    start_reader(connection, PELK_HELPER_STDOUT, out_fd);
    start_reader(connection, PELK_HELPER_STDERR, err_fd);
    pelk_write_dev_log("Created subprocess: 1 \n");
    return pid;
}

int pelk_helper_openvpn_is_alive(void) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    if (!subprocess.running || subprocess.reaped) {
        return 0;
    }
    int status = 0;
    const pid_t done = waitpid(subprocess.pid, &status, WNOHANG);
    if (done == 0) {
        return 1;
    }
    // Exited (or not ours any more): reaped now, so the pid is never
    // signalled again; the record stays until the child is freed.
    subprocess.reaped = true;
    return 0;
}
