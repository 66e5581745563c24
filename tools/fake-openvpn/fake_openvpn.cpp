// A stand-in for the OpenVPN program, for the few behaviours the real one
// cannot be made to show on Linux: output with chosen piece boundaries, the
// "With Errors" marker, ignoring SIGTERM, exiting on cue.
//
// It runs the steps of the file named by FAKE_OPENVPN_SCRIPT, or else of
// "fake-openvpn.script" beside the path it was started as (the root helper
// starts OpenVPN with an environment of its own), one a line:
//   out TEXT        write TEXT to standard output in one write (\n \r \t \\)
//   err TEXT        the same on standard error
//   fill N C        write N bytes of character C to standard output at once
//   sleep MS        pause
//   ignore-term     ignore SIGTERM from here on
//   record FILE     append the arguments, one a line, to FILE
//   exit CODE       end with that status
//   wait            sleep until a signal ends the process
// Without a script it waits. After the last step it waits too.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace {

std::string unescape(const std::string &text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        switch (text[++i]) {
        case 'n':
            result += '\n';
            break;
        case 'r':
            result += '\r';
            break;
        case 't':
            result += '\t';
            break;
        default:
            result += text[i];
            break;
        }
    }
    return result;
}

void write_whole(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

[[noreturn]] void wait_for_signal() {
    for (;;) {
        pause();
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::string script_path;
    if (const char *named = getenv("FAKE_OPENVPN_SCRIPT")) {
        script_path = named;
    } else if (argc > 0) {
        const std::string self = argv[0];
        const size_t slash = self.find_last_of('/');
        script_path = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/fake-openvpn.script";
    }
    std::ifstream script(script_path);
    if (!script) {
        wait_for_signal();
    }
    std::string line;
    while (std::getline(script, line)) {
        const size_t space = line.find(' ');
        const std::string step = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (step == "out") {
            write_whole(STDOUT_FILENO, unescape(rest));
        } else if (step == "err") {
            write_whole(STDERR_FILENO, unescape(rest));
        } else if (step == "fill") {
            const size_t count = std::stoul(rest);
            const char c = rest.substr(rest.find(' ') + 1)[0];
            write_whole(STDOUT_FILENO, std::string(count, c));
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(rest)));
        } else if (step == "ignore-term") {
            signal(SIGTERM, SIG_IGN);
        } else if (step == "record") {
            std::ofstream out(rest, std::ios::app);
            for (int i = 0; i < argc; ++i) {
                out << argv[i] << '\n';
            }
        } else if (step == "exit") {
            return std::stoi(rest);
        } else if (step == "wait") {
            wait_for_signal();
        }
    }
    wait_for_signal();
}
