// The reader of OpenVPN's output for pushed name servers: whatever a server
// pushes, only checked, capped values come out.
#include "fuzz_check.h"

#include "vpn/dns_options.h"

#include <cstdint>

namespace {

void read(void *context, const char *line, size_t length) {
    fuzz_check(length <= pelk_vpn_dns_lines_max);
    pelk_vpn_dns_options_read_line(static_cast<pelk_vpn_dns_options *>(context), line, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte cuts the rest into two pieces, as the pipe may.
    const size_t cut = size > 0 ? data[0] % (size) : 0;
    const char *text = reinterpret_cast<const char *>(data);
    pelk_vpn_dns_lines lines;
    pelk_vpn_dns_options options;
    pelk_vpn_dns_lines_feed(&lines, text, cut, read, &options);
    pelk_vpn_dns_lines_feed(&lines, text + cut, size - cut, read, &options);

    fuzz_check(options.servers.size() <= pelk_vpn_dns_options_max_servers);
    fuzz_check(options.domains.size() <= pelk_vpn_dns_options_max_domains);
    for (const std::string &server : options.servers) {
        fuzz_check(pelk_vpn_dns_options_server(server) == server);
        fuzz_check(server.find_first_not_of("0123456789abcdef.:") == std::string::npos);
    }
    for (const std::string &domain : options.domains) {
        fuzz_check(pelk_vpn_dns_options_domain(domain) == domain);
    }
    fuzz_check(options.device.empty() || pelk_vpn_dns_options_is_device(options.device));
    return 0;
}
