#include "views/windows_controller.h"

#include "app/logger.h"
#include "app/owned_text.h"
#include "dal/server_entity.h"
#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service/http_manager.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"
#include "views/windows_controller_internal.h"
#include "vpn/openvpn_manager.h"
#include "vpn/public_ip_updater.h"
#include "vpn/vpn_manager_thread.h"

#include <glib.h>

#include <mutex>

namespace {

std::mutex dialog_lock;
pelk_windows_controller_dialog_request last_dialog;

void request_dialog(const char *message, const char *url) {
    std::lock_guard<std::mutex> guard(dialog_lock);
    ++last_dialog.count;
    last_dialog.message = message != nullptr ? message : "";
    last_dialog.url = url != nullptr ? url : "";
}

// The server list of the signed-in account; 0 when the exchange succeeded.
int fetch_server_list(const char *username, const char *password) {
    pelk_owned_text digest(pelk_ntlm_encrypt(password));
    http_response *response = http_response_new(on_http_response_server_list);
    char *url = http_manager_method_server_list_url_new(username, digest.get());
    const int result = url != nullptr && response != nullptr ? http_manager_url_exec(url, response) : 1;
    http_manager_url_free(url);
    http_response_free(response);
    return result;
}

}  // namespace

void pelk_windows_controller_init(void) {
    openvpn_manager_stop();
    pelk_view_model_login_init();
    pelk_view_model_login_try_auto_authenticate();
    public_ip_updater_thread_start();
}

void pelk_windows_controller_on_login_end(void) {
    pelk_write_dev_log("closing login window \n");
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    pelk_write_dev_log("Username: ");
    pelk_write_dev_log(username.get());
    pelk_write_dev_log("\n");
    pelk_write_dev_log("Password: ");
    pelk_write_dev_log("***");
    pelk_write_dev_log("\n");
    pelk_platform_specific_settings_manager_username_set(username.get());
    if (pelk_platform_specific_settings_manager_is_remember_password_set()) {
        pelk_platform_specific_settings_manager_password_set(password.get());
    }
    pelk_windows_controller_on_main_start();
}

void pelk_windows_controller_on_main_start(void) {
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    if (fetch_server_list(username.get(), password.get()) != 0) {
        return;
    }
    server_entity_container *list = pelk_view_model_main_server_list_get();
    for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(list, i); ++i) {
        g_autofree char *line = g_strdup_printf("%s %s %s\n", server->country_code, server->server_address,
                                                server->server_name);
        pelk_write_dev_log(line);
    }

    pelk_dal_server_entity *favourite = server_entity_container_find_favorite(list);
    if (favourite != nullptr && pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get()) {
        pelk_write_dev_log("Auto connect to favorite server\n");
        pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_CONNECTING);
        pelk_owned_text address(pelk_string_helper_string_new_from(favourite->server_address));
        vpn_manager_thread_invoke_vpn_start(username.get(), password.get(), address.get());
    }
}

void pelk_windows_controller_modal_info_show(const char *message) { request_dialog(message, nullptr); }

void pelk_windows_controller_modal_info_url_show(const char *message, const char *url) {
    request_dialog(message, url);
}

pelk_windows_controller_dialog_request pelk_windows_controller_last_dialog(void) {
    std::lock_guard<std::mutex> guard(dialog_lock);
    return last_dialog;
}

void pelk_windows_controller_forget_dialogs(void) {
    std::lock_guard<std::mutex> guard(dialog_lock);
    last_dialog = {};
}
