// pelk_view_model_main_*: the state behind the main window and the tunnel check.
#include "view_models/main_view_model.h"

#include "base/logger.h"
#include "base/owned_text.h"
#include "base/ui_callbacks.h"
#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service/http_manager.h"
#include "service/service_api.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model_internal.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_manager_thread_internal.h"

#include <glib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// The values a set of the state enables the server selection for: ready,
// disabled and disconnected.
constexpr pelk_dal_vpn_button_state kServerListStates = 0x23;
constexpr pelk_dal_vpn_button_state kDisconnectStates = 0x0c;  // connected, connecting
constexpr pelk_dal_vpn_button_state kConnectStates = 0x21;     // ready, disconnected

// A tunnel check without an answer is tried again: a fresh tunnel may drop
// the first packets while its routes settle.
constexpr int kTunnelCheckTries = 3;
constexpr unsigned int kTunnelCheckRetryMs = 2000;
// Each try has its own short bound, so that a tunnel that swallows packets
// reaches the error state within about 10 s, not the transport's 30 s a try.
constexpr long kTunnelCheckTryMs = 2000;

// The state word is read without a lock; state_lock makes each update and
// its post to the tray one step, so the tray sees states in the order set.
std::atomic<pelk_dal_vpn_button_state> vpn_state{PELK_DAL_VPN_BUTTON_STATE_DISABLED};
std::mutex state_lock;

std::atomic<int> server_list_enabled{0};
std::atomic<int> vpn_alive{0};
std::atomic<pelk_view_model_main_ip_job> update_ip_job{PELK_VIEW_MODEL_MAIN_IP_JOB_IDLE};

// The connection whose tunnel may be judged; 0 when none. Changed under
// state_lock, so that "connected" is set only while it is still current.
std::atomic<unsigned int> current_connection{0};

std::atomic<void (*)(unsigned int, int)> hook_before_request{nullptr};
std::atomic<void (*)(unsigned int)> hook_before_answer{nullptr};

std::mutex authentication_lock;
pelk_json_authentication authentication_record{};

// Lock order: server list before selected server.
std::mutex server_list_lock;
std::mutex selected_server_lock;
server_entity_container *server_list = nullptr;
pelk_dal_server_entity *selected_server = nullptr;

// Lock order: remote IP, remote country, initial IP, initial country.
std::mutex remote_ip_lock;
std::mutex remote_country_lock;
std::mutex initial_ip_lock;
std::mutex initial_country_lock;
char *remote_ip = nullptr;
char *remote_country = nullptr;
char *initial_ip = nullptr;
char *initial_country = nullptr;

void release(char *&text) {
    pelk_string_helper_string_free(text);
    text = nullptr;
}

// Called with both remote locks held.
void clear_remote_locked() {
    update_ip_job = PELK_VIEW_MODEL_MAIN_IP_JOB_IDLE;
    release(remote_ip);
    release(remote_country);
}

// Runs on the main thread, in the order the states were posted.
gboolean deliver_tray_state(gpointer data) {
    pelk_ui_report_tray_state(*static_cast<pelk_dal_vpn_button_state *>(data));
    return G_SOURCE_REMOVE;
}

void free_state_copy(gpointer data) { delete static_cast<pelk_dal_vpn_button_state *>(data); }

// A lookup in progress, found again by its reply handler through the
// response record it runs on.
struct Lookup {
    unsigned int connection = 0;
    bool answered = false;
};

std::mutex lookups_lock;
// Never destroyed: lookup threads are detached and may still run at exit.
std::vector<std::pair<const http_response *, Lookup *>> &lookups() {
    static auto *running = new std::vector<std::pair<const http_response *, Lookup *>>();
    return *running;
}

Lookup *lookup_of(const http_response *response) {
    std::lock_guard<std::mutex> guard(lookups_lock);
    for (const auto &entry : lookups()) {
        if (entry.first == response) {
            return entry.second;
        }
    }
    return nullptr;
}

// Views keep pointers into every list they were shown; lists replaced by a
// later sign-in stay here until the process ends (one per sign-in).
std::vector<server_entity_container *> &replaced_lists() {
    static auto *lists = new std::vector<server_entity_container *>();
    return *lists;
}

// The process's first thread is the one that runs the GTK main loop.
void assert_main_thread() { g_assert(gettid() == getpid()); }

bool is_current(unsigned int connection) { return connection == current_connection.load(); }

