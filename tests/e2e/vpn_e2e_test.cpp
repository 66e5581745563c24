// Connect and disconnect through a real OpenVPN tunnel in the sandbox's
// namespaces, driving the client's own functions without a window. Runs
// inside the `home` namespace, with the sandbox's variables exported.
#include "base/global_variables.h"
#include "base/owned_text.h"
#include "dal/vpn_button_state.h"
#include "service/ntlm.h"
#include "service/service_api_internal.h"
#include "support/headless_ui.h"
#include "support/reference_service.h"
#include "support/test_util.h"
#include "support/xvfb.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_manager_thread_internal.h"
#include "vpn/vpn_process_internal.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using veltra_test::count_entries;
using veltra_test::count_occurrences;
using Clock = std::chrono::steady_clock;

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

std::string routes() {
    std::string out;
    veltra_test::run_program({"ip", "-4", "route", "show", "table", "all"}, &out);
    return out;
}

void drain_main_loop() {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

class VpnE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        app_ = env("VELTRA_SANDBOX_APP");
        if (app_.empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        email_ = env("VELTRA_SANDBOX_EMAIL");
        password_ = env("VELTRA_SANDBOX_PASSWORD");
        g_setenv("XDG_CONFIG_HOME", config_.path().c_str(), TRUE);
        pelk_global_variables_init((app_ + "/veltra").c_str());
        log_start_ = veltra_test::read_file(pelk_global_variable_dev_log_path()).size();
        veltra_test::install_headless_ui();
        // In the sandbox's namespace: the leak block as the client sets it.
        ASSERT_TRUE(veltra_test::start_helper({"VELTRA_LEAK_BLOCK_OMIT="}));
        ASSERT_EQ(vpn_manager_thread_start(), 0);
    }

    void TearDown() override {
        if (app_.empty()) {
            return;
        }
        // No log of this run holds the password or its digest.
        pelk_owned_text digest(pelk_ntlm_encrypt(password_.c_str()));
        for (const char *folder : {"dev", "out", "err"}) {
            for (const auto &entry : fs::directory_iterator(app_ + "/Logs/" + folder)) {
                const std::string text = veltra_test::read_file(entry.path());
                EXPECT_EQ(text.find(password_), std::string::npos) << entry.path();
                EXPECT_EQ(text.find(digest.get()), std::string::npos) << entry.path();
            }
        }
    }

    std::string this_run_log() const {
        return veltra_test::read_file(pelk_global_variable_dev_log_path()).substr(log_start_);
    }

    // Signs in, learns the address without a tunnel and selects the
    // sandbox's VPN server: the state is "Ready!".
    void sign_in_and_select() {
        pelk_view_model_login_username_set_new(email_.c_str());
        pelk_view_model_login_password_set_new(password_.c_str());
        pelk_view_model_on_login_click();
        ASSERT_EQ(pelk_view_login_model_is_authenticated_get(), 1);
        pelk_view_model_main_update_public_ip();
        ASSERT_EQ(veltra_test::take_text(pelk_view_model_main_ip_get_new()), env("VELTRA_SANDBOX_HOME_ADDRESS"));
        pelk_dal_server_entity *server = server_entity_container_find_item_by_server_address(
            pelk_view_model_main_server_list_get(), env("VELTRA_SANDBOX_VPN_ADDRESS").c_str());
        ASSERT_NE(server, nullptr);
        pelk_view_model_main_selected_server_set(server);
        ASSERT_EQ(pelk_view_model_main_vpn_state_get(), 1u);
        drain_main_loop();
        veltra_test::forget_ui_records();
    }

    // Waits for a state, running the main loop so the tray gets its posts.
    static bool wait_state(pelk_dal_vpn_button_state state, std::chrono::seconds deadline) {
        return veltra_test::wait_for(
            [state] {
                drain_main_loop();
                return pelk_view_model_main_vpn_state_get() == state;
            },
            deadline);
    }

    static bool manager_idle() {
        return veltra_test::wait_for(
            [] { return vpn_manager_thread_is_busy() == 0 && vpn_manager_thread_command() == 2; },
            std::chrono::seconds(30));
    }

    veltra_test::TempDir config_;
    std::string app_;
    std::string email_;
    std::string password_;
    size_t log_start_ = 0;
};

