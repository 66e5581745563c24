// Runs the built client as a separate process: the hand-over decision and
// the first steps of start-up are only observable from outside.
#include "support/test_util.h"
#include "support/xvfb.h"

#include <glib.h>
#include <gtest/gtest.h>
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

// The hand-over is taken by any non-root user. Under root (CI) the client is
// run as nobody; a stand-in for pkexec records how it was called.
class HandOverTest : public StartupTest {
  protected:
    void SetUp() override {
        fs::create_directory(app_.file("bin"));
        chmod(app_.file("bin").c_str(), 0777);
    }

    void fake_pkexec(int exit_code) {
        const std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + app_.file("pkexec.args") + "\nexit " +
                                   std::to_string(exit_code) + "\n";
        ASSERT_TRUE(g_file_set_contents(app_.file("bin/pkexec").c_str(), script.c_str(), -1, nullptr));
        chmod(app_.file("bin/pkexec").c_str(), 0755);
    }

    ClientRun run_client(const std::vector<std::string> &extra_env) {
        std::vector<std::string> argv;
        if (geteuid() == 0) {
            argv = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
        }
        argv.push_back(app_.client());
        argv.push_back("--an-argument-not-passed-on");
        std::vector<std::string> env{"PATH=" + app_.file("bin") + ":/usr/bin:/bin", "HOME=" + app_.path(),
                                     "DISPLAY=:42"};
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
        fs::remove(app_.file("bin/pkexec"));
        if (c.pkexec_present) {
            fake_pkexec(c.pkexec_exit);
        }
        const ClientRun run = run_client({});
        EXPECT_EQ(run.exit_status, 0);
        ASSERT_GE(run.out.size(), 5u);
        EXPECT_EQ(run.out.substr(run.out.size() - 5), "resss");
        EXPECT_FALSE(fs::exists(app_.file("Logs")));

        if (!c.pkexec_present) {
            continue;
        }
        const std::string args = veltra_test::read_file(app_.file("pkexec.args"));
        const std::string real_client = fs::canonical(VELTRA_CLIENT_PATH).string();
        EXPECT_EQ(args.rfind("env\n", 0), 0u) << args;
        EXPECT_NE(args.find("\nDISPLAY=:42\n"), std::string::npos) << args;
        // The user's own settings folder, not root's.
        EXPECT_NE(args.find("\nXDG_CONFIG_HOME=" + app_.path() + "/.config\n"), std::string::npos) << args;
        EXPECT_EQ(args.substr(args.size() - real_client.size() - 1), real_client + "\n") << args;
        EXPECT_EQ(args.find("--an-argument-not-passed-on"), std::string::npos) << args;
    }
}

TEST_F(HandOverTest, NoElevationVariableKeepsTheInstance) {
    fake_pkexec(0);
    // Without a display GTK gives up at once; what matters is that the
    // instance tried to start itself instead of handing over.
    const ClientRun run = run_client({"VELTRA_NO_ELEVATION=1", "DISPLAY="});
    EXPECT_FALSE(fs::exists(app_.file("pkexec.args")));
    EXPECT_EQ(run.out.find("resss"), std::string::npos) << run.out;
}

}  // namespace