// The job state belongs to the lookups of the current connection (or, with
// none, to those made for none): a late answer of another must not show.
void set_job_state_for(unsigned int connection, pelk_view_model_main_ip_job job) {
    if (is_current(connection)) {
        update_ip_job = job;
    }
}

// Called with state_lock held.
void set_state_locked(pelk_dal_vpn_button_state value) {
    const pelk_dal_vpn_button_state merged = pelk_dal_vpn_button_state_updated(vpn_state.load(), value);
    vpn_state.store(merged);
    // Under the lock, so the log shows the states in the order they were set.
    g_autofree char *line = g_strdup_printf("vpn state: %u\n", merged);
    pelk_write_dev_log(line);
    pelk_view_model_main_is_server_list_enabled_set((value & kServerListStates) != 0 ? 1 : 0);
    pelk_view_model_main_set_status_icon(merged);
}

// Selection under the selected-server lock, held by the caller.
void select_locked(pelk_dal_server_entity *server) {
    selected_server = server;
    if (server == nullptr) {
        pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_DISABLED);
        return;
    }
    if (vpn_state.load() != PELK_DAL_VPN_BUTTON_STATE_ENABLED) {
        // A choice clears an earlier error and shows "Ready!".
        pelk_view_model_main_vpn_state_reset();
        pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_ENABLED);
    }
    pelk_owned_text favourite(pelk_platform_specific_settings_manager_favorite_server_get());
    if (favourite) {
        return;
    }
    // The first server ever chosen becomes the favourite.
    pelk_platform_Specific_settings_manager_favorite_server_set(server->server_address);
    server->is_favourite = 1;
}

void log_texts(std::initializer_list<const char *> texts) {
    for (const char *text : texts) {
        pelk_write_dev_log(text);
    }
}

}  // namespace

void pelk_view_model_main_authentication_set(pelk_json_authentication authentication) {
    std::lock_guard<std::mutex> guard(authentication_lock);
    pelk_json_authentication_clear(&authentication_record);
    authentication_record = authentication;
}

void pelk_view_model_main_authentication_get(pelk_json_authentication *authentication) {
    assert_main_thread();
    std::lock_guard<std::mutex> guard(authentication_lock);
    *authentication = authentication_record;
}

void pelk_view_model_main_vpn_state_set(pelk_dal_vpn_button_state value) {
    std::lock_guard<std::mutex> guard(state_lock);
    set_state_locked(value);
}

void pelk_view_model_main_vpn_state_reset(void) {
    std::lock_guard<std::mutex> guard(state_lock);
    vpn_state.store(0);
}

pelk_dal_vpn_button_state pelk_view_model_main_vpn_state_get(void) { return vpn_state.load(); }

void pelk_view_model_main_set_status_icon(pelk_dal_vpn_button_state state) {
    // Every thread posts the same way: one idle source per state, default
    // priority, so the main loop delivers them in the order posted.
    g_idle_add_full(G_PRIORITY_DEFAULT, deliver_tray_state, new pelk_dal_vpn_button_state(state), free_state_copy);
}

int pelk_view_model_main_is_server_list_enabled_get(void) { return server_list_enabled; }
void pelk_view_model_main_is_server_list_enabled_set(int enabled) { server_list_enabled = enabled; }

void pelk_view_model_main_is_vpn_alive_set(int alive) {
    vpn_alive = alive;
    if (alive == 0) {
        pelk_ui_report_vpn_error();
    }
}

int pelk_view_model_main_is_vpn_alive_get(void) { return vpn_alive; }

void pelk_view_model_main_connection_begin(unsigned int connection, int alive) {
    std::lock_guard<std::mutex> guard(state_lock);
    vpn_alive = alive;
    current_connection = connection;
}

void pelk_view_model_main_connection_end(void) {
    std::lock_guard<std::mutex> guard(state_lock);
    current_connection = 0;
}

void pelk_view_model_main_vpn_stopped(void) { vpn_alive = 0; }

unsigned int pelk_view_model_main_current_connection(void) { return current_connection; }

void pelk_view_model_main_lookup_hooks_set(const pelk_view_model_main_lookup_hooks *hooks) {
    hook_before_request = hooks != nullptr ? hooks->before_request : nullptr;
    hook_before_answer = hooks != nullptr ? hooks->before_answer : nullptr;
}

