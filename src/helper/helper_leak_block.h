// pelk_helper_leak_block_*: the nftables table that lets nothing out but the tunnel while a connection lasts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// While a connection lasts (from OpenVPN's start until its disconnect has
// ended) the helper holds one nftables table of its own, family inet, whose
// output chain lets out only: loopback; the tunnel's device once it is up;
// OpenVPN's own packets to the server's addresses and ports; DHCP and IPv6
// neighbour discovery; and name lookups to the local network's resolvers
// when the tunnel brings none of its own. Everything else going out, IPv4
// and IPv6, is dropped. The table is replaced and removed whole, in one
// transaction each, through libnftables.

struct pelk_helper_leak_block {
    // Canonical IPv4 and IPv6 addresses of the VPN server.
    std::vector<std::string> server_addresses;
    // Its UDP ports (1-65535).
    std::vector<int32_t> ports;
    // The tunnel's device; "" until the tunnel is up.
    std::string tunnel_device;
    // Name servers that may still be asked on port 53 outside the tunnel.
    std::vector<std::string> resolvers;
    // The last two rules (tests show what each one stops by leaving it out).
    bool drop_ipv4 = true;
    bool drop_ipv6 = true;
};

// The table's name, in family inet.
extern const char *const pelk_helper_leak_block_table;

// The nftables commands that replace the table whole with one for block
// (pure). Addresses and the device are checked again here: one that is not
// what it claims to be is left out, never written into the rules.
std::string pelk_helper_leak_block_ruleset(const pelk_helper_leak_block &block);

// Sets block, replacing the table there is. 0, or -1 with *error set.
int pelk_helper_leak_block_set(const pelk_helper_leak_block &block, std::string *error);
// Removes the table; 1 when there was one, 0 when there was none, -1 (with
// *error set) when it stays.
int pelk_helper_leak_block_remove(std::string *error);

// The name servers of a resolver file's text that lie on a local link: in
// the network of one of the given interface addresses ("address/prefix",
// IPv4 or IPv6). Pure.
std::vector<std::string> pelk_helper_leak_block_local_resolvers(const std::string &resolv_conf,
                                                                const std::vector<std::string> &networks);
// The networks of this machine's interfaces but loopback and the tunnels
// ("address/prefix").
std::vector<std::string> pelk_helper_leak_block_local_networks(void);
