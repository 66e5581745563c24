#include "account_server.h"

#include "account_documents.h"
#include "account_query.h"

#include <glib-unix.h>
#include <libsoup/soup.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

namespace {

const char *const method_names[] = {
    "authentication", "server_list", "server_plan_and_expiry_date", "user_name", "port_numbers", "remote_address",
};

struct server_state {
    const account_server_options *options;
    AccountStore *store;
};

void log_line(const std::string &text) {
    g_autoptr(GDateTime) now = g_date_time_new_now_utc();
    g_autofree char *stamp = g_date_time_format(now, "%Y-%m-%dT%H:%M:%SZ");
    std::fprintf(stderr, "%s veltra-account-service: %s\n", stamp, text.c_str());
    std::fflush(stderr);
}

// The fault the tests asked for on method ("" for none).
std::string fault_for(const std::string &faults_file, std::string_view method) {
    g_autofree char *text = nullptr;
    if (faults_file.empty() || !g_file_get_contents(faults_file.c_str(), &text, nullptr, nullptr)) {
        return "";
    }
    g_auto(GStrv) lines = g_strsplit(text, "\n", -1);
    for (char **line = lines; *line != nullptr; ++line) {
        g_auto(GStrv) words = g_strsplit(*line, " ", 2);
        if (words[0] != nullptr && words[1] != nullptr && method == words[0]) {
            return words[1];
        }
    }
    return "";
}

unsigned respond(SoupServerMessage *msg, unsigned status, const std::string &body) {
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_COPY, body.data(), body.size());
    return status;
}

std::string address_text(GInetAddress *address) {
    // A dual-stack listener sees IPv4 callers as ::ffff:a.b.c.d; the client
    // compares and the prefix table lists plain IPv4 addresses.
    if (g_inet_address_get_family(address) == G_SOCKET_FAMILY_IPV6) {
        static const guint8 mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        const guint8 *bytes = g_inet_address_to_bytes(address);
        if (std::memcmp(bytes, mapped_prefix, sizeof mapped_prefix) == 0) {
            g_autoptr(GInetAddress) ipv4 = g_inet_address_new_from_bytes(bytes + 12, G_SOCKET_FAMILY_IPV4);
            g_autofree char *text = g_inet_address_to_string(ipv4);
            return text;
        }
    }
    g_autofree char *text = g_inet_address_to_string(address);
    return text;
}

std::string caller_address(SoupServerMessage *msg) {
    GSocketAddress *remote = soup_server_message_get_remote_address(msg);
    if (remote == nullptr || !G_IS_INET_SOCKET_ADDRESS(remote)) {
        return "";
    }
    return address_text(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(remote)));
}

bool is_hash(const std::string &text) {
    if (text.size() != 32) {
        return false;
    }
    for (char c : text) {
        if (!g_ascii_isxdigit(c)) {
            return false;
        }
    }
    return true;
}

unsigned answer_remote_address(server_state *state, SoupServerMessage *msg, const std::string &caller) {
    std::vector<account_geo_prefix> prefixes = state->options->geo;
    std::vector<account_geo_prefix> stored;
    if (!state->store->geo_prefixes(&stored)) {
        return respond(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, account_documents_failure("storage failure"));
    }
    prefixes.insert(prefixes.end(), stored.begin(), stored.end());
    const std::string country = account_store_geo_country(prefixes, caller, state->options->geo_default);
    return respond(msg, SOUP_STATUS_OK, account_documents_remote_address(caller, country));
}

