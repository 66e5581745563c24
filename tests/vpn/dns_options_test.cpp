#include "vpn/dns_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// OpenVPN 2.6's own lines, as it prints them to a pipe at verb 3.
constexpr const char *kStamp = "2026-12-07 14:31:02 ";
const std::string kReplyHead = "PUSH: Received control message: 'PUSH_REPLY,redirect-gateway def1,";
const std::string kReplyTail =
    ",route-gateway 198.18.100.1,topology subnet,ping 10,ping-restart 60,ifconfig "
    "198.18.100.2 255.255.255.0,peer-id 0,cipher AES-256-GCM,protocol-flags cc-exit "
    "tls-ekm dyn-tls-crypt,tun-mtu 1500'";

std::string reply(const std::string &options) { return kStamp + kReplyHead + options + kReplyTail; }

pelk_vpn_dns_options read_all(const std::vector<std::string> &lines) {
    pelk_vpn_dns_options options;
    for (const std::string &line : lines) {
        pelk_vpn_dns_options_read_line(&options, line.data(), line.size());
    }
    return options;
}

struct PushCase {
    const char *name;
    std::vector<std::string> lines;
    std::vector<std::string> servers;
    std::vector<std::string> domains;
    size_t refused;
};

class DnsOptionsPush : public ::testing::TestWithParam<PushCase> {};

TEST_P(DnsOptionsPush, KeepsOnlyWhatParsesExactly) {
    const PushCase &c = GetParam();
    const pelk_vpn_dns_options options = read_all(c.lines);
    EXPECT_EQ(options.servers, c.servers);
    EXPECT_EQ(options.domains, c.domains);
    EXPECT_EQ(options.refused, c.refused);
}

const std::string kNoDns = std::string(kStamp) +
                           "PUSH: Received control message: 'PUSH_REPLY,redirect-gateway def1,route-gateway "
                           "198.18.101.1,topology subnet,ping 10,ping-restart 60,ifconfig 198.18.101.2 "
                           "255.255.255.0,peer-id 0,cipher AES-256-GCM'";

INSTANTIATE_TEST_SUITE_P(
    Lines, DnsOptionsPush,
    ::testing::Values(
        PushCase{"one_server_and_domain",
                 {reply("dhcp-option DNS 198.18.4.53,dhcp-option DOMAIN vpn.example")},
                 {"198.18.4.53"},
                 {"vpn.example"},
                 0},
        PushCase{"several_servers_in_order_with_ipv6",
                 {reply("dhcp-option DNS 10.8.0.1,dhcp-option DNS6 2001:DB8:0:0::53,dhcp-option DNS 9.9.9.9")},
                 {"10.8.0.1", "2001:db8::53", "9.9.9.9"},
                 {},
                 0},
        PushCase{"more_servers_than_the_resolver_reads",
                 {reply("dhcp-option DNS 10.0.0.1,dhcp-option DNS 10.0.0.2,dhcp-option DNS 10.0.0.3,dhcp-option "
                        "DNS 10.0.0.4")},
                 {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
                 {},
                 1},
        PushCase{"duplicates_and_case",
                 {reply("dhcp-option DNS 10.0.0.1,dhcp-option DNS 10.0.0.1,dhcp-option DOMAIN Corp.Example.,"
                        "dhcp-option DOMAIN-SEARCH corp.example,dhcp-option DOMAIN-SEARCH lab.corp.example")},
                 {"10.0.0.1"},
                 {"corp.example", "lab.corp.example"},
                 0},
        PushCase{"nothing_pushed", {kNoDns}, {}, {}, 0},
        PushCase{"no_timestamp",
                 {"PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 198.18.4.53'"},
                 {"198.18.4.53"},
                 {},
                 0},
        PushCase{"hostile_servers",
                 {reply("dhcp-option DNS 1.2.3.4;reboot,dhcp-option DNS 1.2.3.4 6.6.6.6,dhcp-option DNS "
                        "256.1.1.1,dhcp-option DNS 0.0.0.0,dhcp-option DNS 224.0.0.251,dhcp-option DNS6 fe80::1,"
                        "dhcp-option DNS6 fe80::1%eth0,dhcp-option DNS -1,dhcp-option DNS 010.1.1.1,dhcp-option "
                        "DNS 1.2.3,dhcp-option DNS ,dhcp-option DNS,dhcp-option DNS 10.9.9.9")},
                 {"10.9.9.9"},
                 {},
                 12},
        PushCase{"hostile_domains",
                 {reply("dhcp-option DOMAIN ~.,dhcp-option DOMAIN a..b,dhcp-option DOMAIN -evil.example,"
                        "dhcp-option DOMAIN evil-.example,dhcp-option DOMAIN x\tnameserver,dhcp-option DOMAIN "
                        "$(reboot).example,dhcp-option DOMAIN " +
                        std::string(64, 'a') + ".example,dhcp-option DOMAIN " + std::string(63, 'b') +
                        ".example,dhcp-option DOMAIN ok.example")},
                 {},
                 {std::string(63, 'b') + ".example", "ok.example"},
                 7},
        PushCase{"other_dhcp_options_are_not_ours",
                 {reply("dhcp-option WINS 10.0.0.5,dhcp-option NTP 10.0.0.6,dhcp-option DISABLE-NBT")},
                 {},
                 {},
                 0},
        PushCase{"unterminated_message_is_no_reply",
                 {std::string(kStamp) + "PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 6.6.6.6"},
                 {},
                 {},
                 0},
        PushCase{"other_control_messages",
                 {std::string(kStamp) + "PUSH: Received control message: 'AUTH_FAILED,dhcp-option DNS 6.6.6.6'",
                  std::string(kStamp) + "PUSH: Received control message: 'INFO,dhcp-option DNS 6.6.6.6'"},
                 {},
                 {},
                 0},
        PushCase{"options_quoted_in_other_lines",
                 {std::string(kStamp) + "Options error: Unrecognized option or missing or extra parameter(s) in "
                                        "[PUSH-OPTIONS]:1: dhcp-option DNS 6.6.6.6",
                  std::string(kStamp) + "WARNING: 'PUSH_REPLY,dhcp-option DNS 6.6.6.6'",
                  "x PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 6.6.6.6'"},
                 {},
                 {},
                 0},
        PushCase{"quote_inside_the_message",
                 {reply("setenv X 'a,dhcp-option DNS 10.1.1.1,setenv Y b'")},
                 {"10.1.1.1"},
                 {},
                 0},
        PushCase{"continued_replies_add_up",
                 {reply("dhcp-option DNS 10.0.0.1,push-continuation 2"),
                  reply("dhcp-option DNS 10.0.0.2,dhcp-option DOMAIN a.example,push-continuation 1")},
                 {"10.0.0.1", "10.0.0.2"},
                 {"a.example"},
                 0},
        PushCase{
            "a_new_reply_replaces_the_last",
            {reply("dhcp-option DNS 10.0.0.1,dhcp-option DOMAIN a.example"), kNoDns, reply("dhcp-option DNS 10.0.0.3")},
            {"10.0.0.3"},
            {},
            0},
        PushCase{"a_reply_without_dns_clears", {reply("dhcp-option DNS 10.0.0.1"), kNoDns}, {}, {}, 0}),
    [](const ::testing::TestParamInfo<PushCase> &info) { return info.param.name; });

struct DeviceCase {
    std::string line;
    std::string device;
};

class DnsOptionsDevice : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DnsOptionsDevice, TakesOnlyNamesTheKernelCouldMake) {
    const pelk_vpn_dns_options options = read_all({GetParam().line});
    EXPECT_EQ(options.device, GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(Lines, DnsOptionsDevice,
                         ::testing::Values(DeviceCase{std::string(kStamp) + "TUN/TAP device tun0 opened", "tun0"},
                                           DeviceCase{std::string(kStamp) + "DCO device tun3 opened", "tun3"},
                                           DeviceCase{"TUN/TAP device vpn_1.a-b opened", "vpn_1.a-b"},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device ../../etc opened", ""},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device tun0 evil opened", ""},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device -tun0 opened", ""},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device abcdefghijklmnop opened",
                                                      ""},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device  opened", ""},
                                           DeviceCase{std::string(kStamp) + "TUN/TAP device tun0 opened now", ""},
                                           DeviceCase{reply("setenv X TUN/TAP device eth0 opened"), ""},
                                           DeviceCase{std::string(kStamp) + "net_iface_up: set tun0 up", ""}));

