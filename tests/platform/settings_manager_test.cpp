#include "platform/settings_manager.h"
#include "platform/settings_manager_internal.h"

#include "base/owned_text.h"
#include "support/test_util.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char *kQueryError = "ERROR[RegQueryValueEx]\n";
constexpr const char *kSetError = "ERROR[RegSetValueEx]\n";

std::optional<std::string> taken(char *text) {
    pelk_owned_text owned(text);
    if (!owned) {
        return std::nullopt;
    }
    return std::string(owned.get());
}

// What action wrote to the developer log (standard output when no log file
// is set up).
std::string logged(const std::function<void()> &action) {
    ::testing::internal::CaptureStdout();
    action();
    return ::testing::internal::GetCapturedStdout();
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct Item {
    const char *name;
    void (*set)(const char *);
    char *(*get)(void);
};

const Item kTextItems[] = {
    {"username", pelk_platform_specific_settings_manager_username_set,
     pelk_platform_specific_settings_manager_username_get},
    {"password", pelk_platform_specific_settings_manager_password_set,
     pelk_platform_specific_settings_manager_password_get},
    {"favorite_server", pelk_platform_Specific_settings_manager_favorite_server_set,
     pelk_platform_specific_settings_manager_favorite_server_get},
};

class SettingsManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_home_ = g_strdup(g_getenv("HOME"));
        saved_xdg_ = g_strdup(g_getenv("XDG_CONFIG_HOME"));
        g_setenv("XDG_CONFIG_HOME", config().c_str(), TRUE);
        g_setenv("HOME", dir_.file("home").c_str(), TRUE);
    }
    void TearDown() override {
        restore("HOME", saved_home_);
        restore("XDG_CONFIG_HOME", saved_xdg_);
    }
    static void restore(const char *name, char *value) {
        if (value != nullptr) {
            g_setenv(name, value, TRUE);
        } else {
            g_unsetenv(name);
        }
        g_free(value);
    }

    std::string config() const { return dir_.file("config"); }
    std::string folder() const { return config() + "/Veltra"; }
    std::string settings() const { return folder() + "/settings.ini"; }
    std::string autostart() const { return config() + "/autostart/Veltra.desktop"; }

    void write_settings(const std::string &content) const {
        g_mkdir_with_parents(folder().c_str(), 0700);
        ASSERT_TRUE(
            g_file_set_contents(settings().c_str(), content.data(), static_cast<gssize>(content.size()), nullptr));
    }
    // The raw stored value as any key file reader sees it.
    std::optional<std::string> stored(const char *key) const {
        g_autoptr(GKeyFile) keys = g_key_file_new();
        if (!g_key_file_load_from_file(keys, settings().c_str(), G_KEY_FILE_NONE, nullptr)) {
            return std::nullopt;
        }
        g_autofree char *value = g_key_file_get_string(keys, "Veltra", key, nullptr);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }

    veltra_test::TempDir dir_;
    char *saved_home_ = nullptr;
    char *saved_xdg_ = nullptr;
};

TEST_F(SettingsManagerTest, FirstRunReadsEverythingAsNoneAndCreatesAPrivateFolder) {
    for (const Item &item : kTextItems) {
        std::optional<std::string> value;
        EXPECT_EQ(logged([&] { value = taken(item.get()); }), kQueryError) << item.name;
        EXPECT_FALSE(value) << item.name;
    }
    const struct {
        int (*get)(void);
        const char *log;
    } flags[] = {
        {pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get, kQueryError},
        {pelk_platform_specific_settings_manager_is_remember_password_set, kQueryError},
        {pelk_platform_specific_settings_manager_auto_start_on_logon_get, ""},
    };
    for (const auto &flag : flags) {
        int value = -1;
        EXPECT_EQ(logged([&] { value = flag.get(); }), flag.log);
        EXPECT_EQ(value, 0);
    }
    EXPECT_EQ(mode_of(folder()), 0700u);
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_create_registry()), folder());
}

