#include "base/clock_internal.h"
#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;

pelk_system_time fixed_time() { return {2015, 7, 20, 8, 9, 5}; }

class GlobalVariablesTest : public ::testing::Test {
  protected:
    void SetUp() override { pelk_platform_specific_set_clock_source(fixed_time); }
    void TearDown() override {
        pelk_platform_specific_set_clock_source(nullptr);
        pelk_global_variables_init("");
    }

    // Runs init and returns what it printed on standard output.
    static std::string init_capturing(const std::string &exe) {
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(exe.c_str());
        return ::testing::internal::GetCapturedStdout();
    }

    static int count_of(const std::string &text, const std::string &what) {
        int count = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++count;
        }
        return count;
    }

    veltra_test::TempDir dir_;
};

TEST_F(GlobalVariablesTest, FirstStartCreatesFoldersSecondReportsEachExistingOne) {
    const std::string exe = dir_.file("veltra");

    const std::string first = init_capturing(exe);
    EXPECT_EQ(count_of(first, "mkdir error"), 0) << first;
    for (const char *folder : {"Logs", "Logs/dev", "Logs/out", "Logs/err"}) {
        EXPECT_TRUE(fs::is_directory(dir_.file(folder))) << folder;
    }

    struct stat info {};
    for (const char *folder : {"Logs", "Logs/dev", "Logs/out", "Logs/err"}) {
        ASSERT_EQ(lstat(dir_.file(folder).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
    }

    // A folder an older run left open to others is narrowed; a link in a
    // folder's place is left alone, and so is what it points to.
    ASSERT_EQ(chmod(dir_.file("Logs/dev").c_str(), 0755), 0);
    const std::string elsewhere = dir_.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    fs::remove(dir_.file("Logs/err"));
    fs::create_symlink(elsewhere, dir_.file("Logs/err"));

    const std::string second = init_capturing(exe);
    ASSERT_EQ(lstat(dir_.file("Logs/dev").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(elsewhere.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    // EEXIST, in creation order: root, err, out, dev.
    const std::string expected = "mkdir error: 17. Path: " + dir_.file("Logs/") + "\n" +
                                 "mkdir error: 17. Path: " + dir_.file("Logs/err/") + "\n" +
                                 "mkdir error: 17. Path: " + dir_.file("Logs/out/") + "\n" +
                                 "mkdir error: 17. Path: " + dir_.file("Logs/dev/") + "\n";
    EXPECT_EQ(second, expected);
}

TEST_F(GlobalVariablesTest, LogFilesAreNamedFromUtcClockWithoutLeadingZeros) {
    init_capturing(dir_.file("veltra"));
    EXPECT_EQ(std::string(pelk_global_variable_dev_log_path()), dir_.file("Logs/dev/2015_7_20_8_9_5.log"));
    EXPECT_EQ(std::string(pelk_global_variable_out_log_path()), dir_.file("Logs/out/2015_7_20_8_9_5.log"));
    EXPECT_EQ(std::string(pelk_global_variable_err_log_path()), dir_.file("Logs/err/2015_7_20_8_9_5.log"));
    // Named, not created: the first write creates a log file.
    EXPECT_FALSE(fs::exists(pelk_global_variable_dev_log_path()));
}

TEST_F(GlobalVariablesTest, FolderAndOpenVpnPathsFollowTheProgramPathSeparator) {
    struct Case {
        std::string exe;      // relative to the temporary folder
        std::string dir;      // expected application folder, relative
        std::string openvpn;  // expected program path, relative
        std::string cert;
        char separator;
    };
    const Case cases[] = {
        {"/veltra", "/", "/openvpn/pelk.openvpn.exe", "/openvpn/ca.crt", '/'},
        {"/a b/veltra", "/a b/", "/a b/openvpn/pelk.openvpn.exe", "/a b/openvpn/ca.crt", '/'},
        // The last separator wins, whichever kind it is.
        {"/D:\\Apps\\Client\\client.exe", "/D:\\Apps\\Client\\", "/D:\\Apps\\Client\\openvpn\\pelk.openvpn.exe",
         "/D:\\Apps\\Client\\openvpn\\ca.crt", '\\'},
        {"/trailing/", "/trailing/", "/trailing/openvpn/pelk.openvpn.exe", "/trailing/openvpn/ca.crt", '/'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.exe);
        init_capturing(dir_.path() + c.exe);
        EXPECT_EQ(std::string(pelk_global_variable_exe_path()), dir_.path() + c.exe);
        EXPECT_EQ(pelk_global_variable_path_separator(), c.separator);
        EXPECT_EQ(std::string(pelk_owned_text(pelk_global_variable_path_to_dir_new()).get()), dir_.path() + c.dir);
        EXPECT_EQ(std::string(pelk_owned_text(pelk_global_variable_path_to_openvpn_new()).get()),
                  dir_.path() + c.openvpn);
        EXPECT_EQ(std::string(pelk_owned_text(pelk_global_variable_path_to_openvpn_cert_new()).get()),
                  dir_.path() + c.cert);
        // Log folders are joined with '/' whatever the program path uses.
        EXPECT_EQ(std::string(pelk_global_variable_dev_log_path()),
                  dir_.path() + c.dir + "Logs/dev/2015_7_20_8_9_5.log");
    }
}

TEST_F(GlobalVariablesTest, TheInstalledClientLogsInTheStateFolderWhoeverRunsIt) {
    // The installed folder need not exist here: its path alone marks the
    // installed client, whose folder no run may write into, root's included.
    const std::string installed = VELTRA_INSTALL_DIR;
    const std::string state = dir_.file("state");
    const std::string home = dir_.file("home");
    const std::string log = "Logs/dev/2015_7_20_8_9_5.log";
    struct Case {
        std::string exe;
        const char *state;  // XDG_STATE_HOME; nullptr: unset
        const char *home;
        std::string dev_log;  // "": no logs
    };
    const Case cases[] = {
        {dir_.file("veltra"), state.c_str(), home.c_str(), dir_.file(log)},
        {installed + "/veltra", state.c_str(), home.c_str(), state + "/veltra/" + log},
        {installed + "/veltra", nullptr, home.c_str(), home + "/.local/state/veltra/" + log},
        {installed + "/veltra", "state", "home", ""},
        // A folder that merely starts like the installed one is not it.
        {installed + "-old/veltra", state.c_str(), home.c_str(), installed + "-old/" + log},
    };
    const char *saved_state = getenv("XDG_STATE_HOME");
    const char *saved_home = getenv("HOME");
    const std::string kept_state = saved_state != nullptr ? saved_state : "";
    const std::string kept_home = saved_home != nullptr ? saved_home : "";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.exe + " XDG_STATE_HOME=" + (c.state != nullptr ? c.state : "(unset)"));
        c.state != nullptr ? setenv("XDG_STATE_HOME", c.state, 1) : unsetenv("XDG_STATE_HOME");
        setenv("HOME", c.home, 1);
        const std::string printed = init_capturing(c.exe);
        EXPECT_EQ(std::string(pelk_global_variable_dev_log_path()), c.dev_log) << printed;
        if (c.dev_log.empty()) {
            EXPECT_EQ(count_of(printed, "logs disabled"), 1) << printed;
        }
    }
    saved_state != nullptr ? setenv("XDG_STATE_HOME", kept_state.c_str(), 1) : unsetenv("XDG_STATE_HOME");
    saved_home != nullptr ? setenv("HOME", kept_home.c_str(), 1) : unsetenv("HOME");
    EXPECT_FALSE(fs::exists(installed + "/Logs"));
}

TEST_F(GlobalVariablesTest, BareProgramNameTakesTheFolderOfTheRunningProgram) {
    const fs::path running = fs::read_symlink("/proc/self/exe");
    const std::string folder = running.parent_path().string() + "/";
    const bool had_logs = fs::exists(folder + "Logs");

    init_capturing("veltra");
    EXPECT_EQ(pelk_global_variable_path_separator(), '/');
    EXPECT_EQ(std::string(pelk_owned_text(pelk_global_variable_path_to_dir_new()).get()), folder);
    EXPECT_EQ(std::string(pelk_owned_text(pelk_global_variable_path_to_openvpn_new()).get()),
              folder + "openvpn/pelk.openvpn.exe");

    if (!had_logs) {
        std::error_code ignored;
        fs::remove_all(folder + "Logs", ignored);
    }
}

TEST_F(GlobalVariablesTest, FolderPathsBeyondTheBufferAreRefusedNotCut) {
    // The longest folder is "<dir>Logs/dev/" (and err/, out/): 9 bytes past
    // "<dir>Logs". 499 characters fit a 500-byte buffer, 500 do not.
    const std::string base = dir_.path() + "/";
    for (size_t dev_length : {size_t{498}, size_t{499}, size_t{500}, size_t{4000}}) {
        SCOPED_TRACE(dev_length);
        const size_t dir_length = dev_length - std::string("Logs/dev/").size();
        std::string dir = base + std::string(dir_length - base.size() - 1, 'x') + "/";
        ASSERT_EQ(dir.size(), dir_length);

        const std::string printed = init_capturing(dir + "veltra");
        if (dev_length < 500) {
            EXPECT_EQ(std::string(pelk_global_variable_dev_log_path()), dir + "Logs/dev/2015_7_20_8_9_5.log");
        } else {
            EXPECT_STREQ(pelk_global_variable_dev_log_path(), "");
            EXPECT_STREQ(pelk_global_variable_out_log_path(), "");
            EXPECT_STREQ(pelk_global_variable_err_log_path(), "");
            EXPECT_EQ(count_of(printed, "Log folder path too long"), 1) << printed;
            EXPECT_EQ(count_of(printed, "mkdir error"), 0) << printed;
        }
    }
}

}  // namespace