namespace {

// One try of a lookup for connection; true when an address came back. A try
// of a tunnel check that another one follows leaves the widget at
// "Loading...": it would flicker to "Failed!" and back otherwise.
bool look_up_once(unsigned int connection, int attempt, bool last) {
    if (auto *hook = hook_before_request.load()) {
        hook(connection, attempt);
    }
    set_job_state_for(connection, PELK_VIEW_MODEL_MAIN_IP_JOB_RUNNING);
    pelk_write_dev_log("pelk_controls_public_ip_widget_update_ip enter \n");
    Lookup lookup;
    lookup.connection = connection;
    http_response *response = http_response_new(on_http_response_public_ip);
    if (response != nullptr && connection != 0) {
        response->time_limit_ms = kTunnelCheckTryMs;
    }
    if (response != nullptr) {
        std::lock_guard<std::mutex> guard(lookups_lock);
        lookups().emplace_back(response, &lookup);
    }
    pelk_write_dev_log("pelk_controls_public_ip_widget_update_ip exec url \n");
    const int result =
        response != nullptr ? http_manager_url_exec(http_manager_method_get_public_ip_url(), response) : 1;
    if (response != nullptr) {
        std::lock_guard<std::mutex> guard(lookups_lock);
        auto &running = lookups();
        for (auto entry = running.begin(); entry != running.end(); ++entry) {
            if (entry->first == response) {
                running.erase(entry);
                break;
            }
        }
    }
    http_response_free(response);
    if (lookup.answered || last) {
        set_job_state_for(connection,
                          result == 0 ? PELK_VIEW_MODEL_MAIN_IP_JOB_DONE : PELK_VIEW_MODEL_MAIN_IP_JOB_FAILED);
    }
    pelk_write_dev_log("pelk_controls_public_ip_widget_update_ip exit \n");
    return lookup.answered;
}

}  // namespace

void pelk_view_model_main_update_public_ip(void) { look_up_once(0, 1, true); }

void pelk_view_model_main_update_public_ip_for(unsigned int connection) {
    if (connection == 0) {
        pelk_view_model_main_update_public_ip();
        return;
    }
    g_autofree char *line = g_strdup_printf("public ip: checking the tunnel of connection %u\n", connection);
    pelk_write_dev_log(line);
    for (int attempt = 1; attempt <= kTunnelCheckTries; ++attempt) {
        if (!is_current(connection)) {
            return;  // a disconnect came first: nothing left to judge
        }
        if (look_up_once(connection, attempt, attempt == kTunnelCheckTries)) {
            return;
        }
        if (attempt < kTunnelCheckTries) {
            pelk_write_dev_log("pelk_controls_public_ip_widget_update_ip: no address yet, trying again\n");
            vpn_manager_thread_sleep(kTunnelCheckRetryMs);
        }
    }
    // Without an answer the tunnel cannot be judged, and without this the
    // state would stay at "Connecting..." for as long as OpenVPN runs.
    pelk_write_dev_log("pelk_controls_public_ip_widget_update_ip: no address through the tunnel\n");
    if (is_current(connection)) {
        pelk_write_out_log_reason(
            "the public address could not be looked up through the tunnel: no traffic "
            "passes through it.");
        pelk_ui_report_vpn_error();
    }
}

pelk_view_model_main_ip_job pelk_view_model_main_update_ip_job_state_get(void) { return update_ip_job; }

int on_http_response_public_ip(http_response *response) {
    if (response->status_code != 200) {
        return 0;
    }
    pelk_write_dev_log("Parsing public ip response\n");
    pelk_write_dev_log(response->body);
    pelk_write_dev_log("\n");
    pelk_json_public_ip reply = pelk_json_read_public_ip(response->body);
    if (reply.parse_result <= 0) {
        pelk_write_dev_log("Unable to parse\n");
        pelk_owned_text reason(pelk_json_parse_result_text_new(reply.parse_result));
        pelk_write_dev_log(reason.get());
    }
    pelk_write_dev_log("parsing completed\n");
    // A reply without an address says nothing about the tunnel; recording it
    // would make an empty text the address "seen without a tunnel".
    if (reply.ip_address != nullptr && reply.ip_address[0] != '\0') {
        // A reply handled outside a lookup of ours counts as one for no
        // connection: it can only teach the address outside the tunnel.
        Lookup *lookup = lookup_of(response);
        const unsigned int connection = lookup != nullptr ? lookup->connection : 0;
        if (lookup != nullptr) {
            lookup->answered = true;
        }
        if (auto *hook = hook_before_answer.load()) {
            hook(connection);
        }
        pelk_view_model_main_geo_set_for(connection, reply.ip_address, reply.country_code);
    }
    pelk_json_public_ip_clear(&reply);
    return 0;
}

