// pelk_shell_execute*, pelk_shell_open_text_file, pelk_open_uri: opening pages and files.
#include "platform/shell.h"

#include "platform/session.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kShowMaximized = 3;

// A plain path has no scheme; the default-handler lookup needs a URI.
char *uri_for(const char *file) {
    g_autofree char *scheme = g_uri_parse_scheme(file);
    if (scheme != nullptr) {
        return g_strdup(file);
    }
    g_autoptr(GFile) location = g_file_new_for_path(file);
    return g_file_get_uri(location);
}

// An instance working for a user must not run the handler the user's own
// configuration names as root: the user's identity runs it.
void open_with_default_handler(const char *file) {
    g_autofree char *uri = uri_for(file);
    if (pelk_platform_session_is_elevated()) {
        pelk_platform_session_open_as_user(uri);
        return;
    }
    g_autoptr(GError) error = nullptr;
    g_app_info_launch_default_for_uri(uri, nullptr, &error);
}

// The user's viewer cannot read root's log, and must not be handed root's
// file: it gets a copy, made with the user's identity, of the text as it is
// now. The log holds no secret. An empty path when the copy fails.
std::string copy_for_user(const char *path) {
    g_autofree char *content = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &content, &length, nullptr)) {
        return "";
    }
    char name[] = "/tmp/veltra-openvpn-log-XXXXXX.txt";
    pelk_platform_session_user_files as_user;
    if (!as_user.ok()) {
        return "";
    }
    const int fd = mkstemps(name, 4);
    if (fd < 0) {
        return "";
    }
    const bool written = write(fd, content, length) == static_cast<ssize_t>(length);
    close(fd);
    if (!written) {
        unlink(name);
        return "";
    }
    return name;
}

void run_program(const char *file, const char *parameters) {
    g_auto(GStrv) words = nullptr;
    g_autofree char *command = g_strdup_printf("%s %s", file, parameters);
    // The parameters of a shell execution are one command-line text; split
    // it as a shell would, but run the program without a shell.
    if (!g_shell_parse_argv(command, nullptr, &words, nullptr)) {
        return;
    }
    g_spawn_async(nullptr, words, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

void pelk_shell_execute_internal(const char *file, const char *parameters, int show_mode) {
    (void)show_mode;
    if (file != nullptr && file[0] != '\0') {
        if (parameters != nullptr) {
            run_program(file, parameters);
        } else {
            open_with_default_handler(file);
        }
    }
    if (parameters != nullptr) {
        printf("Shell execute: %s %s \n", file != nullptr ? file : "", parameters);
    } else {
        printf("Shell execute: %s \n", file != nullptr ? file : "");
    }
    fflush(stdout);
}

void pelk_shell_execute(const char *file, const char *parameters) { pelk_shell_execute_internal(file, parameters, 0); }

void pelk_shell_open_text_file(const char *path) {
    if (path != nullptr && pelk_platform_session_is_elevated()) {
        const std::string copy = copy_for_user(path);
        if (copy.empty()) {
            printf("Shell execute: cannot hand %s to the user's viewer \n", path);
            return;
        }
        pelk_shell_execute_internal(copy.c_str(), nullptr, kShowMaximized);
        return;
    }
    pelk_shell_execute_internal(path, nullptr, kShowMaximized);
}

int pelk_open_uri(const char *uri) {
    pelk_shell_execute(uri, nullptr);
    return 1;
}
