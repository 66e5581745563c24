// pelk_vpn_dns_resolv_conf_*: reading, writing and restoring /etc/resolv.conf.
#pragma once

#include <string>
#include <vector>

// The resolver file of the C library (/etc/resolv.conf), replaced while a
// tunnel is up and put back afterwards. Nothing here logs: each operation
// says what went wrong in *error and the caller writes the one log line.

enum pelk_vpn_dns_resolv_conf_kind {
    PELK_VPN_DNS_RESOLV_CONF_ABSENT = 0,
    PELK_VPN_DNS_RESOLV_CONF_FILE = 1,
    PELK_VPN_DNS_RESOLV_CONF_LINK = 2,
};

// What was at the path before, and what was written there instead.
struct pelk_vpn_dns_resolv_conf_state {
    pelk_vpn_dns_resolv_conf_kind kind = PELK_VPN_DNS_RESOLV_CONF_ABSENT;
    std::string bytes;        // a file's contents
    std::string link_target;  // a link's target, as it was written
    unsigned int mode = 0644;
    unsigned int uid = 0;
    unsigned int gid = 0;

    std::string written;
    // The file that holds what was written; it and its bytes together tell
    // whether the file there now is still ours.
    unsigned long long device = 0;
    unsigned long long inode = 0;
    // Written into the file itself: it is a mount point (a network
    // namespace's own resolver file is bind-mounted over the path), which
    // cannot be replaced by a rename.
    bool in_place = false;
};

// The file the tunnel's name servers make, in the given order.
std::string pelk_vpn_dns_resolv_conf_text(const std::vector<std::string> &servers,
                                          const std::vector<std::string> &domains);

// Fills the "before" half of *state from what is at path now. false when
// it is something other than a file, a link or nothing, or too big.
bool pelk_vpn_dns_resolv_conf_read(const std::string &path, pelk_vpn_dns_resolv_conf_state *state, std::string *error);

// Puts text at path: a new file renamed over it (a link is replaced, never
// followed, so whatever owns the link's target keeps its file), or written
// in place over a mount point. Fills the "written" half of *state. On
// failure what was there before is left or put back.
bool pelk_vpn_dns_resolv_conf_write(const std::string &path, pelk_vpn_dns_resolv_conf_state *state,
                                    const std::string &text, std::string *error);

enum pelk_vpn_dns_resolv_conf_restored {
    PELK_VPN_DNS_RESOLV_CONF_RESTORED = 0,
    // The file there is no longer the one written (another program has
    // written its own since): it is left as it is.
    PELK_VPN_DNS_RESOLV_CONF_NOT_OURS = 1,
    PELK_VPN_DNS_RESOLV_CONF_FAILED = 2,
};

// Puts back what state says was at path, byte for byte or link for link,
// when the file there is still the one written.
pelk_vpn_dns_resolv_conf_restored pelk_vpn_dns_resolv_conf_restore(const std::string &path,
                                                                   const pelk_vpn_dns_resolv_conf_state &state,
                                                                   std::string *error);
