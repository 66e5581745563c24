// pelk_vpn_dns_resolver_*: the tunnel's name servers set and taken back.
#pragma once

#include <string>

// The tunnel's name servers: read from the server's push reply in OpenVPN's
// output, set once the tunnel is up, taken back when it goes down. Through
// systemd-resolved when it runs and the C library asks it, otherwise by
// writing the resolver file. What is set is recorded beside the
// connection's run record, so the next start takes back what a client that
// died left set.

// Reader of connection's standard output: one piece of it.
void pelk_vpn_dns_resolver_read_output(unsigned int connection, const char *piece);

// Reader of connection's standard output, at "Initialization Sequence
// Completed": sets what its server pushed. 0 when set, when nothing was
// pushed, or when connection has already been ended; -1, with one
// developer-log line, when pushed name servers could not be set (lookups
// would leave outside the tunnel).
int pelk_vpn_dns_resolver_apply(unsigned int connection);

// Manager thread, before OpenVPN is stopped or started: takes back what is
// set. From here on no connection numbered up to through sets anything.
void pelk_vpn_dns_resolver_undo(unsigned int through);

// Start-up, once no OpenVPN of an earlier client runs: takes back what a
// client that died left set, as its record says.
void pelk_vpn_dns_resolver_undo_recorded(void);

// What connection's tunnel has said of itself so far in OpenVPN's output:
// its device ("" before OpenVPN named it) and whether its server pushed
// name servers. Nothing for a connection whose output is not the one read.
void pelk_vpn_dns_resolver_tunnel(unsigned int connection, std::string *device, bool *pushed_servers);

// The resolver file the helper reads and writes (/etc/resolv.conf).
std::string pelk_vpn_dns_resolver_resolv_conf_path(void);
