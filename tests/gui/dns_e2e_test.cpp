// The tunnel's name servers as a user meets them: the real client binary in
// the sandbox's `home` namespace, connected and disconnected with the
// connect button, killed while connected and started again. Judged by what
// a lookup in `home` answers and by the bytes of home's resolver file
// (`ip netns exec` mounts the sandbox's file over /etc/resolv.conf, so the
// client writes it in place). systemd-resolved does not run here: these
// cases take the resolver-file path.
#include "gui_session.h"

#include "support/reference_service.h"
#include "support/test_util.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <string>

namespace {

using veltra_test::ClientWindow;
using veltra_test::GuiOptions;
using veltra_test::GuiSession;
using veltra_test::Rect;
using namespace std::chrono_literals;

constexpr Rect kConnect{149, 114, 118, 118};
constexpr int kFirstX = 200, kFirstY = 200;
constexpr const char *kResolvConf = "/etc/resolv.conf";
constexpr const char *kConnected = "vpn state: 4\n";
constexpr const char *kDisconnected = "vpn state: 32\n";

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

// The first address a lookup in this namespace gives for name; "" for none.
std::string lookup(const std::string &name) {
    std::string out;
    if (veltra_test::run_program({"getent", "ahostsv4", name}, &out) != 0) {
        return "";
    }
    return out.substr(0, out.find_first_of(" \t\n"));
}

pid_t parent_of(pid_t pid) {
    const std::string status = veltra_test::read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\nPPid:\t");
    return at == std::string::npos ? -1 : std::stoi(status.substr(at + 7));
}

struct FileIdentity {
    std::string bytes;
    ino_t inode = 0;
    mode_t mode = 0;
};

FileIdentity resolv_conf() {
    FileIdentity file;
    struct stat info {};
    if (lstat(kResolvConf, &info) == 0) {
        file.inode = info.st_ino;
        file.mode = info.st_mode;
    }
    file.bytes = veltra_test::read_file(kResolvConf);
    return file;
}

class DnsE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (env("VELTRA_SANDBOX_APP").empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        // OpenVPN outlives a client killed by a signal; as subreaper this
        // process reaps it.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        name_ = env("VELTRA_SANDBOX_DNS_NAME");
        local_ = env("VELTRA_SANDBOX_DNS_LOCAL_ANSWER");
        tunnel_ = env("VELTRA_SANDBOX_DNS_TUNNEL_ANSWER");
        set_line_ = "dns: name servers " + env("VELTRA_SANDBOX_DNS_TUNNEL_SERVER") + " (search " +
                    env("VELTRA_SANDBOX_DNS_TUNNEL_DOMAIN") + ") set on /etc/resolv.conf\n";
        back_line_ = "dns: name servers " + env("VELTRA_SANDBOX_DNS_TUNNEL_SERVER") + " (search " +
                     env("VELTRA_SANDBOX_DNS_TUNNEL_DOMAIN") + ") taken back from /etc/resolv.conf\n";
    }

    std::unique_ptr<GuiSession> start(const std::string &email, const std::string &password, bool auto_connect) {
        GuiOptions options;
        options.settings = "[Veltra]\nusername=" + email + "\npassword=" + password +
                           "\nfavorite_server=" + env("VELTRA_SANDBOX_VPN_ADDRESS") +
                           "\nauto_connect=" + (auto_connect ? "1" : "0") + "\n";
        options.app_parts = env("VELTRA_SANDBOX_APP");
        std::unique_ptr<GuiSession> gui =
            GuiSession::start(env("VELTRA_SERVICE_BASE_URL"), env("VELTRA_CA_FILE"), options);
        EXPECT_NE(gui, nullptr);
        return gui;
    }

    static std::optional<ClientWindow> main_window(GuiSession &gui) {
        return gui.wait_window("the main window",
                               [](const ClientWindow &w) { return w.frame.x == kFirstX && w.frame.y == kFirstY; });
    }

    static bool logged(GuiSession &gui, const std::string &line, size_t from = 0,
                       std::chrono::milliseconds deadline = 60s) {
        return veltra_test::wait_for([&] { return gui.dev_log().find(line, from) != std::string::npos; }, deadline);
    }

    std::string name_;
    std::string local_;
    std::string tunnel_;
    std::string set_line_;
    std::string back_line_;
};

