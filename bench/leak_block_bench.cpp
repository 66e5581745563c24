// What the leak block costs a connection: the helper's own calls that set
// the nftables table before OpenVPN starts, open it to the tunnel once it is
// up, and remove it at the disconnect, each timed on its own. Runs as root
// inside the sandbox's `home` namespace, with the sandbox's VPN server and
// the namespace's own resolvers and networks as a connection would have them.
//
//   veltra-bench-leak-block [--runs N] [--results FILE]
#include "bench_util.h"

#include "helper/helper_leak_block.h"

#include <glib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Clock;

constexpr double kTargetMs = 20;

std::vector<int32_t> sandbox_ports() {
    std::vector<int32_t> ports;
    g_auto(GStrv) words = g_strsplit(bench::env_or("VELTRA_SANDBOX_VPN_PORTS").c_str(), " ", -1);
    for (char **word = words; *word != nullptr; ++word) {
        if (**word != '\0') {
            ports.push_back(static_cast<int32_t>(atoi(*word)));
        }
    }
    return ports;
}

std::string spread(const std::vector<double> &values) {
    char text[96];
    snprintf(text, sizeof text, "min %.2f, max %.2f, n %zu", bench::min_of(values), bench::max_of(values),
             values.size());
    return text;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) {
            runs = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--results") == 0) {
            bench::set_results_file(argv[i + 1]);
        }
    }
    const std::string server = bench::env_or("VELTRA_SANDBOX_VPN_ADDRESS");
    if (server.empty()) {
        fprintf(stderr, "veltra-bench-leak-block: run inside the sandbox (bench/run does)\n");
        return 2;
    }
    g_autofree char *resolv_conf = nullptr;
    g_file_get_contents("/etc/resolv.conf", &resolv_conf, nullptr, nullptr);

    pelk_helper_leak_block block;
    block.server_addresses = {server};
    block.ports = sandbox_ports();
    std::vector<double> set, opened, removed;
    std::string error;
    for (int run = -1; run < runs; ++run) {
        // As the helper does it: the block before OpenVPN, then the tunnel's
        // device and the local resolvers once the tunnel is up, then away.
        block.tunnel_device.clear();
        block.resolvers.clear();
        const Clock::time_point t0 = Clock::now();
        const bool was_set = pelk_helper_leak_block_set(block, &error) == 0;
        const Clock::time_point t1 = Clock::now();
        block.tunnel_device = "tun0";
        block.resolvers = pelk_helper_leak_block_local_resolvers(resolv_conf != nullptr ? resolv_conf : "",
                                                                 pelk_helper_leak_block_local_networks());
        const bool was_opened = was_set && pelk_helper_leak_block_set(block, &error) == 0;
        const Clock::time_point t2 = Clock::now();
        const bool was_removed = pelk_helper_leak_block_remove(&error) == 1;
        const Clock::time_point t3 = Clock::now();
        if (!was_set || !was_opened || !was_removed) {
            fprintf(stderr, "veltra-bench-leak-block: %s\n", error.c_str());
            pelk_helper_leak_block_remove(&error);
            return 1;
        }
        if (run >= 0) {  // the first round loads what libnftables reads once
            set.push_back(bench::ms_between(t0, t1));
            opened.push_back(bench::ms_between(t1, t2));
            removed.push_back(bench::ms_between(t2, t3));
        }
    }
    bench::section("7. Leak block: the helper's nftables table, set, opened to the tunnel, removed");
    bench::report({"set before OpenVPN starts", bench::median(set), 0, "ms", "-", kTargetMs, true, spread(set)});
    bench::report(
        {"opened to the tunnel once it is up", bench::median(opened), 0, "ms", "-", kTargetMs, true, spread(opened)});
    bench::report(
        {"removed at the disconnect", bench::median(removed), 0, "ms", "-", kTargetMs, true, spread(removed)});
    bench::note("Medians of " + std::to_string(runs) +
                " rounds after a warm-up, each a whole transaction through libnftables as the root helper makes "
                "it (the same functions), in the sandbox's `home` namespace with its VPN server, ports and "
                "resolvers.");
    return 0;
}
