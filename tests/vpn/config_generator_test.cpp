#include "base/global_variables.h"
#include "support/test_util.h"
#include "vpn/config_generator.h"
#include "vpn/config_generator_internal.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kHead = "client\ndev tun\nproto udp\ntun-mtu 1500\ntun-mtu-extra 32\nmssfix 1450\nremote-random\n";
const std::string kTail =
    "resolv-retry infinite\nnobind\npersist-key\npersist-tun\npersist-remote-ip\nauth-user-pass\n"
    "auth-nocache\ncomp-lzo\nreneg-sec 604800\nverb 3\nremote-cert-tls server\n";

std::vector<std::string> entries_of(const std::string &folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class ConfigGeneratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::testing::internal::CaptureStdout();
        pelk_global_variables_init(dir_.file("veltra").c_str());
        ::testing::internal::GetCapturedStdout();
        folder_ = dir_.file("run");
        config_generator_files_folder_override(folder_.c_str());
    }
    void TearDown() override { config_generator_files_folder_override(nullptr); }

    std::string take(char *path) {
        std::string result = path != nullptr ? path : "";
        g_free(path);
        return result;
    }
    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }
    std::vector<std::string> record() const {
        return lines_of(veltra_test::read_file(folder_ + "/" + config_generator_run_record_name));
    }
    std::vector<std::string> generated_files() const {
        std::vector<std::string> names = entries_of(folder_);
        std::erase_if(names, [](const std::string &name) { return name.rfind("pelk", 0) != 0; });
        return names;
    }

    veltra_test::TempDir dir_;
    std::string folder_;
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
        {"Vpn-1.EXAMPLE-2.org", {1195}, "remote Vpn-1.EXAMPLE-2.org 1195\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const std::string path = take(
            config_generator_create_openvpn_config_file(c.address, c.ports.data(), static_cast<int>(c.ports.size())));
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(veltra_test::read_file(path), kHead + c.remotes + kTail);
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder_));
        const std::string name = fs::path(path).filename().string();
        EXPECT_EQ(name.size(), 10u);
        EXPECT_EQ(name.rfind("pelk", 0), 0u);
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_uid, geteuid());
        config_generator_delete_file(path.c_str());
        EXPECT_FALSE(fs::exists(path));
    }
    EXPECT_TRUE(generated_files().empty());
    EXPECT_FALSE(fs::exists(folder_ + "/" + config_generator_run_record_name)) << "an empty record is removed";
}

