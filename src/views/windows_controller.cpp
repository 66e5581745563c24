// pelk_windows_controller_*: which window exists and is shown.
#include "views/windows_controller.h"

#include "base/logger.h"
#include "base/owned_text.h"
#include "controls/drawing.h"
#include "controls/top_bar.h"
#include "dal/server_entity.h"
#include "dal/string_helper.h"
#include "platform/settings_manager.h"
#include "service/http_manager.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "view_models/login_view_model.h"
#include "view_models/main_view_model.h"
#include "view_models/public_ip_updater.h"
#include "views/login_view.h"
#include "views/login_window_controller.h"
#include "views/main_view.h"
#include "views/modal_views.h"
#include "views/windows_controller_internal.h"
#include "vpn/openvpn_manager.h"
#include "vpn/vpn_controller.h"
#include "vpn/vpn_manager_thread.h"

// Applies the common properties to window, puts view in it, shows it.
static void pelk_windows_controller_init_window(GtkWidget *window, GtkWidget *view);
// The same for a dialog, unless one is open already: then window is
// discarded.
static void pelk_windows_controller_init_window_modal(GtkWidget *window, GtkWidget *view);
static void pelk_windows_controller_re_init_windows_position(void);
static void pelk_windows_controller_on_login_start(void);
// Fetches the server list for the signed-in account, opens the main window
// in place of the login window and connects to the favourite when
// auto-connect is on. A failed fetch leaves the login window as it is.
static void pelk_windows_controller_on_main_start(void);

namespace {

constexpr int kWindowWidth = 421;
constexpr int kWindowHeight = 394;

GtkWidget *login_window = nullptr;
GtkWidget *login_view = nullptr;
GtkWidget *main_window = nullptr;
GtkWidget *main_view = nullptr;
bool modal_open = false;

void set_visible_if_window(GtkWidget *window, gboolean visible) {
    if (window != nullptr && GTK_IS_WINDOW(window)) {
        gtk_widget_set_visible(window, visible);
    }
}

void move_if_window(GtkWidget *window, int x, int y) {
    if (window != nullptr && GTK_IS_WINDOW(window)) {
        gtk_window_move(GTK_WINDOW(window), x, y);
    }
}

void destroy_login_window() {
    if (login_window != nullptr) {
        gtk_widget_destroy(login_window);
    }
    login_window = nullptr;
    login_view = nullptr;
}

}  // namespace

void pelk_windows_controller_init(void) {
    openvpn_manager_stop();
    pelk_view_model_login_init();
    pelk_windows_controller_on_login_start();
    pelk_view_model_login_try_auto_authenticate();
    public_ip_updater_thread_start();
}

void pelk_windows_controller_init_window(GtkWidget *window, GtkWidget *view) {
    const GdkRGBA background = CreateCommonBackgroundRGBA();
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_widget_override_background_color(window, GTK_STATE_FLAG_NORMAL, &background);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_widget_set_size_request(window, kWindowWidth, kWindowHeight);
    gtk_window_set_title(GTK_WINDOW(window), "Veltra");
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_container_add(GTK_CONTAINER(window), view);
    // Placed before it is shown: shown first, it would flash at the screen's
    // corner before it jumps to its place.
    gtk_window_move(GTK_WINDOW(window), pelk_controls_topbar_get_window_last_position_x(),
                    pelk_controls_topbar_get_window_last_position_y());
    gtk_widget_show_all(window);
}

void pelk_windows_controller_init_window_modal(GtkWidget *window, GtkWidget *view) {
    if (modal_open) {
        // One dialog at a time: the new one is dropped with its content.
        gtk_widget_destroy(window);
        return;
    }
    modal_open = true;
    gtk_window_set_modal(GTK_WINDOW(window), TRUE);
    pelk_windows_controller_init_window(window, view);
}

void pelk_windows_controller_re_init_windows_position(void) {
    const int x = pelk_controls_topbar_get_window_last_position_x();
    const int y = pelk_controls_topbar_get_window_last_position_y();
    move_if_window(login_window, x, y);
    move_if_window(main_window, x, y);
}

void pelk_windows_controller_change_windows_visibility(gboolean visible) {
    // Moved while still hidden, so that a window coming back after a dragged
    // dialog appears at the dialog's place, not first at its old one.
    pelk_windows_controller_re_init_windows_position();
    set_visible_if_window(login_window, visible);
    set_visible_if_window(main_window, visible);
    if (visible) {
        modal_open = false;
    }
}

void pelk_windows_controller_modal_exit_show(void) {
    pelk_windows_controller_change_windows_visibility(FALSE);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    pelk_windows_controller_init_window_modal(window, pelk_views_exit_modal_view_new(window));
}

void pelk_windows_controller_modal_info_show(const char *message) {
    pelk_windows_controller_change_windows_visibility(FALSE);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    pelk_windows_controller_init_window_modal(window, pelk_views_info_modal_view_new(window, message));
}

void pelk_windows_controller_modal_info_url_show(const char *message, const char *url) {
    pelk_windows_controller_change_windows_visibility(FALSE);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    pelk_windows_controller_init_window_modal(window, pelk_views_info_modal_view_url_new(window, message, url));
}

