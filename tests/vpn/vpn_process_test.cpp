#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/test_util.h"
#include "vpn/config_generator_internal.h"
#include "vpn/helper_protocol.h"
#include "vpn/openvpn_manager.h"
#include "vpn/vpn_process.h"
#include "vpn/vpn_process_internal.h"
#include "vpn/vpn_worker_threads.h"

#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

int open_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

bool process_exists(pid_t pid) { return pid > 0 && fs::exists("/proc/" + std::to_string(pid)); }

std::string read_everything(const pelk_vpn_pipe_ref &pipe, std::vector<size_t> *pieces = nullptr) {
    std::string all;
    while (char *piece = pelk_vpn_subprocess_internal_read(pipe)) {
        if (pieces != nullptr) {
            pieces->push_back(strlen(piece));
        }
        all += piece;
        free(piece);
    }
    return all;
}

// An app folder whose OpenVPN program is the scripted stand-in, served by
// the real root helper with its files in the test's own folder.
class VpnProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.file("openvpn"));
        fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("openvpn/pelk.openvpn.exe"));
        g_file_set_contents(dir_.file("openvpn/ca.crt").c_str(), "not a real CA\n", -1, nullptr);
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("veltra").c_str());
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(veltra_test::start_helper({"VELTRA_FILES_DIR=" + dir_.file("run")}));
    }
    void TearDown() override { pelk_vpn_subprocess_free(); }

    // The steps of the next stand-in the helper starts.
    void script(const std::string &steps) {
        ASSERT_TRUE(g_file_set_contents(dir_.file("openvpn/fake-openvpn.script").c_str(), steps.c_str(), -1, nullptr));
    }

    // Starts the stand-in through the helper, and notes the two files it
    // was given (the run record names the credentials first).
    void start_child() {
        pelk_helper_request start;
        start.kind = PELK_HELPER_START;
        start.connection = ++connection_;
        start.user_name = "alice@example.com";
        start.password = "correct horse";
        start.server_address = "198.18.1.1";
        start.ports = {1194};
        pelk_vpn_subprocess_new(start);
        const std::string record = veltra_test::read_file(dir_.file("run/") + config_generator_run_record_name);
        const size_t first = record.find('\n');
        credentials_ = record.substr(0, first);
        config_ = first == std::string::npos ? "" : record.substr(first + 1, record.find('\n', first + 1) - first - 1);
    }

    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }

    veltra_test::TempDir dir_;
    unsigned int connection_ = 0;
    std::string config_;
    std::string credentials_;
};

TEST_F(VpnProcessTest, ChildOutputArrivesInPiecesOfAtMost4096Bytes) {
    script("out Initialization Sequence Completed\\n\nerr a warning\\n\nfill 10000 x\nexit 0\n");
    start_child();
    const pelk_vpn_pipe_ref out = pelk_vpn_subprocess_out_pipe();
    const pelk_vpn_pipe_ref err = pelk_vpn_subprocess_err_pipe();
    ASSERT_TRUE(out);

    std::vector<size_t> pieces;
    const std::string all = read_everything(out, &pieces);
    EXPECT_EQ(all, "Initialization Sequence Completed\n" + std::string(10000, 'x'));
    EXPECT_GE(pieces.size(), 3u);
    for (size_t size : pieces) {
        EXPECT_LE(size, 4096u);
    }
    EXPECT_EQ(read_everything(err), "a warning\n");

    // The helper's trace lands in this process's log, in order.
    const std::string log = dev_log();
    EXPECT_NE(log.find("Creating subprocess\nvpn_subprocess_free\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Created subprocess: 1 \n"), std::string::npos) << log;
}

TEST_F(VpnProcessTest, LivenessFollowsTheChildAndFreeReapsAndDeletesItsFiles) {
    script("out up\\n\nwait\n");
    start_child();
    const pid_t pid = pelk_vpn_subprocess_pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 1);
    EXPECT_TRUE(fs::exists(config_));
    EXPECT_TRUE(fs::exists(credentials_));

    pelk_vpn_subprocess_free();
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    EXPECT_FALSE(process_exists(pid)) << "not reaped";
    EXPECT_FALSE(fs::exists(config_));
    EXPECT_FALSE(fs::exists(credentials_));
    EXPECT_EQ(pelk_vpn_subprocess_read_out(), nullptr);
    EXPECT_NE(dev_log().find("vpn_subprocess_free: Terminate\n"), std::string::npos);
}

