// pelk_helper_leak_block_*: the nftables table that lets nothing out but the tunnel while a connection lasts.
#include "helper/helper_leak_block.h"

#include "vpn/dns_options.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <nftables/libnftables.h>

#include <cstring>
#include <memory>
#include <sstream>

const char *const pelk_helper_leak_block_table = "veltra_leak_block";

namespace {

struct NftDeleter {
    void operator()(nft_ctx *context) const { nft_ctx_free(context); }
};
using Nft = std::unique_ptr<nft_ctx, NftDeleter>;

// One transaction of commands; false with the library's message.
bool run(const std::string &commands, std::string *error) {
    Nft nft(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!nft) {
        *error = "no nftables context";
        return false;
    }
    nft_ctx_buffer_output(nft.get());
    nft_ctx_buffer_error(nft.get());
    if (nft_run_cmd_from_buffer(nft.get(), commands.c_str()) != 0) {
        const char *message = nft_ctx_get_error_buffer(nft.get());
        *error = message != nullptr && message[0] != '\0' ? message : "nftables refused the commands";
        while (!error->empty() && error->back() == '\n') {
            error->pop_back();
        }
        return false;
    }
    return true;
}

bool is_family(const std::string &address, int family) {
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(family, address.c_str(), bytes) == 1;
}

std::string joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words) {
        text += (text.empty() ? "" : ", ") + word;
    }
    return text;
}

std::vector<std::string> of_family(const std::vector<std::string> &addresses, int family) {
    std::vector<std::string> kept;
    for (const std::string &address : addresses) {
        if (is_family(address, family)) {
            kept.push_back(address);
        }
    }
    return kept;
}

// "address/prefix" into the address's bytes and the prefix; false for
// anything else.
bool parse_network(const std::string &network, int *family, unsigned char *bytes, int *prefix) {
    const size_t slash = network.find('/');
    if (slash == std::string::npos) {
        return false;
    }
    const std::string address = network.substr(0, slash);
    *family = address.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    char *end = nullptr;
    const long bits = strtol(network.c_str() + slash + 1, &end, 10);
    const long most = *family == AF_INET ? 32 : 128;
    if (*end != '\0' || bits < 0 || bits > most || inet_pton(*family, address.c_str(), bytes) != 1) {
        return false;
    }
    *prefix = static_cast<int>(bits);
    return true;
}

bool in_network(const unsigned char *address, const unsigned char *network, int prefix) {
    for (int bit = 0; bit < prefix; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        if ((address[bit / 8] & mask) != (network[bit / 8] & mask)) {
            return false;
        }
    }
    return true;
}

int prefix_of(const sockaddr *netmask, int family) {
    const unsigned char *bytes =
        family == AF_INET
            ? reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(netmask)->sin_addr)
            : reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in6 *>(netmask)->sin6_addr);
    const int size = family == AF_INET ? 4 : 16;
    int bits = 0;
    for (int i = 0; i < size; ++i) {
        bits += __builtin_popcount(bytes[i]);
    }
    return bits;
}

}  // namespace

std::string pelk_helper_leak_block_ruleset(const pelk_helper_leak_block &block) {
    const std::string table = std::string("inet ") + pelk_helper_leak_block_table;
    std::ostringstream out;
    // Declared, then deleted, then made anew: one transaction that replaces
    // whatever table of ours is there, or makes the first.
    out << "table " << table << "\n"
        << "delete table " << table << "\n"
        << "table " << table << " {\n"
        << "  chain output {\n"
        << "    type filter hook output priority 0; policy accept;\n"
        << "    oifname \"lo\" accept\n";
    if (!block.tunnel_device.empty() && pelk_vpn_dns_options_is_device(block.tunnel_device)) {
        out << "    oifname \"" << block.tunnel_device << "\" accept\n";
    }
    std::vector<std::string> ports;
    for (int32_t port : block.ports) {
        if (port >= 1 && port <= 65535) {
            ports.push_back(std::to_string(port));
        }
    }
    if (!ports.empty()) {
        for (const auto &[family, match] : {std::pair{AF_INET, "ip"}, std::pair{AF_INET6, "ip6"}}) {
            const std::vector<std::string> servers = of_family(block.server_addresses, family);
            if (!servers.empty()) {
                out << "    " << match << " daddr { " << joined(servers) << " } udp dport { " << joined(ports)
                    << " } accept\n";
            }
        }
    }
    // The local link keeps working: an address from DHCP, neighbours found.
    out << "    udp sport 68 udp dport 67 accept\n"
        << "    ip6 saddr fe80::/10 udp sport 546 udp dport 547 accept\n"
        << "    icmpv6 type { nd-router-solicit, nd-neighbor-solicit, nd-neighbor-advert, mld2-listener-report } "
           "accept\n";
    for (const auto &[family, match] : {std::pair{AF_INET, "ip"}, std::pair{AF_INET6, "ip6"}}) {
        const std::vector<std::string> resolvers = of_family(block.resolvers, family);
        if (!resolvers.empty()) {
            out << "    " << match << " daddr { " << joined(resolvers) << " } meta l4proto { udp, tcp } th dport 53 "
                << "accept\n";
        }
    }
    if (block.drop_ipv4) {
        out << "    meta nfproto ipv4 drop\n";
    }
    if (block.drop_ipv6) {
        out << "    meta nfproto ipv6 drop\n";
    }
    out << "  }\n}\n";
    return out.str();
}

int pelk_helper_leak_block_set(const pelk_helper_leak_block &block, std::string *error) {
    return run(pelk_helper_leak_block_ruleset(block), error) ? 0 : -1;
}

int pelk_helper_leak_block_remove(std::string *error) {
    const std::string table = std::string("inet ") + pelk_helper_leak_block_table;
    std::string ignored;
    if (!run("list table " + table + "\n", &ignored)) {
        return 0;
    }
    return run("delete table " + table + "\n", error) ? 1 : -1;
}

std::vector<std::string> pelk_helper_leak_block_local_resolvers(const std::string &resolv_conf,
                                                                const std::vector<std::string> &networks) {
    std::vector<std::string> found;
    std::istringstream lines(resolv_conf);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (!(words >> keyword >> address) || keyword != "nameserver") {
            continue;
        }
        const std::string canonical = pelk_vpn_dns_options_server(address);
        if (canonical.empty()) {
            continue;
        }
        const int family = canonical.find(':') != std::string::npos ? AF_INET6 : AF_INET;
        unsigned char bytes[sizeof(in6_addr)] = {};
        inet_pton(family, canonical.c_str(), bytes);
        bool local = false;
        for (const std::string &network : networks) {
            int network_family = 0;
            int prefix = 0;
            unsigned char network_bytes[sizeof(in6_addr)] = {};
            if (parse_network(network, &network_family, network_bytes, &prefix) && network_family == family &&
                in_network(bytes, network_bytes, prefix)) {
                local = true;
            }
        }
        if (local) {
            found.push_back(canonical);
        }
    }
    return found;
}

std::vector<std::string> pelk_helper_leak_block_local_networks(void) {
    std::vector<std::string> networks;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) {
        return networks;
    }
    for (const ifaddrs *entry = all; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0 ||
            (entry->ifa_flags & IFF_POINTOPOINT) != 0) {
            continue;
        }
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const void *address =
            family == AF_INET
                ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr)
                : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr)->sin6_addr);
        if (inet_ntop(family, address, text, sizeof text) != nullptr) {
            networks.push_back(std::string(text) + "/" + std::to_string(prefix_of(entry->ifa_netmask, family)));
        }
    }
    freeifaddrs(all);
    return networks;
}
