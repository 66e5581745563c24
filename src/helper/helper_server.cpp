// pelk_helper_server_*: the root helper's requests, read off its socket and carried out one at a time.
#include "helper/helper_server.h"

#include "base/global_variables.h"
#include "base/logger.h"
#include "base/owned_text.h"
#include "helper/helper_leak_block.h"
#include "helper/helper_openvpn.h"
#include "vpn/config_generator.h"
#include "vpn/dns_resolver.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netdb.h>
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
// The leak block of the current connection, while one is set.
pelk_helper_leak_block block;
bool block_set = false;
std::string block_omits;

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

void log_block(const std::string &what) { pelk_write_dev_log(("leak block: " + what + "\n").c_str()); }

std::string joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// The server's addresses: the address itself, or what its name resolves
// to now (OpenVPN resolves the same name a moment later).
std::vector<std::string> addresses_of(const std::string &server, bool *is_name) {
    *is_name = false;
    unsigned char bytes[sizeof(in6_addr)];
    for (int family : {AF_INET, AF_INET6}) {
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_pton(family, server.c_str(), bytes) == 1 && inet_ntop(family, bytes, text, sizeof text) != nullptr) {
            return {text};
        }
    }
    *is_name = true;
    std::vector<std::string> found;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *results = nullptr;
    if (getaddrinfo(server.c_str(), nullptr, &hints, &results) != 0) {
        return found;
    }
    for (const addrinfo *entry = results; entry != nullptr; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void *address =
            entry->ai_family == AF_INET
                ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr)
                : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr)->sin6_addr);
        if ((entry->ai_family == AF_INET || entry->ai_family == AF_INET6) &&
            inet_ntop(entry->ai_family, address, text, sizeof text) != nullptr) {
            found.push_back(text);
        }
    }
    freeaddrinfo(results);
    return found;
}

std::vector<std::string> local_resolvers() {
    g_autofree char *text = nullptr;
    g_file_get_contents(pelk_vpn_dns_resolver_resolv_conf_path().c_str(), &text, nullptr, nullptr);
    return pelk_helper_leak_block_local_resolvers(text != nullptr ? text : "", pelk_helper_leak_block_local_networks());
}

// Sets the block as it now stands; false (logged) when it cannot be.
bool apply_block() {
    if (block_omits == "all") {
        log_block("left out (tests)");
        return true;
    }
    pelk_helper_leak_block wanted = block;
    wanted.drop_ipv4 = block_omits != "ipv4";
    wanted.drop_ipv6 = block_omits != "ipv6";
    std::string error;
    if (pelk_helper_leak_block_set(wanted, &error) != 0) {
        log_block("cannot be set: " + error);
        return false;
    }
    block_set = true;
    return true;
}

void remove_block() {
    std::string error;
    const int removed = pelk_helper_leak_block_remove(&error);
    if (removed < 0) {
        log_block("cannot be removed: " + error);
    } else if (removed > 0) {
        log_block("removed");
    }
    block_set = false;
}

// The tunnel is up: the block lets its device through, and the local
// network's resolvers when the tunnel named none of its own.
int open_block_to_tunnel(unsigned int connection) {
    if (block_omits == "all") {
        return 0;
    }
    if (connection != current_connection || !block_set) {
        return -1;
    }
    bool pushed = false;
    pelk_vpn_dns_resolver_tunnel(connection, &block.tunnel_device, &pushed);
    if (block.tunnel_device.empty()) {
        log_block("the tunnel's device is not known; nothing is let through");
        return pelk_helper_result_no_block;
    }
    block.resolvers = pushed ? std::vector<std::string>{} : local_resolvers();
    if (!pushed) {
        pelk_write_dev_log(block.resolvers.empty()
                               ? "dns: the tunnel brings no name servers; lookups go through it to the ones in use\n"
                               : ("dns: the tunnel brings no name servers; lookups to the local network's " +
                                  joined(block.resolvers) + " are not protected by the tunnel\n")
                                     .c_str());
    }
    if (!apply_block()) {
        return pelk_helper_result_no_block;
    }
    log_block("the tunnel " + block.tunnel_device + " let through");
    return 0;
}

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
    // The block stands before OpenVPN does: from its first packet on only
    // its own packets to the server leave outside the tunnel.
    bool is_name = false;
    block = pelk_helper_leak_block{};
    block.server_addresses = addresses_of(request.server_address, &is_name);
    block.ports = request.ports;
    if (is_name) {
        block.resolvers = local_resolvers();
    }
    if (!apply_block()) {
        for (const char *file : {config, credentials}) {
            config_generator_delete_file(file);
        }
        pelk_write_dev_log("PELK_VPN_MANAGER: OpenVPN not started without the leak block \n");
        return pelk_helper_result_no_block;
    }
    log_block("set: only OpenVPN's packets to " + joined(block.server_addresses) + " leave outside the tunnel");
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
    case PELK_HELPER_UNBLOCK:
        remove_block();
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
        // A client that died left its block with its OpenVPN; both are gone now.
        remove_block();
        config_generator_delete_recorded_files();
        pelk_vpn_dns_resolver_undo_recorded();
        return 0;
    case PELK_HELPER_DNS_APPLY:
        if (pelk_vpn_dns_resolver_apply(request.connection) != 0) {
            return -1;
        }
        return open_block_to_tunnel(request.connection);
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
    remove_block();
    config_generator_delete_recorded_files();
    pelk_vpn_dns_resolver_undo_recorded();
}

void pelk_helper_server_leak_block_omits(const char *rules) { block_omits = rules != nullptr ? rules : ""; }
