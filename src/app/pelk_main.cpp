#include "app/pelk_main.h"

#include "app/global_variables.h"
#include "app/logger.h"
#include "platform/elevation.h"
#include "service/http_manager.h"
#include "views/windows_controller.h"
#include "vpn/vpn_manager_thread.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <csignal>

namespace {

// The window is drawn with cairo alone; probing OpenGL at start maps tens of
// megabytes of drivers for nothing. A value the user set is left alone.
void disable_gl_probe() { g_setenv("GDK_GL", "disable", FALSE); }

// Marks where one run begins when two runs in the same second share a log.
void log_start() {
    g_autofree char *line = g_strdup_printf("Veltra %s started, pid %d\n", VELTRA_VERSION, getpid());
    pelk_write_dev_log(line);
}

}  // namespace

int pelk_main(int argc, char **argv) {
    if (pelk_shell_is_need_elevation()) {
        pelk_shell_elevate(argc, argv);
        return 0;
    }

    // libcurl runs without signals (NOSIGNAL), so a peer closing a TLS
    // connection would otherwise end the client through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    disable_gl_probe();
    gtk_init(&argc, &argv);
    pelk_global_variables_init(argv[0]);
    log_start();
    http_manager_global_init();
    vpn_manager_thread_start();
    pelk_windows_controller_init();

    gtk_main();
    return 0;
}
