#include "app/global_variables.h"
#include "support/test_util.h"
#include "vpn/config_generator.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kHead = "client\ndev tun\nproto udp\ntun-mtu 1500\ntun-mtu-extra 32\nmssfix 1450\nremote-random\n";
const std::string kTail =
    "resolv-retry infinite\nnobind\npersist-key\npersist-tun\npersist-remote-ip\nauth-user-pass\n"
    "auth-nocache\ncomp-lzo\nreneg-sec 604800\nverb 3\n";

std::vector<std::string> temporary_files() {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(g_get_tmp_dir())) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 10 && name.rfind("pelk", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

class ConfigGeneratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("veltra").c_str());
        ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        for (const std::string &path : made_) {
            fs::remove(path);
        }
    }
    std::string keep(char *path) {
        std::string result = path != nullptr ? path : "";
        g_free(path);
        if (!result.empty()) {
            made_.push_back(result);
        }
        return result;
    }
    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }

    veltra_test::TempDir dir_;
    std::vector<std::string> made_;
};

TEST_F(ConfigGeneratorTest, ConfigurationListsOneRemoteLinePerPortInOrder) {
    struct Case {
        const char *address;
        std::vector<int32_t> ports;
        std::string remotes;
    };
    const Case cases[] = {
        {"192.0.2.10", {443, 80}, "remote 192.0.2.10 443\nremote 192.0.2.10 80\n"},
        {"vpn.example.org", {}, ""},
        {"198.18.1.1", {1194, 1194}, "remote 198.18.1.1 1194\nremote 198.18.1.1 1194\n"},
        {"2001:db8::1", {0, -1, 65535}, "remote 2001:db8::1 0\nremote 2001:db8::1 -1\nremote 2001:db8::1 65535\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const std::string path = keep(
            config_generator_create_openvpn_config_file(c.address, c.ports.data(), static_cast<int>(c.ports.size())));
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(veltra_test::read_file(path), kHead + c.remotes + kTail);
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(g_get_tmp_dir()));
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(name.size(), 10u);
        EXPECT_EQ(name.rfind("pelk", 0), 0u);
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

TEST_F(ConfigGeneratorTest, CredentialsAreTwoLinesReadableByTheOwnerOnly) {
    const std::string first = keep(config_generator_create_credentials_file("alice@example.com", "p%s w#rd ✓"));
    const std::string second = keep(config_generator_create_credentials_file("", ""));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(veltra_test::read_file(first), "alice@example.com\np%s w#rd ✓\n");
    EXPECT_EQ(veltra_test::read_file(second), "\n\n");
    struct stat info {};
    ASSERT_EQ(stat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // The password never reaches the developer log.
    EXPECT_EQ(dev_log().find("p%s w#rd"), std::string::npos);
}

TEST_F(ConfigGeneratorTest, InputThatWouldChangeTheFilesMeaningIsRefused) {
    const std::vector<std::string> before = temporary_files();
    const char *bad_credentials[][2] = {
        {"alice\n", "secret"},
        {"alice", "sec\nret"},
        {"alice", "secret\r"},
        {"a\r\nb", "c"},
    };
    for (const auto &pair : bad_credentials) {
        EXPECT_EQ(config_generator_create_credentials_file(pair[0], pair[1]), nullptr) << pair[0];
    }
    const int32_t port = 1194;
    const std::string too_long(495, 'a');
    const char *bad_addresses[] = {
        "198.18.1.1 1194\nscript-security 2\nup /bin/sh",
        "host\rroute",
        "host # comment",
        "two words",
        "\"quoted\"",
        "tab\there",
        too_long.c_str(),
    };
    for (const char *address : bad_addresses) {
        EXPECT_EQ(config_generator_create_openvpn_config_file(address, &port, 1), nullptr) << address;
    }
    EXPECT_EQ(temporary_files(), before);
    EXPECT_NE(dev_log().find("config_generator: "), std::string::npos);
    EXPECT_EQ(dev_log().find("sec\nret"), std::string::npos);

    // The longest address whose line still fits: "remote " + a + " 1194\n" is 499.
    const std::string longest(499 - std::string("remote  1194\n").size(), 'b');
    const std::string path = keep(config_generator_create_openvpn_config_file(longest.c_str(), &port, 1));
    ASSERT_FALSE(path.empty());
    EXPECT_NE(veltra_test::read_file(path).find("remote " + longest + " 1194\n"), std::string::npos);
    const std::string one_more = longest + "b";
    EXPECT_EQ(config_generator_create_openvpn_config_file(one_more.c_str(), &port, 1), nullptr);
}

TEST_F(ConfigGeneratorTest, AFileThatCannotBeWrittenWholeIsRemoved) {
    const std::vector<std::string> before = temporary_files();
    // A tiny file size limit makes the writes fail part-way.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit tiny = old_limit;
    tiny.rlim_cur = 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const int32_t ports[] = {1194, 1195};
    char *config = config_generator_create_openvpn_config_file("198.18.1.1", ports, 2);
    char *credentials = config_generator_create_credentials_file("alice@example.com", std::string(64, 'x').c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);

    EXPECT_EQ(config, nullptr);
    EXPECT_EQ(credentials, nullptr);
    g_free(config);
    g_free(credentials);
    // The limit also cuts the log's own writes, so only the files are checked.
    EXPECT_EQ(temporary_files(), before);
}

}  // namespace
