#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_util.h"

struct ssl_ctx_st;

namespace veltra_test {

// One piece of a canned reply. Each piece goes out as its own TLS record;
// when send_when is set the server first waits for it to hold (up to a few
// seconds), so a test can make sure the client has taken the previous piece
// on its own.
struct ReplyPiece {
    std::string data;
    std::function<bool()> send_when;
};

struct ScriptedReply {
    // Raw bytes of the reply, status line and headers included.
    std::vector<ReplyPiece> pieces;
    // Completes the TLS handshake and reads the request, then sends nothing
    // until the client gives up.
    bool never_answer = false;
};

// An HTTPS server on 127.0.0.1 that answers every request with the same
// canned bytes, for replies the reference service never gives. Its own CA
// and certificate are made with the openssl CLI in a temporary folder; it
// serves one connection at a time on a thread of its own, which uses no
// library threads, so the thread sanitizer sees every hand-over.
class ScriptedHttpsServer {
  public:
    // subject_alt_name as openssl writes it ("DNS:localhost,IP:127.0.0.1").
    // Returns nullptr and ADD_FAILURE()s when it cannot start.
    static std::unique_ptr<ScriptedHttpsServer>
    start(ScriptedReply reply, const std::string &subject_alt_name = "DNS:localhost,IP:127.0.0.1");
    ~ScriptedHttpsServer();
    ScriptedHttpsServer(const ScriptedHttpsServer &) = delete;
    ScriptedHttpsServer &operator=(const ScriptedHttpsServer &) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" + path
    std::string url(const std::string &path) const;
    // The CA that signed the server certificate.
    std::string ca_file() const { return dir_.file("ca.pem"); }
    // Request heads received so far (request line and headers), in order.
    std::vector<std::string> requests() const;
    // Connections whose TLS handshake completed.
    int handshakes() const;

  private:
    explicit ScriptedHttpsServer(ScriptedReply reply);
    bool set_up(const std::string &subject_alt_name);
    void serve();
    void handle(int fd);
    // Waits until fd is ready for events; false once the server stops.
    bool wait_ready(int fd, short events) const;

    ScriptedReply reply_;
    TempDir dir_;
    int port_ = 0;
    int listen_fd_ = -1;
    int stop_fd_ = -1;  // eventfd, readable once the server stops
    ssl_ctx_st *context_ = nullptr;
    std::thread thread_;
    mutable std::mutex lock_;  // guards requests_ and handshakes_
    std::vector<std::string> requests_;
    int handshakes_ = 0;
};

// Makes a self-signed CA in folder (ca.pem, ca.key) and a certificate signed
// by it (server.pem, server.key) for subject_alt_name. False with a failure
// added when the openssl CLI fails.
bool make_test_certificates(const std::string &folder, const std::string &subject_alt_name);

}  // namespace veltra_test
