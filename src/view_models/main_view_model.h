#pragma once

#include "dal/server_entity.h"
#include "dal/vpn_button_state.h"
#include "service/json_parser.h"

struct http_response;

// What the main window shows and what decides the connect button. Written
// from the GTK main thread and from the VPN worker threads; every operation
// is safe from any thread. Views read it on their timers; only the tray is
// pushed, through the main loop, in the order the states were set.

// Takes over the signed-in account's record (and its texts).
void pelk_view_model_main_authentication_set(pelk_json_authentication authentication);
// Fills *authentication with the record; the texts stay owned here.
void pelk_view_model_main_authentication_get(pelk_json_authentication *authentication);

// The state becomes value, keeping the error flag; updates the server-list
// switch and posts the state to the tray. One atomic step.
void pelk_view_model_main_vpn_state_set(pelk_dal_vpn_button_state value);
// The state becomes 0 (error flag cleared); nothing else.
void pelk_view_model_main_vpn_state_reset(void);
pelk_dal_vpn_button_state pelk_view_model_main_vpn_state_get(void);
// Posts state to the tray icon on the main loop.
void pelk_view_model_main_set_status_icon(pelk_dal_vpn_button_state state);

int pelk_view_model_main_is_server_list_enabled_get(void);
void pelk_view_model_main_is_server_list_enabled_set(int enabled);
// The watcher's answer; 0 takes the error path.
void pelk_view_model_main_is_vpn_alive_set(int alive);
int pelk_view_model_main_is_vpn_alive_get(void);

// One lookup of the public address (blocking; worker threads only).
void pelk_view_model_main_update_public_ip(void);
// 0 idle, 1 running, 2 done, 3 failed.
int pelk_view_model_main_update_ip_job_state_get(void);

// The list is shared, not copied; setting one selects its favourite.
server_entity_container *pelk_view_model_main_server_list_get(void);
void pelk_view_model_main_server_list_set(server_entity_container *list);
pelk_dal_server_entity *pelk_view_model_main_selected_server_get(void);
void pelk_view_model_main_selected_server_set(pelk_dal_server_entity *server);
void pelk_view_model_main_selected_server_reset(void);
pelk_dal_server_entity *pelk_view_model_main_favorite_server_get(void);

// Records a public address: the first is the one without a tunnel; later
// ones, while OpenVPN runs, decide whether the tunnel works.
void pelk_view_model_main_geo_set(const char *ip, const char *country_code);
void pelk_view_model_main_geo_remote_reset(void);
// New texts (pelk_string_helper_string_free): the address seen through the
// tunnel, else the one without; its country; its flag picture's path.
char *pelk_view_model_main_ip_get_new(void);
char *pelk_view_model_main_country_code_get_new(void);
char *pelk_view_model_main_flag_path_get_new(void);
char *pelk_view_model_main_format_flag_path_new(const char *country_code);
// 1 when the address without a tunnel is known.
int pelk_view_model_main_has_initial_ip(void);

void pelk_view_model_main_on_vpn_button_clicked(void);
void pelk_view_model_main_vpn_button_invoke_vpn_connect(void);
void pelk_view_model_main_vpn_button_invoke_vpn_disconnect(void);

// Reply handlers.
int on_http_response_server_list(http_response *response);
int on_http_response_public_ip(http_response *response);
