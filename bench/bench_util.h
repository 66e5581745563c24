#pragma once

// What every benchmark program needs: children started with an exact
// environment, the kernel's account of a process, medians, and one way of
// printing a figure beside its baseline.

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
double ms_between(Clock::time_point from, Clock::time_point to);

// A user the windows run as; uid -1 is whoever runs the benchmark.
struct User {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool set() const { return uid != static_cast<uid_t>(-1); }
};
// The user bench/run made for this run (BENCH_UID, BENCH_GID); unset without them.
User window_user();
// Hands path, and everything under it, to user (nothing when user is unset).
void give_to(const std::string &path, const User &user);

// Starts argv with exactly env in folder ("" for here), standard output and
// error to out_file ("" for /dev/null), as user when set. Its pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &folder,
            const std::string &out_file, const User &user = {});

// Reaps every child that has ended (ours, and orphans when this process is a
// subreaper), keeping their statuses for ended().
void reap();
// Whether pid was reaped; its wait status in *status.
bool ended(pid_t pid, int *status = nullptr);
// SIGTERM, then SIGKILL after grace; reaped either way.
void stop(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(5));
// SIGKILL and reap.
void kill_now(pid_t pid);
// Runs argv to its end; its exit status (-1 if it could not run), output in *out.
int run(const std::vector<std::string> &argv, std::string *out = nullptr);

// From /proc/PID/status, in kB; -1 when unreadable.
long status_kb(pid_t pid, const char *field);
int count_fds(pid_t pid);
int count_threads(pid_t pid);
// CPU time of all the process's current threads, nanoseconds (schedstat).
long long cpu_ns(pid_t pid);
// utime + stime of the process, clock ticks (includes ended threads).
long long cpu_ticks(pid_t pid);
// Whether a mapping of the process's address space names text.
bool maps_contain(pid_t pid, const std::string &text);
std::string read_text(const std::string &path);

double median(std::vector<double> values);
double min_of(const std::vector<double> &values);
double max_of(const std::vector<double> &values);

// Prints "name  client X unit  baseline Y unit  ratio R  (target ...)" and
// appends a table row to the results file, when one was given.
struct Figure {
    std::string name;
    double value = 0;
    double baseline = 0;
    std::string unit;
    std::string baseline_name;
    // Ratio target (<= 0: none); or an absolute one in unit when absolute.
    double target = 0;
    bool absolute = false;
    std::string note;
};
void set_results_file(const std::string &path);
// The library we link prints its developer trace to standard output; from
// here on that goes to library_log, and the figures to the real output.
FILE *keep_console(const std::string &library_log);
// printf to the real output.
void progress(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report(const Figure &figure);
// A line that is no figure (counts, checks), printed and kept.
void note(const std::string &text);
// Starts a benchmark's part of the results: a heading and the figures' table.
void section(const std::string &title);
// Text for the results file only (a table of its own, say).
void markdown(const std::string &text, bool table_row);

// The environment variable, or fallback.
std::string env_or(const char *name, const std::string &fallback = "");

}  // namespace bench