TEST_F(SettingsManagerTest, TextsRoundTripIncludingHostileOnes) {
    const std::vector<std::string> values = {
        "user@example.com",
        "x",
        "p@ss w0rd ",
        "  leading",
        "trailing  ",
        "tab\there",
        "a=b=c",
        "[Veltra]",
        "#not a comment",
        ";semi",
        "back\\slash\\",
        "\\n literal",
        "%s%n%%",
        "sp\\s",
        "line\nauto_connect=1",
        "cr\r\nlf",
        "[Other]\nusername=evil",
        "j\xc3\xbcrgen \xe2\x82\xac",
    };
    pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(0);
    for (const Item &item : kTextItems) {
        for (const std::string &value : values) {
            std::optional<std::string> read;
            EXPECT_EQ(logged([&] {
                          item.set(value.c_str());
                          read = taken(item.get());
                      }),
                      "")
                << item.name << ": " << value;
            EXPECT_EQ(read, value) << item.name;
            // Other tools read the same value from the file.
            EXPECT_EQ(stored(item.name), value) << item.name;
        }
    }
    // No value injected a key or a group of its own.
    g_autoptr(GKeyFile) keys = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(keys, settings().c_str(), G_KEY_FILE_NONE, nullptr));
    gsize groups = 0;
    g_strfreev(g_key_file_get_groups(keys, &groups));
    gsize count = 0;
    g_strfreev(g_key_file_get_keys(keys, "Veltra", &count, nullptr));
    EXPECT_EQ(groups, 1u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get(), 0);
}

TEST_F(SettingsManagerTest, ValuesAreReadWholeUpTo400BytesAndNotBeyond) {
    // What an entry holds at most: 100 characters of four bytes each.
    std::string keys;
    for (int i = 0; i < 100; ++i) {
        keys += "\xf0\x9f\x94\x91";
    }
    struct Case {
        std::string value;
        bool readable;
    } cases[] = {
        {"", false},
        {std::string(1, 'a'), true},
        {std::string(261, 'a'), true},
        {std::string(399, 'a'), true},
        {std::string(400, 'a'), true},
        {std::string(401, 'a'), false},
        {std::string(4000, 'a'), false},
        // Bytes count, not characters, and not the escaped file form.
        {std::string(399, 'a') + "\n", true},
        {std::string(399, 'a') + "\n\n", false},
        {keys, true},
        {keys + "a", false},
    };
    for (const Case &c : cases) {
        pelk_platform_specific_settings_manager_username_set(c.value.c_str());
        std::optional<std::string> read;
        const std::string log = logged([&] { read = taken(pelk_platform_specific_settings_manager_username_get()); });
        if (c.readable) {
            EXPECT_EQ(read, c.value) << c.value.size();
            EXPECT_EQ(log, "");
        } else {
            EXPECT_FALSE(read) << c.value.size();
            EXPECT_EQ(log, kQueryError) << c.value.size();
        }
        // The store keeps what it was given; only reading is limited.
        EXPECT_EQ(stored("username"), c.value);
    }
}

TEST_F(SettingsManagerTest, AutoConnectIsOnOnlyForExactlyOne) {
    const struct {
        const char *raw;
        int on;
    } reads[] = {{"1", 1}, {"0", 0}, {"true", 0}, {"01", 0}, {"1 ", 0}, {"2", 0}, {"yes", 0}, {"", 0}, {"\\s1", 0}};
    for (const auto &r : reads) {
        write_settings(std::string("[Veltra]\nauto_connect=") + r.raw + "\n");
        const std::string log = logged([&] {
            EXPECT_EQ(pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get(), r.on) << r.raw;
        });
        EXPECT_EQ(log, r.raw[0] == '\0' ? kQueryError : "") << r.raw;
    }
    const struct {
        int flag;
        const char *stored;
    } writes[] = {{1, "1"}, {0, "0"}, {-1, "1"}, {42, "1"}, {INT_MIN, "1"}, {INT_MAX, "1"}};
    for (const auto &w : writes) {
        pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(w.flag);
        EXPECT_EQ(stored("auto_connect"), w.stored) << w.flag;
        EXPECT_EQ(pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get(), w.flag != 0 ? 1 : 0);
    }
}

