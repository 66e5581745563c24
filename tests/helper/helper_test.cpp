// The root helper as a program of the user's session meets it: its socket.
// Every field is hostile input; a refused request starts nothing and leaves
// no file; the program links nothing of the toolkit, X, libcurl or D-Bus.
#include "helper/helper_leak_block.h"
#include "support/reference_service.h"
#include "support/test_util.h"
#include "vpn/helper_protocol.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

pelk_helper_request start_of(std::string user, std::string password, std::string address, std::vector<int32_t> ports,
                             unsigned int connection = 1) {
    pelk_helper_request request;
    request.kind = PELK_HELPER_START;
    request.connection = connection;
    request.user_name = std::move(user);
    request.password = std::move(password);
    request.server_address = std::move(address);
    request.ports = std::move(ports);
    return request;
}

std::string u32(uint32_t value) { return std::string(reinterpret_cast<const char *>(&value), 4); }

// A start written by hand, as a hostile program would: no check on the way.
std::string raw_start(const pelk_helper_request &request) {
    auto text = [](const std::string &t) { return std::string{char(t.size() & 0xff), char(t.size() >> 8)} + t; };
    std::string raw = std::string(1, PELK_HELPER_START) + u32(request.connection) + text(request.user_name) +
                      text(request.password) + text(request.server_address) +
                      u32(static_cast<uint32_t>(request.ports.size()));
    for (int32_t port : request.ports) {
        raw += u32(static_cast<uint32_t>(port));
    }
    return raw;
}

pelk_helper_refusal read_bytes(const std::string &bytes) {
    pelk_helper_request request;
    return pelk_helper_request_read(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &request);
}

TEST(HelperProtocol, EveryFieldIsCheckedAtItsLimits) {
    const std::vector<int32_t> most_ports(pelk_helper_max_ports, 1194);
    struct Case {
        const char *name;
        pelk_helper_request request;
        pelk_helper_refusal refusal;
    };
    const Case cases[] = {
        {"sound", start_of("alice@example.com", "correct horse", "198.18.1.1", {1194, 1195}), PELK_HELPER_SOUND},
        {"no ports: OpenVPN fails by itself", start_of("a", "b", "vpn.example", {}), PELK_HELPER_SOUND},
        {"longest fields", start_of(std::string(512, 'u'), std::string(512, 'p'), std::string(253, 'h'), most_ports),
         PELK_HELPER_SOUND},
        {"IPv6 address", start_of("a", "b", "2001:db8::1", {443}), PELK_HELPER_SOUND},
        {"user name too long", start_of(std::string(513, 'u'), "p", "h", {1}), PELK_HELPER_BAD_TEXT},
        {"password too long", start_of("u", std::string(513, 'p'), "h", {1}), PELK_HELPER_BAD_TEXT},
        {"line break in the password", start_of("u", "two\nlines", "h", {1}), PELK_HELPER_BAD_TEXT},
        {"carriage return in the user", start_of("u\r", "p", "h", {1}), PELK_HELPER_BAD_TEXT},
        {"NUL in the password", start_of("u", std::string("p\0q", 3), "h", {1}), PELK_HELPER_BAD_TEXT},
        {"address too long", start_of("u", "p", std::string(254, 'h'), {1}), PELK_HELPER_BAD_ADDRESS},
        {"empty address", start_of("u", "p", "", {1}), PELK_HELPER_BAD_ADDRESS},
        {"a second directive", start_of("u", "p", "198.18.1.1\nup /bin/sh", {1}), PELK_HELPER_BAD_ADDRESS},
        {"a path", start_of("u", "p", "/etc/shadow", {1}), PELK_HELPER_BAD_ADDRESS},
        {"a space", start_of("u", "p", "h 1194 udp", {1}), PELK_HELPER_BAD_ADDRESS},
        {"port 0", start_of("u", "p", "h", {0}), PELK_HELPER_BAD_PORTS},
        {"port 65536", start_of("u", "p", "h", {65536}), PELK_HELPER_BAD_PORTS},
        {"too many ports", start_of("u", "p", "h", std::vector<int32_t>(pelk_helper_max_ports + 1, 1)),
         PELK_HELPER_BAD_PORTS},
        {"connection 0", start_of("u", "p", "h", {1}, 0), PELK_HELPER_BAD_CONNECTION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // What the window refuses to write, the helper refuses to read.
        const std::string bytes = pelk_helper_request_write(c.request);
        EXPECT_EQ(bytes.empty(), c.refusal != PELK_HELPER_SOUND);
        if (c.refusal != PELK_HELPER_SOUND) {
            continue;
        }
        pelk_helper_request read_back;
        ASSERT_EQ(pelk_helper_request_read(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &read_back),
                  PELK_HELPER_SOUND);
        EXPECT_EQ(read_back.user_name, c.request.user_name);
        EXPECT_EQ(read_back.password, c.request.password);
        EXPECT_EQ(read_back.server_address, c.request.server_address);
        EXPECT_EQ(read_back.ports, c.request.ports);
    }
    // The same fields, written by hand as a hostile program would.
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("raw: ") + c.name);
        EXPECT_EQ(read_bytes(raw_start(c.request)), c.refusal);
    }
}

