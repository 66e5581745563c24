// pelk_main: start-up, the hand-over to an elevated instance, and the wiring of the window layer.
#include "app/pelk_main.h"

#include "base/global_variables.h"
#include "base/logger.h"
#include "base/owned_text.h"
#include "base/ui_callbacks.h"
#include "controls/css.h"
#include "platform/elevation.h"
#include "platform/session.h"
#include "resources/resource_manager.h"
#include "views/login_window_controller.h"
#include "views/main_view.h"
#include "views/main_window_controller.h"
#include "views/tray_view.h"
#include "views/windows_controller.h"
#include "vpn/helper_client.h"
#include "vpn/vpn_manager_thread.h"

#include <gtk/gtk.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// The window layer's operations, as the layers below it reach them.
const pelk_ui_callbacks kWindowLayer = {
    .on_login_succeeded = pelk_login_window_controller_on_login_succeeded,
    .on_login_failed = pelk_login_window_controller_on_login_failed,
    .engine = pelk_main_window_controller_engine_callbacks(),
    .on_tray_state = pelk_views_vpn_tray_view_set_state,
    .on_exit_requested = pelk_windows_controller_modal_exit_show,
    .on_minimize = pelk_views_tray_view_minimize,
    .on_settings_show = pelk_views_main_subview_settings_show,
    .on_settings_hide = pelk_views_main_subview_settings_hide,
    .on_log_out = pelk_windows_controller_on_main_end,
};

// The window is drawn with cairo alone; probing OpenGL at start maps tens of
// megabytes of drivers for nothing. A value the user set is left alone.
void disable_gl_probe() { g_setenv("GDK_GL", "disable", FALSE); }

// Relative paths (the flags) resolve in the app folder, wherever the
// instance was started from: pkexec starts it in root's home.
void open_app_folder() {
    pelk_owned_text folder(pelk_global_variable_path_to_dir_new());
    if (folder && folder.get()[0] != '\0' && chdir(folder.get()) != 0) {
        g_autofree char *line = g_strdup_printf("cannot enter the app folder %s: errno %d\n", folder.get(), errno);
        pelk_write_dev_log(line);
    }
}

// Marks where one run begins when two runs in the same second share a log.
void log_start() {
    g_autofree char *line = g_strdup_printf("Veltra %s started, pid %d\n", VELTRA_VERSION, getpid());
    pelk_write_dev_log(line);
    if (geteuid() == 0) {
        pelk_write_dev_log("the window runs as root: started by root for no user (neither PKEXEC_UID nor SUDO_UID)\n");
    }
}

// The root helper runs from the client's own folder. Started while this
// instance is still root (when it is), before the drop and before any other
// thread exists.
bool start_helper(const char *program) {
    g_autofree char *folder = g_path_get_dirname(program);
    g_autofree char *helper = g_build_filename(folder, "veltra-helper", nullptr);
    return pelk_helper_client_start(helper, pelk_platform_session_helper_environment()) == 0;
}

}  // namespace

int pelk_main(int argc, char **argv) {
    if (pelk_shell_is_need_elevation()) {
        pelk_shell_elevate(argc, argv);
        return 0;
    }

    // Before anything reads the environment: who this instance works for,
    // and what of its environment it may trust.
    if (pelk_platform_session_init(argc) != 0) {
        return 1;
    }
    // The process holds the user's password and its digest: no core file,
    // and no other program may attach to it.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // libcurl runs without signals (NOSIGNAL), so a peer closing a TLS
    // connection would otherwise end the client through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    // Absolute before the working folder changes: every path of the run
    // (logs, the helper, OpenVPN, its CA) is derived from it.
    g_autofree char *current = g_get_current_dir();
    g_autofree char *program =
        g_path_is_absolute(argv[0]) ? g_strdup(argv[0]) : g_build_filename(current, argv[0], nullptr);
    const bool helper_runs = start_helper(program);
    // From here on the window is the user's: nothing of root is left to a
    // display that any of the user's programs can steer.
    if (pelk_platform_session_drop() != 0) {
        return 1;
    }
    pelk_platform_session_accessibility();
    disable_gl_probe();
    // No arguments: none of the command line reaches the toolkit.
    g_autofree char *name = g_path_get_basename(program);
    g_set_prgname(name);
    gtk_init(nullptr, nullptr);
    pelk_global_variables_init(program);
    open_app_folder();
    log_start();
    if (!helper_runs) {
        pelk_write_dev_log("helper: not running; OpenVPN cannot be started\n");
    }
    pelk_resource_manager_init();
    pelk_css_setup();
    pelk_ui_callbacks_install(kWindowLayer);
    vpn_manager_thread_start();
    pelk_windows_controller_init();

    gtk_main();
    return 0;
}
