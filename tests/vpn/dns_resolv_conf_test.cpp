#include "support/test_util.h"
#include "vpn/dns_resolv_conf.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr const char *kOriginal = "# local network\nnameserver 198.18.2.2\nsearch home.example\noptions edns0\n";

class DnsResolvConfTest : public ::testing::Test {
  protected:
    std::string path() const { return dir_.file("resolv.conf"); }

    void write(const std::string &text, mode_t mode = 0644) {
        ASSERT_TRUE(g_file_set_contents(path().c_str(), text.c_str(), -1, nullptr));
        ASSERT_EQ(chmod(path().c_str(), mode), 0);
    }

    // Replaces the file, keeping the state for the restore.
    pelk_vpn_dns_resolv_conf_state replace(const std::string &text) {
        pelk_vpn_dns_resolv_conf_state state;
        std::string error;
        EXPECT_TRUE(pelk_vpn_dns_resolv_conf_read(path(), &state, &error)) << error;
        EXPECT_TRUE(pelk_vpn_dns_resolv_conf_write(path(), &state, text, &error)) << error;
        EXPECT_EQ(veltra_test::read_file(path()), text);
        return state;
    }

    // No scratch file of ours is ever left beside the resolver file.
    void expect_only(std::initializer_list<const char *> names) const {
        EXPECT_EQ(veltra_test::count_entries(dir_.path()), static_cast<int>(names.size()));
        for (const char *name : names) {
            EXPECT_TRUE(fs::exists(fs::symlink_status(dir_.file(name)))) << name;
        }
    }

    veltra_test::TempDir dir_;
};

TEST_F(DnsResolvConfTest, AFileComesBackByteForByteWithItsMode) {
    write(kOriginal, 0640);
    struct stat before {};
    ASSERT_EQ(stat(path().c_str(), &before), 0);
    const pelk_vpn_dns_resolv_conf_state state = replace("nameserver 198.18.4.53\n");
    EXPECT_FALSE(state.in_place);
    EXPECT_EQ(state.bytes, kOriginal);
    struct stat during {};
    ASSERT_EQ(stat(path().c_str(), &during), 0);
    EXPECT_EQ(during.st_mode & 07777, 0640u);
    expect_only({"resolv.conf"});

    std::string error;
    EXPECT_EQ(pelk_vpn_dns_resolv_conf_restore(path(), state, &error), PELK_VPN_DNS_RESOLV_CONF_RESTORED) << error;
    EXPECT_EQ(veltra_test::read_file(path()), kOriginal);
    struct stat after {};
    ASSERT_EQ(stat(path().c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    expect_only({"resolv.conf"});
}

TEST_F(DnsResolvConfTest, ALinkIsReplacedNotFollowedAndComesBackAsTheSameLink) {
    // The link's owner (a network manager) keeps its own file untouched.
    const std::string target = dir_.file("managed.conf");
    ASSERT_TRUE(g_file_set_contents(target.c_str(), kOriginal, -1, nullptr));
    ASSERT_EQ(symlink("managed.conf", path().c_str()), 0);

    const pelk_vpn_dns_resolv_conf_state state = replace("nameserver 198.18.4.53\n");
    EXPECT_EQ(state.kind, PELK_VPN_DNS_RESOLV_CONF_LINK);
    EXPECT_FALSE(fs::is_symlink(path()));
    EXPECT_EQ(veltra_test::read_file(target), kOriginal);

    // The owner may rewrite its file meanwhile; the link brings that back.
    ASSERT_TRUE(g_file_set_contents(target.c_str(), "nameserver 192.0.2.7\n", -1, nullptr));
    std::string error;
    EXPECT_EQ(pelk_vpn_dns_resolv_conf_restore(path(), state, &error), PELK_VPN_DNS_RESOLV_CONF_RESTORED) << error;
    ASSERT_TRUE(fs::is_symlink(path()));
    EXPECT_EQ(fs::read_symlink(path()).string(), "managed.conf");
    EXPECT_EQ(veltra_test::read_file(path()), "nameserver 192.0.2.7\n");
    expect_only({"resolv.conf", "managed.conf"});
}

TEST_F(DnsResolvConfTest, NoFileBeforeMeansNoFileAfter) {
    const pelk_vpn_dns_resolv_conf_state state = replace("nameserver 198.18.4.53\n");
    EXPECT_EQ(state.kind, PELK_VPN_DNS_RESOLV_CONF_ABSENT);
    std::string error;
    EXPECT_EQ(pelk_vpn_dns_resolv_conf_restore(path(), state, &error), PELK_VPN_DNS_RESOLV_CONF_RESTORED) << error;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path())));
}

