// vpn_manager_thread_*: the thread that connects and disconnects.
#include "vpn/vpn_manager_thread.h"

#include "base/clock.h"
#include "base/logger.h"
#include "base/owned_text.h"
#include "base/ui_callbacks.h"
#include "service/http_manager.h"
#include "service/json_parser.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "vpn/openvpn_manager.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_manager_thread_internal.h"
#include "vpn/vpn_process.h"

#include <glib.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

enum Command { kConnect = 0, kDisconnect = 1, kIdle = 2 };

constexpr unsigned int kPollMs = 500;
constexpr unsigned int kAfterStopMs = 10000;
constexpr unsigned int kAfterDisconnectedMs = 1000;

struct Request {
    std::string user_name;
    pelk_owned_text password;  // wiped when replaced or released
    std::string server_address;
    std::vector<int32_t> ports;
};

pelk_owned_text copy_text(const char *text) { return pelk_owned_text(strdup(text != nullptr ? text : "")); }

// Lives for the whole process: the manager thread is never joined, so its
// state must outlive static destruction at exit.
struct Manager {
    std::atomic<int> vpn_manager_command{kIdle};
    std::atomic<int> vpn_manager_busy{0};
    std::atomic<unsigned int> time_divisor{1};
    std::atomic<bool> started{false};
    // The number of the child started last; 0 before the first.
    std::atomic<unsigned int> connection{0};
    // The window the running or next disconnect belongs to is gone (log
    // out): its steps are carried out but no longer reported upward.
    std::atomic<bool> quiet{false};
    std::mutex request_lock;
    Request vpn_manager_request;
};

Manager &manager() {
    static Manager *instance = new Manager();
    return *instance;
}

void request_ports(const Request &job) {
    http_response *response = http_response_new(on_http_response_server_ports);
    pelk_owned_text digest(pelk_ntlm_encrypt(job.password.get()));
    char *url =
        http_manager_method_port_numbers_url_new(job.user_name.c_str(), digest.get(), job.server_address.c_str());
    if (url != nullptr && response != nullptr) {
        http_manager_url_exec(url, response);
    }
    http_manager_url_free(url);
    http_response_free(response);
}

// A log out while this connect ran: it goes no further, and the disconnect
// asked for with the log out takes back what it started.
bool abandoned() {
    if (!manager().quiet) {
        return false;
    }
    pelk_write_dev_log("vpn_manager_thread - log out: connect abandoned\n");
    return true;
}

void connect_job() {
    pelk_write_dev_log("vpn_manager_thread - connect enter\n");
    // A connect is asked for from a window: its steps are reported again.
    manager().quiet = false;
    pelk_ui_report_vpn_state_reset();
    pelk_ui_report_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_CONNECTING);

    // The tunnel is judged by the change of the public address, so the
    // address without it must be known, and known now: after a move to
    // another network a tunnel that leaks would show the new address, which
    // differs from one looked up before, and pass for one that works.
    pelk_ui_report_forget_initial_ip();
    pelk_ui_report_update_public_ip();

    Request job;
    {
        std::lock_guard<std::mutex> guard(manager().request_lock);
        const Request &asked = manager().vpn_manager_request;
        job.user_name = asked.user_name;
        job.password = copy_text(asked.password.get());
        job.server_address = asked.server_address;
    }
    request_ports(job);
    {
        std::lock_guard<std::mutex> guard(manager().request_lock);
        job.ports = manager().vpn_manager_request.ports;
    }

    // Without it no answer through the tunnel could be told from one
    // without. (A start-up lookup landing meanwhile also saw no tunnel.)
    if (!pelk_ui_report_has_initial_ip()) {
        pelk_write_dev_log("vpn_manager_thread - no address outside the tunnel known, OpenVPN not started\n");
        pelk_write_out_log_reason(
            "the public address outside the tunnel could not be looked up, so no tunnel could be checked; "
            "OpenVPN was not started.");
        pelk_ui_report_vpn_error();
        return;
    }

    if (abandoned()) {
        return;
    }
    pelk_write_dev_log("vpn_manager thread - openvpn_manager_start!\n");
    openvpn_manager_start(job.user_name.c_str(), job.password.get(), job.server_address.c_str(), job.ports.data(),
                          static_cast<int>(job.ports.size()));
    // Numbered before its readers start, so that the tunnel check their
    // output asks for carries this child's number.
    const unsigned int connection = manager().connection.fetch_add(1) + 1;
    if (abandoned()) {
        return;
    }
    pelk_ui_report_connection_begin(connection, pelk_vpn_subprocess_is_alive());
    pelk_vpn_controller_on_vpn_started();
    pelk_write_dev_log("vpn_manager_thread - connect done\n");
}

// A report of the disconnect, unless the window it belongs to is gone.
void report(void (*step)(void)) {
    if (!manager().quiet) {
        step();
    }
}

void disconnect_job() {
    pelk_write_dev_log("vpn_manager_thread - disconnect enter\n");
    pelk_ui_report_connection_end();
    report(pelk_ui_report_vpn_disconnecting);
    pelk_vpn_controller_on_vpn_stoped();
    vpn_manager_thread_sleep(kPollMs);
    openvpn_manager_stop();
    pelk_ui_report_vpn_stopped();
    vpn_manager_thread_sleep(kAfterStopMs);
    // Nothing leaves outside the tunnel until the window stops saying
    // "Disconnecting...".
    openvpn_manager_unblock();
    report(pelk_ui_report_vpn_disconnected);
    vpn_manager_thread_sleep(kAfterDisconnectedMs);
    report(pelk_ui_report_vpn_after_disconnected);
    pelk_write_dev_log("vpn_manager_thread - disconnect done\n");
}

