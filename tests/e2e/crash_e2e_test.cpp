// A client that dies while connected, and the start after it: the real
// client binary, started as a user starts it with auto-connect on, inside
// the sandbox's `home` namespace with the sandbox's variables exported.
#include "support/reference_service.h"
#include "support/test_user.h"
#include "support/test_util.h"
#include "support/xvfb.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where the root helper makes OpenVPN's files, and where it keeps their
// record (which must outlive a reboot).
constexpr const char *kFilesFolder = "/run/veltra";
constexpr const char *kRecordsFolder = "/var/lib/veltra";

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

std::string routes() {
    std::string out;
    veltra_test::run_program({"ip", "-4", "route", "show", "table", "all"}, &out);
    return out;
}

std::vector<std::string> arguments_of(pid_t pid) {
    const std::string text = veltra_test::read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    size_t start = 0;
    for (size_t end = text.find('\0'); end != std::string::npos; end = text.find('\0', start)) {
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

std::string argument_after(const std::vector<std::string> &args, const std::string &option) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == option) {
            return args[i + 1];
        }
    }
    return "";
}

// The OpenVPN child of the client's helper; -1 for none.
pid_t openvpn_child_of(pid_t client) {
    const std::vector<int> found = veltra_test::openvpn_under(client);
    return found.size() == 1 ? found.front() : -1;
}

int pelk_entries(const std::string &folder) { return veltra_test::count_entries(folder, "pelk"); }

class CrashE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        app_ = env("VELTRA_SANDBOX_APP");
        if (app_.empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        ASSERT_TRUE(display_.ok());
        ASSERT_TRUE(user_.ok() && user_.keep_running()) << "needs a user to run the window as";
        write_settings(true);
    }

    void TearDown() override {
        for (pid_t pid : clients_) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
        if (stray_pidfd_ >= 0) {
            // A failed case must not leave its tunnel to the next one.
            syscall(SYS_pidfd_send_signal, stray_pidfd_, SIGTERM, nullptr, 0);
            pollfd ended{stray_pidfd_, POLLIN, 0};
            poll(&ended, 1, 5000);
            close(stray_pidfd_);
        }
    }

    // Stored sign-in with the sandbox's VPN server as favourite, in the
    // user's settings.
    void write_settings(bool auto_connect) {
        ASSERT_TRUE(user_.write(".config/Veltra/settings.ini",
                                "[Veltra]\nusername=" + env("VELTRA_SANDBOX_EMAIL") +
                                    "\npassword=" + env("VELTRA_SANDBOX_PASSWORD") +
                                    "\nfavorite_server=" + env("VELTRA_SANDBOX_VPN_ADDRESS") +
                                    "\nauto_connect=" + (auto_connect ? "1" : "0") + "\n",
                                0600));
    }

    pid_t start_client() {
        const std::string client = app_ + "/veltra";
        const std::vector<std::string> variables = {
            // Root starts it for the user, as sudo does.
            "SUDO_UID=" + std::to_string(user_.uid()),
            "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "DISPLAY=" + display_.display(),
            "TMPDIR=" + user_tmp_.path(),
            "VELTRA_SERVICE_BASE_URL=" + env("VELTRA_SERVICE_BASE_URL"),
            "VELTRA_CA_FILE=" + env("VELTRA_CA_FILE"),
        };
        std::vector<const char *> envp;
        for (const std::string &variable : variables) {
            envp.push_back(variable.c_str());
        }
        envp.push_back(nullptr);
        const char *argv[] = {client.c_str(), nullptr};
        GPid pid = 0;
        if (!g_spawn_async(app_.c_str(), const_cast<char **>(argv), const_cast<char **>(envp.data()),
                           static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
                           nullptr, &pid, nullptr)) {
            return -1;
        }
        clients_.push_back(pid);
        return pid;
    }

    void end_client(pid_t pid, int signal_number) {
        kill(pid, signal_number);
        int status = 0;
        waitpid(pid, &status, 0);
        std::erase(clients_, pid);
    }

    // This run's part of the developer log (two runs may share a file).
    std::string run_log(pid_t pid) const {
        const std::string start = "started, pid " + std::to_string(pid) + "\n";
        std::error_code ignored;
        for (const auto &entry : fs::directory_iterator(user_.log_folder("dev"), ignored)) {
            const std::string text = veltra_test::read_file(entry.path());
            const size_t at = text.find(start);
            if (at != std::string::npos) {
                return text.substr(at);
            }
        }
        return "";
    }

    bool stray_ended() const {
        pollfd ended{stray_pidfd_, POLLIN, 0};
        return poll(&ended, 1, 0) > 0;
    }

    std::string app_;
    veltra_test::TestUser user_;
    veltra_test::Xvfb display_;
    veltra_test::TempDir user_tmp_;
    std::vector<pid_t> clients_;
    int stray_pidfd_ = -1;
};

