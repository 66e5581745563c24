// pelk_helper_client_*: the window process's end of the socket to the root helper.
#include "vpn/helper_client.h"

#include "base/logger.h"
#include "vpn/vpn_process_internal.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// The helper takes its end of the socket pair as this descriptor.
constexpr int kHelperSocket = 3;

// Lock order: request_lock, then lock. Never destroyed: the receiver is
// never joined and may still run while exit() runs the static destructors.
struct Client {
    // One request at a time: the helper answers in order, one reply each.
    std::mutex request_lock;
    std::mutex lock;
    std::condition_variable answered;
    int socket = -1;
    pid_t pid = -1;
    bool serving = false;
    bool waiting = false;
    bool replied = false;
    int32_t result = 0;
    std::once_flag receiver_started;
};

Client &client() {
    static auto *instance = new Client();
    return *instance;
}

void log_line(const std::string &text) { pelk_write_dev_log(("helper: " + text + "\n").c_str()); }

void deliver(const pelk_helper_message &message) {
    Client &c = client();
    switch (message.kind) {
    case PELK_HELPER_REPLY: {
        std::lock_guard<std::mutex> guard(c.lock);
        if (!c.waiting || c.replied) {
            log_line("a reply nobody asked for, ignored");
            return;
        }
        c.result = message.result;
        c.replied = true;
        c.answered.notify_all();
        return;
    }
    case PELK_HELPER_LOG:
        pelk_write_dev_log(message.bytes.c_str());
        return;
    case PELK_HELPER_OUTPUT:
        pelk_vpn_subprocess_internal_deliver(message.connection, message.stream == PELK_HELPER_STDERR, message.bytes);
        return;
    }
}

// The receiver thread: everything the helper sends, until it ends.
void receive(int socket, pid_t pid) {
    std::vector<uint8_t> buffer(pelk_helper_max_message + 1);
    for (;;) {
        const ssize_t length = recv(socket, buffer.data(), buffer.size(), 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break;
        }
        pelk_helper_message message;
        if (static_cast<size_t>(length) > pelk_helper_max_message ||
            !pelk_helper_message_read(buffer.data(), static_cast<size_t>(length), &message)) {
            log_line("an unreadable message, ignored");
            continue;
        }
        deliver(message);
    }
    Client &c = client();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        c.serving = false;
        close(c.socket);
        c.socket = -1;
        c.answered.notify_all();
    }
    pelk_vpn_subprocess_internal_end_all();
    log_line("the root helper has ended");
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Started on first use, not with the helper: start-up drops to the user
// between the two, and a process with a single thread drops as one.
bool ensure_receiver() {
    Client &c = client();
    bool running = true;
    std::call_once(c.receiver_started, [&] {
        std::lock_guard<std::mutex> guard(c.lock);
        try {
            std::thread(receive, c.socket, c.pid).detach();
        } catch (const std::system_error &) {
            running = false;
        }
    });
    return running;
}

// The helper's end of the pair, away from the descriptor it must land on:
// dup2 onto itself would keep its close-on-exec flag.
int spare_descriptor(int fd) {
    if (fd > kHelperSocket) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kHelperSocket + 1);
    close(fd);
    return moved;
}

}  // namespace

int pelk_helper_client_start(const char *helper_path, const std::vector<std::string> &environment) {
    Client &c = client();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.serving) {
        return 0;
    }
    if (c.pid > 0) {
        log_line("not started again after it ended");
        return -1;
    }
    int pair[2];
    if (helper_path == nullptr || helper_path[0] != '/' ||
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        log_line(std::string("cannot start ") + (helper_path != nullptr ? helper_path : "") + ": " + strerror(errno));
        return -1;
    }
    const int peer = spare_descriptor(pair[1]);
    std::vector<char *> envp;
    std::vector<std::string> copies = environment;
    for (std::string &entry : copies) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char *argv[] = {const_cast<char *>(helper_path), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, peer, kHelperSocket);
    // Nothing else of this process reaches root's helper.
    posix_spawn_file_actions_addclosefrom_np(&actions, kHelperSocket + 1);
    pid_t pid = -1;
    const int error = peer >= 0 ? posix_spawn(&pid, helper_path, &actions, nullptr, argv, envp.data()) : errno;
    posix_spawn_file_actions_destroy(&actions);
    if (peer >= 0) {
        close(peer);
    }
    if (error != 0) {
        close(pair[0]);
        log_line(std::string("cannot start ") + helper_path + ": " + strerror(error));
        return -1;
    }
    c.socket = pair[0];
    c.pid = pid;
    c.serving = true;
    return 0;
}

int pelk_helper_client_request(const pelk_helper_request &request, int *result) {
    // A start carries the password: its bytes are wiped on every way out.
    struct Wiped {
        std::string text;
        ~Wiped() { explicit_bzero(text.data(), text.size()); }
    } wiped{pelk_helper_request_write(request)};
    const std::string &message = wiped.text;
    if (message.empty()) {
        log_line("a request with unsound fields, not sent");
        return -1;
    }
    Client &c = client();
    std::lock_guard<std::mutex> one_at_a_time(c.request_lock);
    if (!ensure_receiver()) {
        log_line("cannot start the receiver");
        return -1;
    }
    std::unique_lock<std::mutex> guard(c.lock);
    if (!c.serving) {
        log_line("not running; request not sent");
        return -1;
    }
    c.waiting = true;
    c.replied = false;
    ssize_t sent = -1;
    do {
        sent = send(c.socket, message.data(), message.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(message.size())) {
        c.answered.wait(guard, [&c] { return c.replied || !c.serving; });
    }
    c.waiting = false;
    if (!c.replied) {
        log_line("no reply; the request is lost");
        return -1;
    }
    *result = c.result;
    return 0;
}

int pelk_helper_client_ask(pelk_helper_request_kind kind, int fallback) {
    pelk_helper_request request;
    request.kind = kind;
    int result = 0;
    return pelk_helper_client_request(request, &result) == 0 ? result : fallback;
}

int pelk_helper_client_dns_apply(unsigned int connection) {
    pelk_helper_request request;
    request.kind = PELK_HELPER_DNS_APPLY;
    request.connection = connection;
    int result = 0;
    return pelk_helper_client_request(request, &result) == 0 ? result : -1;
}
