#include "app/global_variables.h"
#include "app/logger.h"
#include "app/owned_text.h"
#include "platform/clock_internal.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

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
