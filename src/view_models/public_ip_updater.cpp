// public_ip_updater_thread_start*: one public-address lookup on a thread of its own.
#include "view_models/public_ip_updater.h"

#include "base/logger.h"
#include "base/ui_callbacks.h"
#include "view_models/main_view_model.h"
#include "view_models/main_view_model_internal.h"

#include <system_error>
#include <thread>

void public_ip_updater_thread_start(void) { public_ip_updater_thread_start_for_connection(0); }

void public_ip_updater_thread_start_for_connection(unsigned int connection) {
    try {
        std::thread(pelk_view_model_main_update_public_ip_for, connection).detach();
    } catch (const std::system_error &) {
        pelk_write_dev_log("public_ip_updater: cannot start thread\n");
        // A tunnel nobody checks would stay at "Connecting..." for good.
        if (connection != 0 && connection == pelk_view_model_main_current_connection()) {
            pelk_ui_report_vpn_error();
        }
    }
}