TEST_F(SettingsManagerTest, AnEmptyOrAbsentPasswordMeansNotRemembered) {
    const struct {
        const char *set;
        int remembered;
    } steps[] = {{"secret", 1}, {"", 0}, {" ", 1}, {nullptr, 0}, {"x", 1}};
    for (const auto &step : steps) {
        pelk_platform_specific_settings_manager_password_set(step.set);
        const std::string log = logged(
            [&] { EXPECT_EQ(pelk_platform_specific_settings_manager_is_remember_password_set(), step.remembered); });
        EXPECT_EQ(log, step.remembered != 0 ? "" : kQueryError) << (step.set != nullptr ? step.set : "NULL");
        EXPECT_EQ(stored("password"), step.set != nullptr ? step.set : "");
    }
}

TEST_F(SettingsManagerTest, MissingPiecesReadAsNone) {
    const char *files[] = {
        "",
        "# only a comment\n",
        "[Other]\nusername=elsewhere\n",
        "[Veltra]\n",
        "[Veltra]\npassword=p\n",
        "[veltra]\nusername=wrong case\n",
        "[Veltra]\nusername[de]=localised\n",
        "[Veltra]\nusername=\n",
        "[Veltra]\nusername=\xff\xfe\n",      // not UTF-8
        "[Veltra]\nusername=bad\\qescape\n",  // not a key file escape
    };
    for (const char *content : files) {
        write_settings(content);
        std::optional<std::string> read;
        EXPECT_EQ(logged([&] { read = taken(pelk_platform_specific_settings_manager_username_get()); }), kQueryError)
            << content;
        EXPECT_FALSE(read) << content;
    }
}

TEST_F(SettingsManagerTest, BadValueNamesAndTextsAreRefusedWithoutTouchingTheFile) {
    pelk_platform_specific_settings_manager_username_set("kept");
    const std::string before = veltra_test::read_file(settings());
    for (const char *name : {static_cast<const char *>(nullptr), "", "a=b", "a b", "[x]", "x\ny", "#x", "a[de]"}) {
        EXPECT_EQ(logged([&] { pelk_platform_specific_settings_manager_string_set("v", name); }), kSetError);
        EXPECT_EQ(logged([&] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_string_get(name))); }),
                  kQueryError);
    }
    for (const char *text : {"\xff", "ok\xc3", "\xed\xa0\x80"}) {
        EXPECT_EQ(logged([&] { pelk_platform_specific_settings_manager_username_set(text); }), kSetError);
    }
    EXPECT_EQ(veltra_test::read_file(settings()), before);
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), "kept");
}

TEST_F(SettingsManagerTest, ADamagedFileIsKeptAsABackupAndDoesNotBlockWrites) {
    const std::string damaged[] = {
        "this is not a key file\n", "\xff\xfe[Veltra]\nusername=x\n", "username=before any group\n",
        std::string(2 << 20, '#'),  // far too large to be ours
    };
    for (size_t i = 0; i < std::size(damaged); ++i) {
        write_settings(damaged[i]);
        std::optional<std::string> read;
        EXPECT_EQ(logged([&] { read = taken(pelk_platform_specific_settings_manager_username_get()); }), kQueryError);
        EXPECT_FALSE(read);

        const std::string backup = settings() + ".corrupt" + (i == 0 ? "" : "." + std::to_string(i));
        const std::string log = logged([] { pelk_platform_Specific_settings_manager_favorite_server_set("10.0.0.1"); });
        EXPECT_EQ(log, "Settings file is damaged; kept it as " + backup + "\n");
        EXPECT_EQ(veltra_test::read_file(backup), damaged[i]) << i;
        EXPECT_EQ(mode_of(backup), 0600u);
        EXPECT_EQ(taken(pelk_platform_specific_settings_manager_favorite_server_get()), "10.0.0.1");
    }
}