TEST(HelperProtocol, MalformedFramesAreRefused) {
    const std::string sound = pelk_helper_request_write(start_of("alice", "pw", "198.18.1.1", {1194}));
    ASSERT_FALSE(sound.empty());
    struct Case {
        const char *name;
        std::string bytes;
        pelk_helper_refusal refusal;
    };
    const Case cases[] = {
        {"empty", "", PELK_HELPER_TRUNCATED},
        {"unknown kind 0", std::string(1, '\0'), PELK_HELPER_UNKNOWN_KIND},
        {"unknown kind 8", "\x08", PELK_HELPER_UNKNOWN_KIND},
        {"a reply sent back", std::string(1, char(PELK_HELPER_REPLY)) + u32(0), PELK_HELPER_TRAILING},
        {"bytes after a stop", "\x03x", PELK_HELPER_TRAILING},
        {"dns apply without connection", "\x06", PELK_HELPER_TRUNCATED},
        {"dns apply for connection 0", "\x06" + u32(0), PELK_HELPER_BAD_CONNECTION},
        {"a text longer than the frame", sound.substr(0, 8), PELK_HELPER_TRUNCATED},
        {"a port cut short", sound.substr(0, sound.size() - 1), PELK_HELPER_TRUNCATED},
        {"a port count with no ports", sound.substr(0, sound.size() - 4), PELK_HELPER_TRUNCATED},
        {"a port count of four billion", sound.substr(0, sound.size() - 8) + u32(0xffffffff), PELK_HELPER_BAD_PORTS},
        {"trailing byte", sound + "x", PELK_HELPER_TRAILING},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_bytes(c.bytes), c.refusal);
    }
}

