// pelk_ui_callbacks, pelk_engine_callbacks, pelk_ui_report_*: the one way up to the window layer.
#include "base/ui_callbacks.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace {

// Every table ever installed stays alive, past exit() too: a worker thread
// may still be calling through an old one when a test installs the next, or
// when the main thread runs the static destructors.
std::mutex install_lock;
std::deque<pelk_ui_callbacks> &tables = *new std::deque<pelk_ui_callbacks>;
const pelk_ui_callbacks kNone{};
std::atomic<const pelk_ui_callbacks *> current{&kNone};

const pelk_ui_callbacks &installed() { return *current.load(std::memory_order_acquire); }

}  // namespace

void pelk_ui_callbacks_install(const pelk_ui_callbacks &callbacks) {
    std::lock_guard<std::mutex> guard(install_lock);
    tables.push_back(callbacks);
    current.store(&tables.back(), std::memory_order_release);
}

#define PELK_UI_REPORT(entry, ...)                                                                                     \
    if (auto *callback = installed().entry) {                                                                          \
        callback(__VA_ARGS__);                                                                                         \
    }

void pelk_ui_report_login_succeeded(void) { PELK_UI_REPORT(on_login_succeeded) }
void pelk_ui_report_login_failed(int error_code) { PELK_UI_REPORT(on_login_failed, error_code) }
void pelk_ui_report_vpn_started(void) { PELK_UI_REPORT(engine.on_vpn_started) }
void pelk_ui_report_vpn_error(void) { PELK_UI_REPORT(engine.on_vpn_error) }
void pelk_ui_report_vpn_died(void) { PELK_UI_REPORT(engine.on_vpn_died) }
void pelk_ui_report_vpn_disconnecting(void) { PELK_UI_REPORT(engine.on_vpn_disconnecting) }
void pelk_ui_report_vpn_disconnected(void) { PELK_UI_REPORT(engine.on_vpn_disconnected) }
void pelk_ui_report_vpn_after_disconnected(void) { PELK_UI_REPORT(engine.on_vpn_after_disconnected) }
void pelk_ui_report_vpn_state_reset(void) { PELK_UI_REPORT(engine.on_vpn_state_reset) }
void pelk_ui_report_vpn_state_set(pelk_dal_vpn_button_state value) { PELK_UI_REPORT(engine.on_vpn_state_set, value) }
void pelk_ui_report_forget_initial_ip(void) { PELK_UI_REPORT(engine.forget_initial_ip) }
void pelk_ui_report_update_public_ip(void) { PELK_UI_REPORT(engine.update_public_ip) }
void pelk_ui_report_connection_begin(unsigned int connection, int alive) {
    PELK_UI_REPORT(engine.on_connection_begin, connection, alive)
}
void pelk_ui_report_connection_end(void) { PELK_UI_REPORT(engine.on_connection_end) }
void pelk_ui_report_vpn_stopped(void) { PELK_UI_REPORT(engine.on_vpn_stopped) }
void pelk_ui_report_vpn_alive(int alive) { PELK_UI_REPORT(engine.on_vpn_alive, alive) }

int pelk_ui_report_has_initial_ip(void) {
    auto *ask = installed().engine.has_initial_ip;
    return ask != nullptr ? ask() : 0;
}

void pelk_ui_report_tray_state(pelk_dal_vpn_button_state state) { PELK_UI_REPORT(on_tray_state, state) }
void pelk_ui_report_exit_requested(void) { PELK_UI_REPORT(on_exit_requested) }
void pelk_ui_report_minimize(GtkWindow *window) { PELK_UI_REPORT(on_minimize, window) }
void pelk_ui_report_settings_show(void) { PELK_UI_REPORT(on_settings_show) }
void pelk_ui_report_settings_hide(void) { PELK_UI_REPORT(on_settings_hide) }
void pelk_ui_report_log_out(void) { PELK_UI_REPORT(on_log_out) }
