// Runs the built client as a separate process: the hand-over decision and
// the first steps of start-up are only observable from outside.
#include "support/test_user.h"
#include "support/test_util.h"
#include "support/xvfb.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ClientRun {
    std::string out;
    int exit_status = -1;
};

std::vector<char *> c_vector(std::vector<std::string> &items) {
    std::vector<char *> result;
    for (std::string &item : items) {
        result.push_back(item.data());
    }
    result.push_back(nullptr);
    return result;
}

// A folder laid out as an app folder, holding a link to the built client
// so that argument 0 names this folder.
class AppFolder {
  public:
    AppFolder() {
        // Open to everyone: the hand-over test runs the client as nobody.
        chmod(dir_.path().c_str(), 0777);
        fs::create_symlink(VELTRA_CLIENT_PATH, client());
    }
    std::string client() const { return dir_.file("veltra"); }
    std::string file(const std::string &name) const { return dir_.file(name); }
    const std::string &path() const { return dir_.path(); }

  private:
    veltra_test::TempDir dir_;
};

class StartupTest : public ::testing::Test {
  protected:
    AppFolder app_;
};

// Starts the client on a private display and waits until it has written its
// first developer-log line, i.e. it got past start-up into the main loop.
TEST_F(StartupTest, SecondStartReportsExistingFoldersAndCarriesOn) {
    veltra_test::Xvfb display;
    ASSERT_TRUE(display.ok());

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        std::vector<std::string> argv{app_.client()};
        std::vector<std::string> env{"VELTRA_NO_ELEVATION=1", "DISPLAY=" + display.display(), "PATH=/usr/bin:/bin",
                                     "HOME=" + app_.path(), "XDG_CONFIG_HOME=" + app_.file("config")};
        GPid pid = 0;
        int out_fd = -1;
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(g_spawn_async_with_pipes(app_.path().c_str(), c_vector(argv).data(), c_vector(env).data(),
                                             G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, nullptr, &out_fd,
                                             nullptr, &error))
            << error->message;

        auto dev_log = [&]() -> std::string {
            if (!fs::is_directory(app_.file("Logs/dev"))) {
                return "";
            }
            for (const auto &entry : fs::directory_iterator(app_.file("Logs/dev"))) {
                std::string text = veltra_test::read_file(entry.path());
                if (text.find("pid " + std::to_string(pid) + "\n") != std::string::npos) {
                    return text;
                }
            }
            return "";
        };
        EXPECT_TRUE(veltra_test::wait_for([&] { return !dev_log().empty(); }));
        // Still running: it sits in the main loop until told to quit.
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);

        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
        std::string out;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(out_fd, buffer, sizeof buffer)) > 0) {
            out.append(buffer, static_cast<size_t>(n));
        }
        close(out_fd);

        for (const char *folder : {"Logs/", "Logs/err/", "Logs/out/", "Logs/dev/"}) {
            const std::string line = "mkdir error: 17. Path: " + app_.file(folder) + "\n";
            EXPECT_EQ(out.find(line) != std::string::npos, start == 1) << out;
        }
    }
}