// While connected nothing leaves outside the tunnel: not IPv6 (the tunnel
// carries none), not IPv4 bound to home's own device.
const veltra_test::SandboxReach kOpen{true, true, true};
const veltra_test::SandboxReach kTunnelOnly{true, false, false};

TEST_F(DnsE2e, LookupsGoThroughTheTunnelOnlyWhileItIsUpAndTheFileComesBackAfterACrash) {
    const FileIdentity before = resolv_conf();
    ASSERT_FALSE(before.bytes.empty());
    ASSERT_EQ(lookup(name_), local_) << "the local network's name server does not answer";
    ASSERT_EQ(veltra_test::sandbox_reach(), kOpen) << veltra_test::describe(veltra_test::sandbox_reach());

    std::unique_ptr<GuiSession> gui = start(env("VELTRA_SANDBOX_EMAIL"), env("VELTRA_SANDBOX_PASSWORD"), true);
    ASSERT_NE(gui, nullptr);
    std::optional<ClientWindow> main = main_window(*gui);
    ASSERT_TRUE(main);
    ASSERT_TRUE(logged(*gui, kConnected)) << gui->dev_log();
    gui->shot("connected");

    // Connected: the tunnel's server answers, and the log says so once.
    EXPECT_EQ(lookup(name_), tunnel_);
    std::string log = gui->dev_log();
    EXPECT_EQ(veltra_test::count_occurrences(log, set_line_), 1) << log;
    // Set before the tunnel check that turns the state "connected".
    EXPECT_LT(log.find(set_line_), log.find(kConnected)) << log;
    const FileIdentity during = resolv_conf();
    EXPECT_NE(during.bytes.find("nameserver " + env("VELTRA_SANDBOX_DNS_TUNNEL_SERVER") + "\n"), std::string::npos)
        << during.bytes;
    EXPECT_EQ(during.bytes.find("nameserver " + env("VELTRA_SANDBOX_DNS_LOCAL_SERVER")), std::string::npos)
        << during.bytes;
    // Written in place: the mounted file is still the one mounted.
    EXPECT_EQ(during.inode, before.inode);
    const veltra_test::SandboxReach connected = veltra_test::sandbox_reach();
    EXPECT_EQ(connected, kTunnelOnly) << veltra_test::describe(connected);
    EXPECT_TRUE(veltra_test::sandbox_leak_block_present());

    // Disconnect with the button: the file is taken back before
    // "Disconnected!", byte for byte.
    size_t mark = gui->dev_log().size();
    gui->click(*main, kConnect);
    ASSERT_TRUE(logged(*gui, kDisconnected, mark)) << gui->dev_log();
    log = gui->dev_log().substr(mark);
    EXPECT_NE(log.find(back_line_), std::string::npos) << log;
    EXPECT_LT(log.find(back_line_), log.find(kDisconnected)) << log;
    EXPECT_EQ(resolv_conf().bytes, before.bytes);
    EXPECT_EQ(resolv_conf().inode, before.inode);
    EXPECT_EQ(lookup(name_), local_);
    // The block went with the connection, before "Disconnected!".
    EXPECT_FALSE(veltra_test::sandbox_leak_block_present());
    EXPECT_EQ(veltra_test::sandbox_reach(), kOpen);
    gui->shot("disconnected");

    // Connected again, then the window is killed: its helper ends with it,
    // its OpenVPN and its name servers stay behind.
    mark = gui->dev_log().size();
    gui->click(*main, kConnect);
    ASSERT_TRUE(logged(*gui, kConnected, mark)) << gui->dev_log();
    EXPECT_EQ(lookup(name_), tunnel_);
    const pid_t openvpn = gui->openvpn_child();
    ASSERT_GT(openvpn, 0);
    const pid_t helper = parent_of(openvpn);
    const pid_t client = parent_of(helper);
    ASSERT_GT(client, 0);
    ASSERT_EQ(kill(client, SIGKILL), 0);
    EXPECT_EQ(gui->wait_exit(), -1);
    EXPECT_TRUE(veltra_test::wait_for([&] {
        waitpid(helper, nullptr, WNOHANG);
        return !g_file_test(("/proc/" + std::to_string(helper)).c_str(), G_FILE_TEST_EXISTS);
    })) << "the helper outlived its window";
    EXPECT_EQ(lookup(name_), tunnel_) << "the crash took the name servers back by itself";
    EXPECT_NE(resolv_conf().bytes, before.bytes);
    // The block stays with the OpenVPN that outlives its window.
    EXPECT_TRUE(veltra_test::sandbox_leak_block_present());
    EXPECT_EQ(veltra_test::sandbox_reach(), kTunnelOnly);
    gui.reset();

    // Then a reboot: OpenVPN ends with the machine and /run is emptied; the
    // record of the name servers, kept where a reboot does not reach, is
    // all that is left of them.
    ASSERT_EQ(kill(openvpn, SIGTERM), 0);
    EXPECT_TRUE(veltra_test::wait_for([&] {
        waitpid(openvpn, nullptr, WNOHANG);
        return !g_file_test(("/proc/" + std::to_string(openvpn)).c_str(), G_FILE_TEST_EXISTS);
    }));
    veltra_test::run_program({"rm", "-rf", "/run/veltra"});
    veltra_test::run_program({"nft", "delete", "table", "inet", "veltra_leak_block"});
    ASSERT_TRUE(g_file_test("/var/lib/veltra/dns.run", G_FILE_TEST_EXISTS));
    EXPECT_NE(resolv_conf().bytes, before.bytes) << "still naming the tunnel's server, which is gone";

    // The next start, signed in but not connecting, puts the file back.
    std::unique_ptr<GuiSession> next = start(env("VELTRA_SANDBOX_EMAIL"), env("VELTRA_SANDBOX_PASSWORD"), false);
    ASSERT_NE(next, nullptr);
    const std::string earlier = "dns: name servers " + env("VELTRA_SANDBOX_DNS_TUNNEL_SERVER") + " (search " +
                                env("VELTRA_SANDBOX_DNS_TUNNEL_DOMAIN") +
                                ") of an earlier run taken back from /etc/resolv.conf\n";
    EXPECT_TRUE(logged(*next, earlier, 0, 30s)) << next->dev_log();
    EXPECT_TRUE(logged(*next, "Windows controller - on login start enter\n")) << next->dev_log();
    EXPECT_EQ(resolv_conf().bytes, before.bytes);
    EXPECT_EQ(resolv_conf().inode, before.inode);
    EXPECT_EQ(resolv_conf().mode, before.mode);
    EXPECT_EQ(lookup(name_), local_);
    EXPECT_EQ(veltra_test::sandbox_reach(), kOpen);
    EXPECT_FALSE(g_file_test("/var/lib/veltra/dns.run", G_FILE_TEST_EXISTS));
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
}

