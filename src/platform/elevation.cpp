#include "platform/elevation.h"

#include "platform/elevation_internal.h"

#include <glib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr int kHigh = 1;
constexpr int kNotHigh = 0;
constexpr int kUndetermined = -1;

// pkexec starts the program with a clean environment; these are what a GTK
// client needs to open its window on the user's display and to keep the
// user's settings and configuration rather than root's.
constexpr const char *kPassedVariables[] = {
    "DISPLAY",    "WAYLAND_DISPLAY",         "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
    "XAUTHORITY", "VELTRA_SERVICE_BASE_URL", "VELTRA_CA_FILE",  "TMPDIR",
};

std::string variable_value(const char *name) {
    const char *value = getenv(name);
    if (value != nullptr && value[0] != '\0') {
        return value;
    }
    // Without these two the elevated instance would look in root's home.
    if (strcmp(name, "XDG_CONFIG_HOME") == 0) {
        return g_get_user_config_dir();
    }
    if (strcmp(name, "XAUTHORITY") == 0) {
        g_autofree char *cookie = g_build_filename(g_get_home_dir(), ".Xauthority", nullptr);
        return g_file_test(cookie, G_FILE_TEST_EXISTS) ? cookie : "";
    }
    return "";
}

std::string running_program_path() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
}

}  // namespace

int is_high_inregrity(const char *status_path) {
    std::ifstream status(status_path != nullptr ? status_path : "");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) {
            continue;
        }
        // Uid: real effective saved filesystem
        std::istringstream fields(line.substr(4));
        long long real = -1;
        long long effective = -1;
        if (!(fields >> real >> effective) || effective < 0) {
            return kUndetermined;
        }
        printf("EUID: %lld\n", effective);
        return effective == 0 ? kHigh : kNotHigh;
    }
    return kUndetermined;
}

int pelk_shell_elevation_decide(int current_integrity, int linked_integrity) {
    if (current_integrity != kNotHigh) {
        return 0;
    }
    return linked_integrity != kNotHigh ? 1 : 0;
}

int pelk_shell_is_need_elevation(void) {
    const char *skip = getenv("VELTRA_NO_ELEVATION");
    if (skip != nullptr && strcmp(skip, "1") == 0) {
        return 0;
    }
    return pelk_shell_elevation_decide(is_high_inregrity("/proc/self/status"), kUndetermined);
}

std::vector<std::string> pelk_shell_elevation_argv(const char *launcher, const char *program_path) {
    std::vector<std::string> argv{launcher, "env"};
    for (const char *name : kPassedVariables) {
        const std::string value = variable_value(name);
        if (!value.empty()) {
            argv.push_back(std::string(name) + "=" + value);
        }
    }
    argv.push_back(program_path);
    return argv;
}

void pelk_shell_elevate(int argc, char **argv) {
    (void)argc;
    // pkexec wants an absolute path; argument 0 may be relative or bare.
    std::string program = running_program_path();
    if (program.empty() && argv != nullptr && argv[0] != nullptr) {
        program = argv[0];
    }
    const std::vector<std::string> args = pelk_shell_elevation_argv("pkexec", program.c_str());
    std::vector<char *> c_args;
    for (const std::string &arg : args) {
        c_args.push_back(const_cast<char *>(arg.c_str()));
    }
    c_args.push_back(nullptr);

    // Standard streams are inherited so the elevated instance's trace stays
    // visible; g_spawn_sync waits for it without a time limit.
    g_autoptr(GError) error = nullptr;
    const GSpawnFlags flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_CHILD_INHERITS_STDIN |
                                                       G_SPAWN_CHILD_INHERITS_STDOUT | G_SPAWN_CHILD_INHERITS_STDERR);
    if (!g_spawn_sync(nullptr, c_args.data(), nullptr, flags, nullptr, nullptr, nullptr, nullptr, nullptr, &error)) {
        printf("pkexec: %s\n", error->message);
    }
    printf("resss");
    fflush(stdout);
}
