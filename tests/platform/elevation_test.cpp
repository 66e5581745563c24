#include "platform/elevation.h"
#include "platform/elevation_internal.h"
#include "support/test_util.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

TEST(ElevationDecision, HandsOverOnlyFromAKnownNonHighIdentity) {
    struct Case {
        int current;
        int linked;
        int expected;
    };
    const Case cases[] = {
        {1, 1, 0},  {1, 0, 0},  {1, -1, 0},   // already elevated
        {-1, 1, 0}, {-1, 0, 0}, {-1, -1, 0},  // no integrity levels: start normally
        {0, 1, 1},                            // filtered administrator
        {0, -1, 1},                           // no linked identity (always so on Linux)
        {0, 0, 0},                            // linked identity no better than this one
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pelk_shell_elevation_decide(c.current, c.linked), c.expected) << c.current << "," << c.linked;
    }
}

TEST(Integrity, ReadsTheEffectiveUserOfAStatusFile) {
    veltra_test::TempDir dir;
    struct Case {
        const char *content;
        int expected;
    };
    const Case cases[] = {
        {"Name:\tveltra\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n", 1},
        {"Uid:\t1000\t1000\t1000\t1000\n", 0},
        {"Uid:\t1000\t0\t1000\t1000\n", 1},  // set-uid root counts as high
        {"Uid:\t0\t1000\t0\t0\n", 0},        // dropped privileges are not high
        {"Uid:\t65534\t65534\t65534\t65534", 0},
        {"Name:\tveltra\n", -1},
        {"", -1},
        {"Uid:\n", -1},
        {"Uid:\tabc\tdef\n", -1},
        {"Uid:\t0\n", -1},
        {"Uid:\t-1\t-1\t-1\t-1\n", -1},
        {"XUid:\t0\t0\t0\t0\n", -1},
        {"\x01\x02\xff garbage\n\n\n", -1},
    };
    for (const Case &c : cases) {
        const std::string path = dir.file("status");
        ASSERT_TRUE(g_file_set_contents(path.c_str(), c.content, -1, nullptr));
        EXPECT_EQ(is_high_inregrity(path.c_str()), c.expected) << c.content;
    }
    EXPECT_EQ(is_high_inregrity(dir.file("missing").c_str()), -1);
    EXPECT_EQ(is_high_inregrity(dir.path().c_str()), -1);
    EXPECT_EQ(is_high_inregrity(nullptr), -1);
    EXPECT_EQ(is_high_inregrity("/proc/self/status"), geteuid() == 0 ? 1 : 0);
}

TEST(Elevation, NeedFollowsTheProcessAndTheOptOut) {
    struct Case {
        const char *value;  // nullptr: unset
        bool skip;
    };
    const Case cases[] = {{nullptr, false}, {"1", true}, {"0", false}, {"", false}, {"yes", false}, {"11", false}};
    for (const Case &c : cases) {
        if (c.value == nullptr) {
            g_unsetenv("VELTRA_NO_ELEVATION");
        } else {
            g_setenv("VELTRA_NO_ELEVATION", c.value, TRUE);
        }
        const int expected = c.skip ? 0 : (geteuid() == 0 ? 0 : 1);
        EXPECT_EQ(pelk_shell_is_need_elevation(), expected) << (c.value ? c.value : "(unset)");
    }
    g_unsetenv("VELTRA_NO_ELEVATION");
}

TEST(Elevation, HandOverCommandIsTheLauncherAndTheProgramOnly) {
    // Whatever this session holds, none of it reaches the elevated instance.
    g_setenv("DISPLAY", ":7", TRUE);
    g_setenv("XDG_CONFIG_HOME", "/home/u/.config", TRUE);
    g_setenv("TMPDIR", "/home/u/tmp", TRUE);
    g_setenv("VELTRA_SERVICE_BASE_URL", "https://127.0.0.1:1/x/", TRUE);
    const std::vector<std::string> argv = pelk_shell_elevation_argv("pkexec", "/opt/veltra/veltra");
    EXPECT_EQ(argv, (std::vector<std::string>{"pkexec", "/opt/veltra/veltra"}));
    for (const char *name : {"XDG_CONFIG_HOME", "TMPDIR", "VELTRA_SERVICE_BASE_URL"}) {
        g_unsetenv(name);
    }
}

}  // namespace
