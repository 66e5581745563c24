// pelk_helper_server_*: the root helper's requests, read off its socket and carried out one at a time.
#include "helper/helper_server.h"

#include "base/global_variables.h"
#include "base/logger.h"
#include "base/owned_text.h"
#include "helper/helper_openvpn.h"
#include "vpn/config_generator.h"
#include "vpn/dns_resolver.h"

#include <glib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

namespace {

std::atomic<int> peer{-1};

// Only the request thread reads or writes these.
unsigned int current_connection = 0;
bool started_once = false;

// A window that has gone away must not end the helper through SIGPIPE; what
// cannot be sent is lost with it.
void send_message(const std::string &message) {
    const int socket = peer.load();
    if (socket < 0 || message.empty()) {
        return;
    }
    while (send(socket, message.data(), message.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// Runs on whichever thread logs; every text reaches the window whole.
void forward_log(const char *text) {
    const std::string whole = text != nullptr ? text : "";
    for (size_t at = 0; at < whole.size(); at += pelk_helper_max_log_text) {
        send_message(pelk_helper_log_write(whole.substr(at, pelk_helper_max_log_text).c_str()));
    }
}

// Runs on a child's reader threads. The name servers are read from the
// piece before it is sent on: by the time the window sees the tunnel-up
// marker and asks for them, the push reply before it has been read here.
void forward_output(unsigned int connection, pelk_helper_stream stream, const char *piece, size_t length) {
    if (stream == PELK_HELPER_STDOUT && length > 0) {
        const std::string text(piece, length);
        pelk_vpn_dns_resolver_read_output(connection, text.c_str());
    }
    send_message(pelk_helper_output_write(connection, stream, piece, length));
}

void log_refusal(const std::string &what) { pelk_write_dev_log(("helper: refused " + what + "\n").c_str()); }

int start(const pelk_helper_request &request) {
    if (request.connection <= current_connection) {
        log_refusal("a start for connection " + std::to_string(request.connection) + ", not after " +
                    std::to_string(current_connection));
        return -1;
    }
    const pelk_owned_text cert(pelk_global_variable_path_to_openvpn_cert_new());
    g_autofree char *credentials =
        config_generator_create_credentials_file(request.user_name.c_str(), request.password.c_str());
    g_autofree char *config = config_generator_create_openvpn_config_file(
        request.server_address.c_str(), request.ports.data(), static_cast<int>(request.ports.size()));
    const pelk_owned_text program(pelk_global_variable_path_to_openvpn_new());
    // A connection ended without a disconnect must not leave its servers
    // set for the next one.
    pelk_vpn_dns_resolver_undo(current_connection);
    current_connection = request.connection;
    started_once = true;
    // The child takes over both files, or deletes them when it cannot start.
    return pelk_helper_openvpn_start(request.connection, program.get(), config, cert.get(), credentials);
}

}  // namespace

int pelk_helper_server_handle(const pelk_helper_request &request) {
    switch (request.kind) {
    case PELK_HELPER_START:
        return start(request);
    case PELK_HELPER_ALIVE:
        return pelk_helper_openvpn_is_alive();
    case PELK_HELPER_STOP:
        // Taken back while the tunnel device still exists, which
        // systemd-resolved needs to revert its settings.
        pelk_vpn_dns_resolver_undo(current_connection);
        pelk_helper_openvpn_stop();
        return 0;
    case PELK_HELPER_KILL_STRAY:
        pelk_helper_openvpn_kill_by_name(pelk_helper_openvpn_program_name);
        return 0;
    case PELK_HELPER_CLEAN_UP:
        // Once this run has files of its own, the record names them.
        if (started_once) {
            log_refusal("a clean-up after this run's first start");
            return -1;
        }
        config_generator_delete_recorded_files();
        pelk_vpn_dns_resolver_undo_recorded();
        return 0;
    case PELK_HELPER_DNS_APPLY:
        return pelk_vpn_dns_resolver_apply(request.connection);
    }
    return -1;
}

int pelk_helper_server_run(int socket) {
    peer = socket;
    pelk_logger_forward_dev_log(forward_log);
    pelk_helper_openvpn_set_sink(forward_output);
    std::vector<uint8_t> buffer(pelk_helper_max_message + 1);
    for (;;) {
        const ssize_t length = recv(socket, buffer.data(), buffer.size(), 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            // The window has ended (or its end of the socket is gone): so
            // does the helper. OpenVPN keeps running; the next start ends it.
            pelk_logger_forward_dev_log(nullptr);
            return 0;
        }
        pelk_helper_request request;
        const pelk_helper_refusal refusal =
            static_cast<size_t>(length) > pelk_helper_max_message
                ? PELK_HELPER_TRAILING
                : pelk_helper_request_read(buffer.data(), static_cast<size_t>(length), &request);
        int32_t result = -1;
        if (refusal != PELK_HELPER_SOUND) {
            log_refusal(std::string("a request: ") + pelk_helper_refusal_text(refusal));
        } else {
            result = pelk_helper_server_handle(request);
        }
        explicit_bzero(buffer.data(), static_cast<size_t>(length));
        send_message(pelk_helper_reply_write(result));
    }
}

void pelk_helper_server_clean_up_all(void) {
    pelk_helper_openvpn_kill_by_name(pelk_helper_openvpn_program_name);
    config_generator_delete_recorded_files();
    pelk_vpn_dns_resolver_undo_recorded();
}