// The real helper, started on a socket pair as the client starts it, with
// the scripted stand-in as its OpenVPN; the stand-in records any start.
class HelperProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_.file("app/openvpn"));
        fs::create_symlink(VELTRA_HELPER_PATH, dir_.file("app/veltra-helper"));
        fs::create_symlink(VELTRA_FAKE_OPENVPN, dir_.file("app/openvpn/pelk.openvpn.exe"));
        g_file_set_contents(dir_.file("app/openvpn/fake-openvpn.script").c_str(),
                            ("record " + dir_.file("started") + "\nwait\n").c_str(), -1, nullptr);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        socket_ = pair[0];
        const std::string helper = dir_.file("app/veltra-helper");
        const std::string files = "VELTRA_FILES_DIR=" + dir_.file("run");
        char *argv[] = {const_cast<char *>(helper.c_str()), nullptr};
        char *envp[] = {const_cast<char *>(files.c_str()), const_cast<char *>("VELTRA_LEAK_BLOCK_OMIT=all"), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
        ASSERT_EQ(posix_spawn(&pid_, helper.c_str(), &actions, nullptr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(pair[1]);
    }
    void TearDown() override {
        close(socket_);
        waitpid(pid_, nullptr, 0);
    }

    // Sends bytes as one message; the helper's reply, skipping its log lines.
    int ask(const std::string &bytes) {
        EXPECT_EQ(send(socket_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        std::vector<uint8_t> buffer(pelk_helper_max_message + 1);
        for (;;) {
            const ssize_t length = recv(socket_, buffer.data(), buffer.size(), 0);
            pelk_helper_message message;
            if (length <= 0 || !pelk_helper_message_read(buffer.data(), static_cast<size_t>(length), &message)) {
                ADD_FAILURE() << "no reply";
                return -99;
            }
            if (message.kind == PELK_HELPER_REPLY) {
                return message.result;
            }
            log_ += message.bytes;
        }
    }

    veltra_test::TempDir dir_;
    int socket_ = -1;
    pid_t pid_ = -1;
    std::string log_;
};

TEST_F(HelperProgramTest, HostileRequestsStartNothingAndLeaveNoFile) {
    const std::string sound = pelk_helper_request_write(start_of("alice", "pw", "198.18.1.1", {1194}, 5));
    struct Case {
        const char *name;
        std::string bytes;
    };
    const Case cases[] = {
        {"garbage", "\xff\xfe garbage"},
        {"an injected directive", raw_start(start_of("alice", "pw", "198.18.1.1\nup /bin/sh", {1194}, 5))},
        {"truncated", sound.substr(0, sound.size() - 2)},
        {"longer than any message", std::string(pelk_helper_max_message + 100, '\x01')},
        {"a stop with a field", "\x03" + u32(1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(c.bytes), -1);
    }
    EXPECT_EQ(veltra_test::count_occurrences(log_, "helper: refused a request: "), 5) << log_;
    EXPECT_FALSE(fs::exists(dir_.file("started")));
    EXPECT_EQ(veltra_test::count_entries(dir_.file("run"), "pelk"), 0);

    // A sound start runs; a second one for an earlier connection, and a
    // clean-up that would take this run's own files, are refused.
    EXPECT_GT(ask(sound), 0);
    EXPECT_TRUE(veltra_test::wait_for([&] { return fs::exists(dir_.file("started")); }));
    EXPECT_EQ(ask(pelk_helper_request_write(start_of("alice", "pw", "198.18.1.1", {1194}, 4))), -1);
    EXPECT_EQ(ask("\x05"), -1);
    EXPECT_EQ(veltra_test::count_entries(dir_.file("run"), "pelk"), 2);
    EXPECT_EQ(ask("\x03"), 0);
    EXPECT_EQ(veltra_test::count_entries(dir_.file("run"), "pelk"), 0);
    EXPECT_EQ(log_.find("pw\n"), std::string::npos) << "a secret reached the log";
}

TEST(LeakBlock, TheRulesLetOutOnlyWhatTheyName) {
    pelk_helper_leak_block block;
    block.server_addresses = {"198.18.1.1", "2001:db8::1"};
    block.ports = {1194, 1195};
    struct Case {
        const char *name;
        std::function<void(pelk_helper_leak_block *)> change;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"before the tunnel",
         [](pelk_helper_leak_block *) {},
         {"ip daddr { 198.18.1.1 } udp dport { 1194, 1195 } accept", "ip6 daddr { 2001:db8::1 } udp dport",
          "oifname \"lo\" accept", "meta nfproto ipv4 drop\n    meta nfproto ipv6 drop\n  }"},
         {"oifname \"tun"}},
        {"the tunnel up",
         [](pelk_helper_leak_block *b) { b->tunnel_device = "tun3"; },
         {"oifname \"tun3\" accept"},
         {}},
        {"a device name that is not one",
         [](pelk_helper_leak_block *b) { b->tunnel_device = "tun0\" accept\n    oifname \"eth0"; },
         {},
         {"eth0", "tun0"}},
        {"no ports: no server rule",
         [](pelk_helper_leak_block *b) {
             b->ports = {0, 70000};
         },
         {},
         {"daddr {"}},
        {"an address that is not one",
         [](pelk_helper_leak_block *b) {
             b->server_addresses = {"198.18.1.1 } accept", "0.0.0.0/0"};
         },
         {},
         {"daddr {"}},
        {"local resolvers",
         [](pelk_helper_leak_block *b) {
             b->resolvers = {"192.168.1.1", "fe80::1"};
         },
         {"ip daddr { 192.168.1.1 } meta l4proto { udp, tcp } th dport 53 accept", "ip6 daddr { fe80::1 }"},
         {}},
        {"IPv6 drop left out (tests)",
         [](pelk_helper_leak_block *b) { b->drop_ipv6 = false; },
         {"meta nfproto ipv4 drop"},
         {"meta nfproto ipv6 drop"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pelk_helper_leak_block changed = block;
        c.change(&changed);
        const std::string rules = pelk_helper_leak_block_ruleset(changed);
        EXPECT_EQ(rules.rfind("table inet veltra_leak_block\ndelete table inet veltra_leak_block\n", 0), 0u) << rules;
        for (const std::string &line : c.present) {
            EXPECT_NE(rules.find(line), std::string::npos) << line << " in\n" << rules;
        }
        for (const std::string &line : c.absent) {
            EXPECT_EQ(rules.find(line), std::string::npos) << line << " in\n" << rules;
        }
    }
}

TEST(LeakBlock, OnlyResolversOnALocalLinkAreKept) {
    const std::string resolv_conf =
        "# ours\nnameserver 192.168.1.1\nnameserver 8.8.8.8\nnameserver fe80::1\n"
        "nameserver 2001:db8:1::53\nnameserver 2001:db8:2::53\nnameserver bogus\n"
        "search example.org\nnameserver 10.0.0.1 ; comment\n";
    EXPECT_EQ(
        pelk_helper_leak_block_local_resolvers(resolv_conf, {"192.168.1.20/24", "2001:db8:1::20/64", "10.0.0.0/8"}),
        (std::vector<std::string>{"192.168.1.1", "2001:db8:1::53", "10.0.0.1"}));
    EXPECT_TRUE(pelk_helper_leak_block_local_resolvers(resolv_conf, {}).empty());
    EXPECT_TRUE(pelk_helper_leak_block_local_resolvers(resolv_conf, {"bogus", "192.168.1.0/33"}).empty());
}

// The real nftables, in a network namespace of the test's own.
TEST(LeakBlock, SetReplacedAndRemovedWhole) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for a network namespace";
    }
    const std::string failure = [] {
        int fds[2];
        if (pipe(fds) != 0) {
            return std::string("no pipe");
        }
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::string result;
            std::string error;
            pelk_helper_leak_block block;
            block.server_addresses = {"198.18.1.1"};
            block.ports = {1194};
            if (unshare(CLONE_NEWNET) != 0) {
                result = "unshare";
            } else if (pelk_helper_leak_block_remove(&error) != 0) {
                result = "a table before any was set";
            } else if (pelk_helper_leak_block_set(block, &error) != 0) {
                result = "set: " + error;
            } else if ((block.tunnel_device = "tun0", pelk_helper_leak_block_set(block, &error)) != 0) {
                result = "replace: " + error;
            } else if (pelk_helper_leak_block_remove(&error) != 1) {
                result = "remove: " + error;
            } else if (pelk_helper_leak_block_remove(&error) != 0) {
                result = "removed twice";
            }
            (void)!write(fds[1], result.data(), result.size());
            _exit(0);
        }
        close(fds[1]);
        char buffer[512];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }();
    EXPECT_EQ(failure, "");
}

TEST(HelperLinks, NothingOfTheToolkitXLibcurlOrDBus) {
    std::string out;
    ASSERT_EQ(veltra_test::run_program({"ldd", VELTRA_HELPER_PATH}, &out), 0);
    ASSERT_NE(out.find("libglib-2.0"), std::string::npos) << out;
    for (const char *library :
         {"libgtk", "libgdk", "libX11", "libxcb", "libcairo", "libpango", "libcurl", "libdbus", "libgio", "libatk"}) {
        EXPECT_EQ(out.find(library), std::string::npos) << library << " in\n" << out;
    }
}

}  // namespace
