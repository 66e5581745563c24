#include "support/reference_service.h"

#include "account_documents.h"
#include "account_query.h"
#include "account_store.h"
#include "base/owned_text.h"
#include "dal/server_entity.h"
#include "service/json_parser.h"
#include "service/ntlm.h"

#include <curl/curl.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

using veltra_test::ReferenceService;
using veltra_test::ServiceAccount;
using veltra_test::ServiceGeoPrefix;
using veltra_test::ServiceServer;
using veltra_test::TempDir;

struct reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string content_type;
    std::string allow;
};

size_t collect_body(char *data, size_t size, size_t count, void *out) {
    static_cast<std::string *>(out)->append(data, size * count);
    return size * count;
}

size_t collect_allow(char *data, size_t size, size_t count, void *out) {
    const std::string line(data, size * count);
    if (line.rfind("Allow:", 0) == 0) {
        *static_cast<std::string *>(out) = line.substr(7, line.find_last_not_of("\r\n") - 6);
    }
    return size * count;
}

reply fetch(const std::string &url, const std::string &ca_file, const char *method = nullptr) {
    reply result;
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_allow);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.allow);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    if (method != nullptr) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }
    result.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    char *content_type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &content_type);
    result.content_type = content_type == nullptr ? "" : content_type;
    curl_easy_cleanup(curl);
    return result;
}

// As the client sends values: percent-encoded outside A-Za-z0-9@._~-.
std::string encode(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (g_ascii_isalnum(c) || std::string_view("@._~-").find(static_cast<char>(c)) != std::string_view::npos) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

std::string hash(const std::string &password) {
    pelk_owned_text digest(pelk_ntlm_encrypt(password.c_str()));
    return digest ? digest.get() : "";
}

std::string lower(const std::string &text) {
    g_autofree char *down = g_ascii_strdown(text.c_str(), -1);
    return down;
}

std::string credentials(const std::string &email, const std::string &password) {
    return "email=" + encode(email) + "&password=" + hash(password) + "&version=Foo";
}

std::string in_days(int days) { return account_store_date_text(account_store_today() + std::chrono::days(days)); }

const std::vector<ServiceAccount> accounts = {
    {"alice@example.com", "alice-secret", "premium", "PK-ALICE", 30},
    {"bob@example.com", "bob-secret", "free", "", 365},
    {"carol@example.com", "carol-secret", "premium", "PK-CAROL", -1},
    {"dora@example.com", "dora-secret", "premium", "PK-DORA", 0},
    {"a+b&c#d e@example.com", "odd-secret", "premium", "", 10},
    {"eve@example.com", "passwort mit Umlaut \xC3\xA4 und mehr als 27 Bytes", "premium", "", 5},
};

const std::vector<ServiceServer> servers = {
    {"de1.example.net", "Frankfurt", "de", {1194, 443}, true, {}},
    {"es1.example.net", "Madrid", "es", {1195}, false, {"premium"}},
    {"us1.example.net", "New York", "us", {}, false, {"premium", "pro"}},
};

const std::vector<ServiceGeoPrefix> geo = {
    {"127.0.0.0/8", "de"},
    {"127.0.0.1/32", "nl"},
    {"10.0.0.0/8", "us"},
};

class AccountServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        today_ = account_store_today();
        service_ = ReferenceService::start(accounts, servers, geo);
        ASSERT_NE(service_, nullptr);
    }

    reply get(const std::string &path_and_query, const char *method = nullptr) {
        return fetch(service_->base_url() + path_and_query, service_->ca_file(), method);
    }

    // Expected documents carry dates; a test that spans midnight UTC cannot
    // tell which day the service saw.
    void skip_if_day_changed() {
        if (account_store_today() != today_) {
            GTEST_SKIP() << "the UTC date changed during the test";
        }
    }

    std::chrono::sys_days today_;
    std::unique_ptr<ReferenceService> service_;
};

