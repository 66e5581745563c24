// The HTTPS transport against the reference account service and against a
// scripted server for the replies the service never gives.

#include "service/http_manager.h"
#include "service/http_manager_internal.h"
#include "service/ntlm.h"
#include "service/service_api.h"
#include "service/service_api_internal.h"

#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/reference_service.h"
#include "support/scripted_https_server.h"
#include "support/test_util.h"

#include <curl/curl.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using veltra_test::ReferenceService;
using veltra_test::ReplyPiece;
using veltra_test::ScriptedHttpsServer;
using veltra_test::ScriptedReply;

constexpr char kApiPath[] = "/RESTF-1.0.2/rest/api/";

struct response_deleter {
    void operator()(http_response *response) const { http_response_free(response); }
};
using response_ptr = std::unique_ptr<http_response, response_deleter>;

struct Seen {
    int status;
    std::string body;
};

// What the response callback saw, per record, from any thread.
std::mutex seen_lock;
std::map<const http_response *, std::vector<Seen>> seen;

int record_response(http_response *response) {
    std::lock_guard<std::mutex> guard(seen_lock);
    seen[response].push_back({response->status_code, response->body});
    return 0;
}

struct Outcome {
    int rc = -1;
    int status = 0;
    std::string body;         // the record's body after the exchange
    std::vector<Seen> calls;  // one entry per run of the response callback
};

Outcome exchange(const std::string &url) {
    response_ptr response(http_response_new(record_response));
    Outcome outcome;
    outcome.rc = http_manager_url_exec(url.c_str(), response.get());
    outcome.status = response->status_code;
    outcome.body = response->body;
    std::lock_guard<std::mutex> guard(seen_lock);
    outcome.calls = seen[response.get()];
    seen.erase(response.get());
    return outcome;
}

Outcome exchange(char *built_url) {
    pelk_owned_text url(built_url);
    if (!url) {
        ADD_FAILURE() << "the builder gave no URL";
        return {};
    }
    return exchange(std::string(url.get()));
}

// The same GET done with libcurl directly, as an independent witness.
std::string plain_fetch(const std::string &url, const std::string &ca_file) {
    std::string body;
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char *data, size_t size, size_t count, void *out) {
            static_cast<std::string *>(out)->append(data, size * count);
            return size * count;
        });
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    EXPECT_EQ(rc, CURLE_OK) << url;
    return body;
}

std::string failure_line(CURLcode code) {
    return std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n";
}

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pelk_global_variables_init((dir_.path() + "/veltra").c_str());
        http_manager_timeouts_override(10 * 1000, 30 * 1000);
    }
    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }

    // Points the client at server with its CA trusted.
    void use(const ScriptedHttpsServer &server) {
        http_manager_base_url_override(server.url(kApiPath).c_str());
        http_manager_ca_file_override(server.ca_file().c_str());
    }
    void use(const ReferenceService &service) {
        http_manager_base_url_override(service.base_url().c_str());
        http_manager_ca_file_override(service.ca_file().c_str());
    }
    // Waits until the client has logged a body piece.
    std::function<bool()> logged(const std::string &text) const {
        const std::string path = pelk_global_variable_dev_log_path();
        return [path, text] { return veltra_test::read_file(path).find(text) != std::string::npos; };
    }

    veltra_test::TempDir dir_;
};

std::unique_ptr<ScriptedHttpsServer> scripted(std::vector<std::string> pieces) {
    ScriptedReply reply;
    for (auto &piece : pieces) {
        reply.pieces.push_back({std::move(piece), nullptr});
    }
    return ScriptedHttpsServer::start(std::move(reply));
}

// ---------------------------------------------------------------- service

const char kEmail[] = "user@example.com";
const char kPassword[] = "correct horse 1";
const char kOddEmail[] = "a+b&c#d e@example.com";
const char kOddPassword[] = "p\xc3\xa4ss word with more than twenty-seven bytes";

std::unique_ptr<ReferenceService> start_service() {
    veltra_test::ServiceServer server;
    server.address = "vpn-1.test";
    server.name = "Alpha";
    server.country = "de";
    server.ports = {1194, 443};
    return ReferenceService::start(
        {{kEmail, kPassword, "premium", "p1", 30}, {kOddEmail, kOddPassword, "premium", "p1", 30}}, {server});
}

