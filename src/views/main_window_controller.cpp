// pelk_main_window_controller_*: the engine's events turned into states, and the server selection.
#include "views/main_window_controller.h"

#include "view_models/main_view_model.h"
#include "view_models/public_ip_updater.h"
#include "views/main_view.h"
#include "vpn/vpn_worker_threads.h"

void pelk_main_window_controller_on_vpn_started(void) {
    // Runs on the reader of the child that reported the tunnel up; the check
    // is made for that child, so a late one cannot judge a later tunnel.
    public_ip_updater_thread_start_for_connection(vpn_std_out_thread_connection());
}

void pelk_main_window_controller_on_vpn_error(void) {
    pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_ERROR);
    pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
}

void pelk_main_window_controller_on_vpn_died(void) { pelk_main_window_controller_on_vpn_error(); }

void pelk_main_window_controller_on_vpn_disconnecting(void) {
    pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING);
}

void pelk_main_window_controller_on_vpn_disconnected(void) {
    pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_DISCONNECTED);
    pelk_view_model_main_geo_remote_reset();
}

void pelk_main_window_controller_on_vpn_after_disconnected(void) {}

void pelk_main_window_controller_on_server_select_click(void) {
    if (pelk_view_model_main_is_server_list_enabled_get()) {
        pelk_views_main_subview_swap_visibility();
    }
}

void pelk_main_window_controller_on_server_selected(pelk_dal_server_entity *server) {
    if (pelk_view_model_main_is_server_list_enabled_get()) {
        pelk_views_main_subview_swap_visibility();
        pelk_view_model_main_selected_server_set(server);
    }
}

void pelk_main_window_controller_on_server_select_cancel(void) { pelk_views_main_subview_swap_visibility(); }

pelk_engine_callbacks pelk_main_window_controller_engine_callbacks(void) {
    return {
        .on_vpn_started = pelk_main_window_controller_on_vpn_started,
        .on_vpn_error = pelk_main_window_controller_on_vpn_error,
        .on_vpn_died = pelk_main_window_controller_on_vpn_died,
        .on_vpn_disconnecting = pelk_main_window_controller_on_vpn_disconnecting,
        .on_vpn_disconnected = pelk_main_window_controller_on_vpn_disconnected,
        .on_vpn_after_disconnected = pelk_main_window_controller_on_vpn_after_disconnected,
        .on_vpn_state_reset = pelk_view_model_main_vpn_state_reset,
        .on_vpn_state_set = pelk_view_model_main_vpn_state_set,
        .has_initial_ip = pelk_view_model_main_has_initial_ip,
        .forget_initial_ip = pelk_view_model_main_geo_initial_reset,
        .update_public_ip = pelk_view_model_main_update_public_ip,
        .on_connection_begin = pelk_view_model_main_connection_begin,
        .on_connection_end = pelk_view_model_main_connection_end,
        .on_vpn_stopped = pelk_view_model_main_vpn_stopped,
        .on_vpn_alive = pelk_view_model_main_is_vpn_alive_set,
    };
}