TEST_F(AccountServiceTest, DocumentsAreExactCompactAndEndInCrLf) {
    const std::string alice = credentials("alice@example.com", "alice-secret");
    const std::string bob = credentials("bob@example.com", "bob-secret");
    struct row {
        std::string request;
        std::string body;
    };
    const row rows[] = {
        {"authentication?" + alice,
         "{\"error_code\":0,\"expiry_date\":\"" + in_days(30) +
             "\",\"expiry_date_in_days\":30,\"plan_name\":\"premium\",\"plan_key\":\"PK-ALICE\","
             "\"valid_servers\":\"all\"}\r\n"},
        {"authentication?" + bob, "{\"error_code\":0,\"expiry_date\":\"" + in_days(365) +
                                      "\",\"expiry_date_in_days\":365,\"plan_name\":\"free\",\"plan_key\":\"\","
                                      "\"valid_servers\":\"de1.example.net\"}\r\n"},
        // The plan is valid through its expiry day.
        {"authentication?" + credentials("dora@example.com", "dora-secret"),
         "{\"error_code\":0,\"expiry_date\":\"" + in_days(0) +
             "\",\"expiry_date_in_days\":0,\"plan_name\":\"premium\",\"plan_key\":\"PK-DORA\","
             "\"valid_servers\":\"all\"}\r\n"},
        {"authentication?" + credentials("nobody@example.com", "alice-secret"), "{\"error_code\":1}\r\n"},
        {"authentication?" + credentials("alice@example.com", "wrong"), "{\"error_code\":2}\r\n"},
        {"authentication?" + credentials("carol@example.com", "carol-secret"), "{\"error_code\":3}\r\n"},
        // An expired plan does not tell a guesser that the e-mail exists with
        // another password.
        {"authentication?" + credentials("carol@example.com", "wrong"), "{\"error_code\":2}\r\n"},
        // E-mail addresses compare without regard to case, the hash too.
        {"user_name?" + credentials("ALICE@Example.COM", "alice-secret"),
         "{\"error_code\":0,\"user_name\":\"alice@example.com\"}\r\n"},
        {"user_name?email=alice%40example.com&password=" + lower(hash("alice-secret")) + "&version=Foo",
         "{\"error_code\":0,\"user_name\":\"alice@example.com\"}\r\n"},
        {"authentication?" + credentials("eve@example.com", accounts[5].password),
         "{\"error_code\":0,\"expiry_date\":\"" + in_days(5) +
             "\",\"expiry_date_in_days\":5,\"plan_name\":\"premium\",\"plan_key\":\"\","
             "\"valid_servers\":\"all\"}\r\n"},
        {"server_plan_and_expiry_date?" + alice,
         "{\"error_code\":0,\"plan_name\":\"premium\",\"plan_key\":\"PK-ALICE\",\"expiry_date\":\"" + in_days(30) +
             "\",\"expiry_date_in_days\":30}\r\n"},
        {"server_list?" + alice,
         "[{\"id\":1,\"server_address\":\"de1.example.net\",\"server_name\":\"Frankfurt\","
         "\"country_code\":\"de\",\"is_enabled\":true},"
         "{\"id\":2,\"server_address\":\"es1.example.net\",\"server_name\":\"Madrid\","
         "\"country_code\":\"es\",\"is_enabled\":true},"
         "{\"id\":3,\"server_address\":\"us1.example.net\",\"server_name\":\"New York\","
         "\"country_code\":\"us\",\"is_enabled\":true}]\r\n"},
        {"server_list?" + bob,
         "[{\"id\":1,\"server_address\":\"de1.example.net\",\"server_name\":\"Frankfurt\","
         "\"country_code\":\"de\",\"is_enabled\":true},"
         "{\"id\":2,\"server_address\":\"es1.example.net\",\"server_name\":\"Madrid\","
         "\"country_code\":\"es\",\"is_enabled\":false},"
         "{\"id\":3,\"server_address\":\"us1.example.net\",\"server_name\":\"New York\","
         "\"country_code\":\"us\",\"is_enabled\":false}]\r\n"},
        {"server_list?" + credentials("bob@example.com", "alice-secret"), "{\"error_code\":2}\r\n"},
        {"server_list?" + credentials("carol@example.com", "carol-secret"), "{\"error_code\":3}\r\n"},
        {"server_plan_and_expiry_date?" + credentials("nobody@example.com", "x"), "{\"error_code\":1}\r\n"},
        {"port_numbers?" + credentials("alice@example.com", "alice-secret") + "&server_address=de1.example.net",
         "[1194,443]\r\n"},
        {"port_numbers?" + bob + "&server_address=DE1.example.net", "[1194,443]\r\n"},
        // No ports for a server the plan does not cover, one without ports,
        // or an unknown one.
        {"port_numbers?" + bob + "&server_address=es1.example.net", "[]\r\n"},
        {"port_numbers?" + alice + "&server_address=us1.example.net", "[]\r\n"},
        {"port_numbers?" + alice + "&server_address=xx.example.net", "[]\r\n"},
        {"port_numbers?" + credentials("bob@example.com", "x") + "&server_address=de1.example.net",
         "{\"error_code\":2}\r\n"},
        // The client's parameter order is not required.
        {"port_numbers?version=Foo&server_address=es1.example.net&password=" + hash("alice-secret") +
             "&email=alice%40example.com",
         "[1195]\r\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.request);
        const reply answer = get(r.request);
        ASSERT_EQ(answer.code, CURLE_OK) << curl_easy_strerror(answer.code);
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.content_type, "application/json");
        EXPECT_EQ(answer.body, r.body);
    }
    skip_if_day_changed();
}