TEST_F(TransportTest, EveryMethodsReplyReachesTheCallbackIntact) {
    auto service = start_service();
    ASSERT_NE(service, nullptr);
    use(*service);
    pelk_owned_text digest(pelk_ntlm_encrypt(kPassword));

    struct Case {
        const char *name;
        char *url;
        const char *must_contain;
    };
    const Case cases[] = {
        {"authentication", http_manager_method_authentication_url_new(kEmail, digest.get()), "\"error_code\":0"},
        {"server_list", http_manager_method_server_list_url_new(kEmail, digest.get()),
         "\"server_address\":\"vpn-1.test\""},
        {"plan", http_manager_method_server_plan_and_expiry_date_url_new(kEmail, digest.get()), ""},
        {"user_name", http_manager_method_user_name_url_new(kEmail, digest.get()), ""},
        {"port_numbers", http_manager_method_port_numbers_url_new(kEmail, digest.get(), "vpn-1.test"), "1194"},
    };
    for (const auto &c : cases) {
        pelk_owned_text url(c.url);
        ASSERT_NE(url, nullptr) << c.name;
        const Outcome outcome = exchange(std::string(url.get()));
        EXPECT_EQ(outcome.rc, 0) << c.name;
        ASSERT_EQ(outcome.calls.size(), 1u) << c.name;
        EXPECT_EQ(outcome.calls[0].status, 200) << c.name;
        EXPECT_EQ(outcome.calls[0].body, plain_fetch(url.get(), service->ca_file())) << c.name;
        EXPECT_NE(outcome.calls[0].body.find(c.must_contain), std::string::npos)
            << c.name << ": " << outcome.calls[0].body;
        ASSERT_GE(outcome.calls[0].body.size(), 2u);
        EXPECT_EQ(outcome.calls[0].body.substr(outcome.calls[0].body.size() - 2), "\r\n");
    }

    const Outcome ip = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(ip.rc, 0);
    ASSERT_EQ(ip.calls.size(), 1u);
    EXPECT_NE(ip.calls[0].body.find("127.0.0.1"), std::string::npos) << ip.calls[0].body;

    // The digest stands for the password: it is sent, never logged.
    const std::string log = dev_log();
    EXPECT_EQ(log.find(digest.get()), std::string::npos);
    EXPECT_NE(log.find("password=***"), std::string::npos);
    EXPECT_NE(log.find("curl_easy_perform() success!\n"), std::string::npos);
}

TEST_F(TransportTest, AnEmailWithQuerySignsArrivesAsTyped) {
    auto service = start_service();
    ASSERT_NE(service, nullptr);
    use(*service);
    pelk_owned_text digest(pelk_ntlm_encrypt(kOddPassword));

    struct Case {
        const char *email;
        const char *error_code;
    };
    const Case cases[] = {
        {kOddEmail, "\"error_code\":0"},
        // What an unencoded query would have turned the address into.
        {"a b", "\"error_code\":1"},
        {"a b&c#d e@example.com", "\"error_code\":1"},
    };
    for (const auto &c : cases) {
        const Outcome outcome = exchange(http_manager_method_authentication_url_new(c.email, digest.get()));
        EXPECT_EQ(outcome.rc, 0) << c.email;
        ASSERT_EQ(outcome.calls.size(), 1u) << c.email;
        EXPECT_NE(outcome.calls[0].body.find(c.error_code), std::string::npos)
            << c.email << ": " << outcome.calls[0].body;
    }
}

TEST_F(TransportTest, AnUntrustedCertificateFailsWithLibcurlsMessage) {
    auto service = start_service();
    ASSERT_NE(service, nullptr);
    use(*service);
    veltra_test::TempDir other;
    ASSERT_TRUE(veltra_test::make_test_certificates(other.path(), "DNS:localhost,IP:127.0.0.1"));

    // Another CA, then the system's bundle: neither vouches for the service.
    for (const std::string &ca_file : {other.file("ca.pem"), std::string()}) {
        http_manager_ca_file_override(ca_file.c_str());
        const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
        EXPECT_EQ(outcome.rc, int(CURLE_PEER_FAILED_VERIFICATION)) << ca_file;
        EXPECT_TRUE(outcome.calls.empty());
    }
    EXPECT_NE(dev_log().find(failure_line(CURLE_PEER_FAILED_VERIFICATION)), std::string::npos) << dev_log();
}

