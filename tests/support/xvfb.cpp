#include "support/xvfb.h"

#include <glib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

namespace veltra_test {

Xvfb::Xvfb(const std::vector<std::string> &extra_args) {
    int fds[2];
    if (pipe(fds) != 0) {
        return;
    }
    const std::string fd_text = std::to_string(fds[1]);
    std::vector<const char *> argv = {"Xvfb", "-displayfd",  fd_text.c_str(), "-screen",
                                      "0",    "1024x768x24", "-nolisten",     "tcp"};
    for (const std::string &arg : extra_args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    GPid pid = 0;
    g_autoptr(GError) error = nullptr;
    // The write end must stay open in the child for -displayfd.
    const GSpawnFlags flags =
        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_LEAVE_DESCRIPTORS_OPEN | G_SPAWN_DO_NOT_REAP_CHILD |
                                 G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    const bool started =
        g_spawn_async(nullptr, const_cast<char **>(argv.data()), nullptr, flags, nullptr, nullptr, &pid, &error);
    close(fds[1]);
    if (!started) {
        close(fds[0]);
        return;
    }
    pid_ = pid;
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(fds[0]);
    if (!number.empty()) {
        display_ = ":" + number;
    }
}

Xvfb::~Xvfb() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

}  // namespace veltra_test