// The client's own readers take the documents apart as intended.
TEST_F(AccountServiceTest, ClientReadersUnderstandTheDocuments) {
    const std::string bob = credentials("bob@example.com", "bob-secret");

    const reply signed_in = get("authentication?" + bob);
    pelk_json_authentication authentication = pelk_json_parse_authentication(signed_in.body.c_str());
    EXPECT_EQ(authentication.error_code, 0);
    EXPECT_EQ(authentication.expiry_date_in_days, 365);
    ASSERT_NE(authentication.expiry_date, nullptr);
    EXPECT_STREQ(authentication.expiry_date, in_days(365).c_str());
    ASSERT_NE(authentication.plan_name, nullptr);
    EXPECT_STREQ(authentication.plan_name, "free");
    ASSERT_NE(authentication.valid_servers, nullptr);
    EXPECT_STREQ(authentication.valid_servers, "de1.example.net");
    pelk_json_authentication_clear(&authentication);

    for (int code : {1, 2, 3}) {
        const std::string email = code == 1 ? "nobody@example.com" : "carol@example.com";
        const reply refused = get("authentication?" + credentials(email, code == 2 ? "x" : "carol-secret"));
        pelk_json_authentication record = pelk_json_parse_authentication(refused.body.c_str());
        EXPECT_EQ(record.error_code, code);
        pelk_json_authentication_clear(&record);
    }

    const reply list = get("server_list?" + bob);
    server_entity_container *container = pelk_json_parse_server_list(list.body.c_str());
    ASSERT_NE(container, nullptr) << list.body;
    ASSERT_EQ(server_entity_container_get_items_count(container), 3);
    const struct {
        const char *address, *name, *country;
        int enabled;
    } expected[] = {{"de1.example.net", "Frankfurt", "de", 1},
                    {"es1.example.net", "Madrid", "es", 0},
                    {"us1.example.net", "New York", "us", 0}};
    for (int i = 0; i < 3; ++i) {
        const pelk_dal_server_entity *entity = server_entity_container_get_item_at(container, i);
        EXPECT_STREQ(entity->server_address, expected[i].address);
        EXPECT_STREQ(entity->server_name, expected[i].name);
        EXPECT_STREQ(entity->country_code, expected[i].country);
        EXPECT_EQ(entity->is_enabled != 0, expected[i].enabled != 0);
    }
    server_entity_container_free(container);

    const reply ports = get("port_numbers?" + bob + "&server_address=de1.example.net");
    pelk_json_server_ports port_list = pelk_json_read_server_ports(ports.body.c_str());
    ASSERT_EQ(port_list.ports_count, 2);
    EXPECT_EQ(port_list.ports[0], 1194);
    EXPECT_EQ(port_list.ports[1], 443);
    pelk_json_server_ports_clear(&port_list);

    const reply address = get("remote_address");
    pelk_json_public_ip public_ip = pelk_json_read_public_ip(address.body.c_str());
    ASSERT_NE(public_ip.ip_address, nullptr);
    EXPECT_STREQ(public_ip.ip_address, "127.0.0.1");
    ASSERT_NE(public_ip.country_code, nullptr);
    EXPECT_STREQ(public_ip.country_code, "nl");
    pelk_json_public_ip_clear(&public_ip);
    skip_if_day_changed();
}

TEST_F(AccountServiceTest, RemoteAddressTakesTheLongestPrefixAndIgnoresTheQuery) {
    for (const char *request : {"remote_address", "remote_address?anything=%FF%00&x&x"}) {
        const reply answer = get(request);
        EXPECT_EQ(answer.status, 200) << request;
        EXPECT_EQ(answer.body, "{\"ip\":\"127.0.0.1\",\"country_code\":\"nl\"}\r\n") << request;
    }
}

TEST_F(AccountServiceTest, UnknownPathsAndOtherMethodsAreRefused) {
    const std::string alice = "?" + credentials("alice@example.com", "alice-secret");
    const std::string origin = "https://127.0.0.1:" + std::to_string(service_->port());
    struct row {
        std::string url;
        const char *method;
        long status;
    };
    const row rows[] = {
        {origin + "/", nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/", nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/login" + alice, nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/authentication/" + alice, nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/authentication/x" + alice, nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/Authentication" + alice, nullptr, 404},
        {origin + "/RESTF-1.0.1/rest/api/authentication" + alice, nullptr, 404},
        {origin + "/x/RESTF-1.0.2/rest/api/authentication" + alice, nullptr, 404},
        {origin + "/RESTF-1.0.2/rest/api/authentication" + alice, "POST", 405},
        {origin + "/RESTF-1.0.2/rest/api/server_list" + alice, "PUT", 405},
        {origin + "/RESTF-1.0.2/rest/api/remote_address", "DELETE", 405},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.url);
        const reply answer = fetch(r.url, service_->ca_file(), r.method);
        ASSERT_EQ(answer.code, CURLE_OK) << curl_easy_strerror(answer.code);
        EXPECT_EQ(answer.status, r.status);
        EXPECT_EQ(answer.content_type, "application/json");
        EXPECT_EQ(answer.body.find("error_code"), std::string::npos) << answer.body;
        EXPECT_TRUE(answer.body.ends_with("}\r\n")) << answer.body;
        if (r.status == 405) {
            EXPECT_EQ(answer.allow, "GET");
        }
    }
}

TEST_F(AccountServiceTest, MalformedQueriesGetACleanRefusal) {
    const std::string h = hash("alice-secret");
    const std::string e = "email=alice%40example.com";
    const struct {
        std::string request;
        std::string error;
    } rows[] = {
        {"authentication", "missing email"},
        {"authentication?password=" + h, "missing email"},
        {"authentication?" + e, "missing password"},
        {"authentication?email=&password=" + h, "missing email"},
        {"authentication?" + e + "&password=", "missing password"},
        {"authentication?" + e + "&password=alice-secret", "password must be 32 hexadecimal digits"},
        {"authentication?" + e + "&password=" + h + "0", "password must be 32 hexadecimal digits"},
        {"authentication?" + e + "&password=" + h.substr(0, 31) + "G", "password must be 32 hexadecimal digits"},
        {"port_numbers?" + e + "&password=" + h, "missing server_address"},
        // libsoup refuses a broken escape itself, with an empty 400.
        {"authentication?email=alice%4&password=" + h, ""},
        {"authentication?email=alice%zz&password=" + h, ""},
        {"authentication?email=alice%&password=" + h, ""},
        {"authentication?" + e + "%00x&password=" + h, "control character or invalid UTF-8"},
        {"authentication?" + e + "%0D%0AInjected:%201&password=" + h, "control character or invalid UTF-8"},
        {"authentication?email=%FF%FE&password=" + h, "control character or invalid UTF-8"},
        {"authentication?" + e + "&" + e + "&password=" + h, "repeated key"},
        {"authentication?" + e + "&password=" + h + "&password=" + h, "repeated key"},
        {"authentication?=x&" + e + "&password=" + h, "empty key"},
        {"authentication?email=" + std::string(500, 'a') + "&password=" + h, "value too long"},
        {"authentication?" + e + "&password=" + h + "&pad=" + std::string(4100, 'b'), "query too long"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.request.substr(0, 120));
        const reply answer = get(r.request);
        ASSERT_EQ(answer.code, CURLE_OK) << curl_easy_strerror(answer.code);
        EXPECT_EQ(answer.status, 400);
        if (!r.error.empty()) {
            EXPECT_EQ(answer.content_type, "application/json");
            EXPECT_EQ(answer.body, "{\"error\":\"" + r.error + "\"}\r\n");
        }
        // The client reads a refusal as "no error code", never as success.
        pelk_json_authentication record = pelk_json_parse_authentication(answer.body.c_str());
        EXPECT_EQ(record.error_code, -1);
        pelk_json_authentication_clear(&record);
    }
    const reply after = get("user_name?" + credentials("alice@example.com", "alice-secret"));
    EXPECT_EQ(after.status, 200);
    EXPECT_EQ(after.body, "{\"error_code\":0,\"user_name\":\"alice@example.com\"}\r\n");
}

