// is_high_inregrity, pelk_shell_is_need_elevation, pelk_shell_elevate: the hand-over to pkexec.
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
constexpr const char *kPkexec = "/usr/bin/pkexec";

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
    // Nothing but the program: polkit then judges the client itself, and
    // nothing of this session (its folders, its variables) reaches root.
    return {launcher, program_path};
}

void pelk_shell_elevate(int argc, char **argv) {
    (void)argc;
    // pkexec wants an absolute path; argument 0 may be relative or bare.
    std::string program = running_program_path();
    if (program.empty() && argv != nullptr && argv[0] != nullptr) {
        program = argv[0];
    }
    // By its absolute path: one found through the user's PATH could be any
    // program of the user's.
    const std::vector<std::string> args = pelk_shell_elevation_argv(kPkexec, program.c_str());
    std::vector<char *> c_args;
    for (const std::string &arg : args) {
        c_args.push_back(const_cast<char *>(arg.c_str()));
    }
    c_args.push_back(nullptr);

    // Standard streams are inherited so the elevated instance's trace stays
    // visible; g_spawn_sync waits for it without a time limit.
    g_autoptr(GError) error = nullptr;
    const GSpawnFlags flags = static_cast<GSpawnFlags>(G_SPAWN_CHILD_INHERITS_STDIN | G_SPAWN_CHILD_INHERITS_STDOUT |
                                                       G_SPAWN_CHILD_INHERITS_STDERR);
    if (!g_spawn_sync(nullptr, c_args.data(), nullptr, flags, nullptr, nullptr, nullptr, nullptr, nullptr, &error)) {
        printf("pkexec: %s\n", error->message);
    }
    printf("resss");
    fflush(stdout);
}
