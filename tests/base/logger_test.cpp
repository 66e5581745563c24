#include "base/clock_internal.h"
#include "base/global_variables.h"
#include "base/logger.h"
#include "base/owned_text.h"
#include "support/test_util.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::atomic<int> clock_case{0};

pelk_system_time table_time() {
    static const pelk_system_time times[] = {
        {2015, 7, 20, 8, 9, 5},
        {2000, 1, 1, 0, 0, 0},
        {2026, 12, 31, 23, 59, 59},
        {2026, 10, 10, 10, 10, 10},
    };
    return times[clock_case.load()];
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pelk_platform_specific_set_clock_source(table_time);
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("veltra").c_str());
        ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        pelk_platform_specific_set_clock_source(nullptr);
        clock_case = 0;
    }
    veltra_test::TempDir dir_;
};

TEST_F(LoggerTest, NamesCarryUtcFieldsWithoutLeadingZeros) {
    const char *expected[] = {
        "2015_7_20_8_9_5.log",
        "2000_1_1_0_0_0.log",
        "2026_12_31_23_59_59.log",
        "2026_10_10_10_10_10.log",
    };
    for (int i = 0; i < 4; ++i) {
        clock_case = i;
        EXPECT_STREQ(pelk_owned_text(pelk_logger_log_generate_name()).get(), expected[i]);
        EXPECT_EQ(std::string(pelk_owned_text(pelk_logger_log_new("/x/Logs/dev/")).get()),
                  std::string("/x/Logs/dev/") + expected[i]);
    }
}

TEST_F(LoggerTest, TextsReachFileAndStandardOutputExactly) {
    // printf-style directives, a lone line end piece, bytes beyond ASCII:
    // all must pass through untouched and unformatted.
    const std::vector<std::string> texts = {"100% done %s %n %i\n",         "USERNAME:", "a@b.c", "\n",
                                            "\xc3\xa9t\xc3\xa9 \t tab\r\n", "%%%"};
    std::string all;
    ::testing::internal::CaptureStdout();
    for (const std::string &text : texts) {
        pelk_write_dev_log(text.c_str());
        all += text;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), all);
    EXPECT_EQ(veltra_test::read_file(pelk_global_variable_dev_log_path()), all);
}

TEST_F(LoggerTest, WriteAppendsAndCreatesButNeverFailsLoudly) {
    const std::string path = dir_.file("plain.log");
    pelk_logger_log_write(path.c_str(), "one\n");
    pelk_logger_log_write(path.c_str(), "two");
    pelk_logger_log_write(path.c_str(), "");
    EXPECT_EQ(veltra_test::read_file(path), "one\ntwo");

    // Unopenable targets drop the text; nothing may crash or be created.
    pelk_logger_log_write(dir_.file("missing/folder.log").c_str(), "lost\n");
    pelk_logger_log_write(dir_.path().c_str(), "a folder\n");
    pelk_logger_log_write("", "no path\n");
    pelk_logger_log_write(nullptr, "no path\n");
    pelk_logger_log_write(path.c_str(), nullptr);
    EXPECT_EQ(veltra_test::read_file(path), "one\ntwo");
}