TEST_F(AccountServiceTest, EmailValuesArePercentDecodedAndPlusStaysPlus) {
    const std::string h = hash("odd-secret");
    const std::string odd = "a+b&c#d e@example.com";
    const struct {
        std::string email_value;
        int error_code;
    } rows[] = {
        {encode(odd), 0},
        {"a%2bb%26c%23d%20e%40example.com", 0},  // lower-case escapes
        {"a+b%26c%23d%20e@example.com", 0},      // a bare '+' is not a space
        {"a%20b%26c%23d%20e%40example.com", 1},  // a space is not a '+'
        {"a+b&c%23d%20e@example.com", 1},        // an unencoded '&' ends the value
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.email_value);
        const reply answer = get("user_name?email=" + r.email_value + "&password=" + h + "&version=Foo");
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.body, r.error_code == 0 ? "{\"error_code\":0,\"user_name\":\"" + odd + "\"}\r\n"
                                                 : "{\"error_code\":" + std::to_string(r.error_code) + "}\r\n");
    }
}

TEST_F(AccountServiceTest, LogNamesEveryRequestButNoPassword) {
    const std::string h = hash("alice-secret");
    get("authentication?" + credentials("alice@example.com", "alice-secret"));
    get("server_list?email=alice%40example.com&password=" + h + "&version=Foo");
    get("authentication?email=alice%40example.com&PassWord=" + h + "&password=alice-secret");
    get("authentication?email=alice%40example.com&p%61ssword=alice-secret%0A");
    get("authentication?email=alice%40example.com%0D%0Aforged%20line&password=" + h);
    get("nothing-here?password=alice-secret");
    get("authentication?email=%zz&password=alice-secret");
    // The refusal libsoup sends by itself is logged just after it leaves.
    EXPECT_TRUE(veltra_test::wait_for(
        [&] { return std::ranges::count(service_->log(), '\n') == 8; }));  // "serving" and seven requests
    const std::string log = service_->log();
    EXPECT_EQ(log.find(h), std::string::npos) << log;
    EXPECT_EQ(log.find(lower(h)), std::string::npos) << log;
    EXPECT_EQ(log.find("alice-secret"), std::string::npos) << log;
    EXPECT_NE(log.find("example.com%0D%0Aforged%20line&password=***\" 400"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.1 \"GET /RESTF-1.0.2/rest/api/authentication?email=alice@example.com"
                       "&password=***&version=Foo\" 200"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\"GET /RESTF-1.0.2/rest/api/nothing-here?password=***\" 404"), std::string::npos) << log;
    // libsoup refuses a broken escape before the request has a URI to show.
    EXPECT_NE(log.find("127.0.0.1 \"GET -\" 400\n"), std::string::npos) << log;
    EXPECT_EQ(std::ranges::count(log, '\n'), 8) << log;
}