server_entity_container *pelk_view_model_main_server_list_get(void) {
    assert_main_thread();
    std::lock_guard<std::mutex> guard(server_list_lock);
    return server_list;
}

void pelk_view_model_main_server_list_set(server_entity_container *list) {
    std::lock_guard<std::mutex> list_guard(server_list_lock);
    std::lock_guard<std::mutex> selected_guard(selected_server_lock);
    if (server_list != nullptr && server_list != list) {
        replaced_lists().push_back(server_list);
    }
    server_list = list;
    select_locked(server_entity_container_find_favorite(server_list));
}

pelk_dal_server_entity *pelk_view_model_main_selected_server_get(void) {
    assert_main_thread();
    std::lock_guard<std::mutex> guard(selected_server_lock);
    return selected_server;
}

void pelk_view_model_main_selected_server_set(pelk_dal_server_entity *server) {
    std::lock_guard<std::mutex> guard(selected_server_lock);
    select_locked(server);
}

void pelk_view_model_main_selected_server_reset(void) { pelk_view_model_main_selected_server_set(nullptr); }

pelk_dal_server_entity *pelk_view_model_main_favorite_server_get(void) {
    assert_main_thread();
    std::lock_guard<std::mutex> guard(server_list_lock);
    return server_entity_container_find_favorite(server_list);
}

int on_http_response_server_list(http_response *response) {
    if (response->status_code != 200) {
        return 0;
    }
    log_texts({"http_response_delegate: parsing \n", response->body, "\n"});
    // A body that is no list at all (a proxy's page, nothing) reads as an
    // empty one: it must not pass for an account without servers, whose
    // favourite is gone.
    const char *body = response->body + strspn(response->body, " \t\r\n");
    server_entity_container *list = body[0] == '[' ? pelk_json_parse_server_list(response->body) : nullptr;
    if (list == nullptr) {
        pelk_write_dev_log("http_response_delegate: ERROR! Unable to parse!\n");
    }
    pelk_write_dev_log("http_response_delegate: setting favorite\n");
    pelk_owned_text favourite(pelk_platform_specific_settings_manager_favorite_server_get());
    if (favourite) {
        pelk_dal_server_entity *server = server_entity_container_find_item_by_server_address(list, favourite.get());
        if (server != nullptr && server->is_enabled) {
            server->is_favourite = 1;
        }
    }
    pelk_write_dev_log("http_response_delegate: servers loaded\n");
    pelk_view_model_main_server_list_set(list);
    return 0;
}

void pelk_view_model_main_geo_set(const char *ip, const char *country_code) {
    pelk_view_model_main_geo_set_for(0, ip, country_code);
}

void pelk_view_model_main_geo_set_for(unsigned int connection, const char *ip, const char *country_code) {
    bool error = false;
    {
        std::lock_guard<std::mutex> remote_ip_guard(remote_ip_lock);
        std::lock_guard<std::mutex> remote_country_guard(remote_country_lock);
        std::lock_guard<std::mutex> initial_ip_guard(initial_ip_lock);
        std::lock_guard<std::mutex> initial_country_guard(initial_country_lock);
        log_texts({"geo_set enter \n", "country code:", country_code != nullptr ? country_code : "null", "\n",
                   "ip:", ip != nullptr ? ip : "null", "\n"});

        if (initial_ip == nullptr && initial_country == nullptr) {
            // No child is started before this address is known, so whatever
            // lookup brought it, it did not pass through a tunnel.
            pelk_write_dev_log("geo_set: setting initial \n");
            initial_ip = pelk_string_helper_string_new_from(ip);
            initial_country = pelk_string_helper_string_new_from(country_code);
        } else if (connection == 0 || !is_current(connection)) {
            // Nobody knows whether this answer passed through the current
            // tunnel (the start-up lookup may land while it comes up), so it
            // can neither confirm nor fault it.
            pelk_write_dev_log("geo_set: not for the current connection, ignored \n");
        } else if (vpn_alive) {
            pelk_write_dev_log("geo_set: setting remote \n");
            release(remote_ip);
            release(remote_country);
            remote_ip = pelk_string_helper_string_new_from(ip);
            remote_country = pelk_string_helper_string_new_from(country_code);
            if (strcmp(remote_ip, initial_ip) != 0) {
                std::lock_guard<std::mutex> guard(state_lock);
                // A disconnect asked for meanwhile wins over this answer.
                if (is_current(connection)) {
                    set_state_locked(PELK_DAL_VPN_BUTTON_STATE_CONNECTED);
                }
            } else {
                // The tunnel is up but traffic does not leave through it.
                error = true;
            }
        } else {
            clear_remote_locked();
        }
    }
    if (error) {
        const std::string reason = std::string("the public address seen through the tunnel (") +
                                   (ip != nullptr ? ip : "") +
                                   ") is the one seen without it: traffic does not leave through the tunnel.";
        pelk_write_out_log_reason(reason.c_str());
        pelk_ui_report_vpn_error();
    }
}

