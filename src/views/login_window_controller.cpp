#include "views/login_window_controller.h"

#include "platform/settings_manager.h"
#include "view_models/login_view_model.h"
#include "views/windows_controller.h"

#include <glib.h>

namespace {

char *web_page(const char *path) { return g_strdup_printf("https://%s%s", VELTRA_WEB_HOST, path); }

}  // namespace

void pelk_login_window_controller_on_login_succeeded(void) { pelk_windows_controller_on_login_end(); }

void pelk_login_window_controller_on_login_failed(int error_code) {
    pelk_platform_specific_settings_manager_auto_start_on_logon_set(0);
    switch (error_code) {
    case 1: {
        g_autofree char *sign_up = web_page("/sign-up");
        pelk_windows_controller_modal_info_url_show(
            "The email address entered\ndoes not exist.\n \nClick here to sign up", sign_up);
        pelk_view_model_login_username_set_new("");
        pelk_view_model_login_password_set_new("");
        pelk_platform_specific_settings_manager_username_set("");
        pelk_platform_specific_settings_manager_password_set("");
        break;
    }
    case 2:
        pelk_windows_controller_modal_info_show("The password entered\nis incorrect");
        pelk_view_model_login_password_set_new("");
        pelk_platform_specific_settings_manager_password_set("");
        break;
    case 3: {
        g_autofree char *pricing = web_page("/pricing");
        pelk_windows_controller_modal_info_url_show("Current plan has expired.\nClick here to purchase a plan",
                                                    pricing);
        break;
    }
    case -1:
        pelk_windows_controller_modal_info_show("Error occurred\ntry again");
        break;
    default:
        break;
    }
}