[[noreturn]] void manager_loop() {
    Manager &m = manager();
    for (;;) {
        vpn_manager_thread_sleep(kPollMs);
        // Taking the command and marking the job are one step, so a connect
        // request never sees the manager idle while a job is about to run.
        int command = m.vpn_manager_command.load();
        if (command == kIdle) {
            continue;
        }
        m.vpn_manager_busy = 1;
        command = m.vpn_manager_command.exchange(kIdle);
        pelk_write_dev_log("vpn_manager thread - awaked!\n");
        if (command == kConnect) {
            connect_job();
        } else if (command == kDisconnect) {
            disconnect_job();
        }
        m.vpn_manager_busy = 0;
    }
}

void log_lines(std::initializer_list<const char *> texts) {
    for (const char *text : texts) {
        pelk_write_dev_log(text);
    }
}

}  // namespace

void vpn_manager_thread_set_time_divisor(unsigned int divisor) { manager().time_divisor = divisor > 0 ? divisor : 1; }

void vpn_manager_thread_sleep(unsigned int milliseconds) { pelk_sleep(milliseconds / manager().time_divisor); }

int vpn_manager_thread_is_busy(void) { return manager().vpn_manager_busy; }

unsigned int vpn_manager_thread_connection(void) { return manager().connection; }

int vpn_manager_thread_command(void) { return manager().vpn_manager_command; }

void vpn_manager_thread_reset_command(void) { manager().vpn_manager_command = kIdle; }

int vpn_manager_thread_start(void) {
    pelk_write_dev_log("Spawning vpn_manager thread\n");
    if (manager().started.exchange(true)) {
        return 0;
    }
    try {
        std::thread(manager_loop).detach();
    } catch (const std::system_error &) {
        manager().started = false;
        return 1;
    }
    return 0;
}

void vpn_manager_thread_invoke_vpn_start(const char *user_name, const char *password, const char *server_address) {
    Manager &m = manager();
    for (;;) {
        log_lines({"vpn_manager thread - start invoked\n", "USERNAME:", user_name != nullptr ? user_name : "", "\n",
                   "PASSWORD:", "***", "\n", "SERVER:", server_address != nullptr ? server_address : "", "\n"});
        if (m.vpn_manager_busy) {
            pelk_write_dev_log("vpn_manager thread - busy. Retry\n");
            vpn_manager_thread_sleep(kPollMs);
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m.request_lock);
            m.vpn_manager_request.user_name = user_name != nullptr ? user_name : "";
            m.vpn_manager_request.password = copy_text(password);
            m.vpn_manager_request.server_address = server_address != nullptr ? server_address : "";
        }
        m.vpn_manager_command = kConnect;
        vpn_manager_thread_sleep(kPollMs);
        return;
    }
}

void vpn_manager_thread_invoke_vpn_stop(void) { manager().vpn_manager_command = kDisconnect; }

void vpn_manager_thread_invoke_vpn_stop_for_log_out(void) {
    manager().quiet = true;
    manager().vpn_manager_command = kDisconnect;
}

void vpn_manager_thread_on_server_ports_loaded(int *ports, int count) {
    std::vector<int32_t> list(ports, ports + (ports != nullptr && count > 0 ? count : 0));
    free(ports);
    {
        std::lock_guard<std::mutex> guard(manager().request_lock);
        manager().vpn_manager_request.ports = list;
    }
    pelk_write_dev_log("vpn_manager thread - Ports accepted!\n");
    for (int32_t port : list) {
        g_autofree char *line = g_strdup_printf("%i \n", port);
        pelk_write_dev_log(line);
    }
}

int on_http_response_server_ports(http_response *response) {
    if (response->status_code != 200) {
        return 0;
    }
    log_lines({"Parsing server list response\n", response->body, "\n"});
    pelk_json_server_ports reply = pelk_json_read_server_ports(response->body);
    if (reply.parse_result <= 0) {
        pelk_owned_text reason(pelk_json_parse_result_text_new(reply.parse_result));
        log_lines({"Unable to parse\n", reason.get()});
        pelk_json_server_ports_clear(&reply);
        return 0;
    }
    pelk_write_dev_log("Getting ports count\n");
    g_autofree char *count_line = g_strdup_printf("ports count = %i\n", reply.ports_count);
    pelk_write_dev_log(count_line);
    for (int i = 0; i < reply.tokens_count; ++i) {
        pelk_owned_text line(pelk_json_port_token_log_line_new(i, reply.tokens[i].text));
        pelk_write_dev_log(line.get());
        if (reply.tokens[i].is_primitive) {
            pelk_write_dev_log("token is primitive - adding to ports\n");
        }
    }
    pelk_write_dev_log("http_response_delegated: server_ports parsed!\n");
    pelk_write_dev_log("on_http_response_server_ports - invoking graphic update\n");
    const int count = reply.ports_count;
    vpn_manager_thread_on_server_ports_loaded(pelk_json_server_ports_take_ports(&reply), count);
    pelk_json_server_ports_clear(&reply);
    pelk_write_dev_log("on_http_response_server_ports - exit\n");
    return 0;
}