TEST_F(DnsE2e, AServerThatPushesNoNameServersLeavesTheFileUntouched) {
    const FileIdentity before = resolv_conf();
    std::unique_ptr<GuiSession> gui =
        start(env("VELTRA_SANDBOX_NODNS_EMAIL"), env("VELTRA_SANDBOX_NODNS_PASSWORD"), true);
    ASSERT_NE(gui, nullptr);
    std::optional<ClientWindow> main = main_window(*gui);
    ASSERT_TRUE(main);
    ASSERT_TRUE(logged(*gui, kConnected)) << gui->dev_log();
    gui->shot("connected_without_dns");
    EXPECT_EQ(resolv_conf().bytes, before.bytes);
    EXPECT_EQ(resolv_conf().inode, before.inode);
    // The local network's server, reached through the tunnel.
    EXPECT_EQ(lookup(name_), local_);

    const size_t mark = gui->dev_log().size();
    gui->click(*main, kConnect);
    ASSERT_TRUE(logged(*gui, kDisconnected, mark)) << gui->dev_log();
    EXPECT_EQ(resolv_conf().bytes, before.bytes);
    // Nothing set, nothing taken back: no line of this run's own (an earlier
    // run's record, taken back at start, is another matter).
    const std::string log = gui->dev_log();
    EXPECT_EQ(log.find(") set on "), std::string::npos) << log;
    EXPECT_EQ(log.find("dns: cannot"), std::string::npos) << log;
    EXPECT_EQ(log.find(") taken back from"), std::string::npos) << log;
    EXPECT_NE(gui->out_log().find("PUSH: Received control message: 'PUSH_REPLY"), std::string::npos) << gui->out_log();
}

}  // namespace
