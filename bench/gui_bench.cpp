// The client binary as a user meets it, timed from outside on a private X
// server: start-up, idle cost, sign-in, connect, and a fault soak of kill -9
// and restart. Runs inside the sandbox's `home` namespace with the sandbox's
// variables exported (bench/run does that); prints each figure beside its
// baseline, measured in the same run.
//
//   veltra-bench startup|idle|signin|connect|fault-soak|urls [options]
#include "bench_util.h"
#include "screen.h"

#include "base/global_variables.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "vpn/config_generator.h"
#include "vpn/config_generator_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Figure;
using bench::Rect;
using bench::Rgb;
using bench::Screen;
using namespace std::chrono_literals;

// Where the client's window appears (its default place) and the points of it
// that are read or clicked, in screen coordinates. The connect button is
// clicked in its middle, window (208,173); that point is the white power
// sign in all four pictures, so the state is read from the picture's fill
// below it, where the GUI tests read it too.
constexpr Rect kWindow{200, 200, 421, 394};
constexpr int kConnectX = 200 + 208, kConnectY = 200 + 173;
constexpr Rect kFill{200 + 205, 200 + 212, 6, 6};
constexpr int kPasswordX = 200 + 100 + 116, kPasswordY = 200 + 203 + 20;
constexpr Rect kLoginButton{200 + 153, 200 + 264, 130, 44};

constexpr const char *kOpenVpnName = "pelk.openvpn.exe";
constexpr const char *kFilesFolder = "/run/veltra";

struct Options {
    std::string command;
    std::string work;
    std::string bare;
    std::string bare_https;  // the bare window with libcurl
    std::string https_url;   // what it asks for once drawn
    std::string python;      // the PyGObject window's script
    int runs = 7;
    int cycles = 50;
    double seconds = 10;
    double cycle_ms = 0;
    std::string auth_url;
    std::string servers_url;
    std::string cycle_file;  // connect writes the length of a whole cycle there
};

// --- the client ------------------------------------------------------------

std::string sandbox(const char *name) { return bench::env_or(name); }

std::string app_folder() { return sandbox("VELTRA_SANDBOX_APP"); }

// Every window runs as the user bench/run made, the client as a user's
// client does: started as root for that user (here through sudo's variable),
// it starts its root helper and drops to the user before the toolkit starts.
const bench::User user = bench::window_user();

// What a user who ticked "remember me" has stored; an empty password leaves
// only the e-mail remembered.
void write_settings(const std::string &config, bool with_password, bool auto_connect) {
    fs::create_directories(config + "/Veltra");
    chmod(config.c_str(), 0700);
    chmod((config + "/Veltra").c_str(), 0700);
    const std::string file = config + "/Veltra/settings.ini";
    FILE *out = fopen(file.c_str(), "w");
    if (out == nullptr) {
        return;
    }
    fprintf(out, "[Veltra]\nusername=%s\n", sandbox("VELTRA_SANDBOX_EMAIL").c_str());
    if (with_password) {
        fprintf(out, "password=%s\n", sandbox("VELTRA_SANDBOX_PASSWORD").c_str());
    }
    fprintf(out, "favorite_server=%s\nauto_connect=%d\n", sandbox("VELTRA_SANDBOX_VPN_ADDRESS").c_str(),
            auto_connect ? 1 : 0);
    fclose(out);
    chmod(file.c_str(), 0600);
    bench::give_to(config, user);
}

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string folder;
    bench::User as;  // unset: root, as the client is started
};

std::string home_folder(const std::string &work) { return bench::env_or("BENCH_HOME", work + "/home"); }

// The same variables for the client and the bare window, so that neither
// finds a cache or a setting the other does not.
std::vector<std::string> common_env(const Screen &screen, const std::string &work, const std::string &gl) {
    std::vector<std::string> env = {"DISPLAY=" + screen.name(), "HOME=" + home_folder(work),
                                    "XDG_CONFIG_HOME=" + work + "/config", "TMPDIR=" + work + "/tmp",
                                    "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    // Empty: GTK's own default (the OpenGL probe runs), and the client keeps
    // a value that is set.
    env.push_back("GDK_GL=" + gl);
    return env;
}

Launch client_launch(const Screen &screen, const std::string &work, const std::string &gl) {
    Launch l{{app_folder() + "/veltra"}, common_env(screen, work, gl), app_folder(), {}};
    l.env.push_back("VELTRA_NO_ELEVATION=1");
    if (user.set()) {
        l.env.push_back("SUDO_UID=" + std::to_string(user.uid));
    }
    l.env.push_back("VELTRA_SERVICE_BASE_URL=" + sandbox("VELTRA_SERVICE_BASE_URL"));
    l.env.push_back("VELTRA_CA_FILE=" + sandbox("VELTRA_CA_FILE"));
    return l;
}

Launch bare_launch(const Options &o, const Screen &screen, const std::string &gl, int repaint_ms) {
    Launch l{{o.bare}, common_env(screen, o.work, gl), o.work, user};
    if (repaint_ms > 0) {
        l.argv.push_back("--repaint-ms=" + std::to_string(repaint_ms));
    }
    return l;
}

Launch bare_https_launch(const Options &o, const Screen &screen, const std::string &gl) {
    return {{o.bare_https, "--https=" + o.https_url, "--cacert=" + sandbox("VELTRA_CA_FILE")},
            common_env(screen, o.work, gl),
            o.work,
            user};
}

Launch python_launch(const Options &o, const Screen &screen, const std::string &gl) {
    return {{"/usr/bin/python3", o.python}, common_env(screen, o.work, gl), o.work, user};
}

pid_t start(const Launch &l, const std::string &out) { return bench::spawn(l.argv, l.env, l.folder, out, l.as); }

// The client's root helper: its child named veltra-helper.
pid_t helper_of(pid_t client) {
    const std::string children =
        bench::read_text("/proc/" + std::to_string(client) + "/task/" + std::to_string(client) + "/children");
    for (size_t at = 0; at < children.size();) {
        const pid_t child = pid_t(atoi(children.c_str() + at));
        if (child > 0 && bench::read_text("/proc/" + std::to_string(child) + "/comm") == "veltra-helper\n") {
            return child;
        }
        const size_t space = children.find(' ', at);
        at = space == std::string::npos ? children.size() : space + 1;
    }
    return -1;
}

// Polls, one millisecond at a time, until done holds; false after deadline
// or when pid (if given) has ended.
bool wait_until(Screen &screen, const std::function<bool()> &done, std::chrono::milliseconds deadline, pid_t pid = -1) {
    const auto until = Clock::now() + deadline;
    for (;;) {
        screen.pump();
        if (done()) {
            return true;
        }
        if (Clock::now() > until || (pid > 0 && bench::ended(pid))) {
            return false;
        }
        screen.pump(1000us);
    }
}

enum class Picture { grey, orange, green, red, other };

// The connect picture on screen now, by the colour of its fill.
Picture picture(const Screen &screen) {
    const Rgb c = screen.mean(kFill);
    if (c.r > 180 && c.g > 80 && c.g < 200 && c.b < 90) {
        return Picture::orange;
    }
    if (c.r > 160 && c.g < 80 && c.b < 80) {
        return Picture::red;
    }
    if (c.g > c.r + 60 && c.g > c.b + 60 && c.g > 120) {
        return Picture::green;
    }
    if (std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}) < 60 && c.r > 60) {
        return Picture::grey;
    }
    return Picture::other;
}

