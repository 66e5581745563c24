// Connect/disconnect cycles through the sandbox's real OpenVPN, driven
// through the client's own engine and view models without a window (the
// window layer's engine events reach the real main window controller, as in
// the client). Prints the process's RSS, open descriptors and threads at
// chosen cycles. Runs inside the sandbox's `home` namespace.
//
//   veltra-bench-soak --cycles 100 --divisor 10 [--results FILE] [--log FILE]
//
// The divisor shortens the engine's fixed waits (the manager's 0.5 s poll,
// the 10 s after stopping OpenVPN, the 1 s after "disconnected"); what runs
// and what is allocated per cycle is the same, only the sleeps are shorter.
#include "bench_util.h"

#include "base/global_variables.h"
#include "base/ui_callbacks.h"
#include "dal/server_entity.h"
#include "dal/vpn_button_state.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"
#include "views/main_window_controller.h"
#include "views/windows_controller_internal.h"
#include "vpn/helper_client.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_manager_thread_internal.h"

#include <glib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void on_login_succeeded() {
    pelk_windows_controller_internal_remember_login();
    if (pelk_windows_controller_internal_fetch_server_list() == 0) {
        pelk_windows_controller_internal_log_server_list();
    }
}

const pelk_ui_callbacks kWindowless = {
    .on_login_succeeded = on_login_succeeded,
    .on_login_failed = nullptr,
    .engine = pelk_main_window_controller_engine_callbacks(),
    .on_tray_state = nullptr,
    .on_exit_requested = nullptr,
    .on_minimize = nullptr,
    .on_settings_show = nullptr,
    .on_settings_hide = nullptr,
    .on_log_out = nullptr,
};

std::string env(const char *name) { return bench::env_or(name); }

void drain_main_loop() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

