// pelk_login_window_controller_*: the outcome of a sign-in.
#include "views/login_window_controller.h"

#include "platform/settings_manager.h"
#include "platform/web_pages.h"
#include "view_models/login_view_model.h"
#include "views/login_window_controller_internal.h"
#include "views/windows_controller.h"

bool pelk_login_window_controller_internal_message(int error_code, const char **message, const char **url) {
    *url = nullptr;
    switch (error_code) {
    case 1:
        *message = "The email address entered\ndoes not exist.\n \nClick here to sign up";
        *url = pelk_web_page_sign_up;
        return true;
    case 2:
        *message = "The password entered\nis incorrect";
        return true;
    case 3:
        *message = "Current plan has expired.\nClick here to purchase a plan";
        *url = pelk_web_page_pricing;
        return true;
    case -1:
        *message = "Error occurred\ntry again";
        return true;
    default:
        *message = nullptr;
        return false;
    }
}

void pelk_login_window_controller_internal_forget(int error_code) {
    // An error page, an unreadable reply or no reply at all says nothing
    // about the account: a passing fault must not undo the user's setting.
    if (error_code != -1) {
        pelk_platform_specific_settings_manager_auto_start_on_logon_set(0);
    }
    if (error_code == 1) {
        pelk_view_model_login_username_set_new("");
        pelk_view_model_login_password_set_new("");
        pelk_platform_specific_settings_manager_username_set("");
        pelk_platform_specific_settings_manager_password_set("");
    } else if (error_code == 2) {
        pelk_view_model_login_password_set_new("");
        pelk_platform_specific_settings_manager_password_set("");
    }
}

void pelk_login_window_controller_on_login_succeeded(void) { pelk_windows_controller_on_login_end(); }

void pelk_login_window_controller_on_login_failed(int error_code) {
    // Clearing first changes nothing the user sees: the dialog hides the
    // login window, whose entries catch up on their next redraw.
    pelk_login_window_controller_internal_forget(error_code);
    const char *message = nullptr;
    const char *url = nullptr;
    if (pelk_login_window_controller_internal_message(error_code, &message, &url)) {
        if (url != nullptr) {
            pelk_windows_controller_modal_info_url_show(message, url);
        } else {
            pelk_windows_controller_modal_info_show(message);
        }
    }
}