TEST_F(TransportTest, ConcurrentExchangesEachSeeTheirOwnReply) {
    auto service = start_service();
    ASSERT_NE(service, nullptr);
    use(*service);
    const std::string url = http_manager_method_get_public_ip_url();
    std::vector<Outcome> outcomes(12);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3; ++i) {
                outcomes[size_t(t * 3 + i)] = exchange(url);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    for (const auto &outcome : outcomes) {
        EXPECT_EQ(outcome.rc, 0);
        ASSERT_EQ(outcome.calls.size(), 1u);
        EXPECT_EQ(outcome.calls[0].body, outcomes[0].calls[0].body);
    }
}

// ------------------------------------------------------- scripted replies

TEST_F(TransportTest, ARedirectIsNotFollowed) {
    // The reply points back at the server itself, so following it would
    // show as a second request.
    auto server = scripted({std::string("HTTP/1.1 302 Found\r\nLocation: ") + kApiPath +
                            "elsewhere\r\nContent-Length: 7\r\nConnection: close\r\n\r\nmoved\r\n"});
    ASSERT_NE(server, nullptr);
    use(*server);

    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(outcome.rc, 0);
    EXPECT_EQ(outcome.status, 302);
    ASSERT_EQ(outcome.calls.size(), 1u);
    EXPECT_EQ(outcome.calls[0].status, 302);
    EXPECT_EQ(outcome.calls[0].body, "moved\r\n");
    EXPECT_EQ(server->requests().size(), 1u);
}