TEST_F(ConfigGeneratorTest, CredentialsAreTwoLinesInAFolderOnlyWeCanEnter) {
    const std::string first = take(config_generator_create_credentials_file("alice@example.com", "p%s w#rd ✓"));
    const std::string second = take(config_generator_create_credentials_file("", ""));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(veltra_test::read_file(first), "alice@example.com\np%s w#rd ✓\n");
    EXPECT_EQ(veltra_test::read_file(second), "\n\n");
    struct stat info {};
    ASSERT_EQ(stat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(lstat(folder_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
    // Both live files are on record, by their full paths, until deleted.
    EXPECT_EQ(record(), (std::vector<std::string>{first, second}));
    config_generator_delete_file(first.c_str());
    EXPECT_EQ(record(), (std::vector<std::string>{second}));
    config_generator_delete_file(second.c_str());
    EXPECT_TRUE(generated_files().empty());
    // The password never reaches the developer log.
    EXPECT_EQ(dev_log().find("p%s w#rd"), std::string::npos);
}

TEST_F(ConfigGeneratorTest, AddressesOutsideTheAllowListAndOverlongLinesAreAFailedStart) {
    const int32_t port = 1194;
    // "remote " + address + " 1194\n" must stay under 256 bytes.
    const size_t longest = 255 - std::string("remote  1194\n").size();
    struct Case {
        std::string address;
        std::vector<int32_t> ports;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"198.18.1.1 1194\nscript-security 2\nup /bin/sh", {port}, false},
        {"host\rroute", {port}, false},
        {"host # comment", {port}, false},
        {"host;comment", {port}, false},
        {"two words", {port}, false},
        {"\"quoted\"", {port}, false},
        {"'quoted'", {port}, false},
        {"tab\there", {port}, false},
        {"back\\slash", {port}, false},
        {"under_score.example", {port}, false},
        {"[2001:db8::1]", {port}, false},
        {"a/b", {port}, false},
        {"a,b", {port}, false},
        {"percent%s", {port}, false},
        {"\x1b[31m", {port}, false},
        {"ex\xc3\xa4mple.org", {port}, false},
        {"", {port}, false},
        {"", {}, false},
        {std::string(longest + 1, 'a'), {port}, false},
        {std::string(longest, 'b'), {port}, true},
        {std::string(longest, 'c'), {port, 1}, true},
        // A wider port number makes the same address too long.
        {std::string(longest, 'd'), {port, -2147483647}, false},
        {std::string(4000, 'e'), {}, true},
        {"2001:db8::1", {port}, true},
        {"-", {port}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address.substr(0, 40) + " (" + std::to_string(c.address.size()) + " bytes)");
        const std::string path = take(config_generator_create_openvpn_config_file(c.address.c_str(), c.ports.data(),
                                                                                  static_cast<int>(c.ports.size())));
        EXPECT_EQ(!path.empty(), c.accepted);
        if (path.empty()) {
            continue;
        }
        const std::string text = veltra_test::read_file(path);
        for (const std::string &line : lines_of(text)) {
            EXPECT_LT(line.size() + 1, 256u);
        }
        if (!c.ports.empty()) {
            EXPECT_NE(text.find("remote " + c.address + " 1194\n"), std::string::npos);
        }
        config_generator_delete_file(path.c_str());
    }
    EXPECT_TRUE(generated_files().empty());
    EXPECT_NE(dev_log().find("config_generator: server address holds characters OpenVPN would misread"),
              std::string::npos);
    EXPECT_NE(dev_log().find("config_generator: remote line too long"), std::string::npos);

    const char *bad_credentials[][2] = {
        {"alice\n", "secret"},
        {"alice", "sec\nret"},
        {"alice", "secret\r"},
        {"a\r\nb", "c"},
    };
    for (const auto &pair : bad_credentials) {
        EXPECT_EQ(config_generator_create_credentials_file(pair[0], pair[1]), nullptr) << pair[0];
    }
    EXPECT_TRUE(generated_files().empty());
    EXPECT_EQ(dev_log().find("sec\nret"), std::string::npos);
}

TEST_F(ConfigGeneratorTest, FilesAreNeverMadeThroughALinkNorInAFolderThatIsNotOurs) {
    const std::string victim = dir_.file("victim");
    ASSERT_TRUE(g_file_set_contents(victim.c_str(), "untouched\n", -1, nullptr));

    // A link planted at the very name the generator draws first: it is
    // neither followed nor replaced, and the next name is used.
    ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
    g_random_set_seed(20150720);
    std::string first_name = "pelk";
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 6; ++i) {
        first_name += alphabet[g_random_int_range(0, 62)];
    }
    fs::create_symlink(victim, folder_ + "/" + first_name);
    g_random_set_seed(20150720);
    const std::string made = take(config_generator_create_credentials_file("alice@example.com", "secret"));
    ASSERT_FALSE(made.empty());
    EXPECT_NE(fs::path(made).filename().string(), first_name);
    EXPECT_EQ(veltra_test::read_file(victim), "untouched\n");
    EXPECT_TRUE(fs::is_symlink(folder_ + "/" + first_name));
    config_generator_delete_file(made.c_str());

    // A folder of ours left open to others is narrowed before use.
    ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
    const std::string narrowed = take(config_generator_create_credentials_file("a", "b"));
    ASSERT_FALSE(narrowed.empty());
    struct stat info {};
    ASSERT_EQ(stat(folder_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    config_generator_delete_file(narrowed.c_str());

    // The folder itself swapped for a link: refused, nothing lands at its target.
    const std::string elsewhere = dir_.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    const std::string linked = dir_.file("linked-run");
    fs::create_symlink(elsewhere, linked);
    config_generator_files_folder_override(linked.c_str());
    EXPECT_EQ(config_generator_create_credentials_file("alice@example.com", "secret"), nullptr);
    EXPECT_TRUE(entries_of(elsewhere).empty());
    EXPECT_NE(dev_log().find("config_generator: cannot use folder " + linked), std::string::npos);

    // A folder someone else owns is not ours to put a password in.
    if (geteuid() == 0) {
        const std::string foreign = dir_.file("foreign");
        ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        config_generator_files_folder_override(foreign.c_str());
        EXPECT_EQ(config_generator_create_credentials_file("alice@example.com", "secret"), nullptr);
        EXPECT_TRUE(entries_of(foreign).empty());
    }
}

TEST_F(ConfigGeneratorTest, CleanUpDeletesExactlyWhatTheRecordNamesInsideTheFolder) {
    const int32_t port = 1194;
    const std::string credentials = take(config_generator_create_credentials_file("alice@example.com", "secret"));
    const std::string config = take(config_generator_create_openvpn_config_file("198.18.1.1", &port, 1));
    ASSERT_FALSE(credentials.empty());
    ASSERT_FALSE(config.empty());

    // What must survive: a file of our pattern that is not on record, files
    // outside the folder, a link and a folder of our pattern inside it.
    const std::string unrecorded = folder_ + "/pelkUNREC1";
    ASSERT_TRUE(g_file_set_contents(unrecorded.c_str(), "x", -1, nullptr));
    const std::string outside_dir = dir_.file("outside");
    ASSERT_EQ(mkdir(outside_dir.c_str(), 0700), 0);
    const std::string outside = outside_dir + "/pelkOUTSD1";
    ASSERT_TRUE(g_file_set_contents(outside.c_str(), "x", -1, nullptr));
    const std::string victim = dir_.file("victim");
    ASSERT_TRUE(g_file_set_contents(victim.c_str(), "x", -1, nullptr));
    const std::string link = folder_ + "/pelkLINK01";
    fs::create_symlink(victim, link);
    const std::string subfolder = folder_ + "/pelkDIR001";
    ASSERT_EQ(mkdir(subfolder.c_str(), 0700), 0);
    const std::string other_name = folder_ + "/keep.txt";
    ASSERT_TRUE(g_file_set_contents(other_name.c_str(), "x", -1, nullptr));

    const std::vector<std::string> hostile = {
        "../../etc/passwd",
        "/etc/passwd",
        victim,
        outside,
        folder_ + "/../outside/pelkOUTSD1",
        folder_ + "/./pelkUNREC1",
        folder_ + "//pelkUNREC1",
        folder_ + "/pelkUNREC",
        folder_ + "/pelkUNREC12",
        folder_ + "/pelk-NREC1",
        folder_ + "/keep.txt",
        folder_,
        folder_ + "/",
        link,
        subfolder,
        "",
        folder_ + "/pelkGONE01",
    };
    std::string text = credentials + "\n";
    for (const std::string &entry : hostile) {
        text += entry + "\n";
    }
    text += config;  // no final line end
    ASSERT_TRUE(
        g_file_set_contents((folder_ + "/" + config_generator_run_record_name).c_str(), text.c_str(), -1, nullptr));

    config_generator_delete_recorded_files();

    EXPECT_FALSE(fs::exists(credentials));
    EXPECT_FALSE(fs::exists(config));
    EXPECT_FALSE(fs::exists(folder_ + "/" + config_generator_run_record_name));
    for (const std::string &kept : {unrecorded, outside, victim, subfolder, other_name}) {
        EXPECT_TRUE(fs::exists(kept)) << kept;
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists("/etc/passwd"));
    const std::string log = dev_log();
    EXPECT_NE(log.find("config_generator: deleted 2 file(s) of an earlier run\n"), std::string::npos) << log;
    EXPECT_NE(log.find("left alone: ../../etc/passwd"), std::string::npos);
    EXPECT_NE(log.find("something other than a file of ours, left alone: " + link), std::string::npos);

    // No record: nothing happens. A record that is a link is not read.
    config_generator_delete_recorded_files();
    const std::string planted = dir_.file("planted");
    ASSERT_TRUE(g_file_set_contents(planted.c_str(), (unrecorded + "\n").c_str(), -1, nullptr));
    fs::create_symlink(planted, folder_ + "/" + config_generator_run_record_name);
    config_generator_delete_recorded_files();
    EXPECT_TRUE(fs::exists(unrecorded));
    EXPECT_TRUE(fs::exists(planted));
    EXPECT_NE(dev_log().find("config_generator: run record unreadable, left alone"), std::string::npos);
}

TEST_F(ConfigGeneratorTest, AFileThatCannotBeWrittenWholeIsRemovedAndForgotten) {
    // A file size limit that lets the run record (one path) through but
    // cuts both files part-way.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = folder_.size() + 40;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t ports[] = {1194, 1195};
    char *config = config_generator_create_openvpn_config_file("198.18.1.1", ports, 2);
    char *credentials = config_generator_create_credentials_file("alice@example.com", std::string(400, 'x').c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);

    EXPECT_EQ(config, nullptr);
    EXPECT_EQ(credentials, nullptr);
    g_free(config);
    g_free(credentials);
    EXPECT_TRUE(generated_files().empty());
    EXPECT_TRUE(record().empty());
    EXPECT_NE(dev_log().find("config_generator: cannot write file"), std::string::npos);
}

}  // namespace
