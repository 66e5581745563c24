// The drop from root to the user the window works for, in a child process
// of the test (a drop cannot be undone): for good, without capabilities,
// with the user's session and nothing of the caller's that is not trusted.
#include "platform/session.h"
#include "platform/session_internal.h"
#include "support/test_user.h"
#include "support/test_util.h"

#include <glib.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Runs body in a forked child with exactly environment; what it returns
// ("" for success) comes back through a pipe.
std::string in_child(const std::vector<std::string> &environment, const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "no pipe";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        clearenv();
        for (const std::string &entry : environment) {
            putenv(strdup(entry.c_str()));
        }
        const std::string failure = body();
        (void)!write(fds[1], failure.data(), failure.size());
        _exit(0);
    }
    close(fds[1]);
    std::string failure;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        failure.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return failure;
}

std::string variable(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "(unset)";
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!user_.ok()) {
            GTEST_SKIP() << "needs root to make a user";
        }
        // pkexec's and sudo's callers wait for the instance: the user runs.
        ASSERT_TRUE(user_.keep_running());
    }
    veltra_test::TestUser user_;
};

TEST_F(SessionTest, TheDropIsForGoodAndTakesTheUsersSession) {
    const std::string uid = std::to_string(user_.uid());
    struct Case {
        const char *name;
        std::string asked_by;
        std::vector<std::string> helper_environment;
        std::string modules_after;  // a direct start keeps its environment
    };
    const Case cases[] = {
        {"pkexec", "PKEXEC_UID=" + uid, {"PKEXEC_UID=" + uid}, "(unset)"},
        {"sudo", "SUDO_UID=" + uid, {"VELTRA_FILES_DIR=/tmp/files"}, "/tmp/evil.so"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string failure =
            in_child({c.asked_by, "DISPLAY=:9", "GTK_MODULES=/tmp/evil.so", "VELTRA_FILES_DIR=/tmp/files",
                      "DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/evil", "AT_SPI_BUS_ADDRESS=unixexec:path=/tmp/evil"},
                     [&]() -> std::string {
                         pelk_platform_session_internal_reset();
                         if (pelk_platform_session_init(1) != 0 || !pelk_platform_session_has_user()) {
                             return "not served";
                         }
                         if (pelk_platform_session_helper_environment() != c.helper_environment) {
                             return "the helper's environment";
                         }
                         if (pelk_platform_session_drop() != 0) {
                             return "the drop failed";
                         }
                         uid_t real = 0, effective = 0, saved = 0;
                         getresuid(&real, &effective, &saved);
                         if (real != user_.uid() || effective != user_.uid() || saved != user_.uid() ||
                             getegid() != user_.gid()) {
                             return "ids";
                         }
                         if (setuid(0) == 0 || setgid(0) == 0 || setgroups(0, nullptr) == 0) {
                             return "root came back";
                         }
                         g_autofree char *status = nullptr;
                         g_file_get_contents("/proc/self/status", &status, nullptr, nullptr);
                         for (const char *empty : {"CapPrm:\t0000000000000000", "CapEff:\t0000000000000000"}) {
                             if (status == nullptr || strstr(status, empty) == nullptr) {
                                 return std::string("a capability is left: ") + empty;
                             }
                         }
                         if (variable("HOME") != user_.home() || variable("PKEXEC_UID") != "(unset)" ||
                             variable("SUDO_UID") != "(unset)" || variable("DISPLAY") != ":9" ||
                             variable("GTK_MODULES") != c.modules_after) {
                             return "environment: HOME=" + variable("HOME") + " GTK_MODULES=" + variable("GTK_MODULES");
                         }
                         // The test user has no session bus: no accessibility bus
                         // may be taken from anywhere else.
                         pelk_platform_session_accessibility();
                         if (variable("DBUS_SESSION_BUS_ADDRESS") != "(unset)" ||
                             variable("AT_SPI_BUS_ADDRESS") != "(unset)" || variable("NO_AT_BRIDGE") != "1") {
                             return "accessibility: " + variable("AT_SPI_BUS_ADDRESS");
                         }
                         return "";
                     });
        EXPECT_EQ(failure, "");
    }
}

TEST_F(SessionTest, WhoIsServed) {
    const std::string uid = std::to_string(user_.uid());
    struct Case {
        const char *name;
        std::vector<std::string> environment;
        int argc;
        int init;
        bool has_user;
    };
    const Case cases[] = {
        {"pkexec's instance takes no argument", {"PKEXEC_UID=" + uid}, 2, 1, false},
        {"sudo's may have them (the toolkit never sees them)", {"SUDO_UID=" + uid}, 2, 0, true},
        {"root that ran sudo is root's own", {"SUDO_UID=0"}, 1, 0, false},
        {"sudo for a stranger", {"SUDO_UID=abc"}, 1, 1, false},
        {"pkexec wins over sudo", {"PKEXEC_UID=" + uid, "SUDO_UID=0"}, 1, 0, true},
        {"root's own stays root", {}, 1, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string failure = in_child(c.environment, [&]() -> std::string {
            pelk_platform_session_internal_reset();
            if (pelk_platform_session_init(c.argc) != c.init) {
                return "init";
            }
            if (c.init == 0 && pelk_platform_session_has_user() != c.has_user) {
                return "user";
            }
            // Without a user the drop changes nothing.
            if (c.init == 0 && !c.has_user && (pelk_platform_session_drop() != 0 || geteuid() != 0)) {
                return "dropped without a user";
            }
            return "";
        });
        EXPECT_EQ(failure, "");
    }
}

}  // namespace