TEST_F(AccountServiceTest, TlsPeerIsVerifiedAgainstTheTestCa) {
    TempDir other;
    const std::string untrusted = ReferenceService::make_untrusted_ca(other.path());
    ASSERT_FALSE(untrusted.empty());
    const std::string path = "/RESTF-1.0.2/rest/api/remote_address";
    const std::string port = std::to_string(service_->port());

    EXPECT_EQ(fetch("https://localhost:" + port + path, service_->ca_file()).status, 200);
    const reply refused = fetch("https://127.0.0.1:" + port + path, untrusted);
    EXPECT_EQ(refused.code, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(refused.code);
    EXPECT_TRUE(refused.body.empty());
}

TEST_F(AccountServiceTest, AccountChangesApplyWhileServing) {
    const std::string alice = credentials("alice@example.com", "alice-secret");
    ASSERT_EQ(get("authentication?" + alice).body.find("{\"error_code\":0,"), 0u);
    {
        std::string error;
        std::unique_ptr<AccountStore> store = AccountStore::open(service_->db_file(), false, &error);
        ASSERT_NE(store, nullptr) << error;
        ASSERT_TRUE(store->put_account("alice@example.com", "alice-secret", "premium", "",
                                       today_ - std::chrono::days(1), &error))
            << error;
        ASSERT_TRUE(store->add_port("de1.example.net", 53, &error)) << error;
    }
    EXPECT_EQ(get("authentication?" + alice).body, "{\"error_code\":3}\r\n");
    EXPECT_EQ(
        get("port_numbers?" + credentials("bob@example.com", "bob-secret") + "&server_address=de1.example.net").body,
        "[1194,443,53]\r\n");
    skip_if_day_changed();
}

TEST_F(AccountServiceTest, TermStopsTheServiceCleanly) {
    EXPECT_EQ(service_->stop(), 0);
    EXPECT_NE(service_->log().find("veltra-account-service: stopped\n"), std::string::npos) << service_->log();
    const reply after = get("remote_address");
    EXPECT_NE(after.code, CURLE_OK);
}

// ---------------------------------------------------------------------------
// The program's commands.

class AccountServiceProgram : public ::testing::Test {
  protected:
    int run(std::vector<std::string> args, std::string *output = nullptr) {
        args.insert(args.begin(), ReferenceService::program());
        std::string ignored;
        return veltra_test::run_program(args, output == nullptr ? &ignored : output);
    }

    int verify(const std::string &content) {
        const std::string file = dir_.file("credentials");
        EXPECT_TRUE(g_file_set_contents(file.c_str(), content.data(), static_cast<gssize>(content.size()), nullptr));
        std::string output;
        const int status = run({"verify", "--db", db_, file}, &output);
        verify_output_ += output;
        return status;
    }

    TempDir dir_;
    std::string db_ = dir_.file("accounts.db");
    std::string verify_output_;
};

TEST_F(AccountServiceProgram, CommandsBuildTheDatabaseThatVerifyChecks) {
    ASSERT_EQ(run({"init", "--db", db_}), 0);
    ASSERT_EQ(run({"init", "--db", db_}), 0);  // init again keeps what is there
    ASSERT_EQ(run({"add-account", "--db", db_, "--email", "vpn@example.com", "--password", "open sesame", "--plan",
                   "premium", "--plan-key", "K1", "--expires-in-days", "3"}),
              0);
    ASSERT_EQ(run({"add-account", "--db", db_, "--email=old@example.com", "--password=old-pass", "--plan=premium",
                   "--expires=2001-02-03"}),
              0);
    ASSERT_EQ(run({"add-server", "--db", db_, "--address", "vpn1.example.net", "--name", "One", "--country", "fr",
                   "--plans", "premium,pro"}),
              0);
    ASSERT_EQ(run({"add-port", "--db", db_, "--address", "vpn1.example.net", "--port", "1194"}), 0);
    ASSERT_EQ(run({"add-geo", "--db", db_, "--prefix", "198.18.0.0/15", "--country", "fr"}), 0);

    const struct {
        std::string content;
        int status;
    } rows[] = {
        {"vpn@example.com\nopen sesame\n", 0},
        {"vpn@example.com\r\nopen sesame\r\n", 0},
        {"vpn@example.com\nopen sesame", 0},
        {"VPN@example.com\nopen sesame\n", 0},
        {"vpn@example.com\nopen sesame \n", 1},
        {"vpn@example.com\nOpen sesame\n", 1},
        {"vpn@example.com\n\n", 1},
        {"vpn@example.com\n", 1},
        {"vpn@example.com", 1},
        {"", 1},
        {"nobody@example.com\nopen sesame\n", 1},
        {"old@example.com\nold-pass\n", 1},  // expired
        {std::string("vpn@example.com\nopen\0sesame\n", 28), 1},
        {"vpn@example.com\nopen sesame\n" + std::string(5000, 'x'), 1},
    };
    for (const auto &r : rows) {
        g_autofree char *shown = g_strescape(r.content.substr(0, 60).c_str(), nullptr);
        SCOPED_TRACE(shown);
        EXPECT_EQ(verify(r.content), r.status);
    }
    EXPECT_EQ(verify_output_.find("sesame"), std::string::npos) << verify_output_;
    EXPECT_NE(verify_output_.find("\"vpn@example.com\" accepted"), std::string::npos) << verify_output_;
    EXPECT_NE(verify_output_.find("\"old@example.com\" refused: plan expired"), std::string::npos) << verify_output_;

    std::string output;
    EXPECT_EQ(run({"verify", "--db", db_, dir_.file("missing")}, &output), 1);
    EXPECT_EQ(run({"verify", "--db", dir_.file("no.db"), dir_.file("credentials")}, &output), 1);
    EXPECT_EQ(run({"verify", "--db", db_}, &output), 1);
    EXPECT_EQ(run({"verify"}, &output), 1);
}

TEST_F(AccountServiceProgram, BadCommandsChangeNothing) {
    ASSERT_EQ(run({"init", "--db", db_}), 0);
    ASSERT_EQ(run({"add-server", "--db", db_, "--address", "a.example.net", "--name", "A", "--country", "de"}), 0);
    const std::string before = veltra_test::read_file(db_);
    const struct {
        std::vector<std::string> args;
        int status;
    } rows[] = {
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"init"}, 2},
        {{"init", "--db"}, 2},
        {{"init", "--db", db_, "--db", db_}, 2},
        {{"init", "--db", db_, "stray"}, 2},
        {{"add-port", "--db", db_, "--address", "a.example.net", "--port", "0"}, 2},
        {{"add-port", "--db", db_, "--address", "a.example.net", "--port", "65536"}, 2},
        {{"add-port", "--db", db_, "--address", "a.example.net", "--port", "12ab"}, 2},
        {{"add-port", "--db", db_, "--address", "b.example.net", "--port", "1194"}, 1},
        {{"add-account", "--db", db_, "--email", "x@example.com", "--password", "p", "--plan", "p"}, 2},
        {{"add-account", "--db", db_, "--email", "x@example.com", "--password", "p", "--plan", "p", "--expires-in-days",
          "3", "--expires", "2030-01-01"},
         2},
        {{"add-account", "--db", db_, "--email", "x@example.com", "--password", "p", "--plan", "p", "--expires-in-days",
          "three"},
         2},
        {{"add-account", "--db", db_, "--email", "x@example.com", "--password", "p", "--plan", "p", "--expires",
          "2030-02-30"},
         2},
        {{"add-account", "--db", db_, "--email", "x,y@example.com", "--password", "p", "--plan", "p",
          "--expires-in-days", "3"},
         1},
        {{"add-account", "--db", dir_.file("other.db"), "--email", "x@example.com", "--password", "p", "--plan", "p",
          "--expires-in-days", "3"},
         1},
        {{"add-server", "--db", db_, "--address", "c.example.net", "--name", "C", "--country", "idn"}, 1},
        {{"add-server", "--db", db_, "--address", "c example.net", "--name", "C", "--country", "de"}, 1},
        {{"add-geo", "--db", db_, "--prefix", "10.0.0.1/8", "--country", "de"}, 1},
        {{"serve", "--db", db_, "--cert", dir_.file("none.pem"), "--key", dir_.file("none.key"), "--port", "0"}, 1},
        {{"serve", "--db", db_, "--cert", "c", "--key", "k", "--geo", "10.0.0.0/8"}, 2},
        {{"serve", "--db", db_, "--cert", "c", "--key", "k", "--port", "-1"}, 2},
    };
    for (const auto &r : rows) {
        std::string joined;
        for (const std::string &arg : r.args) {
            joined += arg + " ";
        }
        SCOPED_TRACE(joined);
        std::string output;
        EXPECT_EQ(run(r.args, &output), r.status);
        EXPECT_FALSE(output.empty());
    }
    EXPECT_EQ(veltra_test::read_file(db_), before);
    EXPECT_FALSE(g_file_test(dir_.file("other.db").c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(AccountServiceProgram, HashPasswordPrintsTheNtHash) {
    const std::string file = dir_.file("password");
    ASSERT_TRUE(g_file_set_contents(file.c_str(), "demo-password\n", -1, nullptr));
    g_autofree char *out = nullptr;
    int status = 0;
    const std::string command = "'" + ReferenceService::program() + "' hash-password < '" + file + "'";
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out,
                             nullptr, &status, nullptr));
    EXPECT_EQ(std::string(out), hash("demo-password") + "\n");
}

