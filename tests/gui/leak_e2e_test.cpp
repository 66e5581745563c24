// What the leak block stops, and what the check of the tunnel catches, as a
// user meets them: the real client in the sandbox's `home` namespace.
// Every check that a rule of the block makes pass is shown to fail with
// that rule left out, and a move to another network is caught with the
// block and without it.
#include "gui_session.h"

#include "support/reference_service.h"
#include "support/test_util.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <string>

namespace {

using veltra_test::ClientWindow;
using veltra_test::GuiOptions;
using veltra_test::GuiSession;
using veltra_test::Rect;
using veltra_test::SandboxReach;
using namespace std::chrono_literals;

constexpr Rect kConnect{149, 114, 118, 118};
constexpr int kFirstX = 200, kFirstY = 200;

std::string env(const char *name) {
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

class LeakE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (env("VELTRA_SANDBOX_APP").empty()) {
            GTEST_SKIP() << "not inside the sandbox";
        }
        // OpenVPN outlives a client ended by a signal; as subreaper this
        // process reaps it.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    }
    void TearDown() override {
        // A client ended by the test leaves its block (as a crash would).
        veltra_test::run_program({"nft", "delete", "table", "inet", "veltra_leak_block"});
        veltra_test::run_program({VELTRA_SANDBOX_SCRIPT, "move-home", "back"});
    }

    std::unique_ptr<GuiSession> start(const std::string &account, const std::string &server, bool auto_connect,
                                      const std::string &omit) {
        GuiOptions options;
        options.settings = "[Veltra]\nusername=" + env(("VELTRA_SANDBOX" + account + "_EMAIL").c_str()) +
                           "\npassword=" + env(("VELTRA_SANDBOX" + account + "_PASSWORD").c_str()) +
                           "\nfavorite_server=" + server + "\nauto_connect=" + (auto_connect ? "1" : "0") + "\n";
        options.app_parts = env("VELTRA_SANDBOX_APP");
        options.environment = {"VELTRA_LEAK_BLOCK_OMIT=" + omit};
        std::unique_ptr<GuiSession> gui =
            GuiSession::start(env("VELTRA_SERVICE_BASE_URL"), env("VELTRA_CA_FILE"), options);
        EXPECT_NE(gui, nullptr);
        return gui;
    }

    static bool logged(GuiSession &gui, const std::string &line, std::chrono::milliseconds deadline = 60s) {
        return veltra_test::wait_for([&] { return gui.dev_log().find(line) != std::string::npos; }, deadline);
    }
};

TEST_F(LeakE2e, EachRuleLeftOutLetsItsLeakThrough) {
    struct Case {
        const char *omit;
        SandboxReach connected;
    };
    const Case cases[] = {
        {"", {true, false, false}},
        {"ipv6", {true, true, false}},
        {"ipv4", {true, false, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("left out: ") + c.omit);
        std::unique_ptr<GuiSession> gui = start("", env("VELTRA_SANDBOX_VPN_ADDRESS"), true, c.omit);
        ASSERT_NE(gui, nullptr);
        ASSERT_TRUE(logged(*gui, "vpn state: 4\n")) << gui->dev_log();
        const SandboxReach reach = veltra_test::sandbox_reach();
        EXPECT_EQ(reach, c.connected) << veltra_test::describe(reach);
    }
}

TEST_F(LeakE2e, AMoveToAnotherNetworkIsNoTunnel) {
    // split@example.com's tunnel carries no default route: through it the
    // service sees the address outside. With the block that address cannot
    // even be asked for; without it, only a reference looked up anew tells
    // the tunnel from the network the laptop moved to.
    for (const char *omit : {"", "all"}) {
        SCOPED_TRACE(std::string("leak block left out: ") + omit);
        std::unique_ptr<GuiSession> gui = start("_SPLIT", env("VELTRA_SANDBOX_VPN_ADDRESS"), false, omit);
        ASSERT_NE(gui, nullptr);
        const std::optional<ClientWindow> main = gui->wait_window(
            "the main window", [](const ClientWindow &w) { return w.frame.x == kFirstX && w.frame.y == kFirstY; });
        ASSERT_TRUE(main);
        ASSERT_TRUE(logged(*gui, "ip:" + env("VELTRA_SANDBOX_HOME_ADDRESS") + "\ngeo_set: setting initial \n"))
            << gui->dev_log();
        ASSERT_TRUE(logged(*gui, "vpn state: 1\n")) << gui->dev_log();
        ASSERT_EQ(veltra_test::run_program({VELTRA_SANDBOX_SCRIPT, "move-home"}), 0);
        gui->click(*main, kConnect);
        ASSERT_TRUE(logged(*gui, "vpn state: 96\n")) << gui->dev_log();
        EXPECT_EQ(gui->dev_log().find("vpn state: 4\n"), std::string::npos) << gui->dev_log();
        gui->shot(std::string("moved_network_") + (omit[0] != '\0' ? omit : "blocked"));
        ASSERT_EQ(veltra_test::run_program({VELTRA_SANDBOX_SCRIPT, "move-home", "back"}), 0);
    }
}

}  // namespace
