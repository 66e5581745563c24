// pelk_view_model_main_*: the state behind the main window and the tunnel check.
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
// Fills *authentication with the record; the texts stay owned here and are
// replaced by the next sign-in on the main thread. Main thread only.
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

// Connections are numbered by the VPN manager, from 1, one per OpenVPN child
// it starts; 0 stands for no connection. Only a lookup made for the current
// connection judges its tunnel.
//
// The manager has started the child of connection (with the address outside
// the tunnel known); alive says whether the child runs.
void pelk_view_model_main_connection_begin(unsigned int connection, int alive);
// A disconnect was asked for or has begun: no answer judges a tunnel any more.
void pelk_view_model_main_connection_end(void);
// The child was ended on purpose: not alive, and no error.
void pelk_view_model_main_vpn_stopped(void);

// One lookup of the public address for no connection (blocking; worker
// threads only): it can only learn the address outside the tunnel.
void pelk_view_model_main_update_public_ip(void);
// The lookup for connection's "Initialization Sequence Completed": the check
// of its tunnel. One without an answer is tried again, three tries within
// about 5 s, before the error path; it stops once the connection has ended.
void pelk_view_model_main_update_public_ip_for(unsigned int connection);
// Where the latest public-address lookup of the current connection (or of
// none) stands; the public-IP widget shows "Loading..." or "Failed!" by it.
enum pelk_view_model_main_ip_job {
    PELK_VIEW_MODEL_MAIN_IP_JOB_IDLE = 0,
    PELK_VIEW_MODEL_MAIN_IP_JOB_RUNNING = 1,
    PELK_VIEW_MODEL_MAIN_IP_JOB_DONE = 2,
    PELK_VIEW_MODEL_MAIN_IP_JOB_FAILED = 3,
};
pelk_view_model_main_ip_job pelk_view_model_main_update_ip_job_state_get(void);

// The list is shared, not copied, and views keep pointers into it: a list
// replaced by a later one stays alive until the process ends. Setting one
// selects its favourite.
// Main thread only: the pointer is the one views draw from.
server_entity_container *pelk_view_model_main_server_list_get(void);
void pelk_view_model_main_server_list_set(server_entity_container *list);
// Main thread only.
pelk_dal_server_entity *pelk_view_model_main_selected_server_get(void);
void pelk_view_model_main_selected_server_set(pelk_dal_server_entity *server);
void pelk_view_model_main_selected_server_reset(void);
// Main thread only.
pelk_dal_server_entity *pelk_view_model_main_favorite_server_get(void);

// Records a public address seen by a lookup for no connection: the first one
// is the address without a tunnel; later ones change nothing.
void pelk_view_model_main_geo_set(const char *ip, const char *country_code);
// Records a public address seen by a lookup made for connection (0: none).
// While no address is known it becomes the one without a tunnel (no child
// is started before that). Otherwise only the current connection's answer,
// while its child is alive, judges the tunnel: a changed address is
// "connected", the same one the error path. An answer of an earlier
// connection, or of none, changes nothing.
void pelk_view_model_main_geo_set_for(unsigned int connection, const char *ip, const char *country_code);
void pelk_view_model_main_geo_remote_reset(void);
// Forgets the address seen without a tunnel, so that the next lookup
// learns it anew (each connect does, before its OpenVPN starts).
void pelk_view_model_main_geo_initial_reset(void);
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