TEST_F(DnsResolvConfTest, AFileReplacedSinceIsLeftAlone) {
    struct Case {
        const char *name;
        void (*change)(const std::string &path);
    };
    const Case cases[] = {
        {"rewritten_in_place",
         [](const std::string &path) { g_file_set_contents(path.c_str(), "nameserver 192.0.2.9\n", -1, nullptr); }},
        {"same_bytes_new_file",
         [](const std::string &path) {
             const std::string text = veltra_test::read_file(path);
             unlink(path.c_str());
             g_file_set_contents(path.c_str(), text.c_str(), -1, nullptr);
         }},
        {"made_a_link", [](const std::string &path) {
             unlink(path.c_str());
             EXPECT_EQ(symlink("/run/elsewhere.conf", path.c_str()), 0);
         }}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(path().c_str());
        write(kOriginal);
        const pelk_vpn_dns_resolv_conf_state state = replace("nameserver 198.18.4.53\n");
        c.change(path());
        const std::string now =
            fs::is_symlink(path()) ? fs::read_symlink(path()).string() : veltra_test::read_file(path());
        std::string error;
        EXPECT_EQ(pelk_vpn_dns_resolv_conf_restore(path(), state, &error), PELK_VPN_DNS_RESOLV_CONF_NOT_OURS);
        EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
        EXPECT_EQ(fs::is_symlink(path()) ? fs::read_symlink(path()).string() : veltra_test::read_file(path()), now);
    }
}

// A network namespace's own resolver file is bind-mounted over the path, so
// nothing can be renamed over it: it is written in place and put back the
// same way, and the file underneath is never touched.
TEST_F(DnsResolvConfTest, AMountedFileIsWrittenInPlaceAndComesBack) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a mount namespace needs root";
    }
    write(kOriginal);
    const std::string mounted = dir_.file("netns-resolv.conf");
    ASSERT_TRUE(g_file_set_contents(mounted.c_str(), "nameserver 198.18.2.2\n", -1, nullptr));
    const std::string ours = "nameserver 198.18.4.53\n";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(mounted.c_str(), path().c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(10);
        }
        pelk_vpn_dns_resolv_conf_state state;
        std::string error;
        if (!pelk_vpn_dns_resolv_conf_read(path(), &state, &error) ||
            !pelk_vpn_dns_resolv_conf_write(path(), &state, ours, &error)) {
            _exit(11);
        }
        if (!state.in_place || veltra_test::read_file(mounted) != ours) {
            _exit(12);
        }
        if (pelk_vpn_dns_resolv_conf_restore(path(), state, &error) != PELK_VPN_DNS_RESOLV_CONF_RESTORED) {
            _exit(13);
        }
        _exit(veltra_test::count_entries(dir_.path()) == 2 ? 0 : 14);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(veltra_test::read_file(mounted), "nameserver 198.18.2.2\n");
    EXPECT_EQ(veltra_test::read_file(path()), kOriginal);
}

TEST_F(DnsResolvConfTest, WhatIsNeitherFileNorLinkIsRefused) {
    ASSERT_EQ(mkdir(path().c_str(), 0755), 0);
    pelk_vpn_dns_resolv_conf_state state;
    std::string error;
    EXPECT_FALSE(pelk_vpn_dns_resolv_conf_read(path(), &state, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(rmdir(path().c_str()), 0);
    ASSERT_EQ(mkfifo(path().c_str(), 0644), 0);
    EXPECT_FALSE(pelk_vpn_dns_resolv_conf_read(path(), &state, &error));
}

TEST_F(DnsResolvConfTest, AnOversizedFileIsRefusedNotTruncated) {
    write(std::string(64 * 1024 + 1, '#'));
    pelk_vpn_dns_resolv_conf_state state;
    std::string error;
    EXPECT_FALSE(pelk_vpn_dns_resolv_conf_read(path(), &state, &error));
    EXPECT_EQ(veltra_test::read_file(path()).size(), 64u * 1024 + 1);
}

TEST_F(DnsResolvConfTest, AFailedWriteLeavesTheOldFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into a read-only folder";
    }
    write(kOriginal);
    pelk_vpn_dns_resolv_conf_state state;
    std::string error;
    ASSERT_TRUE(pelk_vpn_dns_resolv_conf_read(path(), &state, &error));
    ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
    EXPECT_FALSE(pelk_vpn_dns_resolv_conf_write(path(), &state, "nameserver 198.18.4.53\n", &error));
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(veltra_test::read_file(path()), kOriginal);
}

}  // namespace