TEST(DnsOptionsDevice, ALaterDeviceReplacesTheFirst) {
    const pelk_vpn_dns_options options =
        read_all({"TUN/TAP device tun0 opened", "TUN/TAP device tun1 opened", "TUN/TAP device ../x opened"});
    EXPECT_EQ(options.device, "tun1");
}

void collect(void *context, const char *line, size_t length) {
    static_cast<std::vector<std::string> *>(context)->emplace_back(line, length);
}

std::vector<std::string> feed(const std::vector<std::string> &pieces) {
    pelk_vpn_dns_lines lines;
    std::vector<std::string> out;
    for (const std::string &piece : pieces) {
        pelk_vpn_dns_lines_feed(&lines, piece.data(), piece.size(), collect, &out);
    }
    return out;
}

TEST(DnsLines, PiecesOfAnySizeGiveTheSameLines) {
    const std::string text = "first\r\nsecond\n\nthird without end";
    std::vector<std::string> bytes;
    for (char c : text) {
        bytes.emplace_back(1, c);
    }
    const std::vector<std::string> expected = {"first", "second", ""};
    EXPECT_EQ(feed({text}), expected);
    EXPECT_EQ(feed(bytes), expected);
    EXPECT_EQ(feed({"fir", "st\r", "\nsecond\n", "\nthird"}), expected);
}

TEST(DnsLines, AnOverlongLineIsDroppedWholeAndReadingGoesOn) {
    const std::string huge(pelk_vpn_dns_lines_max + 1, 'x');
    const std::vector<std::string> expected = {"before", "after"};
    EXPECT_EQ(feed({"before\n", huge.substr(0, 10), huge.substr(10), "tail of it\nafter\n"}), expected);
    const std::string exact(pelk_vpn_dns_lines_max, 'y');
    EXPECT_EQ(feed({exact + "\n"}), std::vector<std::string>{exact});
}

TEST(DnsLines, NulBytesInAPieceDoNotEndTheLine) {
    const std::string piece = std::string("a\0b\n", 4);
    const std::vector<std::string> out = feed({piece});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], std::string("a\0b", 3));
    // Such a line is no push reply: a NUL cannot hide an option from the check.
    pelk_vpn_dns_options options;
    const char raw[] = "PUSH: Received control message: 'PUSH_REPLY,dhcp-option DNS 1.1.1.1\0x'";
    const std::string line(raw, sizeof raw - 1);
    pelk_vpn_dns_options_read_line(&options, line.data(), line.size());
    EXPECT_TRUE(options.servers.empty());
}

}  // namespace