TEST_F(TransportTest, ZeroContentLengthRunsTheCallbackOnceWithAnEmptyBody) {
    auto server = scripted({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"});
    ASSERT_NE(server, nullptr);
    use(*server);
    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(outcome.rc, 0);
    ASSERT_EQ(outcome.calls.size(), 1u);
    EXPECT_EQ(outcome.calls[0].status, 200);
    EXPECT_EQ(outcome.calls[0].body, "");
    EXPECT_NE(dev_log().find("H:\r\nend of header reached\nbody lenght = 0\n"), std::string::npos);
}

TEST_F(TransportTest, StatusAndBodyRules) {
    struct Case {
        const char *name;
        std::string reply;
        int status;
        int calls;
        const char *body;
    };
    const Case cases[] = {
        {"500 keeps the body empty but still answers",
         "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 13\r\n\r\n{\"error\":1}\r\n", 500, 1, ""},
        {"404 is handed on as it is", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nno\r\n", 404, 1, "no\r\n"},
        {"no line end: no callback", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 200, 0, "hello"},
        {"lower-case length zero: no callback", "HTTP/1.1 200 OK\r\ncontent-length: 0\r\nConnection: close\r\n\r\n",
         200, 0, ""},
        {"length read up to the close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"ip\":\"1.2.3.4\"}\r\n", 200, 1,
         "{\"ip\":\"1.2.3.4\"}\r\n"},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n[80,\r\n4\r\n443]\r\n2\r\n\r\n\r\n0\r\n\r\n", 200,
         1, "[80,443]\r\n"},
    };
    for (const auto &c : cases) {
        auto server = scripted({c.reply});
        ASSERT_NE(server, nullptr) << c.name;
        use(*server);
        const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
        EXPECT_EQ(outcome.rc, 0) << c.name;
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.body, c.body) << c.name;
        ASSERT_EQ(int(outcome.calls.size()), c.calls) << c.name;
        if (c.calls == 1) {
            EXPECT_EQ(outcome.calls[0].body, c.body) << c.name;
            EXPECT_EQ(outcome.calls[0].status, c.status) << c.name;
        }
    }
}

TEST_F(TransportTest, ABodyInSeveralPiecesReachesTheCallbackOnceAndWhole) {
    // Every piece is sent only once the client has logged the one before, so
    // each really arrives on its own. The middle piece ends a line already.
    const std::string body = "[80,\r\n443,\r\n1194]\r\n";
    ScriptedReply reply;
    reply.pieces.push_back(
        {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n[80,\r\n", nullptr});
    reply.pieces.push_back({"443,\r\n1194]\r", logged("C:[80,\r\n")});
    reply.pieces.push_back({"\n", logged("C:443,\r\n1194]\r")});
    auto server = ScriptedHttpsServer::start(reply);
    ASSERT_NE(server, nullptr);
    use(*server);

    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(outcome.rc, 0);
    ASSERT_EQ(outcome.calls.size(), 1u);
    EXPECT_EQ(outcome.calls[0].body, body);
    EXPECT_NE(dev_log().find("C:[80,\r\nC:443,\r\n1194]\rC:\n"), std::string::npos) << dev_log();
}

TEST_F(TransportTest, ABodyCutShortIsNeverHandedOn) {
    auto server =
        scripted({"HTTP/1.1 200 OK\r\nContent-Length: 60\r\nConnection: close\r\n\r\n{\"error_code\":0}\r\n"});
    ASSERT_NE(server, nullptr);
    use(*server);
    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(outcome.rc, int(CURLE_PARTIAL_FILE));
    EXPECT_TRUE(outcome.calls.empty());
    EXPECT_NE(dev_log().find(failure_line(CURLE_PARTIAL_FILE)), std::string::npos) << dev_log();
}

TEST_F(TransportTest, AServerThatNeverAnswersTimesOut) {
    ScriptedReply reply;
    reply.never_answer = true;
    auto server = ScriptedHttpsServer::start(reply);
    ASSERT_NE(server, nullptr);
    use(*server);
    http_manager_timeouts_override(1000, 1000);

    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.rc, int(CURLE_OPERATION_TIMEDOUT));
    EXPECT_TRUE(outcome.calls.empty());
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(server->requests().size(), 1u);
    EXPECT_NE(dev_log().find(failure_line(CURLE_OPERATION_TIMEDOUT)), std::string::npos);
}

TEST_F(TransportTest, ACertificateForAnotherHostIsRefused) {
    auto server = ScriptedHttpsServer::start({{{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n{}\r\n", nullptr}}, false},
                                             "DNS:other.example");
    ASSERT_NE(server, nullptr);
    use(*server);
    const Outcome outcome = exchange(std::string(http_manager_method_get_public_ip_url()));
    EXPECT_EQ(outcome.rc, int(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(outcome.calls.empty());
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(TransportTest, TheRequestCarriesTheEncodedQueryAndNothingElse) {
    auto server = scripted({"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n{}\r\n"});
    ASSERT_NE(server, nullptr);
    use(*server);
    const Outcome outcome = exchange(http_manager_method_port_numbers_url_new(kOddEmail, "ABC", "h&x=1"));
    EXPECT_EQ(outcome.rc, 0);
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string request_line = requests[0].substr(0, requests[0].find("\r\n"));
    EXPECT_EQ(request_line, std::string("GET ") + kApiPath +
                                "port_numbers?email=a%2Bb%26c%23d%20e@example.com&password=ABC"
                                "&server_address=h%26x%3D1&version=Foo HTTP/1.1");
    // Decoding the value gives back what was typed.
    const size_t start = request_line.find("email=") + 6;
    const std::string value = request_line.substr(start, request_line.find('&', start) - start);
    g_autofree char *decoded = g_uri_unescape_string(value.c_str(), nullptr);
    EXPECT_STREQ(decoded, kOddEmail);
}

TEST_F(TransportTest, AClosedPortFailsWithLibcurlsMessage) {
    std::string url;
    {
        auto server = scripted({});
        ASSERT_NE(server, nullptr);
        url = server->url(std::string(kApiPath) + "remote_address");
        http_manager_ca_file_override(server->ca_file().c_str());
    }
    const Outcome outcome = exchange(url);
    EXPECT_EQ(outcome.rc, int(CURLE_COULDNT_CONNECT));
    EXPECT_TRUE(outcome.calls.empty());
    EXPECT_NE(dev_log().find(failure_line(CURLE_COULDNT_CONNECT)), std::string::npos);
}

}  // namespace