TEST_F(SettingsManagerTest, WritesKeepOtherGroupsAndCommentsAndSeeOutsideChanges) {
    write_settings("# hand written\n[Other]\nkey=value\n\n[Veltra]\nusername=old\n");
    pelk_platform_specific_settings_manager_username_set("new");
    const std::string file = veltra_test::read_file(settings());
    EXPECT_NE(file.find("# hand written"), std::string::npos) << file;
    EXPECT_NE(file.find("[Other]\nkey=value"), std::string::npos) << file;
    // Another writer is seen at once, however it writes: each change keeps
    // the size, and the last two come within one tick of the file clock.
    const auto in_place = [this](const std::string &content) {
        FILE *file = fopen(settings().c_str(), "r+");
        ASSERT_NE(file, nullptr);
        fputs(content.c_str(), file);
        fclose(file);
    };
    const auto times_put_back = [&](const std::string &content) {
        struct stat before {};
        ASSERT_EQ(stat(settings().c_str(), &before), 0);
        in_place(content);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, settings().c_str(), times, 0), 0);
    };
    const std::vector<std::pair<const char *, std::function<void(const std::string &)>>> writers = {
        {"replaced", [this](const std::string &content) { write_settings(content); }},
        {"in place", in_place},
        {"in place, times put back", times_put_back},
    };
    for (const auto &[how, write] : writers) {
        write_settings("[Veltra]\nusername=value-0\n");
        g_usleep(30000);  // a few ticks: the copy read next is trusted
        EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), "value-0") << how;
        for (const char *value : {"value-1", "value-2", "value-3"}) {
            write("[Veltra]\nusername=" + std::string(value) + "\n");
            EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), value) << how;
        }
    }
}

TEST_F(SettingsManagerTest, FolderAndFileArePrivateWhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        const mode_t saved = umask(mask);
        std::error_code ignored;
        std::filesystem::remove_all(config(), ignored);
        pelk_platform_specific_settings_manager_password_set("secret");
        umask(saved);
        EXPECT_EQ(mode_of(config()), 0700u) << mask;
        EXPECT_EQ(mode_of(folder()), 0700u) << mask;
        EXPECT_EQ(mode_of(settings()), 0600u) << mask;
        EXPECT_EQ(mode_of(folder() + "/settings.lock"), 0600u) << mask;
        EXPECT_EQ(taken(pelk_platform_specific_settings_manager_password_get()), "secret") << mask;
    }
    // Left open by an earlier tool: closed again by the next write.
    chmod(folder().c_str(), 0755);
    chmod(settings().c_str(), 0644);
    pelk_platform_specific_settings_manager_username_set("u");
    EXPECT_EQ(mode_of(folder()), 0700u);
    EXPECT_EQ(mode_of(settings()), 0600u);
    // Only the file and its lock remain: no temporary file is left behind.
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder())) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"settings.ini", "settings.lock"}));
}