bool green(const Screen &screen) { return picture(screen) == Picture::green; }
bool grey(const Screen &screen) { return picture(screen) == Picture::grey; }

std::string describe(const Rgb &c) {
    char text[32];
    snprintf(text, sizeof text, "#%02X%02X%02X", c.r, c.g, c.b);
    return text;
}

// The main window of a client started after map_count earlier mappings is
// up and ready to connect: a new window, its connect picture grey.
bool main_ready(Screen &screen, size_t map_count) {
    return screen.maps().size() > map_count && screen.mapped(screen.maps().back().window) && grey(screen);
}

// What the screen showed when an expected picture did not come, for the
// reader of the failure.
std::string dump(const Screen &screen, const std::string &work, const std::string &name) {
    const std::string path = work + "/" + name + ".ppm";
    screen.save_ppm(kWindow, path);
    return "connect picture fill " + describe(screen.mean(kFill)) + ", window area saved in " + path;
}

bool wait_cleared(Screen &screen) {
    return wait_until(
        screen, [&] { return screen.flat(kWindow); }, 10s);
}

std::string fixed(double value, int digits = 1) {
    char text[32];
    snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string spread(const std::vector<double> &values, int digits = 1) {
    return "min " + fixed(bench::min_of(values), digits) + ", max " + fixed(bench::max_of(values), digits) + ", n " +
           std::to_string(values.size());
}

// --- start-up ---------------------------------------------------------------

struct StartUp {
    double map_ms = 0;
    double draw_ms = 0;
    long hwm_kb = 0;
    bool gl_mapped = false;
    bool ok = false;
};

// Exec to first draw: the clock starts before fork; the window counts as
// drawn at the first framebuffer state in which its rectangle holds more
// than one colour (the black root and a window's bare background are each
// one colour). Peak RSS is read at that moment.
StartUp measure_start(Screen &screen, const Launch &launch, const std::string &out, const std::string &frame_file) {
    StartUp result;
    if (!wait_cleared(screen)) {
        fprintf(stderr, "the window area did not clear\n");
        return result;
    }
    const size_t maps = screen.maps().size();
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = start(launch, out);
    const bool drawn = wait_until(
        screen, [&] { return !screen.flat(kWindow); }, 30s, pid);
    const Clock::time_point drawn_at = Clock::now();
    if (drawn) {
        result.hwm_kb = bench::status_kb(pid, "VmHWM");
        result.gl_mapped = bench::maps_contain(pid, "libGLX_mesa") || bench::maps_contain(pid, "_dri.so");
        result.draw_ms = bench::ms_between(t0, drawn_at);
        screen.pump();
        result.map_ms = screen.maps().size() > maps ? bench::ms_between(t0, screen.maps()[maps].at) : -1;
        result.ok = result.hwm_kb > 0;
        if (!frame_file.empty()) {
            const std::vector<uint32_t> first = screen.sample(kWindow);
            screen.save_ppm(kWindow, frame_file + "-first.ppm");
            std::this_thread::sleep_for(1500ms);
            screen.save_ppm(kWindow, frame_file + "-later.ppm");
            bench::note("  " + fs::path(frame_file).filename().string() + ": first drawn frame equals the frame " +
                        "1.5 s later in " + fixed(100 * Screen::same_share(first, screen.sample(kWindow))) +
                        "% of samples");
        }
    } else {
        fprintf(stderr, "no first draw of %s (see %s)\n", launch.argv[0].c_str(), out.c_str());
    }
    bench::stop(pid);
    return result;
}

// How a start meets OpenGL: the client's own choice (GTK's probe off), GTK's
// default on a display no GTK program has probed yet (the probe loads Mesa),
// and GTK's default on a display where one has (GTK keeps the chosen visuals
// in a root window property, GDK_VISUALS, and later programs skip the probe).
struct GlVariant {
    std::string label;
    std::string gl;
    bool fresh_display;
};

int command_startup(const Options &o) {
    Screen screen(o.work + "/fb");
    if (!screen.ok()) {
        fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    fs::remove_all(o.work + "/config");
    fs::create_directories(o.work + "/config");
    bench::give_to(o.work + "/config", user);
    struct Series {
        std::vector<double> draw, map, hwm;
        int gl = 0;
        int failed = 0;
    };
    std::map<std::string, Series> series;
    const std::vector<GlVariant> variants = {
        {"GDK_GL=disable", "disable", false},
        {"GL default, display not yet probed", "", true},
        {"GL default, display already probed", "", false},
    };
    // The baselines with libcurl and PyGObject run with the client's own
    // choice only.
    const auto programs = [&](const GlVariant &v) {
        std::vector<std::string> names = {"client", "bare"};
        if (v.gl == "disable") {
            names.insert(names.end(), {"https", "python"});
        }
        return names;
    };
    const auto launch_of = [&](const std::string &name, const GlVariant &v) {
        if (name == "client") {
            return client_launch(screen, o.work, v.gl);
        }
        if (name == "https") {
            return bare_https_launch(o, screen, v.gl);
        }
        return name == "python" ? python_launch(o, screen, v.gl) : bare_launch(o, screen, v.gl, 0);
    };
    // Round-robin, so that a change in the machine's load falls on all.
    for (int run = -1; run < o.runs; ++run) {
        for (const GlVariant &v : variants) {
            for (const std::string &name : programs(v)) {
                const std::string key = name + "/" + v.label;
                const Launch launch = launch_of(name, v);
                const std::string frames = run == -1 && v.gl == "disable" ? o.work + "/startup-" + name : std::string();
                if (v.fresh_display) {
                    screen.delete_root_property("GDK_VISUALS");
                }
                const StartUp s = measure_start(screen, launch, o.work + "/startup.out", frames);
                if (run < 0) {
                    continue;  // warm-up: caches of the file system and fontconfig
                }
                Series &series_of = series[key];
                if (!s.ok) {
                    ++series_of.failed;
                    continue;
                }
                series_of.draw.push_back(s.draw_ms);
                series_of.map.push_back(s.map_ms);
                series_of.hwm.push_back(double(s.hwm_kb) / 1024.0);
                series_of.gl += s.gl_mapped ? 1 : 0;
            }
        }
    }
    bench::section("1. Start-up: exec to first draw of the login window");
    const Series &c = series["client/GDK_GL=disable"];
    for (const auto &[name, baseline, target] :
         {std::tuple<const char *, const char *, double>{"https", "bare window + libcurl", 1.3},
          {"python", "PyGObject window", 0}}) {
        const Series &b = series[std::string(name) + "/GDK_GL=disable"];
        bench::report({"first draw, GDK_GL=disable", bench::median(c.draw), bench::median(b.draw), "ms", baseline,
                       target, false, "client " + spread(c.draw) + "; baseline " + spread(b.draw)});
        bench::report({"peak RSS at first draw, GDK_GL=disable", bench::median(c.hwm), bench::median(b.hwm), "MB",
                       baseline, target, false, ""});
        if (b.failed > 0) {
            bench::note("  failed runs of the " + std::string(baseline) + ": " + std::to_string(b.failed));
        }
    }
    for (const GlVariant &v : variants) {
        const Series &c = series["client/" + v.label];
        const Series &b = series["bare/" + v.label];
        bench::report({"first draw, " + v.label, bench::median(c.draw), bench::median(b.draw), "ms", "bare window", 0,
                       false, "client " + spread(c.draw) + "; bare " + spread(b.draw)});
        bench::report({"window mapped, " + v.label, bench::median(c.map), bench::median(b.map), "ms", "bare window", 0,
                       false, ""});
        bench::report({"peak RSS at first draw, " + v.label, bench::median(c.hwm), bench::median(b.hwm), "MB",
                       "bare window", 0, false,
                       "OpenGL libraries mapped in " + std::to_string(c.gl) + "/" + std::to_string(c.draw.size()) +
                           " client, " + std::to_string(b.gl) + "/" + std::to_string(b.draw.size()) + " bare runs"});
        if (c.failed + b.failed > 0) {
            bench::note("  failed runs: client " + std::to_string(c.failed) + ", bare " + std::to_string(b.failed));
        }
    }
    bench::note("Medians of " + std::to_string(o.runs) +
                " runs each after one warm-up round, client and bare window taking turns. First draw: the first "
                "state of Xvfb's framebuffer (polled every 1 ms through -fbdir) in which the window's 421x394 "
                "rectangle holds more than one colour (before it: the black root, or a window's plain background); "
                "mapped: the MapNotify seen on a second X connection. Peak RSS: VmHWM read at the first draw (the "
                "client's window process; its root helper is a process of its own, in section 2). Every program "
                "runs as one unprivileged user; the client is started as root for that user and drops to it "
                "before the toolkit starts, as a user's start through pkexec does. Baselines: the bare window (GTK "
                "and cairo only); the same window linking libcurl, making one HTTPS request to the sandbox's "
                "account service once drawn (what any client of the service loads; the target is held against "
                "it); a PyGObject GTK 3 window with one label (the toolkit path of Python clients). "
                "\"Not yet probed\": GDK_VISUALS deleted from the root window before the start, as on a display "
                "where this is the first GTK 3 program; \"already probed\": the property left from the run before.");
    return 0;
}

// --- idle -------------------------------------------------------------------

struct Idle {
    double share = -1;       // per cent of one core, from schedstat
    double tick_share = -1;  // per cent of one core, from utime + stime
    double server = -1;      // Xvfb's share meanwhile
    int threads = 0;
};

// Waits seconds; with BENCH_PERF=FILE set and pid the client, records where
// its time goes meanwhile (perf record -g into FILE).
void idle_for(pid_t pid, double seconds) {
    const std::string profile = bench::env_or("BENCH_PERF");
    if (!profile.empty() && bench::read_text("/proc/" + std::to_string(pid) + "/comm") == "veltra\n") {
        bench::run({"perf", "record", "-q", "-F", "2000", "-g", "-p", std::to_string(pid), "-o", profile, "--", "sleep",
                    fixed(seconds, 3)});
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

Idle measure_idle(Screen &screen, pid_t pid, double seconds) {
    Idle result;
    std::this_thread::sleep_for(2s);  // settled: start-up lookups and first paints over
    const long long ns0 = bench::cpu_ns(pid), ticks0 = bench::cpu_ticks(pid), server0 = bench::cpu_ns(screen.pid());
    const int threads0 = bench::count_threads(pid);
    const Clock::time_point t0 = Clock::now();
    idle_for(pid, seconds);
    const long long ns1 = bench::cpu_ns(pid), ticks1 = bench::cpu_ticks(pid), server1 = bench::cpu_ns(screen.pid());
    const double wall_ns = bench::ms_between(t0, Clock::now()) * 1e6;
    result.threads = bench::count_threads(pid);
    if (threads0 != result.threads) {
        fprintf(stderr, "thread count changed during the idle window (%d -> %d)\n", threads0, result.threads);
    }
    result.share = 100.0 * double(ns1 - ns0) / wall_ns;
    result.tick_share = 100.0 * double(ticks1 - ticks0) * (1e9 / double(sysconf(_SC_CLK_TCK))) / wall_ns;
    result.server = 100.0 * double(server1 - server0) / wall_ns;
    return result;
}

int command_idle(const Options &o) {
    Screen screen(o.work + "/fb");
    if (!screen.ok()) {
        return 1;
    }
    fs::remove_all(o.work + "/config");
    write_settings(o.work + "/config", true, false);
    std::vector<double> client, bare, client_ticks, bare_ticks, client_server, bare_server;
    std::vector<double> client_rss, helper_rss, https_rss;
    std::string https_answer;
    for (int run = 0; run < o.runs; ++run) {
        wait_cleared(screen);
        size_t maps = screen.maps().size();
        pid_t pid = start(client_launch(screen, o.work, "disable"), o.work + "/idle-client.out");
        if (wait_until(
                screen, [&] { return main_ready(screen, maps); }, 60s, pid)) {
            const Idle i = measure_idle(screen, pid, o.seconds);
            client.push_back(i.share);
            client_ticks.push_back(i.tick_share);
            client_server.push_back(i.server);
            client_rss.push_back(double(bench::status_kb(pid, "VmRSS")) / 1024.0);
            const pid_t helper = helper_of(pid);
            if (helper > 0) {
                helper_rss.push_back(double(bench::status_kb(helper, "VmRSS")) / 1024.0);
            }
        } else {
            fprintf(stderr, "the client never showed its main window: %s\n",
                    dump(screen, o.work, "idle-no-main").c_str());
        }
        bench::stop(pid);

        wait_cleared(screen);
        maps = screen.maps().size();
        pid = start(bare_launch(o, screen, "disable", 100), o.work + "/idle-bare.out");
        if (wait_until(
                screen, [&] { return !screen.flat(kWindow); }, 30s, pid)) {
            const Idle i = measure_idle(screen, pid, o.seconds);
            bare.push_back(i.share);
            bare_ticks.push_back(i.tick_share);
            bare_server.push_back(i.server);
        }
        bench::stop(pid);

        // The baseline's memory once its request is over and it has settled
        // as long as the client did.
        wait_cleared(screen);
        const std::string out = o.work + "/idle-https-" + std::to_string(run) + ".out";
        pid = start(bare_https_launch(o, screen, "disable"), out);
        if (wait_until(
                screen, [&] { return bench::read_text(out).find("request: ") != std::string::npos; }, 30s, pid)) {
            std::this_thread::sleep_for(2s);
            https_rss.push_back(double(bench::status_kb(pid, "VmRSS")) / 1024.0);
            const std::string text = bench::read_text(out);
            https_answer = text.substr(text.find("request: ") + 9);
            https_answer = https_answer.substr(0, https_answer.find('\n'));
        } else {
            fprintf(stderr, "the bare window with libcurl made no request (see %s)\n", out.c_str());
        }
        bench::stop(pid);
    }
    bench::section("2. Idle: CPU share over " + fixed(o.seconds, 0) + " s on the main screen (10 Hz repaint)");
    bench::report({"CPU share of the process (schedstat)", bench::median(client), bench::median(bare), "%",
                   "bare window at 10 Hz", 1.5, false, "client " + spread(client, 2) + "; bare " + spread(bare, 2)});
    bench::report({"CPU share of the process (utime+stime)", bench::median(client_ticks), bench::median(bare_ticks),
                   "%", "bare window at 10 Hz", 0, false, "10 ms ticks: coarse"});
    bench::report({"CPU share of Xvfb meanwhile", bench::median(client_server), bench::median(bare_server), "%",
                   "bare window at 10 Hz", 0, false, ""});
    bench::report({"RSS signed in, idle on the main screen", bench::median(client_rss), bench::median(https_rss), "MB",
                   "bare window + libcurl after its request", 1.3, false,
                   "client " + spread(client_rss) + "; baseline " + spread(https_rss)});
    bench::report(
        {"RSS of the root helper meanwhile", bench::median(helper_rss), 0, "MB", "-", 0, false, spread(helper_rss)});
    bench::note("Per cent of one core; medians of " + std::to_string(o.runs) +
                " runs, each a fresh process measured for the window after 2 s of settling. Both with "
                "GDK_GL=disable. The client signs in with stored credentials against the sandbox's account service "
                "and sits on its main screen, ready to connect. RSS: VmRSS at the end of the client's idle window; "
                "the baseline's 2 s after its one HTTPS request to the account service ended (" +
                https_answer +
                "). The root helper (a process of its own, started by the client before it drops "
                "to the user) holds no toolkit.");
    return 0;
}

// --- sign-in ----------------------------------------------------------------

// Types text through XTest (letters, digits and space are enough here).
void type_text(Screen &screen, const std::string &text) {
    for (char c : text) {
        const std::string name = c == ' ' ? "space" : std::string(1, c);
        screen.key(name.c_str());
    }
}

int count_requests(const std::string &log) {
    int count = 0;
    for (size_t at = log.find("\"GET "); at != std::string::npos; at = log.find("\"GET ", at + 1)) {
        ++count;
    }
    return count;
}

std::string request_paths(const std::string &log) {
    std::string paths;
    for (size_t at = log.find("/rest/api/"); at != std::string::npos; at = log.find("/rest/api/", at + 1)) {
        const size_t end = log.find_first_of("? \"", at + 10);
        paths += (paths.empty() ? "" : ", ") + log.substr(at + 10, end - at - 10);
    }
    return paths;
}

double curl_pair(const Options &o) {
    const std::string ca = sandbox("VELTRA_CA_FILE");
    const Clock::time_point t0 = Clock::now();
    for (const std::string &url : {o.auth_url, o.servers_url}) {
        const pid_t pid =
            bench::spawn({"/usr/bin/curl", "-sS", "--fail", "--cacert", ca, "-o", "/dev/null", url}, {}, "", "");
        int status = 0;
        while (!bench::ended(pid, &status)) {
            std::this_thread::sleep_for(200us);
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "curl failed on %s\n", url.c_str());
            return -1;
        }
    }
    return bench::ms_between(t0, Clock::now());
}

int command_signin(const Options &o) {
    Screen screen(o.work + "/fb");
    if (!screen.ok()) {
        return 1;
    }
    const std::string service_log = sandbox("VELTRA_SANDBOX_DIR") + "/logs/account-service.log";
    std::vector<double> client, mapped, curl;
    std::string paths;
    int requests = -1;
    for (int run = -1; run < o.runs; ++run) {
        fs::remove_all(o.work + "/config");
        write_settings(o.work + "/config", false, false);
        wait_cleared(screen);
        const size_t maps = screen.maps().size();
        const pid_t pid = start(client_launch(screen, o.work, "disable"), o.work + "/signin.out");
        bool ok = wait_until(
            screen, [&] { return screen.maps().size() > maps && !screen.flat(kWindow); }, 30s, pid);
        std::this_thread::sleep_for(300ms);
        const std::vector<uint32_t> disabled = screen.sample(kLoginButton, 2);
        screen.click(kPasswordX, kPasswordY);
        type_text(screen, sandbox("VELTRA_SANDBOX_PASSWORD"));
        // The login picture turns enabled once the client has both entries.
        ok = ok &&
             wait_until(
                 screen, [&] { return Screen::same_share(disabled, screen.sample(kLoginButton, 2)) < 0.9; }, 10s, pid);
        std::this_thread::sleep_for(200ms);
        screen.pump();
        const unsigned long login = screen.maps().empty() ? 0 : screen.maps().back().window;
        const size_t before = screen.maps().size();
        const size_t log_before = bench::read_text(service_log).size();
        const Clock::time_point t0 = screen.key("Return");
        ok = ok && wait_until(
                       screen,
                       [&] {
                           return screen.maps().size() > before && screen.maps().back().window != login &&
                                  !screen.flat(kWindow);
                       },
                       30s, pid);
        const Clock::time_point drawn = Clock::now();
        if (ok && run >= 0) {
            client.push_back(bench::ms_between(t0, drawn));
            mapped.push_back(bench::ms_between(t0, screen.maps()[before].at));
            const std::string log = bench::read_text(service_log).substr(log_before);
            requests = count_requests(log);
            paths = request_paths(log);
        } else if (!ok) {
            fprintf(stderr, "sign-in run %d did not reach the main window\n", run);
        }
        bench::stop(pid);
        const double pair = curl_pair(o);
        if (run >= 0 && pair > 0) {
            curl.push_back(pair);
        }
    }
    bench::section("3. Sign-in: Return pressed to the main window drawn");
    bench::report({"Return to main window drawn", bench::median(client), bench::median(curl), "ms", "2 sequential curl",
                   1.2, false, "client " + spread(client) + "; curl " + spread(curl)});
    bench::report({"Return to main window mapped", bench::median(mapped), bench::median(curl), "ms",
                   "2 sequential curl", 0, false, ""});
    bench::note("Requests the client made between Return and the drawn main window (last run): " +
                std::to_string(requests) + " (" + paths + ").");
    bench::note("Medians of " + std::to_string(o.runs) +
                " runs after a warm-up. The clock starts when the XTest Return is flushed to the X server and stops "
                "at the first framebuffer state, after the new window's MapNotify, in which the window's rectangle "
                "holds more than one colour. Baseline: curl (a new process and TLS connection each, as the client "
                "makes a new connection per request) for authentication, then the server list, same service, same "
                "CA, same `home` namespace.");
    return 0;
}

// --- OpenVPN ----------------------------------------------------------------

std::vector<int> sandbox_ports() {
    std::vector<int> ports;
    const std::string text = sandbox("VELTRA_SANDBOX_VPN_PORTS");
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find(' ', at);
        ports.push_back(atoi(text.substr(at, end - at).c_str()));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return ports;
}

std::string routes() {
    std::string out;
    bench::run({"ip", "-4", "route", "show", "table", "all"}, &out);
    return out;
}

// One start of the system's OpenVPN with the very files the client writes
// (its own generators), up to "Initialization Sequence Completed"; then
// SIGTERM and wait until the routes are back. Milliseconds, or -1.
double bare_openvpn_once(const std::string &config, const std::string &credentials, const std::string &baseline) {
    const std::string ca = app_folder() + "/openvpn/ca.crt";
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execl("/usr/sbin/openvpn", "openvpn", "--config", config.c_str(), "--ca", ca.c_str(), "--auth-user-pass",
              credentials.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    double ms = -1;
    char buffer[4096];
    pollfd ready{out[0], POLLIN, 0};
    while (poll(&ready, 1, 30000) > 0) {
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, size_t(got));
        if (text.find("Initialization Sequence Completed") != std::string::npos) {
            ms = bench::ms_between(t0, Clock::now());
            break;
        }
    }
    kill(pid, SIGTERM);
    while (read(out[0], buffer, sizeof buffer) > 0) {
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto until = Clock::now() + 10s;
    while (routes() != baseline && Clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    if (ms < 0) {
        fprintf(stderr, "OpenVPN did not complete its start:\n%s\n", text.c_str());
    }
    return ms;
}

std::vector<double> bare_openvpn(const std::string &work, int runs) {
    pelk_global_variables_init((app_folder() + "/veltra").c_str());
    const std::string folder = work + "/openvpn-files";
    fs::remove_all(folder);
    fs::create_directories(folder);
    chmod(folder.c_str(), 0700);
    config_generator_files_folder_override(folder.c_str());
    const std::vector<int> ports = sandbox_ports();
    std::vector<int32_t> list(ports.begin(), ports.end());
    char *config = config_generator_create_openvpn_config_file(sandbox("VELTRA_SANDBOX_VPN_ADDRESS").c_str(),
                                                               list.data(), int(list.size()));
    char *credentials = config_generator_create_credentials_file(sandbox("VELTRA_SANDBOX_EMAIL").c_str(),
                                                                 sandbox("VELTRA_SANDBOX_PASSWORD").c_str());
    std::vector<double> times;
    if (config != nullptr && credentials != nullptr) {
        const std::string baseline = routes();
        for (int run = -1; run < runs; ++run) {
            const double ms = bare_openvpn_once(config, credentials, baseline);
            if (run >= 0 && ms > 0) {
                times.push_back(ms);
            }
        }
    }
    for (char *path : {config, credentials}) {
        if (path != nullptr) {
            config_generator_delete_file(path);
            g_free(path);
        }
    }
    config_generator_files_folder_override(nullptr);
    return times;
}

// --- connect ----------------------------------------------------------------

int command_connect(const Options &o) {
    // The client's OpenVPN child becomes ours should the client die.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Screen screen(o.work + "/fb");
    if (!screen.ok()) {
        return 1;
    }
    fs::remove_all(o.work + "/config");
    write_settings(o.work + "/config", true, false);
    wait_cleared(screen);
    const size_t maps = screen.maps().size();
    const pid_t pid = start(client_launch(screen, o.work, "disable"), o.work + "/connect.out");
    if (!wait_until(
            screen, [&] { return main_ready(screen, maps); }, 60s, pid)) {
        fprintf(stderr, "the client never showed its main window ready: %s\n",
                dump(screen, o.work, "connect-no-main").c_str());
        bench::stop(pid);
        return 1;
    }
    std::this_thread::sleep_for(2s);
    std::vector<double> connect, disconnect;
    std::vector<std::string> resources;
    for (int run = 0; run < o.runs; ++run) {
        const Clock::time_point t0 = screen.click(kConnectX, kConnectY);
        if (!wait_until(
                screen, [&] { return green(screen); }, 60s, pid)) {
            fprintf(stderr, "run %d: never green (last %s)\n", run, describe(screen.mean(kFill)).c_str());
            break;
        }
        connect.push_back(bench::ms_between(t0, Clock::now()));
        std::this_thread::sleep_for(1s);
        const Clock::time_point t1 = screen.click(kConnectX, kConnectY);
        // Grey again only after the picture has left green.
        bool left = false;
        if (!wait_until(
                screen,
                [&] {
                    left = left || !green(screen);
                    return left && grey(screen);
                },
                60s, pid)) {
            fprintf(stderr, "run %d: never ready again\n", run);
            break;
        }
        disconnect.push_back(bench::ms_between(t1, Clock::now()));
        resources.push_back(std::to_string(run + 1) + ": RSS " + fixed(bench::status_kb(pid, "VmRSS") / 1024.0) +
                            " MB, " + std::to_string(bench::count_fds(pid)) + " fds, " +
                            std::to_string(bench::count_threads(pid)) + " threads");
        std::this_thread::sleep_for(1s);
    }
    bench::stop(pid);

    const std::vector<double> openvpn = bare_openvpn(o.work, o.runs);
    bench::section("4. Connect: click to the green picture, through the sandbox's OpenVPN");
    bench::report({"click to green", bench::median(connect), bench::median(openvpn), "ms",
                   "bare OpenVPN to Init. Completed", 1150, true,
                   "client " + spread(connect) + "; OpenVPN " + spread(openvpn)});
    bench::report({"disconnect click to ready (grey) again", bench::median(disconnect), 0, "ms", "-", 0, false,
                   spread(disconnect)});
    std::string line;
    for (const std::string &r : resources) {
        line += (line.empty() ? "" : "; ") + r;
    }
    bench::note("Client after each cycle: " + line + ".");
    bench::note("Medians of " + std::to_string(connect.size()) +
                " connects of one client (stored credentials, sandbox server as favourite). The clock starts when "
                "the XTest click on window pixel (208,173) is flushed and stops at the first framebuffer state "
                "(polled every 1 ms) in which the connect picture is the green one (read from its fill at window "
                "(205..210, 212..217): the middle point is the white power sign in every picture). Bare OpenVPN: "
                "/usr/sbin/openvpn with the files "
                "the client's own generators write, exec to \"Initialization Sequence Completed\" on its output, "
                "after one warm-up.");
    if (!o.cycle_file.empty() && !connect.empty() && !disconnect.empty()) {
        if (FILE *out = fopen(o.cycle_file.c_str(), "w")) {
            fprintf(out, "%.0f\n", bench::median(connect) + bench::median(disconnect));
            fclose(out);
        }
    }
    return connect.empty() ? 1 : 0;
}

// --- fault soak -------------------------------------------------------------

std::string argv0_of(pid_t pid) {
    const std::string cmdline = bench::read_text("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

bool live(pid_t pid) {
    const std::string stat = bench::read_text("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

// Every live process whose argument 0 names the client's OpenVPN program.
std::vector<pid_t> openvpn_processes() {
    std::vector<pid_t> found;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = std::stoi(name);
        if (fs::path(argv0_of(pid)).filename() == kOpenVpnName && live(pid)) {
            found.push_back(pid);
        }
    }
    return found;
}

std::set<std::string> pelk_files(const std::string &folder) {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("pelk", 0) == 0) {
            names.insert(folder + "/" + name);
        }
    }
    return names;
}

std::string join(const std::set<std::string> &items) {
    std::string text;
    for (const std::string &item : items) {
        text += (text.empty() ? "" : " ") + item;
    }
    return text;
}

int command_fault_soak(const Options &o) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Screen screen(o.work + "/fb");
    if (!screen.ok()) {
        return 1;
    }
    fs::remove_all(o.work + "/config");
    fs::remove_all(o.work + "/tmp");
    fs::create_directories(o.work + "/tmp");
    bench::give_to(o.work + "/tmp", user);
    write_settings(o.work + "/config", true, false);
    const std::string user_tmp = o.work + "/tmp";
    const std::string baseline_routes = routes();
    const std::set<std::string> tmp_before = pelk_files("/tmp");
    if (!openvpn_processes().empty() || !pelk_files(kFilesFolder).empty()) {
        fprintf(stderr, "an OpenVPN of the client or a file of a connection exists before the soak\n");
    }
    const double cycle_ms = o.cycle_ms > 0 ? o.cycle_ms : 13000;
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> moment(0, cycle_ms);

    const Clock::time_point started = Clock::now();
    size_t maps = screen.maps().size();
    pid_t client = start(client_launch(screen, o.work, "disable"), o.work + "/fault.out");
    if (!wait_until(
            screen, [&] { return main_ready(screen, maps); }, 60s, client)) {
        fprintf(stderr, "the client never showed its main window ready: %s\n",
                dump(screen, o.work, "fault-no-main").c_str());
        bench::stop(client);
        return 1;
    }
    int clean = 0;
    std::map<std::string, int> phases, phases_clean;
    std::vector<double> restart_ms;
    std::vector<std::string> failures;
    for (int cycle = 1; cycle <= o.cycles; ++cycle) {
        // One connect/disconnect cycle, cut short at a random moment of it.
        std::this_thread::sleep_for(300ms);
        const double kill_at = moment(random);
        const Clock::time_point t0 = screen.click(kConnectX, kConnectY);
        bool was_green = false, disconnect_clicked = false;
        wait_until(
            screen,
            [&] {
                if (green(screen) && !disconnect_clicked) {
                    was_green = true;
                    disconnect_clicked = true;
                    screen.click(kConnectX, kConnectY);
                }
                return bench::ms_between(t0, Clock::now()) >= kill_at;
            },
            std::chrono::milliseconds(int(kill_at) + 1000));
        const bool grey_at_kill = grey(screen);
        std::string phase = "disconnecting";
        if (!was_green) {
            phase = grey_at_kill ? "before connecting" : "connecting";
        } else if (grey_at_kill) {
            phase = "disconnected";
        }
        // The OpenVPN it runs, held by pidfd so that a reused number cannot
        // pass for it.
        std::vector<int> strays;
        for (pid_t p : openvpn_processes()) {
            const int fd = int(syscall(SYS_pidfd_open, p, 0));
            if (fd >= 0) {
                strays.push_back(fd);
            }
        }
        const std::set<std::string> files_at_kill = pelk_files(kFilesFolder);
        bench::kill_now(client);

        const Clock::time_point restart = Clock::now();
        maps = screen.maps().size();
        client = start(client_launch(screen, o.work, "disable"), o.work + "/fault.out");
        std::vector<std::string> reasons;
        if (!wait_until(
                screen, [&] { return main_ready(screen, maps); }, 60s, client)) {
            reasons.push_back("the restarted client never showed its main window ready: " +
                              dump(screen, o.work, "fault-no-main-" + std::to_string(cycle)));
        } else {
            restart_ms.push_back(bench::ms_between(restart, Clock::now()));
        }
        // What the start-up had to clean up is done before the window shows;
        // a little grace for the kernel to finish a process's exit.
        auto all_ended = [&] {
            bench::reap();
            for (int fd : strays) {
                pollfd ended{fd, POLLIN, 0};
                if (poll(&ended, 1, 0) <= 0) {
                    return false;
                }
            }
            return openvpn_processes().empty();
        };
        auto no_files = [&] {
            std::set<std::string> tmp = pelk_files("/tmp");
            std::erase_if(tmp, [&](const std::string &f) { return tmp_before.count(f) > 0; });
            return pelk_files(kFilesFolder).empty() && tmp.empty() && pelk_files(user_tmp).empty();
        };
        const auto grace = Clock::now() + 3s;
        while (!(all_ended() && no_files() && routes() == baseline_routes) && Clock::now() < grace) {
            std::this_thread::sleep_for(50ms);
        }
        if (!all_ended()) {
            reasons.push_back("an OpenVPN of the earlier run still runs");
        }
        if (!no_files()) {
            reasons.push_back("files left: " + join(pelk_files(kFilesFolder)) + " " + join(pelk_files(user_tmp)) +
                              " (at the kill: " + join(files_at_kill) + ")");
        }
        if (routes() != baseline_routes) {
            reasons.push_back("routes differ from the baseline:\n" + routes());
        }
        ++phases[phase];
        if (reasons.empty()) {
            ++clean;
            ++phases_clean[phase];
        } else {
            std::string text = "cycle " + std::to_string(cycle) + " (killed " + fixed(kill_at, 0) + " ms after the " +
                               "connect click, " + phase + "):";
            for (const std::string &r : reasons) {
                text += " " + r + ";";
            }
            failures.push_back(text);
            fprintf(stderr, "%s\n", text.c_str());
            // The next cycle must not inherit this one's leftovers.
            for (int fd : strays) {
                syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0);
            }
        }
        for (int fd : strays) {
            close(fd);
        }
        bench::progress("  fault cycle %2d: killed %5.0f ms after the connect click (%s): %s\n", cycle, kill_at,
                        phase.c_str(), reasons.empty() ? "clean restart" : "NOT CLEAN");
        if (!reasons.empty() && bench::ended(client)) {
            maps = screen.maps().size();
            client = start(client_launch(screen, o.work, "disable"), o.work + "/fault.out");
            wait_until(
                screen, [&] { return main_ready(screen, maps); }, 60s, client);
        }
    }
    bench::stop(client);
    bench::reap();
    const double minutes = bench::ms_between(started, Clock::now()) / 60000.0;

    bench::section("6. Fault soak: kill -9 at a random moment of a connect/disconnect cycle, then restart");
    bench::report({"clean restarts", double(clean), double(o.cycles), "", "out of", 0, false, ""});
    bench::report({"kill -9 to restarted main window ready", bench::median(restart_ms), 0, "ms", "-", 0, false,
                   spread(restart_ms)});
    std::string by_phase;
    for (const auto &[phase, count] : phases) {
        by_phase += (by_phase.empty() ? "" : ", ") + phase + " " + std::to_string(phases_clean[phase]) + "/" +
                    std::to_string(count);
    }
    bench::note("Clean restarts: " + std::to_string(clean) + " out of " + std::to_string(o.cycles) +
                ". By the picture shown at the kill (clean/killed): " + by_phase + ".");
    for (const std::string &f : failures) {
        bench::note("- " + f);
    }
    bench::note(
        "Each cycle: the connect click, the disconnect click as soon as the picture is green, kill -9 at a "
        "moment drawn uniformly from 0 to " +
        fixed(cycle_ms, 0) +
        " ms after the connect click (the length of a whole cycle measured in benchmark 4), then a new "
        "client. Clean: once the new client's main window is ready (plus up to 3 s), no process runs "
        "the client's OpenVPN program, every OpenVPN of the killed run has ended (pidfd), no pelk* file is "
        "in /run/veltra, /tmp (beyond those there before the soak) or the client's $TMPDIR, and `ip -4 route "
        "show table all` in `home` equals the baseline. " +
        fixed(minutes) + " min.");
    return 0;
}

// --- sign-in URLs for the curl baseline -----------------------------------------

int command_urls() {
    char *digest = pelk_ntlm_encrypt(sandbox("VELTRA_SANDBOX_PASSWORD").c_str());
    const std::string email = sandbox("VELTRA_SANDBOX_EMAIL");
    char *auth = http_manager_method_authentication_url_new(email.c_str(), digest);
    char *servers = http_manager_method_server_list_url_new(email.c_str(), digest);
    printf("%s\n%s\n", auth, servers);
    free(auth);
    free(servers);
    free(digest);
    return 0;
}

Options parse(int argc, char **argv) {
    Options o;
    if (argc > 1) {
        o.command = argv[1];
    }
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--work") {
            o.work = value;
        } else if (key == "--bare") {
            o.bare = value;
        } else if (key == "--bare-https") {
            o.bare_https = value;
        } else if (key == "--https-url") {
            o.https_url = value;
        } else if (key == "--python") {
            o.python = value;
        } else if (key == "--runs") {
            o.runs = atoi(value.c_str());
        } else if (key == "--cycles") {
            o.cycles = atoi(value.c_str());
        } else if (key == "--seconds") {
            o.seconds = atof(value.c_str());
        } else if (key == "--cycle-ms") {
            o.cycle_ms = atof(value.c_str());
        } else if (key == "--auth-url") {
            o.auth_url = value;
        } else if (key == "--servers-url") {
            o.servers_url = value;
        } else if (key == "--cycle-file") {
            o.cycle_file = value;
        } else if (key == "--results") {
            bench::set_results_file(value);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    if (o.command == "urls") {
        return command_urls();
    }
    if (app_folder().empty()) {
        fprintf(stderr, "veltra-bench: run inside the sandbox (bench/run does)\n");
        return 2;
    }
    if (o.work.empty()) {
        fprintf(stderr, "veltra-bench: --work FOLDER is required\n");
        return 2;
    }
    fs::create_directories(o.work + "/fb");
    fs::create_directories(home_folder(o.work));
    fs::create_directories(o.work + "/tmp");
    bench::give_to(home_folder(o.work), user);
    bench::give_to(o.work + "/tmp", user);
    bench::keep_console(o.work + "/library.log");
    if (o.command == "startup") {
        return command_startup(o);
    }
    if (o.command == "idle") {
        return command_idle(o);
    }
    if (o.command == "signin") {
        return command_signin(o);
    }
    if (o.command == "connect") {
        return command_connect(o);
    }
    if (o.command == "fault-soak") {
        return command_fault_soak(o);
    }
    fprintf(stderr, "usage: veltra-bench startup|idle|signin|connect|fault-soak|urls [--work DIR] ...\n");
    return 2;
}