TEST_F(LoggerTest, ControlBytesAreWrittenEscapedToFileAndStandardOutput) {
    struct Case {
        std::string text;
        std::string written;
    };
    const std::vector<Case> cases = {
        {"\x1b[31mred\x1b[0m\n", "\\x1b[31mred\\x1b[0m\n"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"bs\b ff\f vt\v so\x0e del\x7f one\x01 us\x1f\n",
         "bs\\x08 ff\\x0c vt\\x0b so\\x0e del\\x7f one\\x01 us\\x1f\n"},
        // Line ends and tabs are the texts' own layout.
        {"tab\tcr\r\nlf\n", "tab\tcr\r\nlf\n"},
        // Text beyond ASCII stays as it is...
        {"\xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\x92 \xc2\xa0\n",
         "\xc3\xa9t\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x94\x92 \xc2\xa0\n"},
        // ...but C1 controls are commands too, in UTF-8 and as raw bytes.
        {"csi \xc2\x9b"
         "2J \xc2\x80\n",
         "csi \\xc2\\x9b2J \\xc2\\x80\n"},
        {"raw \x9b"
         "2J\n",
         "raw \\x9b2J\n"},
        {"overlong \xc0\x9b end", "overlong \xc0\\x9b end"},
        {"latin-1 caf\xe9\n", "latin-1 caf\xe9\n"},
        // A backslash is text.
        {"100% \\x1b is text\n", "100% \\x1b is text\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written);
        const std::string before = veltra_test::read_file(pelk_global_variable_dev_log_path());
        ::testing::internal::CaptureStdout();
        pelk_write_dev_log(c.text.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.written);
        EXPECT_EQ(veltra_test::read_file(pelk_global_variable_dev_log_path()).substr(before.size()), c.written);
    }
    // OpenVPN's own output reaches its logs through the same writer.
    pelk_logger_log_write(pelk_global_variable_out_log_path(), "\x1b[2J\x1b[H AUTH_FAILED\n");
    EXPECT_EQ(veltra_test::read_file(pelk_global_variable_out_log_path()), "\\x1b[2J\\x1b[H AUTH_FAILED\n");
}

TEST_F(LoggerTest, LogFilesAreOursAloneAndNeverReachedThroughALink) {
    pelk_write_dev_log("first\n");
    struct stat info {};
    ASSERT_EQ(stat(pelk_global_variable_dev_log_path(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const char *folder : {"Logs", "Logs/dev", "Logs/out", "Logs/err"}) {
        ASSERT_EQ(lstat(dir_.file(folder).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
    }

    // Things planted at a log's name before its first write. None is
    // followed, written or replaced; the text is dropped.
    const std::string victim = dir_.file("victim");
    ASSERT_TRUE(g_file_set_contents(victim.c_str(), "root's file\n", -1, nullptr));
    const std::string out = dir_.file("Logs/out/");
    struct Plant {
        std::string name;
        std::function<void(const std::string &)> make;
    };
    std::vector<Plant> plants = {
        {"link.log", [&](const std::string &path) { fs::create_symlink(victim, path); }},
        {"dangling.log", [&](const std::string &path) { fs::create_symlink(dir_.file("made-through-link"), path); }},
        {"hardlink.log", [&](const std::string &path) { fs::create_hard_link(victim, path); }},
        {"fifo.log", [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"folder.log", [](const std::string &path) { fs::create_directory(path); }},
    };
    if (geteuid() == 0) {
        plants.push_back({"foreign.log", [](const std::string &path) {
                              ASSERT_TRUE(g_file_set_contents(path.c_str(), "theirs\n", -1, nullptr));
                              ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
                          }});
    }
    for (const Plant &plant : plants) {
        SCOPED_TRACE(plant.name);
        const std::string path = out + plant.name;
        plant.make(path);
        struct stat planted {};
        ASSERT_EQ(lstat(path.c_str(), &planted), 0);
        pelk_logger_log_write(path.c_str(), "leaked\n");
        struct stat after {};
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, planted.st_ino);
        EXPECT_EQ(after.st_size, planted.st_size);
    }
    EXPECT_EQ(veltra_test::read_file(victim), "root's file\n");
    EXPECT_FALSE(fs::exists(dir_.file("made-through-link")));

    // Two runs in one second share a name: a plain file of ours is appended to.
    const std::string shared = out + "2015_7_20_8_9_5.log";
    pelk_logger_log_write(shared.c_str(), "earlier run\n");
    pelk_logger_log_write(shared.c_str(), "this run\n");
    EXPECT_EQ(veltra_test::read_file(shared), "earlier run\nthis run\n");

    // A folder others may write to, or a link in place of the folder, is
    // not written into.
    ASSERT_EQ(chmod(out.c_str(), 0777), 0);
    pelk_logger_log_write((out + "open.log").c_str(), "leaked\n");
    EXPECT_FALSE(fs::exists(out + "open.log"));
    ASSERT_EQ(chmod(out.c_str(), 0700), 0);
    const std::string elsewhere = dir_.file("elsewhere");
    fs::create_directory(elsewhere);
    fs::create_symlink(elsewhere, dir_.file("Logs/linked"));
    pelk_logger_log_write(dir_.file("Logs/linked/x.log").c_str(), "leaked\n");
    EXPECT_FALSE(fs::exists(elsewhere + "/x.log"));
}

TEST_F(LoggerTest, ConcurrentTextsAreNeitherLostNorSplit) {
    constexpr int kThreads = 8;
    constexpr int kTexts = 300;
    ::testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kTexts; ++i) {
                // Long enough that a torn write would show inside a line.
                std::string text = "T" + std::to_string(t) + "-" + std::to_string(i) + ":" +
                                   std::string(200 + (i % 50), static_cast<char>('a' + t)) + "\n";
                pelk_write_dev_log(text.c_str());
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    const std::string printed = ::testing::internal::GetCapturedStdout();
    const std::string logged = veltra_test::read_file(pelk_global_variable_dev_log_path());
    EXPECT_EQ(printed, logged) << "standard output and file disagree on order";

    std::map<std::string, int> seen;
    std::istringstream lines(logged);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        ASSERT_NE(colon, std::string::npos) << line.substr(0, 40);
        const int t = std::stoi(line.substr(1, line.find('-') - 1));
        const int i = std::stoi(line.substr(line.find('-') + 1));
        const std::string body = line.substr(colon + 1);
        ASSERT_EQ(body, std::string(200 + (i % 50), static_cast<char>('a' + t))) << "split text";
        ++seen[line.substr(0, colon)];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kTexts));
    for (const auto &[key, count] : seen) {
        EXPECT_EQ(count, 1) << key;
    }
}

}  // namespace
