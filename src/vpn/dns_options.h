// pelk_vpn_dns_options_*, pelk_vpn_dns_lines_feed: the pushed name servers, read from OpenVPN's output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What a VPN server told the client about name resolution, read from the
// lines OpenVPN prints. Everything here came from the server and is
// checked before it is kept: addresses parse as IPv4 or IPv6, domains are
// plain host names, the device name is one the kernel could have made.

// At most this many of each are kept; the C library's resolver reads no
// more name servers or search domains than this either.
constexpr size_t pelk_vpn_dns_options_max_servers = 3;
constexpr size_t pelk_vpn_dns_options_max_domains = 6;

struct pelk_vpn_dns_options {
    // The tunnel device OpenVPN opened; "" until it says.
    std::string device;
    // Name servers, in the order pushed, in their canonical text form.
    std::vector<std::string> servers;
    // Domains, lower case, without a final dot.
    std::vector<std::string> domains;
    // The last push reply said another part follows.
    bool continued = false;
    // Options left out as malformed, hostile or over the caps.
    size_t refused = 0;
};

// Takes one line of OpenVPN's standard output, without its line end. A push
// reply replaces what earlier replies pushed, unless the one before it said
// it would be continued. Lines of other kinds change nothing.
void pelk_vpn_dns_options_read_line(pelk_vpn_dns_options *options, const char *line, size_t length);

// Cuts OpenVPN's output, which arrives in pieces of any size, into lines. A
// line longer than pelk_vpn_dns_lines_max is dropped whole: OpenVPN never
// prints one, so it carries nothing to read.
constexpr size_t pelk_vpn_dns_lines_max = 16 * 1024;

struct pelk_vpn_dns_lines {
    std::string partial;
    bool overlong = false;
};

// Appends piece and hands every completed line to read (with its length and
// without "\r\n" or "\n").
void pelk_vpn_dns_lines_feed(pelk_vpn_dns_lines *lines, const char *piece, size_t length,
                             void (*read)(void *context, const char *line, size_t length), void *context);

// A valid name server address: its canonical text, or "" when text is no
// IPv4 or IPv6 address (or the unspecified one).
std::string pelk_vpn_dns_options_server(const std::string &text);
// A valid domain: lower case, final dot dropped; "" when it is no host name.
std::string pelk_vpn_dns_options_domain(const std::string &text);
// Whether name could be a network device the kernel made.
bool pelk_vpn_dns_options_is_device(const std::string &name);
