// pelk_shell_execute*, pelk_shell_open_text_file, pelk_open_uri: opening pages and files.
#include "platform/shell.h"

#include <gio/gio.h>

#include <cstdio>

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

// The window runs as the user it works for, so the user's own handler
// opens the file or page with the user's own rights.
void open_with_default_handler(const char *file) {
    g_autofree char *uri = uri_for(file);
    g_autoptr(GError) error = nullptr;
    g_app_info_launch_default_for_uri(uri, nullptr, &error);
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

void pelk_shell_open_text_file(const char *path) { pelk_shell_execute_internal(path, nullptr, kShowMaximized); }

int pelk_open_uri(const char *uri) {
    pelk_shell_execute(uri, nullptr);
    return 1;
}