TEST_F(VpnE2e, ConnectsThroughTheTunnelAndDisconnects) {
    sign_in_and_select();
    const std::string baseline = routes();

    pelk_view_model_main_on_vpn_button_clicked();
    ASSERT_TRUE(wait_state(4, std::chrono::seconds(30))) << pelk_view_model_main_vpn_state_get();
    EXPECT_STREQ(pelk_dal_vpn_button_state_to_string(pelk_view_model_main_vpn_state_get()),
                 "Connected! Your Internet is now secure.");
    EXPECT_EQ(veltra_test::take_text(pelk_view_model_main_ip_get_new()), env("VELTRA_SANDBOX_NAT_ADDRESS"));
    EXPECT_EQ(veltra_test::take_text(pelk_view_model_main_country_code_get_new()), env("VELTRA_SANDBOX_NAT_COUNTRY"));
    EXPECT_NE(routes(), baseline);

    pelk_view_model_main_on_vpn_button_clicked();
    EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 16u);
    ASSERT_TRUE(wait_state(32, std::chrono::seconds(30)));
    EXPECT_EQ(veltra_test::take_text(pelk_view_model_main_ip_get_new()), env("VELTRA_SANDBOX_HOME_ADDRESS"));
    EXPECT_TRUE(manager_idle());
    EXPECT_EQ(routes(), baseline);
    drain_main_loop();
    const auto tray = veltra_test::tray_states();
    EXPECT_EQ(tray, (std::vector<pelk_dal_vpn_button_state>{8, 4, 16, 16, 32})) << tray.size();
}

TEST_F(VpnE2e, WrongVpnPasswordEndsInTheErrorState) {
    sign_in_and_select();
    ASSERT_EQ(veltra_test::run_program({VELTRA_SANDBOX_SCRIPT, "set-vpn-password", email_, "not the same"}), 0);
    pelk_view_model_main_on_vpn_button_clicked();
    const bool ended = wait_state(96, std::chrono::seconds(60));
    veltra_test::run_program({VELTRA_SANDBOX_SCRIPT, "reset-vpn-passwords"});
    ASSERT_TRUE(ended) << pelk_view_model_main_vpn_state_get();
    EXPECT_STREQ(pelk_dal_vpn_button_state_to_string(96), "Error! Disconnected!");
    const std::string log = this_run_log();
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1) << log;
    drain_main_loop();
    // Connecting, the error on it, disconnecting (asked, then begun), done.
    EXPECT_EQ(veltra_test::tray_states(), (std::vector<pelk_dal_vpn_button_state>{8, 64, 80, 80, 96}));
    EXPECT_NE(veltra_test::read_file(pelk_global_variable_out_log_path()).find("AUTH_FAILED"), std::string::npos);
}

TEST_F(VpnE2e, FailedPortRequestStartsWithoutRemotesAndFails) {
    sign_in_and_select();
    // The account service becomes unreachable after sign-in.
    http_manager_base_url_override("https://198.18.2.2:1/RESTF-1.0.2/rest/api/");
    pelk_view_model_main_on_vpn_button_clicked();
    ASSERT_TRUE(wait_state(96, std::chrono::seconds(90))) << pelk_view_model_main_vpn_state_get();
    const std::string log = this_run_log();
    EXPECT_EQ(log.find("vpn_manager thread - Ports accepted!"), std::string::npos);
    EXPECT_NE(log.find("curl_easy_perform() failed: "), std::string::npos);
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
}

TEST_F(VpnE2e, KilledChildIsReportedOnceAndDisconnected) {
    sign_in_and_select();
    const std::string baseline = routes();
    pelk_view_model_main_on_vpn_button_clicked();
    ASSERT_TRUE(wait_state(4, std::chrono::seconds(30)));
    const int pid = pelk_vpn_subprocess_pid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(wait_state(96, std::chrono::seconds(30)));
    EXPECT_TRUE(manager_idle());
    const std::string log = this_run_log();
    EXPECT_EQ(count_occurrences(log, "vpn_button_invoke_vpn_disconnect enter. \n"), 1);
    EXPECT_EQ(count_occurrences(log, "vpn_manager_thread - disconnect enter\n"), 1);

    // A killed OpenVPN cannot remove the host route to its server; nothing
    // else may be left. The next test starts from the baseline again.
    const std::string host_route = env("VELTRA_SANDBOX_VPN_ADDRESS") + " via " + env("VELTRA_SANDBOX_VPN_ADDRESS");
    std::string left = routes();
    const size_t at = left.find(host_route + " dev ");
    if (at != std::string::npos) {
        left.erase(at, left.find('\n', at) + 1 - at);
        veltra_test::run_program({"ip", "route", "del", env("VELTRA_SANDBOX_VPN_ADDRESS") + "/32"});
    }
    EXPECT_EQ(left, baseline);
    EXPECT_EQ(routes(), baseline);
}