TEST_F(SettingsManagerTest, UnusableLocationsFailWithTheirOwnLine) {
    const struct {
        const char *what;
        std::function<void()> prepare;
        const char *line;
    } cases[] = {
        {"config home is a file", [&] { g_file_set_contents(config().c_str(), "", 0, nullptr); },
         "ERROR[RegOpenKeyEx]\n"},
        {"settings folder is a file",
         [&] {
             g_mkdir_with_parents(config().c_str(), 0700);
             g_file_set_contents(folder().c_str(), "", 0, nullptr);
         },
         "ERROR[RegCreateKeyEx]\n"},
    };
    for (const auto &c : cases) {
        std::error_code ignored;
        std::filesystem::remove_all(config(), ignored);
        c.prepare();
        EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("u"); }), c.line) << c.what;
        EXPECT_EQ(logged([] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_username_get())); }), c.line)
            << c.what;
        EXPECT_EQ(logged([] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_create_registry())); }),
                  c.line)
            << c.what;
    }

    // A settings file that is a folder or a FIFO is neither read nor replaced,
    // and does not stall the caller.
    std::error_code ignored;
    std::filesystem::remove_all(config(), ignored);
    g_mkdir_with_parents(settings().c_str(), 0700);
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("u"); }), kSetError);
    EXPECT_EQ(logged([] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_username_get())); }), kQueryError);
    EXPECT_TRUE(std::filesystem::is_directory(settings()));
    std::filesystem::remove_all(settings(), ignored);
    ASSERT_EQ(mkfifo(settings().c_str(), 0600), 0);
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("u"); }), kSetError);
    EXPECT_EQ(logged([] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_username_get())); }), kQueryError);
}

TEST_F(SettingsManagerTest, ConfigHomeFallsBackToHomeWhenUnsetOrRelative) {
    for (const char *xdg : {static_cast<const char *>(nullptr), "", "relative/config"}) {
        if (xdg != nullptr) {
            g_setenv("XDG_CONFIG_HOME", xdg, TRUE);
        } else {
            g_unsetenv("XDG_CONFIG_HOME");
        }
        pelk_platform_specific_settings_manager_username_set("homed");
        EXPECT_EQ(veltra_test::read_file(dir_.file("home/.config/Veltra/settings.ini")), "[Veltra]\nusername=homed\n");
        EXPECT_EQ(mode_of(dir_.file("home/.config")), 0700u);
        std::error_code ignored;
        std::filesystem::remove_all(dir_.file("home"), ignored);
    }
}

TEST_F(SettingsManagerTest, TwoProcessesWritingDifferentValuesBothKeepTheirs) {
    constexpr int kWrites = 200;
    pelk_platform_specific_settings_manager_username_set("start");
    auto writer = [](const Item &item, const char *prefix) {
        int lost = 0;
        for (int i = 0; i < kWrites; ++i) {
            const std::string value = prefix + std::to_string(i);
            item.set(value.c_str());
            // Only this process writes this value: anything else on reading
            // back means the other process put back a stale copy.
            if (taken(item.get()) != value) {
                ++lost;
            }
        }
        _exit(lost == 0 ? 0 : 1);
    };
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            writer(kTextItems[i == 0 ? 0 : 2], i == 0 ? "user-" : "server-");
        }
    }
    for (const pid_t child : children) {
        int status = -1;
        const bool ended =
            veltra_test::wait_for([&] { return waitpid(child, &status, WNOHANG) == child; }, std::chrono::seconds(50));
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        EXPECT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write was lost";
    }
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), "user-" + std::to_string(kWrites - 1));
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_favorite_server_get()),
              "server-" + std::to_string(kWrites - 1));
}