// The hand-over is taken by any non-root user: the client is run as nobody.
// pkexec is called by its absolute path, so the stand-in that records how it
// was called is bind-mounted over /usr/bin/pkexec in a mount namespace of the
// client's own; a decoy named pkexec early in PATH must never run.
class HandOverTest : public StartupTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0 || !fs::exists("/usr/bin/pkexec")) {
            GTEST_SKIP() << "needs root (a mount namespace) and /usr/bin/pkexec";
        }
        for (const char *folder : {"bin", "stand-in"}) {
            fs::create_directory(app_.file(folder));
            chmod(app_.file(folder).c_str(), 0777);
        }
        script("bin/pkexec", "decoy.args", 0);
    }

    void script(const std::string &path, const std::string &record, int exit_code) {
        const std::string text =
            "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + app_.file(record) + "\nexit " + std::to_string(exit_code) + "\n";
        ASSERT_TRUE(g_file_set_contents(app_.file(path).c_str(), text.c_str(), -1, nullptr));
        chmod(app_.file(path).c_str(), 0755);
    }

    // pkexec_stand_in: what appears at /usr/bin/pkexec ("/dev/null": no
    // program that can run).
    ClientRun run_client(const std::string &pkexec_stand_in, const std::vector<std::string> &extra_env) {
        std::vector<std::string> argv{"unshare",
                                      "--mount",
                                      "--propagation",
                                      "private",
                                      "--",
                                      "/bin/sh",
                                      "-c",
                                      "mount --bind \"$0\" /usr/bin/pkexec && exec \"$@\"",
                                      pkexec_stand_in,
                                      "setpriv",
                                      "--reuid=nobody",
                                      "--regid=nogroup",
                                      "--clear-groups",
                                      "--",
                                      app_.client(),
                                      "--an-argument-not-passed-on"};
        std::vector<std::string> env{"PATH=" + app_.file("bin") + ":/usr/sbin:/usr/bin:/sbin:/bin",
                                     "HOME=" + app_.path(), "DISPLAY=:42"};
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        ClientRun run;
        g_autofree char *out = nullptr;
        g_autoptr(GError) error = nullptr;
        int wait_status = 0;
        EXPECT_TRUE(g_spawn_sync(app_.path().c_str(), c_vector(argv).data(), c_vector(env).data(),
                                 G_SPAWN_SEARCH_PATH_FROM_ENVP, nullptr, nullptr, &out, nullptr, &wait_status, &error));
        run.out = out != nullptr ? out : "";
        run.exit_status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        return run;
    }
};

TEST_F(HandOverTest, NonRootInstanceHandsOverAndCreatesNothing) {
    struct Case {
        const char *name;
        int pkexec_exit;  // 126: the user dismissed the prompt
        bool pkexec_present;
    };
    const Case cases[] = {{"accepted", 0, true}, {"declined", 126, true}, {"no pkexec", 0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(app_.file("pkexec.args"));
        script("stand-in/pkexec", "pkexec.args", c.pkexec_exit);
        const ClientRun run = run_client(c.pkexec_present ? app_.file("stand-in/pkexec") : "/dev/null", {});
        EXPECT_EQ(run.exit_status, 0);
        ASSERT_GE(run.out.size(), 5u);
        EXPECT_EQ(run.out.substr(run.out.size() - 5), "resss");
        EXPECT_FALSE(fs::exists(app_.file("Logs")));
        EXPECT_FALSE(fs::exists(app_.file("decoy.args"))) << "pkexec was looked up in PATH";

        if (!c.pkexec_present) {
            continue;
        }
        // The launcher gets the program and nothing else: no variable of
        // this session, no argument of this instance.
        const std::string args = veltra_test::read_file(app_.file("pkexec.args"));
        const std::string real_client = fs::canonical(VELTRA_CLIENT_PATH).string();
        EXPECT_EQ(args, real_client + "\n");
    }
}

TEST_F(HandOverTest, NoElevationVariableKeepsTheInstance) {
    script("stand-in/pkexec", "pkexec.args", 0);
    // Without a display GTK gives up at once; what matters is that the
    // instance tried to start itself instead of handing over.
    const ClientRun run = run_client(app_.file("stand-in/pkexec"), {"VELTRA_NO_ELEVATION=1", "DISPLAY="});
    EXPECT_FALSE(fs::exists(app_.file("pkexec.args")));
    EXPECT_EQ(run.out.find("resss"), std::string::npos) << run.out;
}

// What pkexec starts: root, with PKEXEC_UID naming the user who asked. The
// environment below is the worst a user's session could leave behind; the
// instance must take only the display from it and the user from the
// password database.
class ElevatedInstanceTest : public StartupTest {
  protected:
    void SetUp() override {
        if (!user_.ok()) {
            GTEST_SKIP() << "needs root to make a user";
        }
        // pkexec's and sudo's callers wait for the instance: the user runs.
        ASSERT_TRUE(user_.keep_running());
    }

    GPid start(const std::string &pkexec_uid, const std::string &display, int *err_fd) {
        std::vector<std::string> argv{app_.client()};
        std::vector<std::string> env{"PKEXEC_UID=" + pkexec_uid,
                                     "DISPLAY=" + display,
                                     "PATH=/usr/bin:/bin",
                                     "HOME=/root",
                                     "VELTRA_SERVICE_BASE_URL=https://127.0.0.1:9/evil/",
                                     "VELTRA_CA_FILE=/nonexistent/ca.pem",
                                     "XDG_CONFIG_HOME=" + app_.file("attacker-config"),
                                     "TMPDIR=" + user_.home(),
                                     "GTK_MODULES=/nonexistent/evil.so"};
        GPid pid = 0;
        g_spawn_async_with_pipes(app_.path().c_str(), c_vector(argv).data(), c_vector(env).data(),
                                 static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
                                 nullptr, nullptr, &pid, nullptr, nullptr, err_fd, nullptr);
        return pid;
    }

    veltra_test::TestUser user_;
};

TEST_F(ElevatedInstanceTest, OnlyARunningUserIsServed) {
    // A uid no account has.
    uid_t nobody_known = 60000;
    while (getpwuid(nobody_known) != nullptr) {
        ++nobody_known;
    }
    const std::string unused = std::to_string(nobody_known);
    for (const std::string &asked_by : {std::string("0"), std::string(""), std::string("abc"), std::string("-5"),
                                        std::string("4294967296"), std::string(" 1000"), unused}) {
        SCOPED_TRACE("PKEXEC_UID=" + asked_by);
        int err_fd = -1;
        const GPid pid = start(asked_by, ":0", &err_fd);
        ASSERT_GT(pid, 0);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        char buffer[512] = {};
        const ssize_t n = read(err_fd, buffer, sizeof buffer - 1);
        close(err_fd);
        EXPECT_NE(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0).find("refusing"), std::string::npos);
        EXPECT_FALSE(fs::exists(app_.file("Logs")));
    }
}

