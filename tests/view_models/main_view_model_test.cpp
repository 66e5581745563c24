#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service/http_manager.h"
#include "service_fixture.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// "(none)" tells an absent text from an empty one.
std::string taken(char *text) { return text != nullptr ? veltra_test::take_text(text) : "(none)"; }

using veltra_test::kAlice;
using veltra_test::kCarol;

// A reply record as the transport leaves it, for the handlers.
struct Reply {
    Reply(int status, const char *body) : response(http_response_new(nullptr)) {
        response->status_code = status;
        http_response_append(response, body);
    }
    ~Reply() { http_response_free(response); }
    http_response *response;
};

class MainViewModelTest : public veltra_test::ServiceFixture {
  protected:
    void sign_in(const veltra_test::ServiceAccount &account) {
        pelk_view_model_login_username_set_new(account.email.c_str());
        pelk_view_model_login_password_set_new(account.password.c_str());
        pelk_view_model_on_login_click();
    }
    static std::string selected_address() {
        pelk_dal_server_entity *server = pelk_view_model_main_selected_server_get();
        return server != nullptr ? server->server_address : "(none)";
    }
};

TEST_F(MainViewModelTest, ServerListSelectsAnEnabledFavouriteOnly) {
    struct Case {
        const char *name;
        const veltra_test::ServiceAccount *account;
        const char *stored_favourite;  // nullptr: none stored
        const char *selected;
        pelk_dal_vpn_button_state state;
    };
    const Case cases[] = {
        {"favourite enabled", &kAlice, "198.18.1.2", "198.18.1.2", 1},
        {"favourite not covered by the plan", &kCarol, "198.18.1.2", "(none)", 2},
        {"favourite not in the list", &kAlice, "203.0.113.9", "(none)", 2},
        {"no favourite stored", &kAlice, nullptr, "(none)", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pelk_platform_Specific_settings_manager_favorite_server_set(c.stored_favourite != nullptr ? c.stored_favourite
                                                                                                  : "");
        sign_in(*c.account);
        EXPECT_EQ(selected_address(), c.selected);
        EXPECT_EQ(pelk_view_model_main_vpn_state_get(), c.state);
        EXPECT_EQ(pelk_view_model_main_is_server_list_enabled_get(), 1);
        int favourites = 0;
        server_entity_container *list = pelk_view_model_main_server_list_get();
        for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(list, i); ++i) {
            favourites += server->is_favourite;
        }
        EXPECT_EQ(favourites, c.selected[0] == '(' ? 0 : 1);
    }
}

TEST_F(MainViewModelTest, UnusableOrFailedListReplies) {
    sign_in(kAlice);
    server_entity_container *first = pelk_view_model_main_server_list_get();
    ASSERT_NE(first, nullptr);
    // What a view of the first list keeps.
    pelk_dal_server_entity *shown = server_entity_container_find_item_by_server_address(first, "198.18.1.3");
    ASSERT_NE(shown, nullptr);

    // Another status leaves the list as it was.
    for (int status : {500, 302, 404, 0}) {
        Reply reply(status, "[]\r\n");
        on_http_response_server_list(reply.response);
        EXPECT_EQ(pelk_view_model_main_server_list_get(), first) << status;
    }
    // A reply without a usable list leaves none (or, with no object at all,
    // an empty one), and nothing selected.
    for (const char *body : {"{\"error_code\":2}\r\n", "[{\"server_name\":\"x\"}]\r\n", "garbage\r\n"}) {
        Reply reply(200, body);
        on_http_response_server_list(reply.response);
        EXPECT_EQ(server_entity_container_get_items_count(pelk_view_model_main_server_list_get()), 0) << body;
        EXPECT_EQ(pelk_view_model_main_selected_server_get(), nullptr);
        EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 2u);
    }
    EXPECT_NE(dev_log().find("http_response_delegate: ERROR! Unable to parse!\n"), std::string::npos);

    // A new sign-in replaces the list again; every list a view was shown
    // stays whole for the rest of the run.
    sign_in(kAlice);
    EXPECT_NE(pelk_view_model_main_server_list_get(), first);
    EXPECT_EQ(server_entity_container_get_items_count(first), 3);
    EXPECT_EQ(server_entity_container_find_item_by_server_address(first, "198.18.1.3"), shown);
    EXPECT_STREQ(shown->server_name, "Oslo");
    EXPECT_STREQ(shown->country_code, "no");
}