// ---------------------------------------------------------------------------
// The service's parts without the network.

TEST(AccountQuery, ParsesDecodesAndRefuses) {
    using values = std::map<std::string, std::string>;
    const struct {
        const char *raw;
        bool ok;
        values expected;
        const char *error;
    } rows[] = {
        {nullptr, true, {}, ""},
        {"", true, {}, ""},
        {"a=1&b=2", true, {{"a", "1"}, {"b", "2"}}, ""},
        {"a=1&&b=2&", true, {{"a", "1"}, {"b", "2"}}, ""},
        {"flag", true, {{"flag", ""}}, ""},
        {"a=x=y", true, {{"a", "x=y"}}, ""},
        {"a=1+2%2B3", true, {{"a", "1+2+3"}}, ""},
        {"e%6Dail=%E2%82%AC", true, {{"email", "\xE2\x82\xAC"}}, ""},
        {"a=%", false, {}, "malformed percent escape"},
        {"a=%4", false, {}, "malformed percent escape"},
        {"a=%G0", false, {}, "malformed percent escape"},
        {"%zz=1", false, {}, "malformed percent escape"},
        {"a=%7F", false, {}, "control character or invalid UTF-8"},
        {"a=%09", false, {}, "control character or invalid UTF-8"},
        {"a=%C3%28", false, {}, "control character or invalid UTF-8"},
        {"a=%ED%A0%80", false, {}, "control character or invalid UTF-8"},  // UTF-16 surrogate
        {"=1", false, {}, "empty key"},
        {"a=1&a=1", false, {}, "repeated key"},
        {"a=1&%61=2", false, {}, "repeated key"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.raw == nullptr ? "(null)" : r.raw);
        values parsed;
        std::string error;
        EXPECT_EQ(account_query_parse(r.raw, &parsed, &error), r.ok);
        if (r.ok) {
            EXPECT_EQ(parsed, r.expected);
        } else {
            EXPECT_EQ(error, r.error);
        }
    }
    values parsed;
    std::string error;
    EXPECT_TRUE(account_query_parse(("a=" + std::string(499, 'x')).c_str(), &parsed, &error));
    EXPECT_FALSE(account_query_parse(("a=" + std::string(500, 'x')).c_str(), &parsed, &error));
    EXPECT_EQ(error, "value too long");
    EXPECT_FALSE(account_query_parse((std::string(500, 'k') + "=1").c_str(), &parsed, &error));
    EXPECT_EQ(error, "value too long");
    EXPECT_TRUE(account_query_parse(std::string(4096, '&').c_str(), &parsed, &error));
    EXPECT_FALSE(account_query_parse(std::string(4097, '&').c_str(), &parsed, &error));
    EXPECT_EQ(error, "query too long");
}

