#include "base/global_variables.h"
#include "support/test_util.h"
#include "vpn/config_generator.h"
#include "vpn/config_generator_internal.h"
#include "vpn/dns_resolver.h"
#include "vpn/dns_resolver_internal.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr const char *kOriginal = "nameserver 198.18.2.2\nsearch home.example\n";
constexpr const char *kDevice = "2026-12-07 14:31:02 TUN/TAP device lo opened\n";
constexpr const char *kPush =
    "2026-12-07 14:31:02 PUSH: Received control message: 'PUSH_REPLY,redirect-gateway "
    "def1,dhcp-option DNS 198.18.4.53,dhcp-option DOMAIN vpn.example,dhcp-option DNS "
    "1.2.3.4;reboot,route-gateway 198.18.100.1,topology subnet,ping 10,ifconfig "
    "198.18.100.2 255.255.255.0,peer-id 0,cipher AES-256-GCM'\n";
constexpr const char *kPushNoDns =
    "2026-12-07 14:31:02 PUSH: Received control message: 'PUSH_REPLY,route-gateway "
    "198.18.101.1,topology subnet,ifconfig 198.18.101.2 255.255.255.0'\n";
constexpr const char *kCompleted = "2026-12-07 14:31:02 Initialization Sequence Completed\n";

// Each case gets connection numbers no earlier case used: the module never
// lets an ended connection set anything again.
unsigned int fresh_connection() {
    static unsigned int last = 0;
    return last += 10;
}

class DnsResolverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(g_mkdir_with_parents(dir_.file("app").c_str(), 0700), 0);
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("app/veltra").c_str());
        ::testing::internal::GetCapturedStdout();
        config_generator_files_folder_override(dir_.file("run").c_str());
        pelk_vpn_dns_resolver_resolv_conf_override(resolv_conf().c_str());
        ASSERT_TRUE(g_file_set_contents(resolv_conf().c_str(), kOriginal, -1, nullptr));
        connection_ = fresh_connection();
    }
    void TearDown() override {
        pelk_vpn_dns_resolver_undo(connection_ + 9);
        pelk_vpn_dns_resolver_resolvectl_override(nullptr);
        pelk_vpn_dns_resolver_resolv_conf_override(nullptr);
        config_generator_files_folder_override(nullptr);
    }

    std::string resolv_conf() const { return dir_.file("resolv.conf"); }
    std::string record() const { return dir_.file("run/dns.run"); }
    std::string log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }
    std::string calls() const { return veltra_test::read_file(dir_.file("calls")); }

    // A stand-in resolvectl that writes down its arguments; fails when its
    // first argument is fail_on.
    void fake_resolvectl(const std::string &fail_on = "") {
        const std::string program = dir_.file("resolvectl");
        const std::string text =
            "#!/bin/sh\necho \"$*\" >>'" + dir_.file("calls") + "'\n[ \"$1\" != '" + fail_on +
            "' ] || { echo 'Failed to set DNS configuration: Link lo not managed' >&2; exit 1; }\n";
        ASSERT_TRUE(g_file_set_contents(program.c_str(), text.c_str(), -1, nullptr));
        ASSERT_EQ(chmod(program.c_str(), 0700), 0);
        pelk_vpn_dns_resolver_resolvectl_override(program.c_str());
    }

    void output(unsigned int connection, std::initializer_list<const char *> pieces) {
        for (const char *piece : pieces) {
            pelk_vpn_dns_resolver_read_output(connection, piece);
        }
    }

    veltra_test::TempDir dir_;
    unsigned int connection_ = 0;
};

