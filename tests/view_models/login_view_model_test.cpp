#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service_fixture.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"

#include <string>

namespace {

// "(none)" tells an absent text from an empty one.
std::string taken(char *text) { return text != nullptr ? veltra_test::take_text(text) : "(none)"; }

using veltra_test::kAlice;
using veltra_test::kBob;

class LoginViewModelTest : public veltra_test::ServiceFixture {
  protected:
    // What the user had remembered before this sign-in.
    void remember(const char *username, const char *password) {
        pelk_platform_specific_settings_manager_username_set(username);
        pelk_platform_specific_settings_manager_password_set(password);
        pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
    }

    void sign_in(const std::string &email, const std::string &password) {
        pelk_view_model_login_username_set_new(email.c_str());
        pelk_view_model_login_password_set_new(password.c_str());
        pelk_view_model_on_login_click();
    }
};

TEST_F(LoginViewModelTest, EachFailureCodeClearsKeepsAndShowsItsOwnThings) {
    struct Case {
        const char *name;
        std::string email;
        std::string password;
        int job_state;
        const char *dialog;  // nullptr: none
        const char *url;
        const char *username_after;  // in the view model and the store
        const char *password_after;
    };
    const Case cases[] = {
        {"unknown e-mail", "nobody@example.com", "x", 1,
         "The email address entered\ndoes not exist.\n \nClick here to sign up", "https://veltra.example/sign-up", "",
         ""},
        {"wrong password", kAlice.email, "wrong", 1, "The password entered\nis incorrect", "", kAlice.email.c_str(),
         ""},
        {"expired plan", kBob.email, kBob.password, 1, "Current plan has expired.\nClick here to purchase a plan",
         "https://veltra.example/pricing", kBob.email.c_str(), kBob.password.c_str()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        veltra_test::forget_ui_records();
        remember(c.email.c_str(), c.password.c_str());
        sign_in(c.email, c.password);

        EXPECT_EQ(pelk_view_model_login_authentication_job_state_get(), c.job_state);
        EXPECT_EQ(pelk_view_login_model_is_authenticated_get(), 0);
        const auto dialog = veltra_test::last_dialog();
        EXPECT_EQ(dialog.count, 1);
        EXPECT_EQ(dialog.message, c.dialog);
        EXPECT_EQ(dialog.url, c.url);
        EXPECT_EQ(taken(pelk_view_model_login_username_get_new()), c.username_after);
        EXPECT_EQ(taken(pelk_view_model_login_password_get_new()), c.password_after);
        // The store reads an empty value as none.
        const std::string stored_user = taken(pelk_platform_specific_settings_manager_username_get());
        const std::string stored_password = taken(pelk_platform_specific_settings_manager_password_get());
        EXPECT_EQ(stored_user, c.username_after[0] ? c.username_after : "(none)");
        EXPECT_EQ(stored_password, c.password_after[0] ? c.password_after : "(none)");
        EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), 0);
    }
}

TEST_F(LoginViewModelTest, CodesWithoutAServiceReplyFollowTheSameRules) {
    struct Case {
        int code;
        const char *dialog;
        int autostart_after;  // -1 says nothing of the account
    };
    const Case cases[] = {{-1, "Error occurred\ntry again", 1}, {4, nullptr, 0}, {-7, nullptr, 0}, {1000, nullptr, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        veltra_test::forget_ui_records();
        remember("keep@example.com", "kept");
        pelk_platform_specific_settings_manager_auto_start_on_logon_set(1);
        pelk_view_model_login_username_set_new("keep@example.com");
        pelk_view_model_login_password_set_new("kept");
        pelk_json_authentication record{};
        record.error_code = c.code;
        record.plan_name = pelk_string_helper_string_new_from("would leak if kept");
        pelk_view_model_login_is_authenticated_set(record);
        const auto dialog = veltra_test::last_dialog();
        EXPECT_EQ(dialog.count, c.dialog != nullptr ? 1 : 0);
        if (c.dialog != nullptr) {
            EXPECT_EQ(dialog.message, c.dialog);
            EXPECT_EQ(dialog.url, "");
        }
        EXPECT_EQ(taken(pelk_view_model_login_username_get_new()), "keep@example.com");
        EXPECT_EQ(taken(pelk_view_model_login_password_get_new()), "kept");
        EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), c.autostart_after);
    }
}

