// Start-ups of the real client binary, as a user with stored credentials and
// auto-connect switched on starts it, in the sandbox: each must end in
// "connected" with the address seen through the tunnel, and never pass
// through the error flag. Judged from outside only: the client's developer
// log and the account service's view of the caller's address. Runs inside
// the `home` namespace, with the sandbox's variables exported.
#include "support/reference_service.h"
#include "support/test_user.h"
#include "support/test_util.h"
#include "support/xvfb.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using veltra_test::count_occurrences;
using Clock = std::chrono::steady_clock;

constexpr int kStartUps = 20;

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

std::string routes() {
    std::string out;
    veltra_test::run_program({"ip", "-4", "route", "show", "table", "all"}, &out);
    return out;
}

// The numbers of every "vpn state: N" line of a log, in order.
std::vector<unsigned int> states_in(const std::string &log) {
    std::vector<unsigned int> states;
    const std::string tag = "vpn state: ";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
        states.push_back(static_cast<unsigned int>(std::stoul(log.substr(at + tag.size()))));
    }
    return states;
}

// Ends a process of ours (or, as subreaper, an orphan that became ours):
// SIGTERM, SIGKILL when it lingers, reaped either way.
void end_and_reap(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    const bool gone =
        veltra_test::wait_for([&] { return waitpid(pid, &status, WNOHANG) != 0; }, std::chrono::seconds(10));
    if (!gone) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

class StartupE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        app_ = env("VELTRA_SANDBOX_APP");
        if (app_.empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        // The client's OpenVPN child outlives a client ended by a signal;
        // as subreaper this process inherits it and can end and reap it.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        service_log_ = env("VELTRA_SANDBOX_DIR") + "/logs/account-service.log";
        nat_ = env("VELTRA_SANDBOX_NAT_ADDRESS");
        ASSERT_TRUE(user_.ok() && user_.keep_running()) << "needs a user to run the window as";
        // What a user who ticked "remember me" and auto-connect has stored.
        ASSERT_TRUE(user_.write(".config/Veltra/settings.ini",
                                "[Veltra]\nusername=" + env("VELTRA_SANDBOX_EMAIL") +
                                    "\npassword=" + env("VELTRA_SANDBOX_PASSWORD") +
                                    "\nfavorite_server=" + env("VELTRA_SANDBOX_VPN_ADDRESS") + "\nauto_connect=1\n",
                                0600));
    }

    // Starts the client from its folder, as root starts it for the user
    // through sudo: the window drops to the user, its helper stays root.
    pid_t start_client(const std::string &display, const std::string &output) {
        const std::string client = app_ + "/veltra";
        const std::vector<std::string> variables = {
            "SUDO_UID=" + std::to_string(user_.uid()),
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "DISPLAY=" + display,
            "VELTRA_SERVICE_BASE_URL=" + env("VELTRA_SERVICE_BASE_URL"),
            "VELTRA_CA_FILE=" + env("VELTRA_CA_FILE"),
        };
        std::vector<const char *> client_env;
        for (const std::string &variable : variables) {
            client_env.push_back(variable.c_str());
        }
        client_env.push_back(nullptr);
        const char *argv[] = {client.c_str(), nullptr};
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        GPid pid = 0;
        g_autoptr(GError) error = nullptr;
        const bool started =
            g_spawn_async_with_fds(app_.c_str(), const_cast<char **>(argv), const_cast<char **>(client_env.data()),
                                   G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, -1, out, out, &error);
        close(out);
        EXPECT_TRUE(started) << (error != nullptr ? error->message : "");
        return started ? pid : -1;
    }

    // This run's part of the developer log: from its start line to the next
    // run's, as runs in the same second share a file.
    std::string client_log(pid_t pid) {
        const std::string start_line = "started, pid " + std::to_string(pid) + "\n";
        auto part_of = [&](const std::string &text) {
            const size_t at = text.find(start_line);
            if (at == std::string::npos) {
                return std::string();
            }
            const size_t next = text.find("started, pid ", at + start_line.size());
            return text.substr(at, next == std::string::npos ? std::string::npos : next - at);
        };
        if (log_pid_ == pid) {
            return part_of(veltra_test::read_file(log_path_));
        }
        std::error_code ignored;
        for (const auto &entry : fs::directory_iterator(user_.log_folder("dev"), ignored)) {
            std::string part = part_of(veltra_test::read_file(entry.path()));
            if (!part.empty()) {
                log_pid_ = pid;
                log_path_ = entry.path();
                return part;
            }
        }
        return "";
    }

    // The service's lines for the caller's address seen from the NAT, the
    // address that only a tunnel can give.
    int lookups_through_tunnel() const {
        return count_occurrences(veltra_test::read_file(service_log_),
                                 ": " + nat_ + " \"GET /RESTF-1.0.2/rest/api/remote_address\" 200");
    }

    veltra_test::TestUser user_;
    veltra_test::TempDir scratch_;
    std::string app_;
    std::string service_log_;
    std::string nat_;
    pid_t log_pid_ = -1;
    std::string log_path_;
};

