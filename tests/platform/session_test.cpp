// An instance working for a user, as root: whatever it does in the user's
// folders it does with the user's identity, so what the user planted there
// leads nowhere root alone could go.
#include "platform/session.h"
#include "platform/session_internal.h"
#include "platform/settings_manager.h"
#include "platform/shell.h"
#include "support/test_user.h"
#include "support/test_util.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using veltra_test::read_file;
using veltra_test::take_text;

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!user_.ok()) {
            GTEST_SKIP() << "needs root to make a user";
        }
        // A folder only root may write into, standing for /etc or /root.
        chmod(root_only_.path().c_str(), 0755);
        g_file_set_contents(root_only_.file("secret.ini").c_str(), "[Veltra]\nusername=leaked\n", -1, nullptr);
        chmod(root_only_.file("secret.ini").c_str(), 0600);
        g_setenv("XDG_CONFIG_HOME", root_only_.path().c_str(), TRUE);  // must be ignored
        pelk_platform_session_internal_act_for(user_.uid());
        ASSERT_TRUE(pelk_platform_session_is_elevated());
        ASSERT_EQ(pelk_platform_session_user_config_home(), user_.home() + "/.config");
    }
    void TearDown() override {
        pelk_platform_session_internal_reset();
        g_unsetenv("XDG_CONFIG_HOME");
    }

    std::string config(const std::string &name) const { return user_.home() + "/.config/" + name; }

    // Runs body in a child that has become the user (the racing process).
    pid_t as_user_process(const std::function<void()> &body) const {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgid(user_.gid()) != 0 || setuid(user_.uid()) != 0) {
                _exit(1);
            }
            body();
            _exit(0);
        }
        return pid;
    }

    veltra_test::TestUser user_;
    veltra_test::TempDir root_only_;
};

TEST_F(SessionTest, SettingsAreTheUsersAndPlantedLinksLeadNowhere) {
    pelk_platform_specific_settings_manager_username_set("bob@example.com");
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
    struct Owned {
        const char *path;
        mode_t mode;
    };
    for (const Owned &o : {Owned{"Veltra", 0700}, Owned{"Veltra/settings.ini", 0600}, Owned{"autostart", 0700},
                           Owned{"autostart/Veltra.desktop", 0644}}) {
        SCOPED_TRACE(o.path);
        struct stat st {};
        ASSERT_EQ(lstat(config(o.path).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, user_.uid());
        EXPECT_EQ(st.st_mode & 07777, o.mode);
    }
    EXPECT_EQ(take_text(pelk_platform_specific_settings_manager_username_get()), "bob@example.com");

    // A settings file that is a link to a file only root may read: root
    // would read it; the user cannot.
    fs::remove(config("Veltra/settings.ini"));
    fs::create_symlink(root_only_.file("secret.ini"), config("Veltra/settings.ini"));
    lchown(config("Veltra/settings.ini").c_str(), user_.uid(), user_.gid());
    char *read_back = pelk_platform_specific_settings_manager_username_get();
    EXPECT_EQ(read_back, nullptr) << read_back;
    free(read_back);

    // The settings folder and the autostart folder turned into links to a
    // folder only root may write: nothing lands there.
    for (const char *folder : {"Veltra", "autostart"}) {
        fs::remove_all(config(folder));
        fs::create_symlink(root_only_.path(), config(folder));
        lchown(config(folder).c_str(), user_.uid(), user_.gid());
    }
    pelk_platform_specific_settings_manager_password_set("planted?");
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(0);
    EXPECT_EQ(veltra_test::count_entries(root_only_.path()), 1) << "only secret.ini belongs there";
    EXPECT_EQ(read_file(root_only_.file("secret.ini")), "[Veltra]\nusername=leaked\n");
}

TEST_F(SessionTest, ARacingUserCannotSwapRootIntoItsFolder) {
    pelk_platform_specific_settings_manager_username_set("first");
    // The user's process swaps the settings folder and a link to the
    // root-only folder, atomically and as fast as it can, so that each
    // check root might make can be undone before the next step.
    const std::string folder = config("Veltra");
    const std::string link = config("Veltra.link");
    const pid_t racer = as_user_process([&] {
        symlink(root_only_.path().c_str(), link.c_str());
        for (;;) {
            syscall(SYS_renameat2, AT_FDCWD, link.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE);
        }
    });
    ASSERT_GT(racer, 0);
    for (int i = 0; i < 2000; ++i) {
        pelk_platform_specific_settings_manager_username_set(("name" + std::to_string(i)).c_str());
        free(pelk_platform_specific_settings_manager_username_get());
    }
    kill(racer, SIGKILL);
    waitpid(racer, nullptr, 0);
    EXPECT_EQ(veltra_test::count_entries(root_only_.path()), 1);
    struct stat st {};
    ASSERT_EQ(stat(root_only_.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "root changed the owner of a folder it was lured into";
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(SessionTest, PagesAndTheLogOpenAsTheUser) {
    // The user's desktop names its handlers; a stand-in records who ran it.
    const std::string record = user_.home() + "/opened";
    ASSERT_TRUE(user_.write(".local/bin/opener", "#!/bin/sh\necho \"$(id -u) $1\" >> " + record + "\n", 0755));
    ASSERT_TRUE(user_.write(".local/share/applications/opener.desktop",
                            "[Desktop Entry]\nType=Application\nName=Opener\nExec=" + user_.home() +
                                "/.local/bin/opener %u\nMimeType=x-scheme-handler/https;text/plain;\n"));
    ASSERT_TRUE(user_.write(".config/mimeapps.list",
                            "[Default Applications]\nx-scheme-handler/https=opener.desktop\n"
                            "text/plain=opener.desktop\n"));

    pelk_open_uri("https://veltra.example/pricing");
    ASSERT_TRUE(veltra_test::wait_for([&] { return !read_file(record).empty(); }));
    EXPECT_EQ(read_file(record), std::to_string(user_.uid()) + " https://veltra.example/pricing\n");

    // Root's log is handed over as a copy the user owns.
    const std::string log = root_only_.file("out.log");
    g_file_set_contents(log.c_str(), "Initialization Sequence Completed\n", -1, nullptr);
    chmod(log.c_str(), 0600);
    pelk_shell_open_text_file(log.c_str());
    ASSERT_TRUE(veltra_test::wait_for([&] { return veltra_test::count_occurrences(read_file(record), "\n") == 2; }));
    const std::string second = read_file(record).substr(read_file(record).find('\n') + 1);
    EXPECT_EQ(second.rfind(std::to_string(user_.uid()) + " ", 0), 0u) << second;
    const size_t at = second.find("/tmp/veltra-openvpn-log-");
    ASSERT_NE(at, std::string::npos) << second;
    const std::string copy = second.substr(at, second.size() - at - 1);
    struct stat st {};
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, user_.uid());
    EXPECT_EQ(read_file(copy), "Initialization Sequence Completed\n");
    fs::remove(copy);
}

}  // namespace