TEST_F(SettingsManagerTest, AnElevatedInstanceLeavesTheUsersFilesToTheUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    constexpr uid_t kUser = 65534;
    g_mkdir_with_parents(dir_.file("home").c_str(), 0700);
    ASSERT_EQ(chown(dir_.file("home").c_str(), kUser, kUser), 0);
    g_setenv("XDG_CONFIG_HOME", dir_.file("home/.config").c_str(), TRUE);
    pelk_platform_specific_settings_manager_password_set("secret");
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
    for (const char *name : {".config", ".config/Veltra", ".config/Veltra/settings.ini", ".config/Veltra/settings.lock",
                             ".config/autostart", ".config/autostart/Veltra.desktop"}) {
        struct stat st {};
        ASSERT_EQ(lstat(dir_.file(std::string("home/") + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_uid, kUser) << name;
        EXPECT_EQ(st.st_gid, kUser) << name;
    }
}

TEST_F(SettingsManagerTest, AnElevatedInstanceFollowsNoLinkInTheUsersFolder) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    constexpr uid_t kUser = 65534;
    const std::string victim = dir_.file("victim");
    g_mkdir_with_parents(victim.c_str(), 0755);
    chmod(victim.c_str(), 0755);
    const std::string victim_entry = victim + "/Veltra.desktop";
    g_file_set_contents(victim_entry.c_str(), "untouched", -1, nullptr);
    g_mkdir_with_parents(config().c_str(), 0700);
    ASSERT_EQ(chown(config().c_str(), kUser, kUser), 0);
    ASSERT_EQ(symlink(victim.c_str(), folder().c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (config() + "/autostart").c_str()), 0);

    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("u"); }), "ERROR[RegCreateKeyEx]\n");
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(1); }),
              "ERROR[RegOpenKeyEx]\n");
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(0); }),
              "ERROR[RegDeleteValue]\n");
    EXPECT_EQ(mode_of(victim), 0755u);
    EXPECT_EQ(veltra_test::read_file(victim_entry), "untouched");
    EXPECT_FALSE(std::filesystem::exists(victim + "/settings.ini"));

    // A settings file linked to a file of root's is not read either.
    unlink(folder().c_str());
    g_mkdir_with_parents(folder().c_str(), 0700);
    ASSERT_EQ(chown(folder().c_str(), kUser, kUser), 0);
    const std::string root_file = victim + "/root.ini";
    g_file_set_contents(root_file.c_str(), "[Veltra]\nusername=root only\n", -1, nullptr);
    ASSERT_EQ(symlink(root_file.c_str(), settings().c_str()), 0);
    EXPECT_EQ(logged([] { EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_username_get())); }), kQueryError);
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("u"); }), kSetError);
    EXPECT_EQ(veltra_test::read_file(root_file), "[Veltra]\nusername=root only\n");
}

TEST_F(SettingsManagerTest, AUserMayLinkTheSettingsFolderElsewhere) {
    const std::string real = dir_.file("dotfiles/Veltra");
    g_mkdir_with_parents(real.c_str(), 0755);
    g_mkdir_with_parents(config().c_str(), 0700);
    ASSERT_EQ(symlink(real.c_str(), folder().c_str()), 0);
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_username_set("linked"); }), "");
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), "linked");
    EXPECT_EQ(veltra_test::read_file(real + "/settings.ini"), "[Veltra]\nusername=linked\n");
    EXPECT_EQ(mode_of(real), 0700u);
}

TEST_F(SettingsManagerTest, NoSecretReachesTheLog) {
    const std::string secret = "Sup3r-S3cret\nvalue";
    const std::string log = logged([&] {
        pelk_platform_specific_settings_manager_password_set(secret.c_str());
        free(pelk_platform_specific_settings_manager_password_get());
        write_settings("damaged\n[Veltra]\npassword=" + secret.substr(0, 12) + "\n");
        pelk_platform_specific_settings_manager_password_set(secret.c_str());
        pelk_platform_specific_settings_manager_password_set((secret + "\xff").c_str());
        pelk_platform_specific_settings_manager_password_set(std::string(300, 'S').c_str());
        free(pelk_platform_specific_settings_manager_password_get());
    });
    EXPECT_EQ(log.find("S3cret"), std::string::npos) << log;
    EXPECT_EQ(log.find("SSSS"), std::string::npos) << log;
}

// ---- start at login ----