TEST_F(StartupE2e, TwentyAutoConnectStartUpsReachConnectedWithoutAnError) {
    veltra_test::Xvfb display;
    ASSERT_TRUE(display.ok());
    const std::string baseline = routes();
    int connected = 0;
    for (int run = 0; run < kStartUps; ++run) {
        SCOPED_TRACE("start-up " + std::to_string(run + 1));
        const int tunnel_lookups = lookups_through_tunnel();
        const std::string output = scratch_.file("client-" + std::to_string(run) + ".out");
        const pid_t client = start_client(display.display(), output);
        ASSERT_GT(client, 0);

        // Connected (or the error flag), every public-address lookup over
        // (the start-up one may land late, or time out, when the tunnel came
        // up under it), and the log quiet long enough for a late answer to
        // have had its say.
        std::string log;
        size_t length = 0;
        auto still_since = Clock::now();
        int status = 0;
        bool exited = false;
        const bool settled = veltra_test::wait_for(
            [&] {
                exited = exited || waitpid(client, &status, WNOHANG) == client;
                log = client_log(client);
                if (log.size() != length) {
                    length = log.size();
                    still_since = Clock::now();
                }
                const std::vector<unsigned int> states = states_in(log);
                const bool lookups_over = count_occurrences(log, "pelk_controls_public_ip_widget_update_ip enter \n") ==
                                          count_occurrences(log, "pelk_controls_public_ip_widget_update_ip exit \n");
                const bool done = exited || (!states.empty() && (states.back() & 64u) != 0) ||
                                  (!states.empty() && states.back() == 4u && lookups_over &&
                                   count_occurrences(log, "pelk_controls_public_ip_widget_update_ip exit \n") >= 2);
                return done && Clock::now() - still_since > std::chrono::seconds(1);
            },
            std::chrono::seconds(90));

        // The OpenVPN child of the client's helper, seen while both run.
        const size_t openvpn_children = exited ? 0 : veltra_test::openvpn_under(client).size();
        if (!exited) {
            end_and_reap(client);
        }
        // With the client gone its helper ends, and OpenVPN becomes ours:
        // ended before the next start.
        EXPECT_TRUE(veltra_test::wait_for(
            [&] {
                while (waitpid(-1, nullptr, WNOHANG) > 0) {
                }
                for (pid_t child : veltra_test::children_named(getpid(), "pelk.openvpn.exe")) {
                    end_and_reap(child);
                }
                return veltra_test::children_named(getpid(), "veltra-helper").empty() &&
                       veltra_test::children_named(getpid(), "pelk.openvpn.exe").empty() && routes() == baseline;
            },
            std::chrono::seconds(30)))
            << routes();

        log = client_log(client);
        const std::vector<unsigned int> states = states_in(log);
        EXPECT_TRUE(settled) << log;
        EXPECT_FALSE(exited) << veltra_test::read_file(output);
        EXPECT_EQ(openvpn_children, 1u);
        bool error_seen = false;
        for (unsigned int state : states) {
            error_seen = error_seen || (state & 64u) != 0;
        }
        EXPECT_FALSE(error_seen) << log;
        EXPECT_EQ(log.find("vpn_button_invoke_vpn_disconnect enter."), std::string::npos) << log;
        EXPECT_NE(log.find("Auto connect to favorite server\n"), std::string::npos) << log;
        // The answer that made it "connected" came through the tunnel.
        const size_t through = log.find("ip:" + nat_ + "\ngeo_set: setting remote \n");
        const size_t state_connected = log.find("vpn state: 4\n", through == std::string::npos ? 0 : through);
        EXPECT_NE(through, std::string::npos) << log;
        EXPECT_NE(state_connected, std::string::npos) << log;
        EXPECT_GT(lookups_through_tunnel(), tunnel_lookups);
        if (!states.empty() && states.back() == 4u && !error_seen && through != std::string::npos &&
            state_connected != std::string::npos) {
            ++connected;
        }
    }
    printf("auto-connect start-ups connected: %d/%d\n", connected, kStartUps);
    EXPECT_EQ(connected, kStartUps);
}

}  // namespace
