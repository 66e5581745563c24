#include "vpn/public_ip_updater.h"

#include "app/logger.h"
#include "view_models/main_view_model.h"

#include <system_error>
#include <thread>

void public_ip_updater_thread_start(void) {
    try {
        std::thread(pelk_view_model_main_update_public_ip).detach();
    } catch (const std::system_error &) {
        pelk_write_dev_log("public_ip_updater: cannot start thread\n");
    }
}