TEST(AccountQuery, MaskingHidesPasswordsAndNeutralisesBytes) {
    const struct {
        const char *raw;
        const char *shown;
    } rows[] = {
        {"email=a%40b&password=ABCDEF&version=Foo", "email=a%40b&password=***&version=Foo"},
        {"password=", "password=***"},
        {"PASSWORD=x&Password=y", "PASSWORD=***&Password=***"},
        {"p%61ssword=x", "p%61ssword=***"},
        {"old_password=x", "old_password=***"},
        {"p%zzassword=x", "p%zzassword=***"},  // cannot be decoded: masked
        {"password", "password"},
        {"a=1\r\nb=2", "a=1%0D%0Ab=2"},
        {"a=\xC3\xA4 b", "a=%C3%A4%20b"},
        {"", ""},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(account_query_masked(r.raw), r.shown) << r.raw;
    }
    const std::string long_query = "a=" + std::string(3000, 'x') + "&password=secret";
    const std::string shown = account_query_masked(long_query.c_str());
    EXPECT_EQ(shown.size(), 1027u);
    EXPECT_TRUE(shown.ends_with("..."));
    EXPECT_EQ(shown.find("secret"), std::string::npos);
}

TEST(AccountDocuments, ValidServersStayShorterThan500Bytes) {
    account_record account;
    EXPECT_EQ(account_documents_valid_servers(account), "");
    account.server_addresses = {"a.example", "b.example"};
    EXPECT_EQ(account_documents_valid_servers(account), "a.example b.example");
    account.all_servers = true;
    EXPECT_EQ(account_documents_valid_servers(account), "all");
    account.all_servers = false;

    // Nine-byte addresses: 50 of them fill 499 bytes exactly.
    for (size_t count : {49u, 50u, 51u, 60u, 200u}) {
        SCOPED_TRACE(count);
        account.server_addresses.clear();
        for (size_t i = 0; i < count; ++i) {
            char address[32];
            std::snprintf(address, sizeof address, "s%03zu.test", i);
            account.server_addresses.push_back(address);
        }
        const std::string value = account_documents_valid_servers(account);
        EXPECT_LE(value.size(), ACCOUNT_DOCUMENTS_MAX_VALUE);
        if (count <= 50) {
            EXPECT_EQ(value.size(), count * 10 - 1);
            EXPECT_EQ(value.find('+'), std::string::npos);
            continue;
        }
        // Whole addresses, then how many were left out.
        const size_t plus = value.rfind(" +");
        ASSERT_NE(plus, std::string::npos) << value;
        const size_t shown =
            static_cast<size_t>(std::count(value.begin(), value.begin() + static_cast<long>(plus), ' ')) + 1;
        EXPECT_EQ(plus, shown * 10 - 1) << value;
        EXPECT_EQ(shown + std::stoul(value.substr(plus + 2)), count) << value;
    }
}

TEST(AccountDocuments, ErrorAndFailureDocumentsStayValidJson) {
    EXPECT_EQ(account_documents_error(-7), "{\"error_code\":-7}\r\n");
    EXPECT_EQ(account_documents_failure("a\"b\\c\n"), "{\"error\":\"a\\u0022b\\u005cc\\u000a\"}\r\n");
    EXPECT_EQ(account_documents_server_list({}), "[]\r\n");
    EXPECT_EQ(account_documents_ports({}), "[]\r\n");
}