TEST(MainViewModelThreads, PointerGettersAreForTheMainThreadOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using Getter = void (*)();
    const Getter getters[] = {
        [] { pelk_view_model_main_server_list_get(); },
        [] { pelk_view_model_main_selected_server_get(); },
        [] { pelk_view_model_main_favorite_server_get(); },
        [] {
            pelk_json_authentication record{};
            pelk_view_model_main_authentication_get(&record);
        },
    };
    for (Getter getter : getters) {
        getter();  // the main thread
        EXPECT_DEATH(std::thread(getter).join(), "");
    }
}

TEST_F(MainViewModelTest, ChoosingAServerMakesTheFirstChoiceTheFavourite) {
    sign_in(kAlice);
    server_entity_container *list = pelk_view_model_main_server_list_get();
    pelk_dal_server_entity *oslo = server_entity_container_find_item_by_server_address(list, "198.18.1.3");
    pelk_dal_server_entity *paris = server_entity_container_find_item_by_server_address(list, "198.18.1.2");
    ASSERT_NE(oslo, nullptr);

    pelk_view_model_main_selected_server_set(oslo);
    EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 1u);
    EXPECT_EQ(oslo->is_favourite, 1);
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_favorite_server_get()), "198.18.1.3");

    pelk_view_model_main_selected_server_set(paris);
    EXPECT_EQ(paris->is_favourite, 0);
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_favorite_server_get()), "198.18.1.3");

    // A choice clears an error; none disables the button.
    pelk_view_model_main_vpn_state_set(96);
    pelk_view_model_main_selected_server_set(oslo);
    EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 1u);
    pelk_view_model_main_selected_server_reset();
    EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 2u);
    EXPECT_EQ(pelk_view_model_main_is_server_list_enabled_get(), 1);
}

TEST_F(MainViewModelTest, ConnectButtonActsOnTheStateWord) {
    sign_in(kAlice);
    server_entity_container *list = pelk_view_model_main_server_list_get();
    pelk_view_model_main_selected_server_set(server_entity_container_find_item_by_server_address(list, "198.18.1.1"));

    enum Action { kNothing, kConnect, kDisconnect };
    struct Case {
        pelk_dal_vpn_button_state state;
        Action action;
    };
    const Case cases[] = {{0, kNothing},    {1, kConnect},  {2, kNothing},     {4, kDisconnect},
                          {8, kDisconnect}, {16, kNothing}, {32, kConnect},    {64, kNothing},
                          {80, kNothing},   {96, kConnect}, {68, kDisconnect}, {72, kDisconnect}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.state);
        vpn_manager_thread_reset_command();
        pelk_view_model_main_vpn_state_reset();
        if (c.state != 0) {
            pelk_view_model_main_vpn_state_set(c.state);
        }
        pelk_view_model_main_on_vpn_button_clicked();
        switch (c.action) {
        case kNothing:
            EXPECT_EQ(vpn_manager_thread_command(), 2);
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), c.state);
            break;
        case kConnect:
            // The manager sets "connecting" when it picks the job up.
            EXPECT_EQ(vpn_manager_thread_command(), 0);
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), c.state);
            break;
        case kDisconnect:
            EXPECT_EQ(vpn_manager_thread_command(), 1);
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 16u | (c.state & 64u));
            break;
        }
    }
    // The job carries the selected server and the signed-in account, and the
    // password appears in no log.
    EXPECT_NE(dev_log().find("SERVER:198.18.1.1\n"), std::string::npos);
    EXPECT_NE(dev_log().find("USERNAME:alice@example.com\nPASSWORD:***\n"), std::string::npos);
    EXPECT_EQ(dev_log().find(kAlice.password), std::string::npos);
}