TEST_F(LoginViewModelTest, SuccessStoresTheNameFetchesServersAndKeepsThePasswordOnlyWhenRemembered) {
    for (const bool remembering : {false, true}) {
        SCOPED_TRACE(remembering);
        remember("", remembering ? "old password" : "");
        sign_in(kAlice.email, kAlice.password);

        EXPECT_EQ(pelk_view_model_login_authentication_job_state_get(), 2);
        EXPECT_EQ(pelk_view_login_model_is_authenticated_get(), 1);
        EXPECT_EQ(veltra_test::last_dialog().count, 0);
        EXPECT_EQ(taken(pelk_platform_specific_settings_manager_username_get()), kAlice.email);
        EXPECT_EQ(taken(pelk_platform_specific_settings_manager_password_get()),
                  remembering ? kAlice.password : "(none)");

        pelk_json_authentication record{};
        pelk_view_model_main_authentication_get(&record);
        EXPECT_EQ(record.error_code, 0);
        EXPECT_STREQ(record.plan_name, "Premium");
        EXPECT_EQ(server_entity_container_get_items_count(pelk_view_model_main_server_list_get()), 3);
    }
    // The password went to the service as a digest and to the log as stars.
    const std::string log = dev_log();
    EXPECT_EQ(log.find(kAlice.password), std::string::npos);
    EXPECT_NE(log.find("Password: ***\n"), std::string::npos);
    EXPECT_EQ(service_->log().find(kAlice.password), std::string::npos);

    // A later failed attempt is no longer signed in.
    sign_in(kAlice.email, "wrong");
    EXPECT_EQ(pelk_view_login_model_is_authenticated_get(), 0);
}

// No network, TLS refused, a time-out: the unexpected-error dialog, and
// nothing the user set is lost.
TEST_F(LoginViewModelTest, ATransportFailureSaysSoAndChangesNothing) {
    remember(kAlice.email.c_str(), kAlice.password.c_str());
    http_manager_base_url_override("https://127.0.0.1:1/RESTF-1.0.2/rest/api/");
    sign_in(kAlice.email, kAlice.password);
    EXPECT_EQ(pelk_view_model_login_authentication_job_state_get(), 1);
    EXPECT_EQ(veltra_test::last_dialog().count, 1);
    EXPECT_EQ(veltra_test::last_dialog().message, "Error occurred\ntry again");
    EXPECT_EQ(taken(pelk_platform_specific_settings_manager_password_get()), kAlice.password);
    EXPECT_EQ(pelk_platform_specific_settings_manager_auto_start_on_logon_get(), 1);
    EXPECT_NE(dev_log().find("curl_easy_perform() failed: "), std::string::npos);
}

TEST_F(LoginViewModelTest, AutomaticSignInNeedsBothRememberedTexts) {
    struct Case {
        const char *username;
        const char *password;
        int job_state;
    };
    const Case cases[] = {
        {"", "", 0},
        {"", kAlice.password.c_str(), 0},
        {kAlice.email.c_str(), "", 0},
        {kAlice.email.c_str(), kAlice.password.c_str(), 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.username) + "/" + c.password);
        remember(c.username, c.password);
        pelk_view_model_login_init();
        EXPECT_EQ(taken(pelk_view_model_login_username_get_new()), c.username);
        EXPECT_EQ(taken(pelk_view_model_login_password_get_new()), c.password);
        const int before = pelk_view_model_login_authentication_job_state_get();
        pelk_view_model_login_try_auto_authenticate();
        EXPECT_EQ(pelk_view_model_login_authentication_job_state_get(), c.job_state == 0 ? before : c.job_state);
    }
}

TEST_F(LoginViewModelTest, AbsentTextsAreStoredAsEmptyAndGettersCopy) {
    pelk_view_model_login_username_set_new(nullptr);
    pelk_view_model_login_password_set_new(nullptr);
    EXPECT_EQ(taken(pelk_view_model_login_username_get_new()), "");
    EXPECT_EQ(taken(pelk_view_model_login_password_get_new()), "");
    char *first = pelk_view_model_login_username_get_new();
    char *second = pelk_view_model_login_username_get_new();
    EXPECT_NE(first, second);
    free(first);
    free(second);
}

}  // namespace