TEST_F(VpnProcessTest, AChildThatExitsIsReportedDeadAndNotSignalledLater) {
    script("out bye\\n\nexit 3\n");
    start_child();
    const pid_t pid = pelk_vpn_subprocess_pid();
    ASSERT_TRUE(veltra_test::wait_for([] { return pelk_vpn_subprocess_is_alive() == 0; }));
    // Reaped at once: the id can no longer name our child.
    EXPECT_FALSE(process_exists(pid));
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    // The record stays until freed, so its files are still there...
    EXPECT_TRUE(fs::exists(config_));
    pelk_vpn_subprocess_free();
    // ...and go with it.
    EXPECT_FALSE(fs::exists(config_));
    EXPECT_FALSE(fs::exists(credentials_));
}

TEST_F(VpnProcessTest, AChildIgnoringTerminationIsStillEndedAndReaped) {
    script("ignore-term\nout ready\\n\nwait\n");
    start_child();
    const pid_t pid = pelk_vpn_subprocess_pid();
    // Only once it printed is SIGTERM known to be ignored.
    char *ready = pelk_vpn_subprocess_read_out();
    ASSERT_NE(ready, nullptr);
    free(ready);
    const auto begin = std::chrono::steady_clock::now();
    pelk_vpn_subprocess_free();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_FALSE(process_exists(pid));
    EXPECT_GE(took, std::chrono::seconds(3)) << "SIGKILL came before the grace time";
}

TEST_F(VpnProcessTest, AReaderOfAnEndedChildNeverSeesTheNextChild) {
    script("out first\\n\nwait\n");
    start_child();
    const pelk_vpn_pipe_ref old_out = pelk_vpn_subprocess_out_pipe();
    char *first = pelk_vpn_subprocess_internal_read(old_out);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "first\n");
    free(first);

    script("out second\\n\nwait\n");
    start_child();  // ends the first child
    EXPECT_EQ(read_everything(old_out), "");
    char *second = pelk_vpn_subprocess_read_out();
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second, "second\n");
    free(second);
}

// A reader stopped because its child is going away still logs what the
// child writes last: that is usually why it went.
TEST_F(VpnProcessTest, AStoppedReaderStillLogsTheChildsLastWords) {
    script("out connecting\\n\nsleep 1000\nout AUTH_FAILED\\n\nexit 1\n");
    ::testing::internal::CaptureStdout();
    start_child();
    ASSERT_EQ(vpn_std_out_thread_start(), 0);
    const std::string log_path = pelk_global_variable_out_log_path();
    EXPECT_TRUE(veltra_test::wait_for([&] { return veltra_test::read_file(log_path) == "connecting\n"; }));
    vpn_std_out_thread_exit();
    EXPECT_TRUE(veltra_test::wait_for([&] { return veltra_test::read_file(log_path) == "connecting\nAUTH_FAILED\n"; }))
        << veltra_test::read_file(log_path);
    ::testing::internal::GetCapturedStdout();
}

