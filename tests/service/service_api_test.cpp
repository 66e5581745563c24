#include "service/service_api.h"
#include "service/service_api_internal.h"

#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kDigest[] = "8846F7EAEE8FB117AD06BDD830B7586C";

std::string text_of(char *url) {
    pelk_owned_text owned(url);
    return owned ? std::string(owned.get()) : std::string("<null>");
}

// Each test writes its developer log into a folder of its own.
class ServiceApiTest : public ::testing::Test {
  protected:
    void SetUp() override { pelk_global_variables_init((dir_.path() + "/veltra").c_str()); }
    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }

    veltra_test::TempDir dir_;
};

TEST(ServiceApiBaseUrl, EnvironmentValueOrCompiledDefault) {
    struct Case {
        const char *environment_value;
        bool compiled;
    };
    const Case cases[] = {
        {nullptr, true},
        {"", true},
        {"https://127.0.0.1:4443/RESTF-1.0.2/rest/api/", false},
        {"https://svc.test/x/", false},
    };
    for (const auto &c : cases) {
        const std::string chosen = text_of(http_manager_base_url_choose_new(c.environment_value));
        if (c.compiled) {
            EXPECT_EQ(chosen.rfind("https://", 0), 0u) << chosen;
            EXPECT_GT(chosen.size(), strlen("https://:8443/RESTF-1.0.2/rest/api/"));
            EXPECT_EQ(chosen.substr(chosen.size() - 27), ":8443/RESTF-1.0.2/rest/api/");
        } else {
            EXPECT_EQ(chosen, c.environment_value);
        }
    }
}

TEST(ServiceApiBaseUrl, PublicIpUrlIsBasePlusRemoteAddressAndStable) {
    const char *first = http_manager_method_get_public_ip_url();
    EXPECT_EQ(std::string(first), std::string(http_manager_base_url()) + "remote_address");
    EXPECT_EQ(first, http_manager_method_get_public_ip_url());
}

TEST(ServiceApiBaseUrl, OverrideChangesBuildersAndKeepsOldTextsValid) {
    const char *old_public_ip = http_manager_method_get_public_ip_url();
    const std::string old_copy = old_public_ip;

    http_manager_base_url_override("https://127.0.0.1:5555/RESTF-1.0.2/rest/api/");
    EXPECT_STREQ(http_manager_method_get_public_ip_url(), "https://127.0.0.1:5555/RESTF-1.0.2/rest/api/remote_address");
    EXPECT_EQ(text_of(http_manager_method_user_name_url_new("a@b.c", kDigest)),
              std::string("https://127.0.0.1:5555/RESTF-1.0.2/rest/api/user_name?email=a@b.c&password=") + kDigest +
                  "&version=Foo");
    EXPECT_EQ(std::string(old_public_ip), old_copy);
}

struct BuilderCase {
    const char *name;
    char *(*build)(const char *, const char *, const char *);
    const char *method;
};

char *authentication(const char *e, const char *p, const char *) {
    return http_manager_method_authentication_url_new(e, p);
}
char *server_list(const char *e, const char *p, const char *) { return http_manager_method_server_list_url_new(e, p); }
char *plan(const char *e, const char *p, const char *) {
    return http_manager_method_server_plan_and_expiry_date_url_new(e, p);
}
char *user_name(const char *e, const char *p, const char *) { return http_manager_method_user_name_url_new(e, p); }

TEST(ServiceApiBuilders, ExactTextsForOrdinaryAddresses) {
    const BuilderCase builders[] = {
        {"authentication", authentication, "authentication"},
        {"server_list", server_list, "server_list"},
        {"plan", plan, "server_plan_and_expiry_date"},
        {"user_name", user_name, "user_name"},
    };
    const char *emails[] = {"user@example.com", "first.last-1_x~y@mail.example.org", "A9@B.C"};
    const std::string base = http_manager_base_url();
    for (const auto &b : builders) {
        for (const char *email : emails) {
            EXPECT_EQ(text_of(b.build(email, kDigest, nullptr)),
                      base + b.method + "?email=" + email + "&password=" + kDigest + "&version=Foo")
                << b.name;
        }
    }
}

TEST(ServiceApiBuilders, PortNumbersCarriesServerAddressBetweenPasswordAndVersion) {
    EXPECT_EQ(text_of(http_manager_method_port_numbers_url_new("user@example.com", kDigest, "vpn-1.example.net")),
              std::string(http_manager_base_url()) + "port_numbers?email=user@example.com&password=" + kDigest +
                  "&server_address=vpn-1.example.net&version=Foo");
}

TEST(ServiceApiBuilders, HostileValuesArePercentEncoded) {
    struct Case {
        const char *email;
        const char *server_address;
        const char *query;  // what follows "port_numbers?"
    };
    const Case cases[] = {
        {"a+b@x.com", "1.2.3.4", "email=a%2Bb@x.com&password=D&server_address=1.2.3.4&version=Foo"},
        {"a&password=0@x", "h", "email=a%26password%3D0@x&password=D&server_address=h&version=Foo"},
        {"a#frag@x", "h", "email=a%23frag@x&password=D&server_address=h&version=Foo"},
        {"a b@x", "h", "email=a%20b@x&password=D&server_address=h&version=Foo"},
        {"100%@x", "h", "email=100%25@x&password=D&server_address=h&version=Foo"},
        {"x\r\nHost: evil", "h", "email=x%0D%0AHost%3A%20evil&password=D&server_address=h&version=Foo"},
        {"\xc3\xa9@x", "h", "email=%C3%A9@x&password=D&server_address=h&version=Foo"},
        {"x@y", "h&version=Bar", "email=x@y&password=D&server_address=h%26version%3DBar&version=Foo"},
        {"x@y", "../../admin?", "email=x@y&password=D&server_address=..%2F..%2Fadmin%3F&version=Foo"},
        {"", "", "email=&password=D&server_address=&version=Foo"},
    };
    const std::string prefix = std::string(http_manager_base_url()) + "port_numbers?";
    for (const auto &c : cases) {
        EXPECT_EQ(text_of(http_manager_method_port_numbers_url_new(c.email, "D", c.server_address)), prefix + c.query)
            << c.email;
    }
}