unsigned answer_account(server_state *state, SoupServerMessage *msg, std::string_view method) {
    std::map<std::string, std::string> query;
    std::string problem;
    if (!account_query_parse(g_uri_get_query(soup_server_message_get_uri(msg)), &query, &problem)) {
        return respond(msg, SOUP_STATUS_BAD_REQUEST, account_documents_failure(problem));
    }
    const std::string &email = query["email"];
    const std::string &password = query["password"];
    if (email.empty()) {
        return respond(msg, SOUP_STATUS_BAD_REQUEST, account_documents_failure("missing email"));
    }
    if (password.empty()) {
        return respond(msg, SOUP_STATUS_BAD_REQUEST, account_documents_failure("missing password"));
    }
    if (!is_hash(password)) {
        return respond(msg, SOUP_STATUS_BAD_REQUEST,
                       account_documents_failure("password must be 32 hexadecimal digits"));
    }
    const bool wants_ports = method == "port_numbers";
    if (wants_ports && query["server_address"].empty()) {
        return respond(msg, SOUP_STATUS_BAD_REQUEST, account_documents_failure("missing server_address"));
    }

    account_record account;
    const account_store_verdict verdict = state->store->check(email, password, account_store_today(), &account);
    if (verdict == ACCOUNT_STORE_STORAGE_FAILED) {
        return respond(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, account_documents_failure("storage failure"));
    }
    if (verdict != ACCOUNT_STORE_OK) {
        return respond(msg, SOUP_STATUS_OK, account_documents_error(verdict));
    }

    if (method == "authentication") {
        return respond(msg, SOUP_STATUS_OK, account_documents_authentication(account));
    }
    if (method == "server_plan_and_expiry_date") {
        return respond(msg, SOUP_STATUS_OK, account_documents_plan_and_expiry(account));
    }
    if (method == "user_name") {
        return respond(msg, SOUP_STATUS_OK, account_documents_user_name(account));
    }
    if (method == "server_list") {
        std::vector<account_server_entry> servers;
        if (!state->store->server_list(account.plan_name, &servers)) {
            return respond(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, account_documents_failure("storage failure"));
        }
        return respond(msg, SOUP_STATUS_OK, account_documents_server_list(servers));
    }
    // An unknown server, or one the plan does not cover, has no ports for
    // this account.
    std::vector<int> ports;
    if (!state->store->ports(query["server_address"], account.plan_name, &ports)) {
        return respond(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, account_documents_failure("storage failure"));
    }
    return respond(msg, SOUP_STATUS_OK, account_documents_ports(ports));
}

unsigned answer(server_state *state, SoupServerMessage *msg, const char *path, const std::string &caller) {
    const std::string_view request_path = path == nullptr ? std::string_view() : std::string_view(path);
    const std::string_view base(ACCOUNT_SERVER_BASE_PATH);
    std::string_view method;
    if (request_path.starts_with(base)) {
        for (const char *name : method_names) {
            if (request_path.substr(base.size()) == name) {
                method = name;
            }
        }
    }
    if (method.empty()) {
        return respond(msg, SOUP_STATUS_NOT_FOUND, account_documents_failure("not found"));
    }
    if (std::strcmp(soup_server_message_get_method(msg), SOUP_METHOD_GET) != 0) {
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "GET");
        return respond(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, account_documents_failure("method not allowed"));
    }
    if (const std::string fault = fault_for(state->options->faults_file, method); fault == "503") {
        return respond(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "");
    } else if (fault == "unreadable") {
        return respond(msg, SOUP_STATUS_OK, "<html><body>Service busy</body></html>\r\n");
    }
    if (method == "remote_address") {
        return answer_remote_address(state, msg, caller);
    }
    return answer_account(state, msg, method);
}

const char logged_key[] = "veltra-logged";

void log_request(SoupServerMessage *msg) {
    GUri *uri = soup_server_message_get_uri(msg);
    const char *method = soup_server_message_get_method(msg);
    const char *path = uri == nullptr ? nullptr : g_uri_get_path(uri);
    const char *query = uri == nullptr ? nullptr : g_uri_get_query(uri);
    log_line(caller_address(msg) + " \"" + account_query_printable(method == nullptr ? "-" : method) + " " +
             account_query_printable(path == nullptr ? "-" : path) +
             (query == nullptr ? std::string() : "?" + account_query_masked(query)) + "\" " +
             std::to_string(soup_server_message_get_status(msg)));
    g_object_set_data(G_OBJECT(msg), logged_key, GINT_TO_POINTER(1));
}

