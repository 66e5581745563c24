// pelk_vpn_dns_options_*, pelk_vpn_dns_lines_feed: the pushed name servers, read from OpenVPN's output.
#include "vpn/dns_options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// OpenVPN 2.6 puts "YYYY-MM-DD HH:MM:SS " before each line it prints to a
// terminal or pipe, unless told not to.
constexpr std::string_view kTimestampShape = "0000-00-00 00:00:00 ";

constexpr std::string_view kPushPrefix = "PUSH: Received control message: '";
constexpr std::string_view kPushReply = "PUSH_REPLY";
constexpr std::string_view kDevicePrefixes[] = {"TUN/TAP device ", "DCO device "};
constexpr std::string_view kDeviceSuffix = " opened";

// IFNAMSIZ less its NUL.
constexpr size_t kDeviceNameMax = 15;
constexpr size_t kDomainMax = 253;
constexpr size_t kLabelMax = 63;

std::string_view strip_timestamp(std::string_view line) {
    if (line.size() < kTimestampShape.size()) {
        return line;
    }
    for (size_t i = 0; i < kTimestampShape.size(); ++i) {
        const char shape = kTimestampShape[i];
        const char c = line[i];
        if (shape == '0' ? (c < '0' || c > '9') : c != shape) {
            return line;
        }
    }
    return line.substr(kTimestampShape.size());
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

void add_unique(std::vector<std::string> *list, std::string value, size_t cap, size_t *refused) {
    if (std::find(list->begin(), list->end(), value) != list->end()) {
        return;
    }
    if (list->size() >= cap) {
        ++*refused;
        return;
    }
    list->push_back(std::move(value));
}

// One pushed option. Only the name-resolution ones are kept; any of those
// that does not parse exactly (a word too many, a bad value) is refused
// whole rather than guessed at.
void read_option(pelk_vpn_dns_options *options, std::string_view option, bool *continued) {
    const std::vector<std::string_view> words = split(option, ' ');
    if (words.size() == 2 && words[0] == "push-continuation") {
        *continued = words[1] == "2";
        return;
    }
    if (words.empty() || words[0] != "dhcp-option") {
        return;
    }
    if (words.size() < 2) {
        ++options->refused;
        return;
    }
    const std::string_view kind = words[1];
    const bool server = kind == "DNS" || kind == "DNS6";
    const bool domain = kind == "DOMAIN" || kind == "DOMAIN-SEARCH";
    if (!server && !domain) {
        return;
    }
    if (words.size() != 3) {
        ++options->refused;
        return;
    }
    const std::string value = server ? pelk_vpn_dns_options_server(std::string(words[2]))
                                     : pelk_vpn_dns_options_domain(std::string(words[2]));
    if (value.empty()) {
        ++options->refused;
        return;
    }
    if (server) {
        add_unique(&options->servers, value, pelk_vpn_dns_options_max_servers, &options->refused);
    } else {
        add_unique(&options->domains, value, pelk_vpn_dns_options_max_domains, &options->refused);
    }
}

void read_push_reply(pelk_vpn_dns_options *options, std::string_view message) {
    // The message ends at the line's last quote; a quote inside it is the
    // server's text, not the end.
    if (message.empty() || message.back() != '\'') {
        return;
    }
    message.remove_suffix(1);
    std::vector<std::string_view> parts = split(message, ',');
    if (parts.front() != kPushReply) {
        return;
    }
    if (!options->continued) {
        options->servers.clear();
        options->domains.clear();
        options->refused = 0;
    }
    bool continued = false;
    for (size_t i = 1; i < parts.size(); ++i) {
        read_option(options, parts[i], &continued);
    }
    options->continued = continued;
}

bool is_label_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

}  // namespace

std::string pelk_vpn_dns_options_server(const std::string &text) {
    // inet_pton takes no blanks, no scope and no port; the text it accepts
    // is printed again in the one canonical form.
    in6_addr v6{};
    in_addr v4{};
    char out[INET6_ADDRSTRLEN] = "";
    if (text.find('\0') != std::string::npos) {
        return "";
    }
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        if (v4.s_addr == htonl(INADDR_ANY) || v4.s_addr == htonl(INADDR_BROADCAST) || IN_MULTICAST(ntohl(v4.s_addr))) {
            return "";
        }
        return inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : "";
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_MULTICAST(&v6) || IN6_IS_ADDR_LINKLOCAL(&v6)) {
            // A link-local server needs a scope that a push cannot name.
            return "";
        }
        return inet_ntop(AF_INET6, &v6, out, sizeof out) != nullptr ? out : "";
    }
    return "";
}

std::string pelk_vpn_dns_options_domain(const std::string &text) {
    std::string name = text;
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    if (name.empty() || name.size() > kDomainMax) {
        return "";
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (std::string_view label : split(name, '.')) {
        if (label.empty() || label.size() > kLabelMax || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), is_label_character)) {
            return "";
        }
    }
    return name;
}

bool pelk_vpn_dns_options_is_device(const std::string &name) {
    if (name.empty() || name.size() > kDeviceNameMax || name == "." || name == ".." || name.front() == '-') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
               c == '-';
    });
}

void pelk_vpn_dns_options_read_line(pelk_vpn_dns_options *options, const char *line, size_t length) {
    if (options == nullptr || line == nullptr) {
        return;
    }
    const std::string_view message = strip_timestamp(std::string_view(line, length));
    if (message.starts_with(kPushPrefix)) {
        read_push_reply(options, message.substr(kPushPrefix.size()));
        return;
    }
    for (std::string_view prefix : kDevicePrefixes) {
        if (message.starts_with(prefix) && message.ends_with(kDeviceSuffix) &&
            message.size() > prefix.size() + kDeviceSuffix.size()) {
            const std::string name(
                message.substr(prefix.size(), message.size() - prefix.size() - kDeviceSuffix.size()));
            if (pelk_vpn_dns_options_is_device(name)) {
                options->device = name;
            }
            return;
        }
    }
}

void pelk_vpn_dns_lines_feed(pelk_vpn_dns_lines *lines, const char *piece, size_t length,
                             void (*read)(void *context, const char *line, size_t length), void *context) {
    if (lines == nullptr || piece == nullptr) {
        return;
    }
    std::string_view rest(piece, length);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view part = rest.substr(0, end);
        if (!lines->overlong) {
            if (lines->partial.size() + part.size() > pelk_vpn_dns_lines_max) {
                lines->overlong = true;
                lines->partial.clear();
                lines->partial.shrink_to_fit();
            } else {
                lines->partial.append(part);
            }
        }
        if (end == std::string_view::npos) {
            return;
        }
        if (!lines->overlong) {
            std::string_view line = lines->partial;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            read(context, line.data(), line.size());
        }
        lines->partial.clear();
        lines->overlong = false;
        rest.remove_prefix(end + 1);
    }
}