TEST_F(MainViewModelTest, OnlyTheCurrentConnectionsAnswerJudgesTheTunnel) {
    EXPECT_EQ(taken(pelk_view_model_main_flag_path_get_new()), "flags/.png");

    // The first answer, whatever the state: the address without a tunnel.
    pelk_view_model_main_vpn_state_set(8);
    pelk_view_model_main_update_public_ip();
    EXPECT_EQ(pelk_view_model_main_update_ip_job_state_get(), 2);
    EXPECT_EQ(taken(pelk_view_model_main_ip_get_new()), "127.0.0.1");
    EXPECT_EQ(taken(pelk_view_model_main_country_code_get_new()), "zz");
    EXPECT_EQ(taken(pelk_view_model_main_flag_path_get_new()), "flags/zz.png");
    EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 8u);

    enum Outcome { kConnected, kError, kRemoteCleared, kNothing };
    struct Case {
        const char *name;
        unsigned int current;  // 0: the connection has ended
        int alive;
        unsigned int answer_for;
        const char *ip;
        Outcome outcome;
    };
    const Case cases[] = {
        {"changed address", 2, 1, 2, "198.18.2.1", kConnected},
        {"unchanged address", 3, 1, 3, "127.0.0.1", kError},
        {"child gone", 4, 0, 4, "198.18.2.9", kRemoteCleared},
        {"earlier connection", 6, 1, 5, "127.0.0.1", kNothing},
        {"earlier connection, changed address", 7, 1, 6, "198.18.2.1", kNothing},
        {"no connection (start-up lookup)", 7, 1, 0, "127.0.0.1", kNothing},
        {"start-up lookup after a disconnect was asked for", 0, 1, 0, "198.18.2.1", kNothing},
        {"after a disconnect was asked for", 0, 1, 8, "198.18.2.1", kNothing},
        {"a later connection's number", 8, 1, 9, "198.18.2.1", kNothing},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A remote address from an earlier check is on show.
        pelk_view_model_main_connection_begin(1, 1);
        pelk_view_model_main_vpn_state_reset();
        pelk_view_model_main_vpn_state_set(8);
        pelk_view_model_main_geo_set_for(1, "198.18.2.7", "se");
        ASSERT_EQ(taken(pelk_view_model_main_ip_get_new()), "198.18.2.7");
        vpn_manager_thread_reset_command();
        pelk_view_model_main_vpn_state_reset();
        pelk_view_model_main_vpn_state_set(8);
        pelk_view_model_main_connection_begin(c.current != 0 ? c.current : 8, c.alive);
        if (c.current == 0) {
            pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
            vpn_manager_thread_reset_command();
        }
        const pelk_dal_vpn_button_state before = pelk_view_model_main_vpn_state_get();

        pelk_view_model_main_geo_set_for(c.answer_for, c.ip, "xx");
        switch (c.outcome) {
        case kConnected:
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 4u);
            EXPECT_EQ(taken(pelk_view_model_main_ip_get_new()), c.ip);
            EXPECT_EQ(taken(pelk_view_model_main_flag_path_get_new()), "flags/xx.png");
            EXPECT_EQ(vpn_manager_thread_command(), 2);
            break;
        case kError:
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 80u);
            EXPECT_EQ(vpn_manager_thread_command(), 1);
            break;
        case kRemoteCleared:
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), 8u);
            EXPECT_EQ(pelk_view_model_main_update_ip_job_state_get(), 0);
            EXPECT_EQ(taken(pelk_view_model_main_ip_get_new()), "127.0.0.1");
            EXPECT_EQ(taken(pelk_view_model_main_country_code_get_new()), "zz");
            EXPECT_EQ(vpn_manager_thread_command(), 2);
            break;
        case kNothing:
            EXPECT_EQ(pelk_view_model_main_vpn_state_get(), before);
            EXPECT_EQ(taken(pelk_view_model_main_ip_get_new()), "198.18.2.7");
            EXPECT_EQ(vpn_manager_thread_command(), 2);
            break;
        }
    }
    // The address outside the tunnel was never replaced.
    pelk_view_model_main_geo_remote_reset();
    EXPECT_EQ(taken(pelk_view_model_main_ip_get_new()), "127.0.0.1");
}

