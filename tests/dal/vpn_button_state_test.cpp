#include "dal/vpn_button_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string text_of(pelk_dal_vpn_button_state state) {
    const char *text = pelk_dal_vpn_button_state_to_string(state);
    return text != nullptr ? text : "(none)";
}

TEST(VpnButtonStateTest, StatusTextFollowsBothRuleLists) {
    const struct {
        pelk_dal_vpn_button_state state;
        const char *text;
    } cases[] = {
        {0, "(none)"},
        {1, "Ready!"},
        {2, "Select server..."},
        {4, "Connected! Your Internet is now secure."},
        {8, "Connecting..."},
        {16, "Disconnecting..."},
        {32, "Disconnected!"},
        {128, "(none)"},  // no flag the rules know
        {0xffffff80u, "(none)"},
        // Combined values: first rule wins.
        {48, "Disconnected!"},
        {3, "Select server..."},
        {12, "Connected! Your Internet is now secure."},
        {20, "Disconnecting..."},
        {33, "Disconnected!"},
        {63, "Disconnected!"},
        // With the error flag 16 is tested before 32.
        {64, "Error!"},
        {65, "Error!"},
        {66, "Error!"},
        {68, "Error!"},
        {72, "Error!"},
        {80, "Error! Disconnecting..."},
        {96, "Error! Disconnected!"},
        {112, "Error! Disconnecting..."},
        {127, "Error! Disconnecting..."},
        {64 | 128, "Error!"},
        {0xffffffffu, "Error! Disconnecting..."},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(text_of(c.state), c.text) << c.state;
    }
}

TEST(VpnButtonStateTest, EachPredicateSeesOnlyItsFlag) {
    int (*const predicates[])(pelk_dal_vpn_button_state) = {
        pelk_dal_vpn_button_state_is_enabled,       pelk_dal_vpn_button_state_is_disabled,
        pelk_dal_vpn_button_state_is_connected,     pelk_dal_vpn_button_state_is_connecting,
        pelk_dal_vpn_button_state_is_disconnecting, pelk_dal_vpn_button_state_is_disconnected,
        pelk_dal_vpn_button_state_is_error,
    };
    const pelk_dal_vpn_button_state states[] = {0, 1, 2, 4, 8, 16, 32, 64, 48, 66, 80, 96, 112, 127, 128, 0xffffffffu};
    for (const pelk_dal_vpn_button_state state : states) {
        for (int bit = 0; bit < 7; ++bit) {
            const pelk_dal_vpn_button_state flag = 1u << bit;
            // The masked value itself, not just "true".
            EXPECT_EQ(predicates[bit](state), static_cast<int>(state & flag)) << state << " flag " << flag;
        }
    }
}

TEST(VpnButtonStateTest, UpdateKeepsOnlyTheErrorFlagOfTheOldState) {
    const struct {
        pelk_dal_vpn_button_state old_state;
        pelk_dal_vpn_button_state value;
        pelk_dal_vpn_button_state result;
    } cases[] = {
        {8, 4, 4},   {4, 16, 16},  {16, 32, 32}, {32, 8, 8},  {2, 1, 1},   {0, 8, 8},
        {4, 64, 64}, {64, 16, 80}, {80, 32, 96}, {64, 2, 66}, {96, 4, 68}, {64, 64, 64},
        {64, 0, 64}, {127, 1, 65}, {48, 0, 0},   {128, 8, 8}, {0, 96, 96}, {0xffffffffu, 0, 64},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(pelk_dal_vpn_button_state_updated(c.old_state, c.value), c.result)
            << c.old_state << " <- " << c.value;
        pelk_dal_vpn_button_state state = c.old_state;
        pelk_dal_vpn_button_state_update(&state, c.value);
        EXPECT_EQ(state, c.result);
    }
    pelk_dal_vpn_button_state_update(nullptr, 4);
    pelk_dal_vpn_button_state_reset(nullptr);
    pelk_dal_vpn_button_state_reset_error_flag(nullptr);

    // Clearing the error flag keeps every other flag, unknown ones included.
    for (const pelk_dal_vpn_button_state before : {96u, 80u, 64u, 32u, 0u, 0xFFFFFFFFu}) {
        pelk_dal_vpn_button_state state = before;
        pelk_dal_vpn_button_state_reset_error_flag(&state);
        EXPECT_EQ(state, before & ~64u) << before;
    }
}

TEST(VpnButtonStateTest, TheFlowsProduceTheDocumentedStatesAndTexts) {
    pelk_dal_vpn_button_state state = 2;
    EXPECT_EQ(text_of(state), "Select server...");
    const struct {
        bool reset;
        pelk_dal_vpn_button_state value;
        pelk_dal_vpn_button_state result;
        const char *text;
    } steps[] = {
        {true, 1, 1, "Ready!"},
        {true, 8, 8, "Connecting..."},
        {false, 4, 4, "Connected! Your Internet is now secure."},
        {false, 16, 16, "Disconnecting..."},
        {false, 32, 32, "Disconnected!"},
        {true, 8, 8, "Connecting..."},
        {false, 64, 64, "Error!"},  // the address did not change
        {false, 16, 80, "Error! Disconnecting..."},
        {false, 32, 96, "Error! Disconnected!"},
        {false, 2, 66, "Error!"},       // no server chosen: still an error
        {true, 8, 8, "Connecting..."},  // the next connect clears it
        {false, 64, 64, "Error!"},
        {true, 1, 1, "Ready!"},  // so does choosing a server
    };
    for (const auto &step : steps) {
        if (step.reset) {
            pelk_dal_vpn_button_state_reset(&state);
            EXPECT_EQ(state, 0u);
            EXPECT_EQ(text_of(state), "(none)");
        }
        pelk_dal_vpn_button_state_update(&state, step.value);
        EXPECT_EQ(state, step.result) << step.value;
        EXPECT_EQ(text_of(state), step.text) << state;
    }
}

// The live word is shared by the GUI and VPN threads; applied with a
// compare-exchange, an error raised once survives any number of concurrent
// updates.
TEST(VpnButtonStateTest, ErrorRaisedConcurrentlyIsNeverLost) {
    std::atomic<pelk_dal_vpn_button_state> live{8};
    auto apply = [&live](pelk_dal_vpn_button_state value) {
        pelk_dal_vpn_button_state old_state = live.load();
        while (!live.compare_exchange_weak(old_state, pelk_dal_vpn_button_state_updated(old_state, value))) {
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&apply, t] {
            for (int i = 0; i < 20000; ++i) {
                apply(t % 2 == 0 ? 16 : 32);
            }
        });
    }
    threads.emplace_back([&apply] { apply(64); });
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_NE(pelk_dal_vpn_button_state_is_error(live.load()), 0);
    const pelk_dal_vpn_button_state final_state = live.load();
    EXPECT_TRUE(final_state == 64 || final_state == 80 || final_state == 96) << final_state;
}

}  // namespace
