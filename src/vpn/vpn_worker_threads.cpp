// vpn_process_state_thread_*, vpn_std_*_thread_*: the watcher and the two readers of a child.
#include "vpn/vpn_worker_threads.h"

#include "base/global_variables.h"
#include "base/logger.h"
#include "base/ui_callbacks.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_manager_thread_internal.h"
#include "vpn/vpn_process.h"
#include "vpn/vpn_process_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr unsigned int kPollMs = 500;

// Shared by a thread and its record: a stop request reaches the thread even
// after the record has forgotten it.
struct Worker {
    std::atomic<bool> stop{false};
    std::atomic<bool> busy{false};
    // The connection whose child this worker watches; fixed at its start.
    unsigned int connection = 0;
};
using WorkerRef = std::shared_ptr<Worker>;

// The running workers. Never destroyed: the manager thread may stop or
// start workers while the process exits around it.
struct Records {
    std::mutex lock;
    WorkerRef state_watcher;
    WorkerRef out_reader;
    WorkerRef err_reader;
};

Records &records() {
    static auto *instance = new Records();
    return *instance;
}

// The connection of the output this thread handles; 0 off the readers. The
// tunnel-up event reaches the window layer through a callback without
// arguments, and the check it starts must be the one of this reader's child.
thread_local unsigned int handled_connection = 0;

int launch(WorkerRef &record, void (*body)(WorkerRef, pelk_vpn_pipe_ref), pelk_vpn_pipe_ref pipe) {
    auto worker = std::make_shared<Worker>();
    worker->connection = vpn_manager_thread_connection();
    {
        std::lock_guard<std::mutex> guard(records().lock);
        if (record) {
            record->stop = true;
        }
        record = worker;
    }
    try {
        std::thread(body, worker, std::move(pipe)).detach();
    } catch (const std::system_error &) {
        return 1;
    }
    return 0;
}

void stop(WorkerRef &record) {
    std::lock_guard<std::mutex> guard(records().lock);
    if (record) {
        record->stop = true;
        record->busy = false;
        record.reset();
    }
}

void watch_state(WorkerRef self, pelk_vpn_pipe_ref) {
    // The first answer comes at once, ahead of the readers' first output:
    // the tunnel check that output starts needs to know the child is alive.
    for (;;) {
        if (self->stop) {
            return;
        }
        self->busy = true;
        const int alive = pelk_vpn_subprocess_is_alive();
        // A child being ended on purpose is not a lost connection.
        if (self->stop) {
            return;
        }
        if (!alive) {
            pelk_write_dev_log("vpn_process_state: the OpenVPN child is not running\n");
        }
        pelk_ui_report_vpn_alive(alive);
        if (!alive) {
            return;  // reported once; the error path takes over
        }
        self->busy = false;
        vpn_manager_thread_sleep(kPollMs);
    }
}

// Keeps one piece of the child's output in its log (and on the terminal).
void keep(const char *piece, const char *log_path, bool print) {
    pelk_logger_log_write(log_path, piece);
    if (print) {
        fputs(piece, stdout);
        fflush(stdout);
    }
}

// Reads the pipe of the child this reader was started for until it ends or
// the reader is stopped. After a stop nothing is handled any more, but the
// rest of the child's output still goes to the log: a child that dies says
// why on its way out (AUTH_FAILED, a bad option), and that log is what the
// user opens through "Click for details". The child is being ended, so the
// pipe reaches its end soon.
void read_pipe(WorkerRef self, pelk_vpn_pipe_ref pipe, const char *log_path, void (*handle)(const char *piece),
               bool print) {
    while (!self->stop) {
        vpn_manager_thread_sleep(kPollMs);
        self->busy = true;
        char *piece = pelk_vpn_subprocess_internal_read(pipe);
        if (piece == nullptr) {
            return;
        }
        keep(piece, log_path, print);
        if (!self->stop) {
            handle(piece);
        }
        free(piece);
        self->busy = false;
    }
    while (char *piece = pelk_vpn_subprocess_internal_read(pipe)) {
        keep(piece, log_path, print);
        free(piece);
    }
}

void read_out(WorkerRef self, pelk_vpn_pipe_ref pipe) {
    handled_connection = self->connection;
    read_pipe(std::move(self), std::move(pipe), pelk_global_variable_out_log_path(),
              pelk_vpn_controller_on_process_std_out_update, true);
}

void read_err(WorkerRef self, pelk_vpn_pipe_ref pipe) {
    read_pipe(std::move(self), std::move(pipe), pelk_global_variable_err_log_path(),
              pelk_vpn_controller_on_process_std_err_update, false);
}

}  // namespace

int vpn_process_state_thread_start(void) {
    pelk_write_dev_log("vpn_process_state_start\n");
    return launch(records().state_watcher, watch_state, nullptr);
}

void vpn_process_state_thread_exit(void) {
    pelk_write_dev_log("vpn_process_state_exit\n");
    stop(records().state_watcher);
}

int vpn_std_out_thread_start(void) { return launch(records().out_reader, read_out, pelk_vpn_subprocess_out_pipe()); }

void vpn_std_out_thread_exit(void) { stop(records().out_reader); }

int vpn_std_err_thread_start(void) { return launch(records().err_reader, read_err, pelk_vpn_subprocess_err_pipe()); }

void vpn_std_err_thread_exit(void) { stop(records().err_reader); }

unsigned int vpn_std_out_thread_connection(void) { return handled_connection; }
