#include "bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

namespace {

std::map<pid_t, int> reaped;
std::string results_file;
// A table row was written last: text that follows needs a blank line, or
// Markdown reads it as one more row.
bool in_table = false;
FILE *console = stdout;

std::vector<char *> c_vector(std::vector<std::string> &items) {
    std::vector<char *> result;
    for (std::string &item : items) {
        result.push_back(item.data());
    }
    result.push_back(nullptr);
    return result;
}

int count_dir(const std::string &path) {
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

void append_result(const std::string &line, bool table_row) {
    if (results_file.empty()) {
        return;
    }
    if (FILE *out = fopen(results_file.c_str(), "a")) {
        fprintf(out, "%s%s\n", in_table && !table_row ? "\n" : "", line.c_str());
        fclose(out);
    }
    in_table = table_row;
}

std::string format(double value) {
    char text[32];
    if (value != 0 && (value < 0.1 && value > -0.1)) {
        snprintf(text, sizeof text, "%.3f", value);
    } else if (value < 10 && value > -10) {
        snprintf(text, sizeof text, "%.2f", value);
    } else {
        snprintf(text, sizeof text, "%.1f", value);
    }
    return text;
}

}  // namespace

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

User window_user() {
    User user;
    const std::string uid = env_or("BENCH_UID");
    const std::string gid = env_or("BENCH_GID");
    if (!uid.empty() && !gid.empty()) {
        user.uid = static_cast<uid_t>(strtoul(uid.c_str(), nullptr, 10));
        user.gid = static_cast<gid_t>(strtoul(gid.c_str(), nullptr, 10));
    }
    return user;
}

void give_to(const std::string &path, const User &user) {
    if (!user.set()) {
        return;
    }
    std::error_code ignored;
    lchown(path.c_str(), user.uid, user.gid);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
        lchown(entry.path().c_str(), user.uid, user.gid);
    }
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &folder,
            const std::string &out_file, const User &user) {
    std::vector<std::string> args = argv;
    std::vector<std::string> vars = env;
    std::vector<char *> c_args = c_vector(args);
    std::vector<char *> c_vars = c_vector(vars);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        const int out = open(out_file.empty() ? "/dev/null" : out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        // Nothing of ours (the X connection, the framebuffer) leaks into it.
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
        if (user.set() && (setgroups(0, nullptr) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
                           setresuid(user.uid, user.uid, user.uid) != 0)) {
            _exit(125);
        }
        execve(c_args[0], c_args.data(), c_vars.data());
        _exit(127);
    }
    return pid;
}

void reap() {
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        reaped[pid] = status;
    }
}

bool ended(pid_t pid, int *status) {
    reap();
    const auto found = reaped.find(pid);
    if (found == reaped.end()) {
        return false;
    }
    if (status != nullptr) {
        *status = found->second;
    }
    return true;
}

void stop(pid_t pid, std::chrono::milliseconds grace) {
    if (pid <= 0 || ended(pid)) {
        return;
    }
    kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!ended(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended(pid)) {
        kill_now(pid);
    }
}

void kill_now(pid_t pid) {
    if (pid <= 0 || ended(pid)) {
        return;
    }
    kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid) {
        reaped[pid] = status;
    }
}

int run(const std::vector<std::string> &argv, std::string *out) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return -1;
    }
    std::vector<std::string> args = argv;
    std::vector<char *> c_args = c_vector(args);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        execvp(c_args[0], c_args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, size_t(got));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    reaped[pid] = status;
    if (out != nullptr) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

long status_kb(pid_t pid, const char *field) {
    const std::string text = read_text("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string("\n") + field + ":";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size(), nullptr, 10);
}

int count_fds(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/fd"); }

int count_threads(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/task"); }

long long cpu_ns(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return -1;
    }
    long long total = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        total += strtoll(read_text(tasks + "/" + entry->d_name + "/schedstat").c_str(), nullptr, 10);
    }
    closedir(dir);
    return total;
}

long long cpu_ticks(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    // After the name: state is field 3; utime and stime are fields 14, 15.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = atoll(field.c_str());
        } else if (number == 15) {
            stime = atoll(field.c_str());
        }
    }
    return utime + stime;
}

bool maps_contain(pid_t pid, const std::string &text) {
    return read_text("/proc/" + std::to_string(pid) + "/maps").find(text) != std::string::npos;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double min_of(const std::vector<double> &values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double max_of(const std::vector<double> &values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

void set_results_file(const std::string &path) { results_file = path; }

FILE *keep_console(const std::string &library_log) {
    fflush(stdout);
    const int kept = dup(1);
    const int log = open(library_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (kept < 0 || log < 0) {
        return stdout;
    }
    dup2(log, 1);
    close(log);
    console = fdopen(kept, "w");
    return console;
}

void progress(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(console, format, args);
    va_end(args);
    fflush(console);
}

void report(const Figure &f) {
    const double ratio = f.baseline > 0 ? f.value / f.baseline : 0;
    std::string target = "-";
    std::string verdict = "-";
    if (f.target > 0) {
        if (f.absolute) {
            target = "<= " + format(f.target) + " " + f.unit;
            verdict = f.value <= f.target ? "met" : "MISSED";
        } else {
            target = "ratio <= " + format(f.target);
            verdict = ratio <= f.target ? "met" : "MISSED";
        }
    }
    fprintf(console, "%-58s %9s %-3s | %-22s %9s %-3s | ratio %5s | %-16s %s%s%s\n", f.name.c_str(),
            format(f.value).c_str(), f.unit.c_str(), f.baseline_name.c_str(), format(f.baseline).c_str(),
            f.unit.c_str(), f.baseline > 0 ? format(ratio).c_str() : "-", target.c_str(), verdict.c_str(),
            f.note.empty() ? "" : "  ", f.note.c_str());
    fflush(console);
    append_result("| " + f.name + " | " + format(f.value) + " " + f.unit + " | " + f.baseline_name + " " +
                      format(f.baseline) + " " + f.unit + " | " + (f.baseline > 0 ? format(ratio) : "-") + " | " +
                      target + " | " + verdict + (f.note.empty() ? "" : " (" + f.note + ")") + " |",
                  true);
}

void note(const std::string &text) {
    fprintf(console, "%s\n", text.c_str());
    fflush(console);
    append_result(text, false);
}

void section(const std::string &title) {
    fprintf(console, "\n== %s ==\n", title.c_str());
    fflush(console);
    append_result("\n### " + title + "\n", false);
    append_result("| figure | Veltra | baseline | ratio | target | verdict |", true);
    append_result("|---|---|---|---|---|---|", true);
}

void markdown(const std::string &text, bool table_row) { append_result(text, table_row); }

std::string env_or(const char *name, const std::string &fallback) {
    const char *value = getenv(name);
    return value != nullptr ? value : fallback;
}

}  // namespace bench