TEST_F(VpnProcessTest, AMissingProgramIsAFailedStartWithoutChild) {
    const int descriptors = open_descriptors();
    fs::remove(dir_.file("openvpn/pelk.openvpn.exe"));
    start_child();
    EXPECT_NE(dev_log().find("PELK_VPN_MANAGER: CreateProcess failed(2) \n"), std::string::npos) << dev_log();
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    EXPECT_EQ(pelk_vpn_subprocess_read_out(), nullptr);
    EXPECT_EQ(pelk_vpn_subprocess_read_err(), nullptr);
    EXPECT_EQ(veltra_test::count_entries(dir_.file("run"), "pelk"), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(VpnProcessTest, ManagerStartsOpenVpnOnFreshFilesAndStopRemovesThem) {
    const std::string record = dir_.file("args");
    script("record " + record + "\nout Initialization Sequence Completed\\n\nwait\n");
    const int descriptors = open_descriptors();
    const int32_t ports[] = {1194, 1195};
    openvpn_manager_start("alice@example.com", "correct horse", "198.18.1.1", ports, 2);
    char *piece = pelk_vpn_subprocess_read_out();
    ASSERT_NE(piece, nullptr);
    free(piece);

    std::vector<std::string> args;
    {
        const std::string text = veltra_test::read_file(record);
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            args.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[0], dir_.file("openvpn/pelk.openvpn.exe"));
    EXPECT_EQ(args[1], "--config");
    EXPECT_EQ(args[3], "--ca");
    EXPECT_EQ(args[4], dir_.file("openvpn/ca.crt"));
    EXPECT_EQ(args[5], "--auth-user-pass");
    EXPECT_EQ(veltra_test::read_file(args[6]), "alice@example.com\ncorrect horse\n");
    EXPECT_NE(veltra_test::read_file(args[2]).find("remote 198.18.1.1 1194\nremote 198.18.1.1 1195\n"),
              std::string::npos);
    // Both files live in the private folder, and the run record names them
    // for as long as the child may read them.
    const std::string run_record = dir_.file("run/") + config_generator_run_record_name;
    for (const std::string &path : {args[2], args[6]}) {
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir_.file("run")));
        EXPECT_NE(veltra_test::read_file(run_record).find(path + "\n"), std::string::npos) << path;
    }

    openvpn_manager_stop();
    EXPECT_FALSE(fs::exists(args[2]));
    EXPECT_FALSE(fs::exists(args[6]));
    EXPECT_FALSE(fs::exists(run_record));
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(dev_log().find("correct horse"), std::string::npos);

    // A password OpenVPN could not be given, or a server address outside
    // the allow-list, is never even asked for: a failed start that leaves
    // no file behind.
    openvpn_manager_start("alice@example.com", "two\nlines", "198.18.1.1", ports, 2);
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    openvpn_manager_start("alice@example.com", "correct horse", "198.18.1.1\nup /bin/sh", ports, 2);
    EXPECT_EQ(pelk_vpn_subprocess_is_alive(), 0);
    EXPECT_EQ(veltra_test::count_occurrences(dev_log(), "helper: a request with unsound fields, not sent\n"), 2);
    EXPECT_EQ(veltra_test::count_entries(dir_.file("run"), "pelk"), 0);
    EXPECT_FALSE(fs::exists(run_record));
}

// Processes started by the test under a given name, as an earlier run of the
// client would have left them. wrapper goes in front (e.g. setpriv).
pid_t spawn_named(const std::string &path, const std::vector<std::string> &args = {},
                  const std::vector<std::string> &wrapper = {}) {
    std::vector<const char *> argv;
    for (const std::string &word : wrapper) {
        argv.push_back(word.c_str());
    }
    argv.push_back(path.c_str());
    for (const std::string &word : args) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    GPid pid = 0;
    g_spawn_async(nullptr, const_cast<char **>(argv.data()), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid,
                  nullptr);
    return pid;
}

// Whether pid already runs the program whose argument 0 is path.
bool runs(pid_t pid, const std::string &path) {
    return veltra_test::read_file("/proc/" + std::to_string(pid) + "/cmdline").rfind(path + '\0', 0) == 0;
}

bool ended(pid_t pid) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    // Either reaped by the kill or waiting for us to reap it.
    return done == pid || (done < 0 && errno == ECHILD);
}

void end_and_reap(pid_t pid) {
    int status = 0;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

TEST_F(VpnProcessTest, StrayProcessesAreKilledByExactName) {
    fs::create_directories(dir_.file("stray"));
    fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("stray/pelk.openvpn.exe"));
    fs::copy_file(VELTRA_FAKE_OPENVPN, dir_.file("stray/copy"));
    fs::create_directories(dir_.file("copy"));
    fs::copy_file(VELTRA_FAKE_OPENVPN, dir_.file("copy/pelk.openvpn.exe"));
    fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("stray/Pelk.OpenVPN.exe"));
    fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("stray/pelk.openvpn.exe.bak"));
    fs::create_directories(dir_.file("other"));
    fs::create_symlink("/bin/sleep", dir_.file("other/pelk.openvpn.exe"));

    struct Stray {
        std::string path;
        std::vector<std::string> args;
        bool killed;
    };
    const Stray strays[] = {
        // the app's own program under its name, named by argument 0 only
        {dir_.file("stray/pelk.openvpn.exe"), {}, true},
        {dir_.file("copy/pelk.openvpn.exe"), {}, true},    // named by its program file
        {dir_.file("stray/Pelk.OpenVPN.exe"), {}, false},  // letter case differs
        {dir_.file("stray/pelk.openvpn.exe.bak"), {}, false},
        {dir_.file("stray/copy"), {}, false},
        // another program that only calls itself so in argument 0
        {dir_.file("other/pelk.openvpn.exe"), {"1000"}, false},
    };
    std::vector<pid_t> pids;
    for (const Stray &stray : strays) {
        pids.push_back(spawn_named(stray.path, stray.args));
        ASSERT_GT(pids.back(), 0);
    }
    // Each must have exec'd, so /proc shows its final name.
    ASSERT_TRUE(veltra_test::wait_for([&] {
        for (size_t i = 0; i < pids.size(); ++i) {
            if (!runs(pids[i], strays[i].path)) {
                return false;
            }
        }
        return true;
    }));

    // Only the program's own name may be asked for.
    killProcessByName("sleep");
    pelk_vpn_subprocess_free();  // no child on record: kill by name

    for (size_t i = 0; i < pids.size(); ++i) {
        SCOPED_TRACE(strays[i].path);
        if (strays[i].killed) {
            EXPECT_TRUE(ended(pids[i]));
        } else {
            int status = 0;
            EXPECT_EQ(waitpid(pids[i], &status, WNOHANG), 0) << "a process of another name was ended";
            end_and_reap(pids[i]);
        }
    }
}

