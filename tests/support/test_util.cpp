#include "support/test_util.h"

#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/reference_service.h"
#include "vpn/helper_client.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace veltra_test {

TempDir::TempDir() {
    g_autoptr(GError) error = nullptr;
    g_autofree char *dir = g_dir_make_tmp("veltra-test-XXXXXX", &error);
    if (dir == nullptr) {
        throw std::runtime_error(std::string("g_dir_make_tmp: ") + error->message);
    }
    path_ = dir;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string &name) const { return path_ + "/" + name; }

bool wait_for(const std::function<bool()> &predicate, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

int count_entries(const std::string &folder, const std::string &prefix) {
    int count = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        count += entry.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

int count_occurrences(const std::string &text, const std::string &what) {
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::string take_text(char *text) {
    std::string result = text != nullptr ? text : "";
    free(text);
    return result;
}

}  // namespace veltra_test

namespace veltra_test {

bool start_helper(const std::vector<std::string> &environment) {
    const pelk_owned_text folder(pelk_global_variable_path_to_dir_new());
    const std::string helper = std::string(folder ? folder.get() : "") + "veltra-helper";
    std::error_code ignored;
    std::filesystem::remove(helper, ignored);
    std::filesystem::create_symlink(VELTRA_HELPER_PATH, helper, ignored);
    // The machine's own network is not the test's: unless asked for, the
    // helper sets no leak block (the sandbox's flows test it in namespaces
    // of their own).
    std::vector<std::string> full = environment;
    if (std::none_of(full.begin(), full.end(),
                     [](const std::string &entry) { return entry.rfind("VELTRA_LEAK_BLOCK_OMIT=", 0) == 0; })) {
        full.push_back("VELTRA_LEAK_BLOCK_OMIT=all");
    }
    // The first request starts the receiver thread too, so that a test
    // counting threads finds it already there.
    return pelk_helper_client_start(helper.c_str(), full) == 0 && pelk_helper_client_ask(PELK_HELPER_ALIVE, -1) != -1;
}

std::vector<int> children_named(int pid, const std::string &name) {
    std::vector<int> found;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string id = entry.path().filename();
        if (id.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // The command name may hold blanks and parentheses; the fields go
        // on after the last ')': state, then the parent's id.
        const std::string stat = read_file(entry.path() / "stat");
        const size_t close = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (close == std::string::npos || std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2 ||
            parent != pid || state == 'Z') {
            continue;
        }
        const std::string cmdline = read_file(entry.path() / "cmdline");
        if (std::filesystem::path(cmdline.substr(0, cmdline.find('\0'))).filename() == name) {
            found.push_back(std::stoi(id));
        }
    }
    return found;
}

SandboxReach sandbox_reach() {
    auto variable = [](const char *name) {
        const char *value = getenv(name);
        return std::string(value != nullptr ? value : "");
    };
    const std::string path = ":" + variable("VELTRA_SANDBOX_SERVICE_PORT") + "/RESTF-1.0.2/rest/api/remote_address";
    const std::vector<std::string> curl{"curl", "-sk", "-o", "/dev/null", "--max-time", "2"};
    auto reaches = [&](std::vector<std::string> extra, const std::string &url) {
        std::vector<std::string> argv = curl;
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(url);
        return run_program(argv) == 0;
    };
    SandboxReach reach;
    // At once: each one that is blocked waits out its time-out.
    std::thread ipv6(
        [&] { reach.ipv6 = reaches({"-6"}, "https://[" + variable("VELTRA_SANDBOX_SERVICE_ADDRESS6") + "]" + path); });
    std::thread bound([&] {
        reach.bound = reaches({"--interface", variable("VELTRA_SANDBOX_HOME_DEVICE")},
                              "https://" + variable("VELTRA_SANDBOX_SERVICE_ADDRESS") + path);
    });
    reach.ipv4 = reaches({}, "https://" + variable("VELTRA_SANDBOX_SERVICE_ADDRESS") + path);
    ipv6.join();
    bound.join();
    return reach;
}

std::string describe(const SandboxReach &reach) {
    return std::string("IPv4 ") + (reach.ipv4 ? "yes" : "no") + ", IPv6 " + (reach.ipv6 ? "yes" : "no") +
           ", bound IPv4 " + (reach.bound ? "yes" : "no");
}

bool sandbox_leak_block_present() { return run_program({"nft", "list", "table", "inet", "veltra_leak_block"}) == 0; }

std::vector<int> openvpn_under(int client) {
    std::vector<int> found;
    for (int helper : children_named(client, "veltra-helper")) {
        for (int openvpn : children_named(helper, "pelk.openvpn.exe")) {
            found.push_back(openvpn);
        }
    }
    return found;
}

}  // namespace veltra_test