TEST_F(CrashE2e, NextStartEndsTheStrayOpenVpnAndDeletesItsFiles) {
    const std::string baseline = routes();
    const int tmp_files = pelk_entries("/tmp");

    const pid_t first = start_client();
    ASSERT_GT(first, 0);
    pid_t openvpn = -1;
    ASSERT_TRUE(veltra_test::wait_for([&] { return (openvpn = openvpn_child_of(first)) > 0; }, 60s)) << run_log(first);
    // Frozen as soon as its OpenVPN runs: nothing the client does once the
    // tunnel is up (its own disconnect included) may end OpenVPN before the
    // crash. OpenVPN brings the tunnel up by itself.
    ASSERT_EQ(kill(first, SIGSTOP), 0);
    stray_pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, openvpn, 0));
    ASSERT_GE(stray_pidfd_, 0);
    const std::vector<std::string> args = arguments_of(openvpn);
    const std::string config = argument_after(args, "--config");
    const std::string credentials = argument_after(args, "--auth-user-pass");
    ASSERT_TRUE(veltra_test::wait_for([] { return routes().find(" dev tun") != std::string::npos; }, 60s)) << routes();

    // The files sit in root's own folder, readable by root alone, and the
    // run record names them.
    for (const std::string &path : {config, credentials}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(kFilesFolder));
        EXPECT_EQ(fs::path(path).filename().string().rfind("pelk", 0), 0u);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, 0u);
    }
    struct stat folder {};
    ASSERT_EQ(lstat(kFilesFolder, &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(folder.st_uid, 0u);
    const std::string record = veltra_test::read_file(std::string(kRecordsFolder) + "/files.run");
    EXPECT_NE(record.find(config + "\n"), std::string::npos) << record;
    EXPECT_NE(record.find(credentials + "\n"), std::string::npos) << record;
    EXPECT_EQ(veltra_test::read_file(credentials),
              env("VELTRA_SANDBOX_EMAIL") + "\n" + env("VELTRA_SANDBOX_PASSWORD") + "\n");

    // The crash: the window is killed; its helper ends with it, OpenVPN
    // outlives both, tunnel, files and all.
    const std::vector<int> helpers = veltra_test::children_named(first, "veltra-helper");
    ASSERT_EQ(helpers.size(), 1u);
    end_client(first, SIGKILL);
    EXPECT_TRUE(veltra_test::wait_for([&] {
        waitpid(helpers.front(), nullptr, WNOHANG);
        return !fs::exists("/proc/" + std::to_string(helpers.front()));
    })) << "the helper outlived its window";
    ASSERT_FALSE(stray_ended()) << "OpenVPN ended with its client";
    // Its leak block stays with it: nothing leaves but through the tunnel.
    EXPECT_TRUE(veltra_test::sandbox_leak_block_present());
    EXPECT_FALSE(veltra_test::sandbox_reach().ipv6);
    EXPECT_TRUE(fs::exists(credentials));
    EXPECT_NE(routes(), baseline);

    // The next start signs in but does not connect, so whatever it finds
    // afterwards is what the crash left.
    write_settings(false);
    const pid_t second = start_client();
    ASSERT_GT(second, 0);
    EXPECT_TRUE(veltra_test::wait_for([&] { return stray_ended(); }, 30s)) << run_log(second);
    EXPECT_TRUE(veltra_test::wait_for([&] { return !fs::exists(config) && !fs::exists(credentials); }, 30s))
        << run_log(second);
    EXPECT_TRUE(veltra_test::wait_for([&] { return routes() == baseline; }, 30s)) << routes();
    // The next start removed both: no block, and everything reaches inet.
    EXPECT_TRUE(veltra_test::wait_for([] { return !veltra_test::sandbox_leak_block_present(); }, 30s));
    const veltra_test::SandboxReach after = veltra_test::sandbox_reach();
    EXPECT_EQ(after, (veltra_test::SandboxReach{true, true, true})) << veltra_test::describe(after);
    EXPECT_TRUE(veltra_test::wait_for(
        [&] { return run_log(second).find("Windows controller - on login start enter\n") != std::string::npos; }, 60s))
        << run_log(second);

    // No file of the earlier connection anywhere: not in the files' folder,
    // not in /tmp, not in the user's temporary folder.
    EXPECT_EQ(pelk_entries(kFilesFolder), 0);
    EXPECT_FALSE(fs::exists(std::string(kRecordsFolder) + "/files.run"));
    EXPECT_EQ(pelk_entries("/tmp"), tmp_files);
    EXPECT_EQ(pelk_entries(user_tmp_.path()), 0);
    const std::string log = run_log(second);
    EXPECT_NE(log.find("config_generator: deleted 2 file(s) of an earlier run\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(env("VELTRA_SANDBOX_PASSWORD")), std::string::npos);
    EXPECT_EQ(routes(), baseline);

    end_client(second, SIGTERM);
}

}  // namespace