TEST(DnsResolverChoice, UsesSystemdResolvedOnlyWhereTheResolverFileLeadsToIt) {
    struct Case {
        bool running;
        std::string link;
        std::string text;
        bool resolved;
    };
    const Case cases[] = {
        {true, "../run/systemd/resolve/stub-resolv.conf", "", true},
        {true, "/run/systemd/resolve/resolv.conf", "nameserver 192.0.2.1\n", true},
        {true, "", "# stub\nnameserver 127.0.0.53\noptions edns0 trust-ad\n", true},
        {true, "", "nameserver 127.0.0.54", true},
        {true, "", "nameserver 127.0.0.530\n", false},
        {true, "", "# nameserver 127.0.0.53\nnameserver 192.0.2.1\n", false},
        {true, "/run/NetworkManager/resolv.conf", "nameserver 192.0.2.1\n", false},
        {true, "", "nameserver 198.18.2.2\n", false},
        {false, "../run/systemd/resolve/stub-resolv.conf", "nameserver 127.0.0.53\n", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pelk_vpn_dns_resolver_uses_resolved(c.running, c.link, c.text), c.resolved)
            << c.running << " " << c.link << " " << c.text;
    }
}

TEST_F(DnsResolverTest, TheResolverFileHoldsTheTunnelsServersUntilUndone) {
    output(connection_, {kDevice, kPush, kCompleted});
    ASSERT_EQ(pelk_vpn_dns_resolver_apply(connection_), 0) << log();
    const std::string during = veltra_test::read_file(resolv_conf());
    EXPECT_NE(during.find("\nnameserver 198.18.4.53\nsearch vpn.example\n"), std::string::npos) << during;
    EXPECT_EQ(during.find("1.2.3.4"), std::string::npos) << during;
    EXPECT_EQ(during.find("198.18.2.2"), std::string::npos) << during;
    struct stat info {};
    ASSERT_EQ(stat(record().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_NE(log().find("dns: name servers 198.18.4.53 (search vpn.example) set on " + resolv_conf() +
                         " (1 pushed option(s) refused)\n"),
              std::string::npos)
        << log();

    // A second marker of the same tunnel (a restart that pushed the same)
    // changes nothing and logs nothing.
    const std::string before_again = log();
    ASSERT_EQ(pelk_vpn_dns_resolver_apply(connection_), 0);
    EXPECT_EQ(log(), before_again);

    pelk_vpn_dns_resolver_undo(connection_);
    EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_NE(log().find("dns: name servers 198.18.4.53 (search vpn.example) taken back from " + resolv_conf() + "\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(veltra_test::count_entries(dir_.path()), 3) << "app, run, resolv.conf";
}

TEST_F(DnsResolverTest, NothingPushedChangesNothingAndLogsNothing) {
    struct stat before {};
    ASSERT_EQ(stat(resolv_conf().c_str(), &before), 0);
    output(connection_, {kDevice, kPushNoDns, kCompleted});
    EXPECT_EQ(pelk_vpn_dns_resolver_apply(connection_), 0);
    pelk_vpn_dns_resolver_undo(connection_);
    struct stat after {};
    ASSERT_EQ(stat(resolv_conf().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_EQ(log().find("dns:"), std::string::npos) << log();
}

TEST_F(DnsResolverTest, AnEndedOrForeignConnectionSetsNothing) {
    // Ended before its reader got to the marker: the disconnect came first.
    pelk_vpn_dns_resolver_undo(connection_);
    output(connection_, {kPush, kCompleted});
    EXPECT_EQ(pelk_vpn_dns_resolver_apply(connection_), 0);
    // Output read for one child never sets another's servers.
    output(connection_ + 1, {kPush, kCompleted});
    EXPECT_EQ(pelk_vpn_dns_resolver_apply(connection_ + 2), 0);
    EXPECT_EQ(pelk_vpn_dns_resolver_apply(0), 0);
    // A new child's output starts from nothing.
    output(connection_ + 3, {kCompleted});
    EXPECT_EQ(pelk_vpn_dns_resolver_apply(connection_ + 3), 0);
    EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    EXPECT_FALSE(fs::exists(record()));
}

TEST_F(DnsResolverTest, TheNextStartTakesBackWhatACrashedClientLeft) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        output(connection_, {kDevice, kPush, kCompleted});
        _exit(pelk_vpn_dns_resolver_apply(connection_) == 0 ? 0 : 1);  // dies with its servers set
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_NE(veltra_test::read_file(resolv_conf()), kOriginal);
    ASSERT_TRUE(fs::exists(record()));

    pelk_vpn_dns_resolver_undo_recorded();
    EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_NE(log().find("dns: name servers 198.18.4.53 (search vpn.example) of an earlier run taken back from " +
                         resolv_conf() + "\n"),
              std::string::npos)
        << log();
    // Taken back once: a second start finds nothing to do.
    const std::string before = log();
    pelk_vpn_dns_resolver_undo_recorded();
    EXPECT_EQ(log(), before);
}

TEST_F(DnsResolverTest, ADamagedRecordIsDeletedWithoutTouchingTheFile) {
    const std::string records[] = {
        "garbage",
        "[dns]\nmethod=shell\ndevice=tun0\n",
        "[dns]\nmethod=resolved\ndevice=../../x\nservers=1.1.1.1;\n",
        "[dns]\nmethod=file\ndevice=\nkind=2\nlink=\nwritten=eA==\n",
    };
    for (const std::string &text : records) {
        SCOPED_TRACE(text);
        ASSERT_EQ(g_mkdir_with_parents(dir_.file("run").c_str(), 0700), 0);
        ASSERT_TRUE(g_file_set_contents(record().c_str(), text.c_str(), -1, nullptr));
        pelk_vpn_dns_resolver_undo_recorded();
        EXPECT_FALSE(fs::exists(record()));
        EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    }
    EXPECT_NE(log().find("dns: the record of an earlier run cannot be read; deleted\n"), std::string::npos);
}

TEST_F(DnsResolverTest, SystemdResolvedGetsTheServersAndEveryDomainOnTheTunnel) {
    fake_resolvectl();
    output(connection_, {kDevice, kPush, kCompleted});
    ASSERT_EQ(pelk_vpn_dns_resolver_apply(connection_), 0) << log();
    EXPECT_EQ(calls(), "dns lo 198.18.4.53\ndomain lo ~. vpn.example\n");
    EXPECT_EQ(veltra_test::read_file(resolv_conf()), kOriginal);
    EXPECT_TRUE(fs::exists(record()));
    EXPECT_NE(log().find("dns: name servers 198.18.4.53 (search vpn.example) set on lo through systemd-resolved"),
              std::string::npos)
        << log();
    pelk_vpn_dns_resolver_undo(connection_);
    EXPECT_EQ(calls(), "dns lo 198.18.4.53\ndomain lo ~. vpn.example\nrevert lo\n");
    EXPECT_FALSE(fs::exists(record()));
}

TEST_F(DnsResolverTest, AFailedSettingIsRevertedReportedAndNotRecorded) {
    struct Case {
        const char *name;
        const char *fail_on;
        const char *device_line;
        const char *calls;
    };
    const Case cases[] = {
        {"domain_refused", "domain", kDevice, "dns lo 198.18.4.53\ndomain lo ~. vpn.example\nrevert lo\n"},
        {"dns_refused", "dns", kDevice, "dns lo 198.18.4.53\nrevert lo\n"},
        {"no_device_named", "", "", ""},
        {"device_gone", "", "TUN/TAP device veltra-none0 opened\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned int connection = fresh_connection();
        unlink(dir_.file("calls").c_str());
        fake_resolvectl(c.fail_on);
        output(connection, {c.device_line, kPush, kCompleted});
        EXPECT_EQ(pelk_vpn_dns_resolver_apply(connection), -1);
        EXPECT_EQ(calls(), c.calls);
        EXPECT_FALSE(fs::exists(record()));
        pelk_vpn_dns_resolver_undo(connection);
    }
    const std::string text = log();
    EXPECT_NE(text.find("dns: cannot set name servers 198.18.4.53 (search vpn.example) on lo through "
                        "systemd-resolved: resolvectl domain failed: "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("(Failed to set DNS configuration: Link lo not managed)"), std::string::npos) << text;
    EXPECT_NE(text.find("the tunnel device is not known"), std::string::npos) << text;
    EXPECT_EQ(text.find("taken back"), std::string::npos) << text;
}

}  // namespace