TEST_F(VpnProcessTest, KillByNameLeavesOtherUsersProcessesAlone) {
    if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root and setpriv to run a process as another user";
    }
    // A folder every user can enter, with a copy of sleep under the name.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const std::string named = dir_.file("shared/pelk.openvpn.exe");
    fs::create_directories(dir_.file("shared"));
    fs::copy_file("/bin/sleep", named);
    ASSERT_EQ(chmod(dir_.file("shared").c_str(), 0755), 0);
    ASSERT_EQ(chmod(named.c_str(), 0755), 0);

    // Another user's, and ones whose real and effective users differ.
    std::vector<pid_t> theirs;
    const std::vector<std::vector<std::string>> identities = {
        {"--reuid=65534", "--regid=65534", "--clear-groups"}, {"--ruid=65534"}, {"--euid=65534"}};
    for (std::vector<std::string> prefix : identities) {
        prefix.insert(prefix.begin(), "/usr/bin/setpriv");
        prefix.push_back("--");
        theirs.push_back(spawn_named(named, {"1000"}, prefix));
        ASSERT_GT(theirs.back(), 0);
    }
    const pid_t ours = spawn_named(named, {"1000"});
    ASSERT_GT(ours, 0);
    ASSERT_TRUE(veltra_test::wait_for([&] {
        return runs(theirs[0], named) && runs(theirs[1], named) && runs(theirs[2], named) && runs(ours, named);
    }));

    killProcessByName("pelk.openvpn.exe");

    EXPECT_TRUE(ended(ours));
    for (const pid_t pid : theirs) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "another user's process was ended";
        end_and_reap(pid);
    }
}

TEST_F(VpnProcessTest, AStrayLeftAZombieByItsParentDoesNotHoldUpTheKill) {
    // The stray's parent never reaps it: once ended, it stays a zombie that
    // still answers kill(pid, 0) and can never be waited for by us.
    const std::string named = dir_.file("zombie/pelk.openvpn.exe");
    fs::create_directories(dir_.file("zombie"));
    fs::copy_file("/bin/sleep", named);
    const pid_t parent = spawn_named("/bin/sh", {"-c", "\"$0\" 1000 & exec /bin/sleep 1000", named});
    ASSERT_GT(parent, 0);
    pid_t stray = -1;
    ASSERT_TRUE(veltra_test::wait_for([&] {
        for (const auto &entry : fs::directory_iterator("/proc")) {
            const std::string pid = entry.path().filename().string();
            if (pid.find_first_not_of("0123456789") == std::string::npos &&
                runs(static_cast<pid_t>(std::stoi(pid)), named)) {
                stray = static_cast<pid_t>(std::stoi(pid));
            }
        }
        return stray > 0 && runs(parent, "/bin/sleep");
    }));

    std::atomic<bool> done{false};
    std::thread killer([&] {
        killProcessByName("pelk.openvpn.exe");
        done = true;
    });
    // Well inside the 3 s a living stray is given before SIGKILL.
    const bool returned_early = veltra_test::wait_for([&] { return done.load(); }, std::chrono::milliseconds(2000));
    killer.join();
    EXPECT_TRUE(returned_early) << "the kill waited on a zombie";
    const std::string status = veltra_test::read_file("/proc/" + std::to_string(stray) + "/status");
    EXPECT_NE(status.find("State:\tZ"), std::string::npos) << "the stray was not ended: " << status;
    end_and_reap(parent);
}

}  // namespace
