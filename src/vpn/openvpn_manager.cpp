// openvpn_manager_start, openvpn_manager_stop: one connection's files and OpenVPN child.
#include "vpn/openvpn_manager.h"

#include "base/global_variables.h"
#include "base/owned_text.h"
#include "vpn/config_generator.h"
#include "vpn/dns_resolver.h"
#include "vpn/vpn_manager_thread.h"
#include "vpn/vpn_process.h"

#include <glib.h>

#include <mutex>

int openvpn_manager_start(const char *user_name, const char *password, const char *server_address, const int32_t *ports,
                          int port_count) {
    pelk_owned_text cert(pelk_global_variable_path_to_openvpn_cert_new());
    g_autofree char *credentials = config_generator_create_credentials_file(user_name, password);
    g_autofree char *config = config_generator_create_openvpn_config_file(server_address, ports, port_count);
    pelk_owned_text program(pelk_global_variable_path_to_openvpn_new());
    // A connection ended without a disconnect must not leave its servers
    // set for the next one.
    pelk_vpn_dns_resolver_undo(vpn_manager_thread_connection());
    // The child takes over both files, or deletes them when it cannot start.
    pelk_vpn_subprocess_new(program.get(), config, cert.get(), credentials);
    return 0;
}

int openvpn_manager_stop(void) {
    // Taken back while the tunnel device still exists, which
    // systemd-resolved needs to revert its settings.
    pelk_vpn_dns_resolver_undo(vpn_manager_thread_connection());
    pelk_vpn_subprocess_free();
    // The first stop of a run is start-up's: by now any OpenVPN that an
    // earlier, dead client left has been ended, so the files recorded for it
    // can go. Only then: later the record names this run's own live files.
    static std::once_flag earlier_run_cleaned;
    std::call_once(earlier_run_cleaned, [] {
        config_generator_delete_recorded_files();
        pelk_vpn_dns_resolver_undo_recorded();
    });
    return 0;
}