bool wait_state(pelk_dal_vpn_button_state state, std::chrono::seconds deadline) {
    const auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        drain_main_loop();
        const pelk_dal_vpn_button_state now = pelk_view_model_main_vpn_state_get();
        if (now == state) {
            return true;
        }
        if ((now & PELK_DAL_VPN_BUTTON_STATE_ERROR) != 0) {
            fprintf(stderr, "error state %u\n", now);
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

bool manager_idle() {
    const auto until = Clock::now() + 60s;
    while (Clock::now() < until) {
        if (vpn_manager_thread_is_busy() == 0 && vpn_manager_thread_command() == 2) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

struct Sample {
    int cycle;
    long rss_kb, hwm_kb;
    int fds, threads;
    double connect_ms;
};

}  // namespace

int main(int argc, char **argv) {
    int cycles = 100;
    unsigned divisor = 10;
    std::set<int> checkpoints = {1, 10, 50, 100};
    std::string log = "/dev/null";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--cycles") == 0) {
            cycles = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--divisor") == 0) {
            divisor = unsigned(atoi(argv[i + 1]));
        } else if (strcmp(argv[i], "--results") == 0) {
            bench::set_results_file(argv[i + 1]);
        } else if (strcmp(argv[i], "--log") == 0) {
            log = argv[i + 1];
        }
    }
    checkpoints.insert(cycles);
    bench::keep_console(log);
    const std::string app = env("VELTRA_SANDBOX_APP");
    if (app.empty()) {
        fprintf(stderr, "veltra-bench-soak: run inside the sandbox (bench/run does)\n");
        return 2;
    }
    // Settings of this run only.
    char config_template[] = "/tmp/veltra-bench-soak-XXXXXX";
    const char *config = mkdtemp(config_template);
    if (config == nullptr) {
        return 1;
    }
    g_setenv("XDG_CONFIG_HOME", config, TRUE);
    pelk_global_variables_init((app + "/veltra").c_str());
    pelk_ui_callbacks_install(kWindowless);
    // OpenVPN runs under the root helper, as in the client.
    if (pelk_helper_client_start((app + "/veltra-helper").c_str(), {}) != 0) {
        return 1;
    }
    vpn_manager_thread_set_time_divisor(divisor);
    if (vpn_manager_thread_start() != 0) {
        return 1;
    }

    pelk_view_model_login_username_set_new(env("VELTRA_SANDBOX_EMAIL").c_str());
    pelk_view_model_login_password_set_new(env("VELTRA_SANDBOX_PASSWORD").c_str());
    pelk_view_model_on_login_click();
    if (pelk_view_login_model_is_authenticated_get() != 1) {
        fprintf(stderr, "sign-in failed\n");
        return 1;
    }
    pelk_view_model_main_update_public_ip();
    pelk_dal_server_entity *server = server_entity_container_find_item_by_server_address(
        pelk_view_model_main_server_list_get(), env("VELTRA_SANDBOX_VPN_ADDRESS").c_str());
    if (server == nullptr) {
        fprintf(stderr, "the sandbox's server is not in the list\n");
        return 1;
    }
    pelk_view_model_main_selected_server_set(server);
    drain_main_loop();

    const pid_t self = getpid();
    std::vector<Sample> samples;
    std::vector<double> connect_ms, cycle_ms;
    const Clock::time_point started = Clock::now();
    int done = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const Clock::time_point t0 = Clock::now();
        pelk_view_model_main_on_vpn_button_clicked();
        if (!wait_state(PELK_DAL_VPN_BUTTON_STATE_CONNECTED, 60s)) {
            fprintf(stderr, "cycle %d: no connection (state %u)\n", cycle, pelk_view_model_main_vpn_state_get());
            break;
        }
        connect_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        pelk_view_model_main_on_vpn_button_clicked();
        if (!wait_state(PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED, 60s) || !manager_idle()) {
            fprintf(stderr, "cycle %d: no disconnect (state %u)\n", cycle, pelk_view_model_main_vpn_state_get());
            break;
        }
        drain_main_loop();
        cycle_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        done = cycle;
        if (checkpoints.count(cycle) > 0) {
            // The reader threads of the stopped child end on their own; give
            // them a moment so a count does not catch one on its way out.
            std::this_thread::sleep_for(300ms);
            samples.push_back({cycle, bench::status_kb(self, "VmRSS"), bench::status_kb(self, "VmHWM"),
                               bench::count_fds(self), bench::count_threads(self), connect_ms.back()});
            bench::progress("  soak cycle %3d: RSS %.1f MB, peak %.1f MB, %d fds, %d threads\n", cycle,
                            samples.back().rss_kb / 1024.0, samples.back().hwm_kb / 1024.0, samples.back().fds,
                            samples.back().threads);
        }
    }
    const double minutes = std::chrono::duration<double>(Clock::now() - started).count() / 60;

    bench::section("5. Soak: " + std::to_string(cycles) + " connect/disconnect cycles through the sandbox");
    if (!samples.empty()) {
        const Sample &first = samples.front();
        const Sample &last = samples.back();
        bench::report({"RSS at cycle " + std::to_string(last.cycle), last.rss_kb / 1024.0, first.rss_kb / 1024.0, "MB",
                       "at cycle 1", 0, false, ""});
        bench::report({"open descriptors at cycle " + std::to_string(last.cycle), double(last.fds), double(first.fds),
                       "", "at cycle 1", 0, false, ""});
        bench::report({"threads at cycle " + std::to_string(last.cycle), double(last.threads), double(first.threads),
                       "", "at cycle 1", 0, false, ""});
    }
    bench::markdown("", false);
    bench::markdown("| cycle | RSS MB | peak RSS MB | open descriptors | threads |", true);
    bench::markdown("|---|---|---|---|---|", true);
    for (const Sample &s : samples) {
        char row[160];
        snprintf(row, sizeof row, "| %d | %.1f | %.1f | %d | %d |", s.cycle, s.rss_kb / 1024.0, s.hwm_kb / 1024.0,
                 s.fds, s.threads);
        bench::markdown(row, true);
    }
    char text[400];
    snprintf(text, sizeof text,
             "%d of %d cycles done in %.1f min; click to connected median %.0f ms, whole cycle median %.0f ms, with "
             "the engine's fixed waits divided by %u.",
             done, cycles, minutes, bench::median(connect_ms), bench::median(cycle_ms), divisor);
    bench::note(text);
    bench::note(
        "The engine without a window (veltra_core: view models, manager thread, OpenVPN child, readers, "
        "public-address checks) in one process, the sandbox's real OpenVPN. With the real waits a cycle "
        "takes about 13 s, 100 cycles about 22 min, which does not fit beside the other benchmarks; the "
        "divisor is the engine's own test hook and changes only how long the threads sleep.");
    fs::remove_all(config);
    return done == cycles ? 0 : 1;
}
