// pelk_ui_callbacks, pelk_engine_callbacks, pelk_ui_report_*: the one way up to the window layer.
#pragma once

#include "dal/vpn_button_state.h"

typedef struct _GtkWindow GtkWindow;

// What the VPN engine reports to, and asks of, the layers above it, on its
// worker threads. Filled in one place for the client and the headless
// tests alike (pelk_main_window_controller_engine_callbacks).
struct pelk_engine_callbacks {
    // The tunnel is up (on the reader of the child that said so), OpenVPN
    // reported errors or died, and the steps of a disconnect.
    void (*on_vpn_started)(void);
    void (*on_vpn_error)(void);
    void (*on_vpn_died)(void);
    void (*on_vpn_disconnecting)(void);
    void (*on_vpn_disconnected)(void);
    void (*on_vpn_after_disconnected)(void);
    // The connection state and what the tunnel check needs, as a connect
    // and a disconnect job move it along.
    void (*on_vpn_state_reset)(void);
    void (*on_vpn_state_set)(pelk_dal_vpn_button_state value);
    int (*has_initial_ip)(void);
    void (*forget_initial_ip)(void);
    void (*update_public_ip)(void);
    void (*on_connection_begin)(unsigned int connection, int alive);
    void (*on_connection_end)(void);
    void (*on_vpn_stopped)(void);
    // The process-state watcher's answer; 0 takes the error path.
    void (*on_vpn_alive)(int alive);
};

// How the engine and the view models report upward without knowing the
// window layer. Start-up installs the window controllers' operations; the
// headless tests install recorders. An entry left null does nothing.
struct pelk_ui_callbacks {
    // The outcome of a sign-in, on the thread that signed in (the main one).
    void (*on_login_succeeded)(void);
    void (*on_login_failed)(int error_code);
    pelk_engine_callbacks engine;
    // A connection state for the tray, on the main thread, in posting order.
    void (*on_tray_state)(pelk_dal_vpn_button_state state);
    // The window chrome's buttons, on the main thread.
    void (*on_exit_requested)(void);
    void (*on_minimize)(GtkWindow *window);
    void (*on_settings_show)(void);
    void (*on_settings_hide)(void);
    void (*on_log_out)(void);
};

// Copies callbacks into the table that every later report uses. Safe while
// reports run on other threads: a report sees either the old table or the
// new one, never a mix.
void pelk_ui_callbacks_install(const pelk_ui_callbacks &callbacks);

// Reports; each calls the installed entry, if any.
void pelk_ui_report_login_succeeded(void);
void pelk_ui_report_login_failed(int error_code);
void pelk_ui_report_vpn_started(void);
void pelk_ui_report_vpn_error(void);
void pelk_ui_report_vpn_died(void);
void pelk_ui_report_vpn_disconnecting(void);
void pelk_ui_report_vpn_disconnected(void);
void pelk_ui_report_vpn_after_disconnected(void);
void pelk_ui_report_vpn_state_reset(void);
void pelk_ui_report_vpn_state_set(pelk_dal_vpn_button_state value);
// 0 when no entry is installed: no address outside the tunnel is known.
int pelk_ui_report_has_initial_ip(void);
void pelk_ui_report_forget_initial_ip(void);
void pelk_ui_report_update_public_ip(void);
void pelk_ui_report_connection_begin(unsigned int connection, int alive);
void pelk_ui_report_connection_end(void);
void pelk_ui_report_vpn_stopped(void);
void pelk_ui_report_vpn_alive(int alive);
void pelk_ui_report_tray_state(pelk_dal_vpn_button_state state);
void pelk_ui_report_exit_requested(void);
void pelk_ui_report_minimize(GtkWindow *window);
void pelk_ui_report_settings_show(void);
void pelk_ui_report_settings_hide(void);
void pelk_ui_report_log_out(void);