// The one argument an Exec line starts, as a desktop reads it: key file
// unescaping, then field codes ("%%" is a '%'), then shell-like unquoting.
std::vector<std::string> exec_argv(const std::string &entry) {
    g_autoptr(GKeyFile) keys = g_key_file_new();
    if (!g_key_file_load_from_data(keys, entry.c_str(), entry.size(), G_KEY_FILE_NONE, nullptr)) {
        return {};
    }
    g_autofree char *exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
    if (exec == nullptr) {
        return {};
    }
    std::string expanded;
    for (const char *c = exec; *c != '\0'; ++c) {
        if (*c == '%' && c[1] == '%') {
            ++c;
        } else if (*c == '%') {
            return {"stray field code"};
        }
        expanded += *c;
    }
    int argc = 0;
    char **argv = nullptr;
    if (!g_shell_parse_argv(expanded.c_str(), &argc, &argv, nullptr)) {
        return {};
    }
    std::vector<std::string> result(argv, argv + argc);
    g_strfreev(argv);
    return result;
}

bool desktop_file_valid(const std::string &path, std::string *output) {
    g_autofree char *validator = g_find_program_in_path("desktop-file-validate");
    if (validator == nullptr) {
        *output = "desktop-file-validate is not installed";
        return false;
    }
    const char *argv[] = {validator, path.c_str(), nullptr};
    g_autofree char *out = nullptr;
    g_autofree char *err = nullptr;
    int status = -1;
    const bool ran = g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                                  &err, &status, nullptr);
    *output = std::string(out != nullptr ? out : "") + (err != nullptr ? err : "");
    return ran && g_spawn_check_wait_status(status, nullptr) && output->empty();
}

const char *const kAwkwardFolders[] = {
    "/opt/veltra",
    "/home/a user/My Apps",
    "/tmp/\"quoted\" 'single'",
    "/tmp/`cmd` $HOME ${X} $(y)",
    "/tmp/back\\slash\\\\double",
    "/tmp/100% %u %f %%",
    "/home/j\xc3\xbcrgen/\xe2\x82\xac;#[x]=y",
};

TEST_F(SettingsManagerTest, AutostartEntryNamesAwkwardPathsExactly) {
    for (const char *folder : kAwkwardFolders) {
        const std::string program = std::string(folder) + "/veltra";
        const auto entry = taken(pelk_platform_specific_settings_manager_autostart_entry_new(program.c_str(), folder));
        ASSERT_TRUE(entry) << folder;
        EXPECT_EQ(exec_argv(*entry), std::vector<std::string>{program}) << *entry;

        g_autoptr(GKeyFile) keys = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(keys, entry->c_str(), entry->size(), G_KEY_FILE_NONE, nullptr));
        g_autofree char *path = g_key_file_get_string(keys, "Desktop Entry", "Path", nullptr);
        EXPECT_STREQ(path, folder);

        const std::string file = dir_.file("Veltra.desktop");
        ASSERT_TRUE(g_file_set_contents(file.c_str(), entry->c_str(), -1, nullptr));
        std::string report;
        EXPECT_TRUE(desktop_file_valid(file, &report)) << *entry << report;
    }
}

TEST_F(SettingsManagerTest, AutostartEntryRefusesPathsNoEntryCanName) {
    const struct {
        const char *program;
        const char *folder;
    } cases[] = {
        {nullptr, "/opt"},      {"/opt/veltra", nullptr}, {"", "/"},
        {"veltra", "/opt"},     {"/opt/veltra", "opt"},   {"/opt/new\nline/veltra", "/opt/new\nline"},
        {"/opt/t\tab", "/opt"}, {"/opt/del\x7f", "/opt"}, {"/opt/\xff\xfe/veltra", "/opt/\xff\xfe"},
    };
    for (const auto &c : cases) {
        EXPECT_FALSE(taken(pelk_platform_specific_settings_manager_autostart_entry_new(c.program, c.folder)))
            << (c.program != nullptr ? c.program : "NULL");
    }
}

