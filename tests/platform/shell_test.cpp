#include "base/clock_internal.h"
#include "platform/shell.h"
#include "support/test_util.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

namespace {

// A private desktop: a handler registered for a made-up URI scheme and for
// plain text, recording what it was asked to open. Set up before GIO first
// reads the desktop database in this process.
class ShellTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new veltra_test::TempDir();
        const std::string apps = dir_->file("data/applications");
        g_mkdir_with_parents(apps.c_str(), 0700);
        g_mkdir_with_parents(dir_->file("config").c_str(), 0700);

        const std::string recorder = dir_->file("record");
        const std::string script = "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + dir_->file("opened") + "\n";
        g_file_set_contents(recorder.c_str(), script.c_str(), -1, nullptr);
        chmod(recorder.c_str(), 0755);

        const std::string desktop = "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder +
                                    " %u\nMimeType=x-scheme-handler/veltra-test;text/plain;text/x-log;\n";
        g_file_set_contents((apps + "/recorder.desktop").c_str(), desktop.c_str(), -1, nullptr);
        const std::string defaults =
            "[Default Applications]\nx-scheme-handler/veltra-test=recorder.desktop\n"
            "text/plain=recorder.desktop\ntext/x-log=recorder.desktop\n";
        g_file_set_contents(dir_->file("config/mimeapps.list").c_str(), defaults.c_str(), -1, nullptr);

        g_setenv("XDG_DATA_HOME", dir_->file("data").c_str(), TRUE);
        // The system's MIME database stays visible: it types a ".log" file.
        g_setenv("XDG_DATA_DIRS", "/usr/share", TRUE);
        g_setenv("XDG_CONFIG_HOME", dir_->file("config").c_str(), TRUE);
        g_setenv("XDG_CONFIG_DIRS", dir_->file("none").c_str(), TRUE);
        g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static std::string opened() { return veltra_test::read_file(dir_->file("opened")); }

    static veltra_test::TempDir *dir_;
};

veltra_test::TempDir *ShellTest::dir_ = nullptr;

TEST_F(ShellTest, OpenUriUsesTheDefaultHandlerAndAlwaysCountsAsHandled) {
    const char *uri = "veltra-test://pricing?a=1&b=2";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(pelk_open_uri(uri), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string("Shell execute: ") + uri + " \n");
    EXPECT_TRUE(veltra_test::wait_for([] { return opened() == "veltra-test://pricing?a=1&b=2\n"; })) << opened();

    // No handler, malformed, empty: still handled, nothing crashes.
    for (const char *bad : {"no-such-scheme-xyz://x", "::::", "", "veltra-test:"}) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(pelk_open_uri(bad), 1) << bad;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string("Shell execute: ") + bad + " \n");
    }
}

TEST_F(ShellTest, TextFileOpensWithItsDefaultHandler) {
    const std::string log = dir_->file("a log with spaces.log");
    g_file_set_contents(log.c_str(), "Initialization Sequence Completed\n", -1, nullptr);
    ::testing::internal::CaptureStdout();
    pelk_shell_open_text_file(log.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Shell execute: " + log + " \n");
    g_autofree char *uri = g_filename_to_uri(log.c_str(), nullptr, nullptr);
    // The handler may be given the URI or, for a local file, the path.
    EXPECT_TRUE(veltra_test::wait_for([&] {
        const std::string seen = opened();
        return seen.find(std::string(uri) + "\n") != std::string::npos || seen.find(log + "\n") != std::string::npos;
    })) << opened();
}

TEST_F(ShellTest, ExecuteWithParametersRunsTheProgramWithoutAShell) {
    const std::string marker = dir_->file("ran");
    const std::string parameters = "-c 'echo \"$0\" > " + marker + "' 'one; touch " + dir_->file("injected") + "'";
    ::testing::internal::CaptureStdout();
    pelk_shell_execute("/bin/sh", parameters.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Shell execute: /bin/sh " + parameters + " \n");
    EXPECT_TRUE(veltra_test::wait_for([&] { return !veltra_test::read_file(marker).empty(); }));
    EXPECT_EQ(veltra_test::read_file(marker), "one; touch " + dir_->file("injected") + "\n");
    EXPECT_FALSE(g_file_test(dir_->file("injected").c_str(), G_FILE_TEST_EXISTS));

    // Unparsable parameters and missing programs only print the trace line.
    ::testing::internal::CaptureStdout();
    pelk_shell_execute("/no/such/program", "'unterminated");
    pelk_shell_execute("/no/such/program", "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Shell execute: /no/such/program 'unterminated \nShell execute: /no/such/program  \n");
}

pelk_system_time at_second(int second) { return {2026, 12, 7, 23, 59, second}; }
pelk_system_time at_59() { return at_second(59); }
pelk_system_time at_0() { return at_second(0); }

TEST(Clock, SecondsComeFromTheUtcReading) {
    pelk_platform_specific_set_clock_source(at_59);
    EXPECT_EQ(pelk_platform_specific_get_system_time_seconds(), 59);
    pelk_platform_specific_set_clock_source(at_0);
    EXPECT_EQ(pelk_platform_specific_get_system_time_seconds(), 0);
    pelk_platform_specific_set_clock_source(nullptr);

    g_autoptr(GDateTime) before = g_date_time_new_now_utc();
    const pelk_system_time now = pelk_platform_specific_get_system_time();
    g_autoptr(GDateTime) after = g_date_time_new_now_utc();
    // UTC, not local time: the reading lies between two UTC readings.
    g_autoptr(GDateTime) reading = g_date_time_new_utc(now.year, now.month, now.day, now.hour, now.minute, now.second);
    EXPECT_LE(g_date_time_to_unix(before), g_date_time_to_unix(reading));
    EXPECT_LE(g_date_time_to_unix(reading), g_date_time_to_unix(after));
}

}  // namespace