TEST(AccountStoreGeo, LongestPrefixWinsAndUnknownGetsTheFallback) {
    const std::vector<account_geo_prefix> table = {
        {"198.18.0.0/15", "de"}, {"198.18.2.0/24", "nl"}, {"198.18.2.0/24", "fr"},
        {"2001:db8::/32", "us"}, {"0.0.0.0/0", "eu"},
    };
    const struct {
        const char *ip;
        const char *country;
    } rows[] = {
        {"198.18.1.9", "de"},  {"198.19.255.255", "de"}, {"198.18.2.7", "nl"},     {"198.20.0.1", "eu"},
        {"2001:db8::1", "us"}, {"2001:db9::1", "zz"},    {"not an address", "zz"}, {"", "zz"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(account_store_geo_country(table, r.ip, "zz"), r.country) << r.ip;
    }
    EXPECT_EQ(account_store_geo_country({}, "10.0.0.1", "zz"), "zz");
}

TEST(AccountStoreDates, OnlyRealIsoDatesAreTaken) {
    const struct {
        const char *text;
        bool ok;
    } rows[] = {
        {"2024-02-29", true},  {"2023-02-29", false},  {"2025-13-01", false},  {"2025-00-10", false},
        {"2025-1-01", false},  {"2025-01-01x", false}, {" 2025-01-01", false}, {"", false},
        {"+025-01-01", false}, {"2025/01/01", false},
    };
    for (const auto &r : rows) {
        std::chrono::sys_days day;
        EXPECT_EQ(account_store_parse_date(r.text, &day), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(account_store_date_text(day), r.text);
        }
    }
}

TEST(AccountStoreInput, TextsTheClientCannotReadAreRefused) {
    TempDir dir;
    std::string error;
    std::unique_ptr<AccountStore> store = AccountStore::open(dir.file("a.db"), true, &error);
    ASSERT_NE(store, nullptr) << error;
    const auto day = account_store_today();
    const struct {
        std::string email, password, plan, key;
    } accounts[] = {
        {"", "p", "plan", ""},
        {"a\"b@example.com", "p", "plan", ""},
        {"a\\b@example.com", "p", "plan", ""},
        {"a,b@example.com", "p", "plan", ""},
        {"a}b@example.com", "p", "plan", ""},
        {"a\nb@example.com", "p", "plan", ""},
        {"\xFF@example.com", "p", "plan", ""},
        {std::string(255, 'a'), "p", "plan", ""},
        {"a@example.com", "", "plan", ""},
        {"a@example.com", std::string(513, 'p'), "plan", ""},
        {"a@example.com", "\xC3", "plan", ""},
        {"a@example.com", "p", "", ""},
        {"a@example.com", "p", "plan_name", ""},
        {"a@example.com", "p", "gold,silver", ""},
        {"a@example.com", "p", "plan", "expiry_date"},
        {"a@example.com", "p", "plan", std::string(101, 'k')},
    };
    for (const auto &a : accounts) {
        EXPECT_FALSE(store->put_account(a.email, a.password, a.plan, a.key, day, &error))
            << a.email << " / " << a.plan << " / " << a.key;
    }
    const account_new_server servers[] = {
        {"", "Name", "de", true, {}},
        {"bad address", "Name", "de", true, {}},
        {"bad_address", "Name", "de", true, {}},
        {std::string(254, 'a'), "Name", "de", true, {}},
        {"ok.example", "", "de", true, {}},
        {"ok.example", "Name \"quoted\"", "de", true, {}},
        {"ok.example", "Name {x}", "de", true, {}},
        {"ok.example", "server_address", "de", true, {}},
        {"ok.example", "Name", "DE", true, {}},
        {"ok.example", "Name", "deu", true, {}},
        {"ok.example", "Name", "de", false, {}},
        {"ok.example", "Name", "de", false, {"is_enabled"}},
    };
    for (const auto &s : servers) {
        EXPECT_FALSE(store->put_server(s, &error)) << s.address << " / " << s.name << " / " << s.country_code;
    }
    EXPECT_FALSE(store->put_geo_prefix("10.0.0.0/33", "de", &error));
    EXPECT_FALSE(store->put_geo_prefix("example.com", "de", &error));
    EXPECT_FALSE(store->put_geo_prefix("10.0.0.0/8", "DE", &error));
    EXPECT_TRUE(store->put_geo_prefix("10.0.0.0/8", "id", &error)) << error;

    std::vector<account_server_entry> listed;
    ASSERT_TRUE(store->server_list("plan", &listed));
    EXPECT_TRUE(listed.empty());
    account_record record;
    EXPECT_EQ(store->check("a@example.com", hash("p"), day, &record), ACCOUNT_STORE_UNKNOWN_EMAIL);
}

TEST(AccountStoreInput, PortListsAndServerCountStayReadable) {
    TempDir dir;
    std::string error;
    std::unique_ptr<AccountStore> store = AccountStore::open(dir.file("a.db"), true, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_TRUE(store->put_server({"vpn.example", "VPN", "de", true, {}}, &error)) << error;
    EXPECT_FALSE(store->add_port("vpn.example", 0, &error));
    EXPECT_FALSE(store->add_port("vpn.example", 65536, &error));
    int port = 10000;
    while (store->add_port("vpn.example", port, &error)) {
        ++port;
        ASSERT_LT(port, 10200) << "the port list never filled";
    }
    EXPECT_NE(error.find("too many ports"), std::string::npos) << error;
    std::vector<int> ports;
    ASSERT_TRUE(store->ports("vpn.example", "any", &ports));
    EXPECT_LE(account_documents_ports(ports).size(), ACCOUNT_DOCUMENTS_MAX_PORTS_DOCUMENT);
    EXPECT_GT(account_documents_ports(ports).size() + 6, ACCOUNT_DOCUMENTS_MAX_PORTS_DOCUMENT);
    EXPECT_TRUE(store->add_port("vpn.example", 10000, &error)) << "a listed port is not added twice";
    ASSERT_TRUE(store->ports("vpn.example", "any", &ports));
    EXPECT_EQ(ports.front(), 10000);
    EXPECT_EQ(std::count(ports.begin(), ports.end(), 10000), 1);

    for (int i = 1; i < ACCOUNT_STORE_MAX_SERVERS; ++i) {
        ASSERT_TRUE(store->put_server({"s" + std::to_string(i) + ".example", "S", "de", true, {}}, &error)) << error;
    }
    EXPECT_FALSE(store->put_server({"one-too-many.example", "S", "de", true, {}}, &error));
    // Changing a listed server is still allowed.
    EXPECT_TRUE(store->put_server({"s1.example", "Renamed", "nl", true, {}}, &error)) << error;
    std::vector<account_server_entry> listed;
    ASSERT_TRUE(store->server_list("any", &listed));
    ASSERT_EQ(listed.size(), static_cast<size_t>(ACCOUNT_STORE_MAX_SERVERS));
    EXPECT_EQ(listed[1].name, "Renamed");
    EXPECT_EQ(listed[1].id, 2);
}

TEST(AccountStoreOpen, RefusesWhatIsNotAnAccountDatabase) {
    TempDir dir;
    std::string error;
    EXPECT_EQ(AccountStore::open(dir.file("missing.db"), false, &error), nullptr);
    ASSERT_TRUE(g_file_set_contents(dir.file("text.db").c_str(), "not a database at all, just some text", -1, nullptr));
    EXPECT_EQ(AccountStore::open(dir.file("text.db"), true, &error), nullptr);
    EXPECT_EQ(AccountStore::open(dir.file("text.db"), false, &error), nullptr);
    ASSERT_NE(AccountStore::open(dir.file("empty.db"), true, &error), nullptr);
    EXPECT_NE(AccountStore::open(dir.file("empty.db"), false, &error), nullptr);
}

}  // namespace
