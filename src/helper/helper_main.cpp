// main: veltra-helper, the small root helper of the client: no toolkit, no display, requests over a socket.
#include "base/global_variables.h"
#include "helper/helper_server.h"
#include "vpn/config_generator_internal.h"
#include "vpn/dns_resolver_internal.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The window process hands the helper its end of the socket pair here.
constexpr int kSocket = 3;
constexpr const char *kTrustedPath = "/usr/sbin:/usr/bin:/sbin:/bin";

bool is_our_socket(int fd) {
    int type = 0;
    int domain = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return false;
    }
    length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && type == SOCK_SEQPACKET && domain == AF_UNIX;
}

std::string variable(const char *name) {
    const char *value = getenv(name);
    return value != nullptr && value[0] == '/' ? value : "";
}

// A helper started for a user through pkexec takes nothing from its
// environment (the window passes it PKEXEC_UID alone). One started by a
// direct start (root itself, or development without root) may be pointed
// at folders and programs of the tests' own.
void settle_environment() {
    if (getenv("PKEXEC_UID") == nullptr) {
        const std::string files = variable("VELTRA_FILES_DIR");
        const std::string records = variable("VELTRA_RECORDS_DIR");
        const std::string resolv_conf = variable("VELTRA_RESOLV_CONF");
        const std::string resolvectl = variable("VELTRA_RESOLVECTL");
        const char *omit = getenv("VELTRA_LEAK_BLOCK_OMIT");
        pelk_helper_server_leak_block_omits(omit);
        if (!files.empty()) {
            config_generator_files_folder_override(files.c_str());
        }
        if (!records.empty()) {
            config_generator_records_folder_override(records.c_str());
        }
        if (!resolv_conf.empty()) {
            pelk_vpn_dns_resolver_resolv_conf_override(resolv_conf.c_str());
        }
        if (!resolvectl.empty()) {
            pelk_vpn_dns_resolver_resolvectl_override(resolvectl.c_str());
        }
    }
    clearenv();
    setenv("PATH", kTrustedPath, 1);
}

}  // namespace

int main(int argc, char **argv) {
    // It holds the user's VPN password for a moment: no core file, and no
    // process of the user's may attach to it.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    umask(077);
    settle_environment();
    // argv[0] is the helper's path in the app folder it serves (the folder
    // of OpenVPN's link and of the VPN servers' CA).
    pelk_global_variables_init_program(argc > 0 ? argv[0] : "");
    if (chdir("/") != 0) {
        return 1;
    }
    if (argc == 2 && strcmp(argv[1], "--clean-up") == 0) {
        pelk_helper_server_clean_up_all();
        return 0;
    }
    if (argc != 1 || !is_our_socket(kSocket)) {
        fprintf(stderr, "veltra-helper: only the Veltra client starts this program\n");
        return 2;
    }
    return pelk_helper_server_run(kSocket);
}