TEST(ServiceApiBuilders, AbsentValuesCountAsEmpty) {
    const std::string base = http_manager_base_url();
    EXPECT_EQ(text_of(http_manager_method_authentication_url_new(nullptr, nullptr)),
              base + "authentication?email=&password=&version=Foo");
    EXPECT_EQ(text_of(http_manager_method_port_numbers_url_new(nullptr, nullptr, nullptr)),
              base + "port_numbers?email=&password=&server_address=&version=Foo");
}

TEST(ServiceApiBuilders, BufferIsThousandZeroFilledBytes) {
    pelk_owned_text url(http_manager_method_authentication_url_new("user@example.com", kDigest));
    ASSERT_NE(url, nullptr);
    const size_t length = strlen(url.get());
    for (size_t i = length; i < HTTP_MANAGER_URL_BUFFER_SIZE; ++i) {
        ASSERT_EQ(url.get()[i], '\0') << "byte " << i;
    }
}

TEST(ServiceApiBuilders, LongestFlowUrlFits) {
    // A 100-character e-mail, the digest and a 499-character server address.
    const std::string email = std::string(88, 'e') + "@example.com";
    const std::string server(499, 's');
    const std::string url = text_of(http_manager_method_port_numbers_url_new(email.c_str(), kDigest, server.c_str()));
    EXPECT_EQ(url, std::string(http_manager_base_url()) + "port_numbers?email=" + email + "&password=" + kDigest +
                       "&server_address=" + server + "&version=Foo");
}

TEST_F(ServiceApiTest, OverLongUrlIsRefusedAndLogged) {
    const std::string base = http_manager_base_url();
    // "authentication?email=" + e-mail + "&password=" + digest + "&version=Foo"
    const size_t fixed = base.size() + strlen("authentication?email=&password=&version=Foo") + 32;
    ASSERT_LT(fixed, 999u);
    const std::string fits(999 - fixed, 'a');
    const std::string one_over(1000 - fixed, 'a');

    const std::string url = text_of(http_manager_method_authentication_url_new(fits.c_str(), kDigest));
    EXPECT_EQ(url.size(), 999u);
    EXPECT_EQ(dev_log(), "");

    EXPECT_EQ(http_manager_method_authentication_url_new(one_over.c_str(), kDigest), nullptr);
    EXPECT_EQ(dev_log(), "ERROR[http_manager_method_authentication_url_new]: the URL does not fit 1000 bytes\n");

    // Encoding triples a byte: a value short enough raw can still overflow.
    const std::string plus((999 - fixed) / 3 + 1, '+');
    EXPECT_EQ(http_manager_method_authentication_url_new(plus.c_str(), kDigest), nullptr);

    const std::string huge(1 << 20, 'x');
    EXPECT_EQ(http_manager_method_port_numbers_url_new("a@b", kDigest, huge.c_str()), nullptr);
    EXPECT_EQ(http_manager_method_server_list_url_new(huge.c_str(), kDigest), nullptr);
    EXPECT_EQ(http_manager_method_user_name_url_new("a@b", huge.c_str()), nullptr);
}

TEST(ServiceApiUrlAppend, FitsExactlyOrLeavesBufferUnchanged) {
    struct Case {
        size_t capacity;
        size_t used;
        const char *text;
        bool encode;
        bool fits;
        const char *result;  // whole buffer text afterwards
    };
    const Case cases[] = {
        {8, 4, "abc", false, true, "xxxxabc"},
        {8, 4, "abcd", false, false, "xxxx"},
        {8, 4, "", false, true, "xxxx"},
        {8, 4, "+", true, true, "xxxx%2B"},
        {8, 5, "+", true, false, "xxxxx"},
        {8, 4, "+", false, true, "xxxx+"},
        {8, 8, "", false, false, "xxxxxxxx"},
        {8, 9, "", false, false, "xxxxxxxx"},
        {8, 0, "A-z.0_~@", true, false, ""},
        {9, 0, "A-z.0_~@", true, true, "A-z.0_~@"},
        {12, 0, "\xff\x01/", true, true, "%FF%01%2F"},
    };
    for (const auto &c : cases) {
        std::vector<char> buffer(c.capacity + 1, '\0');
        memset(buffer.data(), 'x', std::min(c.used, c.capacity));
        size_t used = c.used;
        EXPECT_EQ(http_manager_url_append(buffer.data(), c.capacity, &used, c.text, c.encode), c.fits) << c.text;
        EXPECT_STREQ(buffer.data(), c.result);
        EXPECT_EQ(used, c.fits ? strlen(c.result) : c.used);
        EXPECT_EQ(buffer[c.capacity], '\0') << "wrote past the capacity";
    }
}

TEST(ServiceApiBuilders, ConcurrentCallersGetIdenticalUrls) {
    const std::string expected = text_of(http_manager_method_port_numbers_url_new("a b@c", kDigest, "srv"));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                if (text_of(http_manager_method_port_numbers_url_new("a b@c", kDigest, "srv")) != expected) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ServiceApiBuilders, FreeAcceptsNull) { http_manager_url_free(nullptr); }

}  // namespace
