// openvpn_manager_start, openvpn_manager_stop: one connection's OpenVPN, through the root helper.
#include "vpn/openvpn_manager.h"

#include "vpn/helper_client.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_process.h"

#include <mutex>

int openvpn_manager_start(const char *user_name, const char *password, const char *server_address, const int32_t *ports,
                          int port_count) {
    pelk_helper_request start;
    start.kind = PELK_HELPER_START;
    // The manager numbers the child it starts right after this call.
    start.connection = vpn_manager_thread_connection() + 1;
    start.user_name = user_name != nullptr ? user_name : "";
    start.password = password != nullptr ? password : "";
    start.server_address = server_address != nullptr ? server_address : "";
    if (ports != nullptr && port_count > 0) {
        start.ports.assign(ports, ports + port_count);
    }
    pelk_vpn_subprocess_new(start);
    return 0;
}

int openvpn_manager_stop(void) {
    // The helper takes the tunnel's name servers back while its device still
    // exists (systemd-resolved needs it to revert them), then ends the child.
    pelk_vpn_subprocess_free();
    // The first stop of a run is start-up's: by now any OpenVPN that an
    // earlier, dead client left has been ended, so the files recorded for it
    // can go. Only then: later the record names this run's own live files.
    static std::once_flag earlier_run_cleaned;
    std::call_once(earlier_run_cleaned, [] { pelk_helper_client_ask(PELK_HELPER_CLEAN_UP, 0); });
    return 0;
}

int openvpn_manager_unblock(void) {
    pelk_helper_client_ask(PELK_HELPER_UNBLOCK, 0);
    return 0;
}