// Logged before the reply leaves, so that whoever got the reply finds the
// line already written.
void on_request(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *, gpointer data) {
    answer(static_cast<server_state *>(data), msg, path, caller_address(msg));
    log_request(msg);
}

// Requests that libsoup refuses on its own (a broken escape, a malformed
// request line) never reach on_request.
void on_request_finished(SoupServer *, SoupServerMessage *msg, gpointer) {
    if (g_object_get_data(G_OBJECT(msg), logged_key) == nullptr) {
        log_request(msg);
    }
}

gboolean on_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;
}

// Quits loop on SIGTERM or SIGINT for as long as it lives.
class StopSignals {
  public:
    explicit StopSignals(GMainLoop *loop)
        : term_(g_unix_signal_add(SIGTERM, on_signal, loop)), interrupt_(g_unix_signal_add(SIGINT, on_signal, loop)) {}
    ~StopSignals() {
        g_source_remove(term_);
        g_source_remove(interrupt_);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

  private:
    guint term_;
    guint interrupt_;
};

int bound_port(SoupServer *server) {
    int port = 0;
    GSList *listeners = soup_server_get_listeners(server);
    for (GSList *item = listeners; item != nullptr && port == 0; item = item->next) {
        g_autoptr(GSocketAddress) local = g_socket_get_local_address(G_SOCKET(item->data), nullptr);
        if (local != nullptr && G_IS_INET_SOCKET_ADDRESS(local)) {
            port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
        }
    }
    g_slist_free(listeners);
    return port;
}

}  // namespace

int account_server_run(const account_server_options &options) {
    std::string problem;
    std::unique_ptr<AccountStore> store = AccountStore::open(options.db_path, false, &problem);
    if (!store) {
        log_line(problem);
        return 1;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(GTlsCertificate) certificate =
        g_tls_certificate_new_from_files(options.certificate_file.c_str(), options.key_file.c_str(), &error);
    if (certificate == nullptr) {
        log_line("certificate: " + std::string(error->message));
        return 1;
    }
    g_autoptr(GInetAddress) listen_address = g_inet_address_new_from_string(options.listen_address.c_str());
    if (listen_address == nullptr) {
        log_line("listen address " + options.listen_address + " is not a numeric IP address");
        return 1;
    }
    if (options.port < 0 || options.port > 65535) {
        log_line("port must be between 0 and 65535");
        return 1;
    }
    // Handlers first: whoever reads the port file may signal at once.
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    StopSignals stop_signals(loop);
    g_autoptr(SoupServer) server =
        soup_server_new("tls-certificate", certificate, "server-header", "veltra-account-service", nullptr);
    server_state state{&options, store.get()};
    soup_server_add_handler(server, nullptr, on_request, &state, nullptr);
    g_signal_connect(server, "request-finished", G_CALLBACK(on_request_finished), nullptr);
    g_autoptr(GSocketAddress) socket_address =
        g_inet_socket_address_new(listen_address, static_cast<guint16>(options.port));
    if (!soup_server_listen(server, socket_address, SOUP_SERVER_LISTEN_HTTPS, &error)) {
        log_line("listen on " + options.listen_address + " port " + std::to_string(options.port) + ": " +
                 error->message);
        return 1;
    }
    const int port = bound_port(server);
    const std::string port_text = std::to_string(port) + "\n";
    if (options.port_file.empty()) {
        std::fputs(port_text.c_str(), stdout);
        std::fflush(stdout);
    } else if (!g_file_set_contents(options.port_file.c_str(), port_text.c_str(), static_cast<gssize>(port_text.size()),
                                    &error)) {
        // g_file_set_contents renames into place: a reader never sees half a number.
        log_line("port file: " + std::string(error->message));
        return 1;
    }
    const bool ipv6 = g_inet_address_get_family(listen_address) == G_SOCKET_FAMILY_IPV6;
    log_line("serving https://" + (ipv6 ? "[" + options.listen_address + "]" : options.listen_address) + ":" +
             std::to_string(port) + ACCOUNT_SERVER_BASE_PATH);

    g_main_loop_run(loop);
    soup_server_disconnect(server);
    log_line("stopped");
    return 0;
}
