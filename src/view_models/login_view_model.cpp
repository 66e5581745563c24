// pelk_view_model_login_*: the state behind the login window, and sign-in.
#include "view_models/login_view_model.h"

#include "base/logger.h"
#include "base/owned_text.h"
#include "base/ui_callbacks.h"
#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service/http_manager.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "view_models/main_view_model.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace {

enum JobState { kNoRequest = 0, kRequested = 1, kAuthenticated = 2 };

// Each lock guards one text; never held together, never across a call out.
std::mutex username_lock;
std::mutex password_lock;
char *username = nullptr;
char *password = nullptr;
std::atomic<int> job_state{kNoRequest};

void replace(std::mutex &lock, char *&stored, const char *text) {
    char *copy = pelk_string_helper_string_new_from(text);
    std::lock_guard<std::mutex> guard(lock);
    pelk_string_helper_string_free(stored);
    stored = copy;
}

char *copy_of(std::mutex &lock, const char *const &stored) {
    std::lock_guard<std::mutex> guard(lock);
    return pelk_string_helper_string_new_from(stored);
}

struct ResponseDeleter {
    void operator()(http_response *response) const { http_response_free(response); }
};
struct UrlDeleter {
    void operator()(char *url) const { http_manager_url_free(url); }
};

}  // namespace

void pelk_view_model_login_init(void) {
    pelk_owned_text stored_username(pelk_platform_specific_settings_manager_username_get());
    pelk_owned_text stored_password(pelk_platform_specific_settings_manager_password_get());
    pelk_view_model_login_username_set_new(stored_username.get());
    pelk_view_model_login_password_set_new(stored_password.get());
}

void pelk_view_model_login_try_auto_authenticate(void) {
    pelk_owned_text name(pelk_view_model_login_username_get_new());
    if (name.get()[0] == '\0') {
        return;
    }
    pelk_owned_text secret(pelk_view_model_login_password_get_new());
    if (secret.get()[0] == '\0') {
        return;
    }
    pelk_view_model_on_login_click();
}

void pelk_view_model_on_login_click(void) {
    job_state = kRequested;
    std::unique_ptr<http_response, ResponseDeleter> response(http_response_new(on_http_response_authentication));
    pelk_owned_text name(pelk_view_model_login_username_get_new());
    pelk_owned_text secret(pelk_view_model_login_password_get_new());
    pelk_owned_text digest(pelk_ntlm_encrypt(secret.get()));
    std::unique_ptr<char, UrlDeleter> url(http_manager_method_authentication_url_new(name.get(), digest.get()));
    if (!response || !url) {
        return;
    }
    // A transport failure (no network, TLS refused, a time-out) is logged by
    // the transport and never reaches the handler; it is an unexpected error
    // all the same, and says so, rather than a click that does nothing.
    if (http_manager_url_exec(url.get(), response.get()) != 0 && !response->response_raised) {
        pelk_ui_report_login_failed(-1);
    }
}

int on_http_response_authentication(http_response *response) {
    pelk_write_dev_log("Parsing auth response\n");
    pelk_write_dev_log(response->body);
    pelk_write_dev_log("\n");
    pelk_view_model_login_is_authenticated_set(pelk_json_parse_authentication(response->body));
    return 0;
}

void pelk_view_model_login_is_authenticated_set(pelk_json_authentication authentication) {
    if (authentication.error_code != 0) {
        const int code = authentication.error_code;
        pelk_json_authentication_clear(&authentication);
        pelk_ui_report_login_failed(code);
        return;
    }
    job_state = kAuthenticated;
    pelk_view_model_main_authentication_set(authentication);
    pelk_ui_report_login_succeeded();
}

int pelk_view_model_login_authentication_job_state_get(void) { return job_state; }

int pelk_view_login_model_is_authenticated_get(void) { return job_state == kAuthenticated ? 1 : 0; }

char *pelk_view_model_login_username_get_new(void) { return copy_of(username_lock, username); }
char *pelk_view_model_login_password_get_new(void) { return copy_of(password_lock, password); }
void pelk_view_model_login_username_set_new(const char *text) { replace(username_lock, username, text); }
void pelk_view_model_login_password_set_new(const char *text) { replace(password_lock, password, text); }
