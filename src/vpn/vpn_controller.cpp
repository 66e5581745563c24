// pelk_vpn_controller_*: the watchers started and stopped, and OpenVPN's output turned into events.
#include "vpn/vpn_controller.h"

#include "base/logger.h"
#include "base/ui_callbacks.h"
#include "vpn/helper_client.h"
#include "vpn/vpn_worker_threads.h"

#include <cstring>

void pelk_vpn_controller_on_vpn_started(void) {
    vpn_process_state_thread_start();
    vpn_std_out_thread_start();
    vpn_std_err_thread_start();
}

void pelk_vpn_controller_on_vpn_stoped(void) {
    vpn_process_state_thread_exit();
    vpn_std_out_thread_exit();
    vpn_std_err_thread_exit();
}

void pelk_vpn_controller_on_process_std_out_update(const char *piece) {
    // The helper has read the push reply and the device's name, which come
    // before the marker, from this piece or an earlier one.
    const unsigned int connection = vpn_std_out_thread_connection();
    // The longer marker contains the shorter one, so it is tested first.
    // Each piece stands alone: a marker split across two is not seen.
    if (strstr(piece, "Initialization Sequence Completed With Errors") != nullptr) {
        pelk_write_dev_log("vpn_controller: OpenVPN reported errors\n");
        pelk_ui_report_vpn_error();
    } else if (strstr(piece, "Initialization Sequence Completed") != nullptr) {
        // The tunnel counts as up only with its name servers set: without
        // them every lookup would leave outside it while the window says
        // the connection is secure.
        if (pelk_helper_client_dns_apply(connection) != 0) {
            pelk_ui_report_vpn_error();
        } else {
            pelk_ui_report_vpn_started();
        }
    }
}

void pelk_vpn_controller_on_process_std_err_update(const char *piece) { (void)piece; }