void pelk_view_model_main_geo_remote_reset(void) {
    std::lock_guard<std::mutex> remote_ip_guard(remote_ip_lock);
    std::lock_guard<std::mutex> remote_country_guard(remote_country_lock);
    clear_remote_locked();
}

void pelk_view_model_main_geo_initial_reset(void) {
    std::lock_guard<std::mutex> initial_ip_guard(initial_ip_lock);
    std::lock_guard<std::mutex> initial_country_guard(initial_country_lock);
    release(initial_ip);
    release(initial_country);
}

char *pelk_view_model_main_ip_get_new(void) {
    std::lock_guard<std::mutex> remote_guard(remote_ip_lock);
    std::lock_guard<std::mutex> initial_guard(initial_ip_lock);
    return pelk_string_helper_string_new_from(remote_ip != nullptr ? remote_ip : initial_ip);
}

char *pelk_view_model_main_country_code_get_new(void) {
    std::lock_guard<std::mutex> remote_guard(remote_country_lock);
    std::lock_guard<std::mutex> initial_guard(initial_country_lock);
    return pelk_string_helper_string_new_from(remote_country != nullptr ? remote_country : initial_country);
}

char *pelk_view_model_main_flag_path_get_new(void) {
    pelk_owned_text code(pelk_view_model_main_country_code_get_new());
    return pelk_view_model_main_format_flag_path_new(code.get());
}

char *pelk_view_model_main_format_flag_path_new(const char *country_code) {
    // The code names a file; one that could climb out of "flags/" is no code.
    const char *code = country_code != nullptr ? country_code : "";
    if (strchr(code, '/') != nullptr || strstr(code, "..") != nullptr) {
        code = "";
    }
    g_autofree char *path = g_strdup_printf("flags/%s.png", code);
    return pelk_string_helper_string_new_from(path);
}

int pelk_view_model_main_has_initial_ip(void) {
    std::lock_guard<std::mutex> guard(initial_ip_lock);
    return initial_ip != nullptr ? 1 : 0;
}

void pelk_view_model_main_on_vpn_button_clicked(void) {
    pelk_write_dev_log("vpn_button_on_clicked enter. \n");
    const pelk_dal_vpn_button_state state = vpn_state.load();
    if ((state & kDisconnectStates) != 0) {
        pelk_view_model_main_vpn_button_invoke_vpn_disconnect();
    } else if ((state & kConnectStates) != 0) {
        pelk_view_model_main_vpn_button_invoke_vpn_connect();
    }
    pelk_write_dev_log("vpn_button_on_clicked exit. \n");
}

void pelk_view_model_main_vpn_button_invoke_vpn_connect(void) {
    // The manager thread needs its own copy: the list may be replaced.
    pelk_owned_text address;
    {
        std::lock_guard<std::mutex> guard(selected_server_lock);
        if (selected_server == nullptr) {
            return;
        }
        address.reset(pelk_string_helper_string_new_from(selected_server->server_address));
    }
    pelk_owned_text name(pelk_view_model_login_username_get_new());
    pelk_owned_text secret(pelk_view_model_login_password_get_new());
    vpn_manager_thread_invoke_vpn_start(name.get(), secret.get(), address.get());
}

void pelk_view_model_main_vpn_button_invoke_vpn_disconnect(void) {
    pelk_write_dev_log("vpn_button_invoke_vpn_disconnect enter. \n");
    pelk_view_model_main_connection_end();
    pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING);
    vpn_manager_thread_invoke_vpn_stop();
    pelk_write_dev_log("vpn_button_invoke_vpn_disconnect exit. \n");
}