TEST_F(MainViewModelTest, FlagPathsStayInsideTheFlagFolder) {
    const char *cases[][2] = {
        {"de", "flags/de.png"},        {"", "flags/.png"},    {nullptr, "flags/.png"},
        {"../../etc/x", "flags/.png"}, {"a/b", "flags/.png"}, {"..", "flags/.png"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(taken(pelk_view_model_main_format_flag_path_new(c[0])), c[1]) << (c[0] ? c[0] : "null");
    }
}

TEST_F(MainViewModelTest, AFailedLookupLeavesTheAddressesAlone) {
    http_manager_base_url_override("https://127.0.0.1:1/RESTF-1.0.2/rest/api/");
    pelk_view_model_main_update_public_ip();
    EXPECT_EQ(pelk_view_model_main_update_ip_job_state_get(), 3);
    EXPECT_EQ(pelk_view_model_main_has_initial_ip(), 0);

    // Replies without an address are not an address.
    for (const char *body :
         {"{}\r\n", "{\"ip\":1}\r\n", "[\r\n", "\r\n", "{\"ip\":\"\",\"country_code\":\"xx\"}\r\n"}) {
        Reply reply(200, body);
        on_http_response_public_ip(reply.response);
        EXPECT_EQ(pelk_view_model_main_has_initial_ip(), 0) << body;
    }
    Reply refused(403, "{\"ip\":\"1.2.3.4\",\"country_code\":\"xx\"}\r\n");
    on_http_response_public_ip(refused.response);
    EXPECT_EQ(pelk_view_model_main_has_initial_ip(), 0);
}

TEST_F(MainViewModelTest, StateUpdatesFromManyThreadsLoseNothingAndReachTheTrayInOrder) {
    pelk_view_model_main_vpn_state_reset();
    constexpr int kThreads = 4;
    constexpr int kUpdates = 500;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go] {
            while (!go) {
            }
            for (int i = 0; i < kUpdates; ++i) {
                // One thread marks an error half-way; no later update may drop it.
                pelk_view_model_main_vpn_state_set(t == 0 && i == kUpdates / 2 ? 64u : (1u << (t + 1)));
            }
        });
    }
    go = true;
    for (std::thread &thread : threads) {
        thread.join();
    }
    drain_main_loop();
    const auto delivered = veltra_test::tray_states();
    ASSERT_EQ(delivered.size(), static_cast<size_t>(kThreads * kUpdates));
    EXPECT_EQ(delivered.back(), pelk_view_model_main_vpn_state_get());
    EXPECT_NE(pelk_view_model_main_vpn_state_get() & 64u, 0u);
    // Once the error shows on the tray it stays: deliveries keep set order.
    bool error_seen = false;
    for (pelk_dal_vpn_button_state state : delivered) {
        if (error_seen) {
            ASSERT_NE(state & 64u, 0u);
        }
        error_seen = error_seen || (state & 64u) != 0;
    }
}

TEST_F(MainViewModelTest, TrayFollowsAConnectionCycleInOrder) {
    veltra_test::forget_ui_records();
    std::thread worker([] {
        pelk_view_model_main_vpn_state_reset();
        pelk_view_model_main_vpn_state_set(8);
        pelk_view_model_main_vpn_state_set(4);
    });
    worker.join();
    pelk_view_model_main_vpn_state_set(16);
    std::thread([] { pelk_view_model_main_vpn_state_set(32); }).join();
    drain_main_loop();
    EXPECT_EQ(veltra_test::tray_states(), (std::vector<pelk_dal_vpn_button_state>{8, 4, 16, 32}));
}

TEST_F(MainViewModelTest, AutoConnectAfterSignInStartsTheFavourite) {
    for (const bool auto_connect : {false, true}) {
        SCOPED_TRACE(auto_connect);
        vpn_manager_thread_reset_command();
        pelk_platform_Specific_settings_manager_favorite_server_set("198.18.1.3");
        pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_set(auto_connect ? 1 : 0);
        sign_in(kAlice);
        EXPECT_EQ(selected_address(), "198.18.1.3");
        EXPECT_EQ(pelk_view_model_main_vpn_state_get(), auto_connect ? 8u : 1u);
        EXPECT_EQ(vpn_manager_thread_command(), auto_connect ? 0 : 2);
    }
    EXPECT_NE(dev_log().find("Auto connect to favorite server\n"), std::string::npos);
}

}  // namespace
