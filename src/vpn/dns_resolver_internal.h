// pelk_vpn_dns_resolver_*_override, pelk_vpn_dns_resolver_uses_resolved: test hooks.
#pragma once

#include <string>

// Tests: the resolver file written instead of /etc/resolv.conf (nullptr
// restores it).
void pelk_vpn_dns_resolver_resolv_conf_override(const char *path);
// Tests: a stand-in for the resolvectl program, taken as systemd-resolved
// running and asked by the C library (nullptr: the real program, and the
// real answer to both).
void pelk_vpn_dns_resolver_resolvectl_override(const char *program);

// Whether lookups go to systemd-resolved: it runs, and the resolver file is
// its link or names its local stub.
bool pelk_vpn_dns_resolver_uses_resolved(bool running, const std::string &link_target,
                                         const std::string &resolv_conf_text);

// Name of the record inside the files' folder.
extern const char *const pelk_vpn_dns_resolver_record_name;