void pelk_windows_controller_on_login_start(void) {
    pelk_view_model_login_init();
    pelk_write_dev_log("Windows controller - on login start enter\n");
    login_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    login_view = CreateLoginView(login_window);
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_views_login_view_password_set(password.get());
    pelk_views_login_view_username_set(username.get());
    pelk_windows_controller_init_window(login_window, login_view);
}

void pelk_windows_controller_internal_remember_login(void) {
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    pelk_write_dev_log("Username: ");
    pelk_write_dev_log(username.get());
    pelk_write_dev_log("\n");
    pelk_write_dev_log("Password: ");
    pelk_write_dev_log("***");
    pelk_write_dev_log("\n");
    pelk_platform_specific_settings_manager_username_set(username.get());
    if (pelk_platform_specific_settings_manager_is_remember_password_set()) {
        pelk_platform_specific_settings_manager_password_set(password.get());
    }
}

void pelk_windows_controller_on_login_end(void) {
    pelk_write_dev_log("closing login window \n");
    pelk_windows_controller_internal_remember_login();
    pelk_windows_controller_on_main_start();
}

int pelk_windows_controller_internal_fetch_server_list(void) {
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    pelk_owned_text digest(pelk_ntlm_encrypt(password.get()));
    http_response *response = http_response_new(on_http_response_server_list);
    char *url = http_manager_method_server_list_url_new(username.get(), digest.get());
    const int result = url != nullptr && response != nullptr ? http_manager_url_exec(url, response) : 1;
    http_manager_url_free(url);
    http_response_free(response);
    return result;
}

void pelk_windows_controller_internal_log_server_list(void) {
    server_entity_container *list = pelk_view_model_main_server_list_get();
    for (int i = 0; pelk_dal_server_entity *server = server_entity_container_get_item_at(list, i); ++i) {
        g_autofree char *line =
            g_strdup_printf("%s %s %s\n", server->country_code, server->server_address, server->server_name);
        pelk_write_dev_log(line);
    }
}

void pelk_windows_controller_internal_auto_connect(void) {
    pelk_dal_server_entity *favourite = server_entity_container_find_favorite(pelk_view_model_main_server_list_get());
    if (favourite == nullptr || !pelk_platform_specific_settings_manager_auto_connect_to_favorite_server_get()) {
        return;
    }
    pelk_write_dev_log("Auto connect to favorite server\n");
    pelk_view_model_main_vpn_state_set(PELK_DAL_VPN_BUTTON_STATE_CONNECTING);
    pelk_owned_text username(pelk_view_model_login_username_get_new());
    pelk_owned_text password(pelk_view_model_login_password_get_new());
    pelk_owned_text address(pelk_string_helper_string_new_from(favourite->server_address));
    vpn_manager_thread_invoke_vpn_start(username.get(), password.get(), address.get());
}

void pelk_windows_controller_on_main_start(void) {
    // The list that cannot be fetched at all is an unexpected error, shown
    // as such; the login window and its entries stay.
    if (pelk_windows_controller_internal_fetch_server_list() != 0) {
        pelk_login_window_controller_on_login_failed(-1);
        return;
    }
    pelk_write_dev_log("Login window destroy\n ");
    destroy_login_window();
    pelk_write_dev_log("Login window destroyed\n ");
    pelk_windows_controller_internal_log_server_list();

    pelk_write_dev_log("Creating main window\n");
    main_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    main_view = CreateMainView(main_window);
    pelk_windows_controller_init_window(main_window, main_view);
    pelk_views_main_subview_main_show();
    pelk_write_dev_log("Created main window\n");

    pelk_windows_controller_internal_auto_connect();
}

void pelk_windows_controller_on_main_end(void) {
    pelk_write_dev_log("Windows controller - on main end enter\n");
    // A connection of this window ends with it: asked to disconnect first,
    // its watchers told that the child about to be ended is no error, and
    // nothing of it reported to the next sign-in's window.
    const pelk_dal_vpn_button_state state = pelk_view_model_main_vpn_state_get();
    if ((state & (PELK_DAL_VPN_BUTTON_STATE_CONNECTED | PELK_DAL_VPN_BUTTON_STATE_CONNECTING |
                  PELK_DAL_VPN_BUTTON_STATE_DISCONNECTING)) != 0) {
        pelk_view_model_main_connection_end();
        pelk_vpn_controller_on_vpn_stoped();
        vpn_manager_thread_invoke_vpn_stop_for_log_out();
    }
    pelk_view_model_main_vpn_state_reset();
    openvpn_manager_stop();
    // The connection is given up with its window: the login window must
    // reach the account service at once, not after the disconnect's waits.
    openvpn_manager_unblock();
    if (main_window != nullptr) {
        gtk_widget_destroy(main_window);
    }
    main_window = nullptr;
    main_view = nullptr;
    pelk_windows_controller_on_login_start();
    pelk_write_dev_log("Windows controller - on main end exit\n");
}
