#pragma once

#include "dal/vpn_button_state.h"

typedef struct _GtkWindow GtkWindow;

// How the engine and the view models report upward without knowing the
// window layer. Start-up installs the window controllers' operations; the
// headless tests install recorders. An entry left null does nothing.
struct pelk_ui_callbacks {
    // The outcome of a sign-in, on the thread that signed in (the main one).
    void (*on_login_succeeded)(void);
    void (*on_login_failed)(int error_code);
    // The VPN engine's events, on its worker threads.
    void (*on_vpn_started)(void);
    void (*on_vpn_error)(void);
    void (*on_vpn_died)(void);
    void (*on_vpn_disconnecting)(void);
    void (*on_vpn_disconnected)(void);
    void (*on_vpn_after_disconnected)(void);
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
void pelk_ui_report_tray_state(pelk_dal_vpn_button_state state);
void pelk_ui_report_exit_requested(void);
void pelk_ui_report_minimize(GtkWindow *window);
void pelk_ui_report_settings_show(void);
void pelk_ui_report_settings_hide(void);
void pelk_ui_report_log_out(void);
