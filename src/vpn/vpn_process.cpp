// pelk_vpn_subprocess_*, pelk_kill_process, killProcessByName: the OpenVPN child, through the root helper.
#include "vpn/vpn_process.h"

#include "vpn/vpn_process_internal.h"

#include "base/logger.h"
#include "vpn/helper_client.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

struct pelk_vpn_pipe {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::string> pieces;
    bool ended = false;

    void push(std::string piece) {
        std::lock_guard<std::mutex> guard(lock);
        pieces.push_back(std::move(piece));
        arrived.notify_all();
    }
    void end() {
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
        arrived.notify_all();
    }
};

namespace {

constexpr const char *kProgramName = "pelk.openvpn.exe";
// OpenVPN's output is read in pieces of at most this many bytes.
constexpr size_t kPieceSize = 4096;

struct Streams {
    pelk_vpn_pipe_ref out = std::make_shared<pelk_vpn_pipe>();
    pelk_vpn_pipe_ref err = std::make_shared<pelk_vpn_pipe>();
};

// The record of the one child, and the streams of every child whose output
// has not ended yet (a child being stopped still says why on its way out).
// Guarded by subprocess_lock; never destroyed, as readers may still wait on
// a stream while exit() runs the static destructors.
struct Record {
    bool running = false;
    int pid = -1;
    Streams current;
    std::map<unsigned int, Streams> open;
};

std::mutex subprocess_lock;
Record &record = *new Record;

void report(const char *text, int error_number) {
    char line[500];
    snprintf(line, sizeof line, "PELK_VPN_MANAGER: %s(%i) \n", text, error_number);
    pelk_write_dev_log(line);
}

char *copy_piece(const std::string &piece) {
    char *copy = static_cast<char *>(malloc(piece.size() + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    memcpy(copy, piece.data(), piece.size());
    copy[piece.size()] = '\0';
    return copy;
}

}  // namespace

void ErrorExit(const char *text) { report(text, errno); }

void killProcessByName(const char *name) {
    if (name == nullptr || strcmp(name, kProgramName) != 0) {
        // The helper ends strays by the program's fixed name and no other:
        // a name of the caller's choosing would let it end root's services.
        errno = EPERM;
        ErrorExit("kill by name: only the OpenVPN program may be ended");
        return;
    }
    pelk_helper_client_ask(PELK_HELPER_KILL_STRAY, 0);
}

void pelk_kill_process(const char *name) { killProcessByName(name); }

void pelk_vpn_subprocess_free(void) {
    pelk_helper_client_ask(PELK_HELPER_STOP, 0);
    std::lock_guard<std::mutex> guard(subprocess_lock);
    record.running = false;
    record.pid = -1;
}

void pelk_vpn_subprocess_new(const pelk_helper_request &start) {
    const unsigned int connection = start.connection;
    {
        // Open before the request: the first output may come before the reply.
        std::lock_guard<std::mutex> guard(subprocess_lock);
        record.open[connection] = Streams{};
        record.current = record.open[connection];
        record.running = false;
        record.pid = -1;
    }
    int pid = -1;
    if (pelk_helper_client_request(start, &pid) != 0 || pid <= 0) {
        if (pid == pelk_helper_result_no_block) {
            pelk_write_out_log_reason("the leak block could not be set; OpenVPN was not started.");
        }
        pid = -1;
    }
    std::lock_guard<std::mutex> guard(subprocess_lock);
    record.running = pid > 0;
    record.pid = pid;
    if (pid <= 0) {
        // No child: nothing will arrive, and no reader must wait for it.
        auto streams = record.open.find(connection);
        if (streams != record.open.end()) {
            streams->second.out->end();
            streams->second.err->end();
            record.open.erase(streams);
        }
    }
}

pelk_vpn_pipe_ref pelk_vpn_subprocess_out_pipe(void) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    return record.running ? record.current.out : nullptr;
}

pelk_vpn_pipe_ref pelk_vpn_subprocess_err_pipe(void) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    return record.running ? record.current.err : nullptr;
}

char *pelk_vpn_subprocess_internal_read(const pelk_vpn_pipe_ref &pipe) {
    if (!pipe) {
        return nullptr;
    }
    std::unique_lock<std::mutex> guard(pipe->lock);
    pipe->arrived.wait(guard, [&pipe] { return !pipe->pieces.empty() || pipe->ended; });
    if (pipe->pieces.empty()) {
        return nullptr;
    }
    // As a read of the pipe itself would: whatever has arrived, in order,
    // up to one piece's size. A reader waits between reads, and OpenVPN
    // says much at once when the tunnel comes up.
    std::string piece = std::move(pipe->pieces.front());
    pipe->pieces.pop_front();
    while (!pipe->pieces.empty() && piece.size() + pipe->pieces.front().size() <= kPieceSize) {
        piece += pipe->pieces.front();
        pipe->pieces.pop_front();
    }
    return copy_piece(piece);
}

char *pelk_vpn_subprocess_read_out(void) { return pelk_vpn_subprocess_internal_read(pelk_vpn_subprocess_out_pipe()); }

char *pelk_vpn_subprocess_read_err(void) { return pelk_vpn_subprocess_internal_read(pelk_vpn_subprocess_err_pipe()); }

int pelk_vpn_subprocess_is_alive(void) {
    {
        std::lock_guard<std::mutex> guard(subprocess_lock);
        if (!record.running) {
            return 0;
        }
    }
    return pelk_helper_client_ask(PELK_HELPER_ALIVE, 0) == 1 ? 1 : 0;
}

int pelk_vpn_subprocess_pid(void) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    return record.running ? record.pid : -1;
}

void pelk_vpn_subprocess_internal_deliver(unsigned int connection, bool is_err, const std::string &piece) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    auto streams = record.open.find(connection);
    if (streams == record.open.end()) {
        return;
    }
    const pelk_vpn_pipe_ref &stream = is_err ? streams->second.err : streams->second.out;
    if (!piece.empty()) {
        stream->push(piece);
        return;
    }
    stream->end();
    const bool both_ended = [&] {
        std::lock_guard<std::mutex> out_guard(streams->second.out->lock);
        std::lock_guard<std::mutex> err_guard(streams->second.err->lock);
        return streams->second.out->ended && streams->second.err->ended;
    }();
    if (both_ended) {
        record.open.erase(streams);
    }
}

void pelk_vpn_subprocess_internal_end_all(void) {
    std::lock_guard<std::mutex> guard(subprocess_lock);
    for (auto &[connection, streams] : record.open) {
        streams.out->end();
        streams.err->end();
    }
    record.open.clear();
}