TEST_F(SettingsManagerTest, AutostartEntryStartsTheProgramInItsFolder) {
    // A real program under an awkward name: a desktop must start it, in its
    // own folder, from the entry as written. ('%' is left out: GLib's own
    // check that the program exists does not expand "%%".)
    const std::string folder = dir_.file("a \"b\" `c` $d \\e 'g'");
    ASSERT_EQ(g_mkdir_with_parents(folder.c_str(), 0700), 0);
    const std::string program = folder + "/run me";
    const std::string marker = dir_.file("started");
    const std::string script =
        "#!/bin/sh\npwd > \"$VELTRA_TEST_MARKER.tmp\"\nmv \"$VELTRA_TEST_MARKER.tmp\" "
        "\"$VELTRA_TEST_MARKER\"\n";
    ASSERT_TRUE(g_file_set_contents(program.c_str(), script.c_str(), -1, nullptr));
    chmod(program.c_str(), 0700);
    const auto entry =
        taken(pelk_platform_specific_settings_manager_autostart_entry_new(program.c_str(), folder.c_str()));
    ASSERT_TRUE(entry);
    const std::string file = dir_.file("Veltra.desktop");
    ASSERT_TRUE(g_file_set_contents(file.c_str(), entry->c_str(), -1, nullptr));

    g_setenv("VELTRA_TEST_MARKER", marker.c_str(), TRUE);
    g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new_from_filename(file.c_str());
    ASSERT_NE(info, nullptr) << *entry;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info), nullptr, nullptr, &error)) << error->message;
    EXPECT_TRUE(veltra_test::wait_for([&] { return veltra_test::read_file(marker) == folder + "\n"; }))
        << veltra_test::read_file(marker);
    g_unsetenv("VELTRA_TEST_MARKER");
}

TEST_F(SettingsManagerTest, AutostartFollowsTheEntrysPresence) {
    const struct {
        int flag;
        const char *log;
        int on;
    } steps[] = {
        {0, "ERROR[RegDeleteValue]\n", 0},  // already off
        {1, "", 1},
        {7, "", 1},  // again: replaced, still on
        {0, "", 0},
        {0, "ERROR[RegDeleteValue]\n", 0},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(logged([&] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(step.flag); }),
                  step.log);
        EXPECT_EQ(
            logged([&] { EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), step.on); }), "");
    }

    pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
    const std::string entry = veltra_test::read_file(autostart());
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(exec_argv(entry), std::vector<std::string>{self});
    g_autofree char *self_folder = g_path_get_dirname(self);
    EXPECT_NE(entry.find("\nPath=" + std::string(self_folder) + "\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\nName=Veltra\n", 0), 0u) << entry;
    EXPECT_NE(entry.find("\nX-GNOME-Autostart-enabled=true\n"), std::string::npos) << entry;
    std::string report;
    EXPECT_TRUE(desktop_file_valid(autostart(), &report)) << report;

    // Any entry of that name counts, even one written by another copy.
    ASSERT_TRUE(g_file_set_contents(autostart().c_str(), "[Desktop Entry]\nExec=/elsewhere/veltra\n", -1, nullptr));
    EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), 1);
}

TEST_F(SettingsManagerTest, AutostartInUnusableLocationsFailsCleanly) {
    // Something that is not an entry under the entry's name.
    g_mkdir_with_parents(autostart().c_str(), 0700);
    EXPECT_EQ(logged([] { EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), 0); }),
              "ERROR[RegOpenKeyEx]\n");
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(0); }),
              "ERROR[RegDeleteValue]\n");
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(1); }),
              "ERROR[RegSetValue]\n");
    EXPECT_TRUE(std::filesystem::is_directory(autostart()));

    // The autostart folder cannot exist.
    std::error_code ignored;
    std::filesystem::remove_all(config(), ignored);
    g_mkdir_with_parents(config().c_str(), 0700);
    g_file_set_contents((config() + "/autostart").c_str(), "", 0, nullptr);
    EXPECT_EQ(logged([] { pelk_platform_specific_settings_manager_auto_start_on_logon_set(1); }),
              "ERROR[RegOpenKeyEx]\n");
    EXPECT_EQ(logged([] { EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), 0); }), "");
}

}  // namespace
