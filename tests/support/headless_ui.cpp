#include "support/headless_ui.h"

#include "base/ui_callbacks.h"
#include "views/login_window_controller_internal.h"
#include "views/main_window_controller.h"
#include "views/windows_controller_internal.h"

#include <mutex>

namespace veltra_test {
namespace {

std::mutex records_lock;
RecordedDialog dialog;
std::vector<pelk_dal_vpn_button_state> tray;

void on_login_succeeded() {
    pelk_windows_controller_internal_remember_login();
    if (pelk_windows_controller_internal_fetch_server_list() == 0) {
        pelk_windows_controller_internal_log_server_list();
        pelk_windows_controller_internal_auto_connect();
    }
}

void on_login_failed(int error_code) {
    const char *message = nullptr;
    const char *url = nullptr;
    if (pelk_login_window_controller_internal_message(error_code, &message, &url)) {
        std::lock_guard<std::mutex> guard(records_lock);
        ++dialog.count;
        dialog.message = message;
        dialog.url = url != nullptr ? url : "";
    }
    pelk_login_window_controller_internal_forget(error_code);
}

void on_tray_state(pelk_dal_vpn_button_state state) {
    std::lock_guard<std::mutex> guard(records_lock);
    tray.push_back(state);
}

const pelk_ui_callbacks kHeadless = {
    .on_login_succeeded = on_login_succeeded,
    .on_login_failed = on_login_failed,
    .engine = pelk_main_window_controller_engine_callbacks(),
    .on_tray_state = on_tray_state,
    .on_exit_requested = nullptr,
    .on_minimize = nullptr,
    .on_settings_show = nullptr,
    .on_settings_hide = nullptr,
    .on_log_out = nullptr,
};

}  // namespace

void install_headless_ui() { pelk_ui_callbacks_install(kHeadless); }

RecordedDialog last_dialog() {
    std::lock_guard<std::mutex> guard(records_lock);
    return dialog;
}

std::vector<pelk_dal_vpn_button_state> tray_states() {
    std::lock_guard<std::mutex> guard(records_lock);
    return tray;
}

void forget_ui_records() {
    std::lock_guard<std::mutex> guard(records_lock);
    dialog = {};
    tray.clear();
}

}  // namespace veltra_test