TEST_F(ElevatedInstanceTest, TakesTheDisplayAndTheUsersSettingsAndNothingElse) {
    ASSERT_TRUE(user_.write(".config/Veltra/settings.ini", "[Veltra]\nusername=bob@example.com\npassword=pw\n", 0600));
    fs::create_directories(app_.file("attacker-config/Veltra"));
    g_file_set_contents(app_.file("attacker-config/Veltra/settings.ini").c_str(),
                        "[Veltra]\nusername=attacker@example.com\npassword=x\n", -1, nullptr);
    veltra_test::Xvfb display;
    ASSERT_TRUE(display.ok());
    const GPid pid = start(std::to_string(user_.uid()), display.display(), nullptr);
    ASSERT_GT(pid, 0);

    // With the user's stored login it signs in at once, against the
    // compiled service: the variables of the session count for nothing.
    std::string log;
    const bool signed_in = veltra_test::wait_for([&] {
        if (!fs::is_directory(app_.file("Logs/dev"))) {
            return false;
        }
        for (const auto &entry : fs::directory_iterator(app_.file("Logs/dev"))) {
            log = veltra_test::read_file(entry.path());
        }
        return log.find("authentication") != std::string::npos || log.find("bob@example.com") != std::string::npos;
    });
    g_autofree char *cwd = g_file_read_link(("/proc/" + std::to_string(pid) + "/cwd").c_str(), nullptr);
    // The window is the user's, with no way back to root.
    const std::string proc_status = veltra_test::read_file("/proc/" + std::to_string(pid) + "/status");
    const std::string uid = std::to_string(user_.uid());
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);

    EXPECT_TRUE(signed_in) << log;
    EXPECT_NE(log.find("bob@example.com"), std::string::npos) << log;
    EXPECT_NE(log.find("https://" VELTRA_SERVICE_HOST ":8443/"), std::string::npos) << log;
    EXPECT_EQ(log.find("attacker"), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.0.1:9"), std::string::npos) << log;
    EXPECT_STREQ(cwd, fs::canonical(app_.path()).c_str()) << "flags/ resolves in the app folder";
    EXPECT_NE(proc_status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"), std::string::npos)
        << proc_status;
    EXPECT_NE(proc_status.find("\nCapEff:\t0000000000000000\n"), std::string::npos) << proc_status;
    // The session's temporary folder received nothing from root.
    for (const auto &entry : fs::directory_iterator(user_.home())) {
        EXPECT_EQ(entry.path().filename().string().rfind("pelk", 0), std::string::npos) << entry.path();
    }
}

}  // namespace