TEST_F(VpnE2e, StartUpEndsAStrayOpenVpnButNotOtherNames) {
    veltra_test::TempDir other;
    const std::string stray = app_ + "/openvpn/pelk.openvpn.exe";
    const std::string look_alike = other.file("Pelk.OpenVPN.exe");
    fs::create_symlink("/usr/sbin/openvpn", look_alike);
    auto spawn = [](const std::string &program, const char *port) {
        const char *argv[] = {program.c_str(), "--dev", "null", "--lport", port, "--verb", "0", nullptr};
        GPid pid = 0;
        g_spawn_async(nullptr, const_cast<char **>(argv), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
                      nullptr, &pid, nullptr);
        return pid;
    };
    const GPid stray_pid = spawn(stray, "40001");
    const GPid look_alike_pid = spawn(look_alike, "40002");
    ASSERT_GT(stray_pid, 0);
    ASSERT_GT(look_alike_pid, 0);
    ASSERT_TRUE(veltra_test::wait_for([&] {
        return veltra_test::read_file("/proc/" + std::to_string(look_alike_pid) + "/cmdline").find("Pelk") !=
               std::string::npos;
    }));

    // The client itself, started as a user starts it, on a display of its
    // own; by the time it opens the login window it has ended the stray.
    veltra_test::Xvfb display;
    ASSERT_TRUE(display.ok());
    const std::string client = app_ + "/veltra";
    const std::string display_var = "DISPLAY=" + display.display();
    const std::string config_var = "XDG_CONFIG_HOME=" + config_.path();
    const std::string home_var = "HOME=" + config_.path();
    const char *client_argv[] = {client.c_str(), nullptr};
    const char *client_env[] = {"VELTRA_NO_ELEVATION=1", "PATH=/usr/bin:/bin", display_var.c_str(),
                                config_var.c_str(),      home_var.c_str(),     nullptr};
    GPid client_pid = 0;
    ASSERT_TRUE(g_spawn_async(app_.c_str(), const_cast<char **>(client_argv), const_cast<char **>(client_env),
                              static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
                              nullptr, &client_pid, nullptr));
    const std::string pid_line = "pid " + std::to_string(client_pid) + "\n";
    auto client_log = [&] {
        for (const auto &entry : fs::directory_iterator(app_ + "/Logs/dev")) {
            std::string text = veltra_test::read_file(entry.path());
            const size_t at = text.find(pid_line);
            if (at != std::string::npos) {
                return text.substr(at);
            }
        }
        return std::string();
    };
    EXPECT_TRUE(veltra_test::wait_for(
        [&] { return client_log().find("Windows controller - on login start enter\n") != std::string::npos; }));
    kill(client_pid, SIGTERM);
    int client_status = 0;
    waitpid(client_pid, &client_status, 0);

    int status = 0;
    const pid_t gone = waitpid(stray_pid, &status, WNOHANG);
    EXPECT_TRUE(gone == stray_pid || (gone < 0 && errno == ECHILD)) << gone;
    EXPECT_EQ(waitpid(look_alike_pid, &status, WNOHANG), 0) << "a differently named process was ended";
    kill(look_alike_pid, SIGTERM);
    waitpid(look_alike_pid, &status, 0);
}

TEST_F(VpnE2e, TwentyCyclesLeaveNothingBehind) {
    sign_in_and_select();
    drain_main_loop();
    const std::string baseline = routes();
    const int threads = count_entries("/proc/self/task");
    const int descriptors = count_entries("/proc/self/fd");
    const int files = count_entries(g_get_tmp_dir(), "pelk");
    std::vector<double> connect_ms;
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        const auto clicked = Clock::now();
        pelk_view_model_main_on_vpn_button_clicked();
        ASSERT_TRUE(wait_state(4, std::chrono::seconds(30))) << pelk_view_model_main_vpn_state_get();
        connect_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - clicked).count());
        pelk_view_model_main_on_vpn_button_clicked();
        ASSERT_TRUE(wait_state(32, std::chrono::seconds(30)));
        ASSERT_TRUE(manager_idle());
        EXPECT_EQ(routes(), baseline);
    }
    EXPECT_TRUE(veltra_test::wait_for([&] { return count_entries("/proc/self/task") == threads; }))
        << count_entries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(count_entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(count_entries(g_get_tmp_dir(), "pelk"), files);

    std::sort(connect_ms.begin(), connect_ms.end());
    printf("click to connected: median %.0f ms, min %.0f ms, max %.0f ms over %zu connects\n",
           connect_ms[connect_ms.size() / 2], connect_ms.front(), connect_ms.back(), connect_ms.size());
}

}  // namespace
