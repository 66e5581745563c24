#include "support/scripted_https_server.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>

namespace veltra_test {

namespace {

bool write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

bool run_openssl(const std::string &folder, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "openssl");
    std::vector<char *> argv;
    for (auto &argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    g_autofree char *out = nullptr;
    g_autofree char *err = nullptr;
    int status = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(folder.c_str(), argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status,
                      &error)) {
        ADD_FAILURE() << "openssl: " << error->message;
        return false;
    }
    if (!g_spawn_check_wait_status(status, nullptr)) {
        ADD_FAILURE() << "openssl " << arguments[1] << " failed: " << (err ? err : "");
        return false;
    }
    return true;
}

// The end of a request head, or npos.
size_t head_end(const std::string &received) { return received.find("\r\n\r\n"); }

std::string openssl_errors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += buffer;
        text += "; ";
    }
    return text;
}

struct ssl_deleter {
    void operator()(SSL *ssl) const { SSL_free(ssl); }
};

}  // namespace

bool make_test_certificates(const std::string &folder, const std::string &subject_alt_name) {
    const std::string ca_config =
        "[req]\n"
        "distinguished_name = dn\n"
        "prompt = no\n"
        "x509_extensions = v3_ca\n"
        "[dn]\n"
        "CN = Veltra Scripted Test CA\n"
        "[v3_ca]\n"
        "basicConstraints = critical,CA:TRUE\n"
        "keyUsage = critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier = hash\n";
    const std::string server_extensions =
        "basicConstraints = CA:FALSE\n"
        "keyUsage = critical,digitalSignature\n"
        "extendedKeyUsage = serverAuth\n"
        "subjectKeyIdentifier = hash\n"
        "authorityKeyIdentifier = keyid\n"
        "subjectAltName = " +
        subject_alt_name + "\n";
    if (!write_text(folder + "/ca.cnf", ca_config) || !write_text(folder + "/server.ext", server_extensions)) {
        ADD_FAILURE() << "cannot write the openssl configuration in " << folder;
        return false;
    }
    return run_openssl(folder, {"req", "-x509", "-new", "-config", "ca.cnf", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                                "-days", "2"}) &&
           run_openssl(folder, {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=scripted server"}) &&
           run_openssl(folder, {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                                "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext"});
}

ScriptedHttpsServer::ScriptedHttpsServer(ScriptedReply reply) : reply_(std::move(reply)) {}

std::unique_ptr<ScriptedHttpsServer> ScriptedHttpsServer::start(ScriptedReply reply,
                                                                const std::string &subject_alt_name) {
    // OpenSSL writes with plain send(): a client that hangs up mid-handshake
    // (as one refusing the certificate does) must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<ScriptedHttpsServer> server(new ScriptedHttpsServer(std::move(reply)));
    if (!server->set_up(subject_alt_name)) {
        return nullptr;
    }
    server->thread_ = std::thread([raw = server.get()] { raw->serve(); });
    return server;
}

ScriptedHttpsServer::~ScriptedHttpsServer() {
    if (stop_fd_ >= 0) {
        const uint64_t one = 1;
        // Wakes every wait of the serving thread; it then returns.
        (void)!write(stop_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
    }
    if (stop_fd_ >= 0) {
        close(stop_fd_);
    }
    SSL_CTX_free(context_);
}

std::string ScriptedHttpsServer::url(const std::string &path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedHttpsServer::requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

int ScriptedHttpsServer::handshakes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return handshakes_;
}

bool ScriptedHttpsServer::set_up(const std::string &subject_alt_name) {
    if (!make_test_certificates(dir_.path(), subject_alt_name)) {
        return false;
    }
    context_ = SSL_CTX_new(TLS_server_method());
    if (context_ == nullptr || SSL_CTX_use_certificate_chain_file(context_, dir_.file("server.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, dir_.file("server.key").c_str(), SSL_FILETYPE_PEM) != 1) {
        ADD_FAILURE() << "TLS context: " << openssl_errors();
        return false;
    }

    // Both descriptors exist before the serving thread starts.
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (stop_fd_ < 0 || listen_fd_ < 0) {
        ADD_FAILURE() << "socket: " << g_strerror(errno);
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "listen: " << g_strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

bool ScriptedHttpsServer::wait_ready(int fd, short events) const {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 && (fds[1].revents & POLLIN) == 0;
    }
}

void ScriptedHttpsServer::serve() {
    while (wait_ready(listen_fd_, POLLIN)) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        handle(fd);
        close(fd);
    }
}

void ScriptedHttpsServer::handle(int fd) {
    std::unique_ptr<SSL, ssl_deleter> ssl(SSL_new(context_));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
        return;
    }
    // Repeats an OpenSSL call on the non-blocking socket until it is done;
    // false when it fails or the server stops.
    const auto complete = [&](const std::function<int()> &call) {
        for (;;) {
            const int result = call();
            if (result > 0) {
                return true;
            }
            const int error = SSL_get_error(ssl.get(), result);
            if (error == SSL_ERROR_WANT_READ) {
                if (!wait_ready(fd, POLLIN)) return false;
            } else if (error == SSL_ERROR_WANT_WRITE) {
                if (!wait_ready(fd, POLLOUT)) return false;
            } else {
                ERR_clear_error();
                return false;
            }
        }
    };

    // A client that refuses the certificate ends here.
    if (!complete([&] { return SSL_accept(ssl.get()); })) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++handshakes_;
    }

    std::string received;
    char buffer[4096];
    int got = 0;
    const auto read_some = [&] { return got = SSL_read(ssl.get(), buffer, sizeof buffer); };
    while (head_end(received) == std::string::npos && received.size() < 64 * 1024) {
        if (!complete(read_some)) {
            return;
        }
        received.append(buffer, size_t(got));
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(received.substr(0, head_end(received)));
    }

    if (reply_.never_answer) {
        // Until the client hangs up or the server stops.
        while (complete(read_some)) {
        }
        return;
    }
    for (const auto &piece : reply_.pieces) {
        if (piece.send_when) {
            wait_for(piece.send_when, std::chrono::seconds(5));
        }
        if (!piece.data.empty() &&
            !complete([&] { return SSL_write(ssl.get(), piece.data.data(), int(piece.data.size())); })) {
            return;
        }
    }
    // close_notify; the client's answer to it is not awaited.
    SSL_shutdown(ssl.get());
}

}  // namespace veltra_test
