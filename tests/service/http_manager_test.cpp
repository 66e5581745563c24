#include "service/http_manager.h"
#include "service/http_manager_internal.h"

#include "base/global_variables.h"
#include "base/owned_text.h"
#include "support/test_util.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct response_deleter {
    void operator()(http_response *response) const { http_response_free(response); }
};
using response_ptr = std::unique_ptr<http_response, response_deleter>;

// What the response callback saw, one entry per call.
struct Seen {
    int status;
    std::string body;
};
thread_local std::vector<Seen> seen;

int record_response(http_response *response) {
    seen.push_back({response->status_code, response->body});
    return 0;
}

class HttpManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pelk_global_variables_init((dir_.path() + "/veltra").c_str());
        seen.clear();
    }
    std::string dev_log() const { return veltra_test::read_file(pelk_global_variable_dev_log_path()); }

    // Feeds one header line or body piece the way libcurl does.
    static size_t header(http_response *response, const std::string &line) {
        std::string copy = line;  // libcurl's buffer is not NUL-terminated
        return writeHeaderFunction(copy.data(), 1, copy.size(), response);
    }
    static size_t content(http_response *response, const std::string &piece) {
        std::string copy = piece;
        return writeContentFunction(copy.data(), 1, copy.size(), response);
    }

    veltra_test::TempDir dir_;
};

TEST(HttpManagerParsers, StatusNumberOfHeaderLines) {
    struct Case {
        const char *line;
        int status;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n", 200},
        {"HTTP/1.1 302 Found\r\n", 302},
        {"HTTP/1.1 500 Internal Server Error\r\n", 500},
        {"HTTP/2 404 \r\n", 404},
        {"HTTP/1.0 204\r\n", 204},
        {"404", 404},         // no space: converted from the start
        {"HTTP/1.1\r\n", 0},  // no space, no digits
        {"Content-Type: text/html\r\n", 0},
        {"Content-Length: 17\r\n", 17},  // any line yields its number while none was found
        {"HTTP/1.1 -200 OK\r\n", 0},     // no sign accepted
        {"HTTP/1.1 +200 OK\r\n", 0},
        {"HTTP/1.1 99999999999999999999 OK\r\n", 0},  // overflow is no status
        {"HTTP/1.1 2147483647\r\n", 2147483647},
        {"HTTP/1.1 2147483648\r\n", 0},
        {"HTTP/1.1 2OO OK\r\n", 2},  // conversion stops at the first non-digit
        {"\r\n", 0},
        {"", 0},
        {" ", 0},
        {"\xff\xfe garbage", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(try_to_read_response_error_code(c.line), c.status) << c.line;
    }
    EXPECT_EQ(try_to_read_response_error_code(nullptr), 0);
}

TEST(HttpManagerParsers, BodyLengthOfHeaderLines) {
    struct Case {
        const char *line;
        int length;
    };
    const Case cases[] = {
        {"Content-Length: 0\r\n", 0},
        {"Content-Length: 57\r\n", 57},
        {"Content-Length: 57", 57},
        {"Content-Length: 57 \r\n", 57},
        {"content-length: 57\r\n", -1},  // lower case is not recognised
        {"CONTENT-LENGTH: 57\r\n", -1},
        {"Content-Length:57\r\n", -1},  // exactly one space
        {"Content-Length:  57\r\n", -1},
        {" Content-Length: 57\r\n", -1},
        {"Content-Length: \r\n", -1},
        {"Content-Length: -1\r\n", -1},
        {"Content-Length: abc\r\n", -1},  // garbage is no length (not 0)
        {"Content-Length: 12abc\r\n", -1},
        {"Content-Length: 0x10\r\n", -1},
        {"Content-Length: 99999999999\r\n", -1},
        {"Content-Length: 2147483647\r\n", 2147483647},
        {"Content-Length", -1},
        {"HTTP/1.1 200 OK\r\n", -1},
        {"", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(try_to_read_response_body_lenght(c.line), c.length) << c.line;
    }
    EXPECT_EQ(try_to_read_response_body_lenght(nullptr), -1);
}

TEST(HttpResponse, NewRecordStartsEmpty) {
    response_ptr response(http_response_new(record_response));
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->status_code, 0);
    EXPECT_STREQ(response->body, "");
    EXPECT_EQ(response->body_length, -1);
    EXPECT_EQ(response->on_response_got, record_response);
}

TEST(HttpResponse, AppendKeepsTextUnlessStatusIs500) {
    struct Case {
        int status;
        std::vector<const char *> pieces;
        const char *body;
    };
    const Case cases[] = {
        {200, {"{\"a\":", "1}\r\n"}, "{\"a\":1}\r\n"},
        {0, {"x", "", "y"}, "xy"},
        {302, {"moved"}, "moved"},
        {404, {"not found"}, "not found"},
        {500, {"{\"error\":1}\r\n"}, ""},
        {500, {"a", "b"}, ""},
        {501, {"kept"}, "kept"},
    };
    for (const auto &c : cases) {
        response_ptr response(http_response_new(nullptr));
        response->status_code = c.status;
        for (const char *piece : c.pieces) {
            http_response_append(response.get(), piece);
        }
        EXPECT_STREQ(response->body, c.body) << c.status;
    }
}

TEST(HttpResponse, NullArgumentsAreIgnored) {
    http_response_append(nullptr, "x");
    http_response_set_body_length(nullptr, 3);
    http_response_raise_on_response_got(nullptr);
    http_response_free(nullptr);
    response_ptr response(http_response_new(nullptr));
    http_response_append(response.get(), nullptr);
    EXPECT_STREQ(response->body, "");
    http_response_raise_on_response_got(response.get());  // no callback set: nothing runs
}

TEST(HttpResponse, RaiseRunsTheCallbackWithTheRecord) {
    seen.clear();
    response_ptr response(http_response_new(record_response));
    response->status_code = 200;
    http_response_append(response.get(), "[1,2]\r\n");
    http_response_raise_on_response_got(response.get());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].status, 200);
    EXPECT_EQ(seen[0].body, "[1,2]\r\n");
}

TEST_F(HttpManagerTest, HeaderCallbackReadsStatusLengthAndLogs) {
    response_ptr response(http_response_new(record_response));
    const std::vector<std::string> lines = {"HTTP/1.1 200 OK\r\n", "Content-Type: application/json\r\n",
                                            "Content-Length: 17\r\n", "\r\n"};
    for (const auto &line : lines) {
        EXPECT_EQ(header(response.get(), line), line.size());
    }
    EXPECT_EQ(response->status_code, 200);
    EXPECT_EQ(response->body_length, 17);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(dev_log(),
              "H:HTTP/1.1 200 OK\r\nH:Content-Type: application/json\r\nH:Content-Length: 17\r\n"
              "H:\r\nend of header reached\n");
}

TEST_F(HttpManagerTest, ZeroContentLengthRaisesOnceAtEndOfHeaders) {
    response_ptr response(http_response_new(record_response));
    header(response.get(), "HTTP/1.1 200 OK\r\n");
    header(response.get(), "Content-Length: 0\r\n");
    header(response.get(), "\r\n");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].status, 200);
    EXPECT_EQ(seen[0].body, "");
    EXPECT_NE(dev_log().find("H:\r\nend of header reached\nbody lenght = 0\n"), std::string::npos);

    // A second end of headers in the same exchange must not run it again.
    header(response.get(), "\r\n");
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(HttpManagerTest, LowerCaseLengthRaisesNothingAtEndOfHeaders) {
    response_ptr response(http_response_new(record_response));
    header(response.get(), "HTTP/1.1 200 OK\r\n");
    header(response.get(), "content-length: 0\r\n");
    header(response.get(), "\r\n");
    EXPECT_EQ(response->body_length, -1);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(dev_log().find("body lenght = 0"), std::string::npos);
}

TEST_F(HttpManagerTest, StatusComesFromTheFirstLineThatYieldsOne) {
    struct Case {
        std::vector<std::string> lines;
        int status;
    };
    const Case cases[] = {
        {{"HTTP/1.1 302 Found\r\n", "Location: https://elsewhere/\r\n", "\r\n"}, 302},
        {{"garbage\r\n", "HTTP/1.1 201 Created\r\n", "X-Count: 7\r\n"}, 201},
        // An interim block gives way to the real status line.
        {{"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 200 OK\r\n", "\r\n"}, 200},
        {{"HTTP/1.1 103 Early Hints\r\n", "Link: </a>\r\n", "\r\n", "HTTP/1.1 404 Not Found\r\n"}, 404},
        // A final status is not replaced by a later line.
        {{"HTTP/1.1 200 OK\r\n", "HTTP/1.1 500 Oops\r\n"}, 200},
    };
    for (const auto &c : cases) {
        response_ptr response(http_response_new(nullptr));
        for (const auto &line : c.lines) {
            header(response.get(), line);
        }
        EXPECT_EQ(response->status_code, c.status) << c.lines[0];
    }
}

TEST_F(HttpManagerTest, ContentCallbackAccumulatesWithoutRaising) {
    // The whole body is handed on by the exchange once it completed; the
    // pieces themselves never run the callback, whatever they carry.
    struct Case {
        std::vector<std::string> pieces;
        const char *body;
        bool line_end;
    };
    const Case cases[] = {
        {{"{\"ip\":\"1.2.3.4\"}\r\n"}, "{\"ip\":\"1.2.3.4\"}\r\n", true},
        {{"[1,", "2,", "3]\r\n"}, "[1,2,3]\r\n", true},
        {{"[1]\r", "\n"}, "[1]\r\n", true},  // the line end straddles two pieces
        {{"[1]\r", "x\n"}, "[1]\rx\n", false},
        {{"no line end"}, "no line end", false},
        {{"\n\r"}, "\n\r", false},
    };
    for (const auto &c : cases) {
        seen.clear();
        response_ptr response(http_response_new(record_response));
        response->status_code = 200;
        for (const auto &piece : c.pieces) {
            EXPECT_EQ(content(response.get(), piece), piece.size());
        }
        EXPECT_STREQ(response->body, c.body);
        EXPECT_EQ(response->line_end_seen, c.line_end) << c.body;
        EXPECT_TRUE(seen.empty());
    }
}

TEST_F(HttpManagerTest, ContentCallbackLogsEachPiece) {
    response_ptr response(http_response_new(nullptr));
    content(response.get(), "[80,");
    content(response.get(), "443]\r\n");
    EXPECT_EQ(dev_log(), "C:[80,C:443]\r\n");
}

TEST_F(HttpManagerTest, Status500BodyIsDroppedButItsLineEndCounts) {
    response_ptr response(http_response_new(record_response));
    header(response.get(), "HTTP/1.1 500 Internal Server Error\r\n");
    header(response.get(), "\r\n");
    content(response.get(), "{\"error\":\"boom\"}\r\n");
    EXPECT_STREQ(response->body, "");
    EXPECT_TRUE(response->line_end_seen);
}

TEST_F(HttpManagerTest, OversizedBodyFailsTheTransfer) {
    response_ptr response(http_response_new(nullptr));
    const std::string chunk(64 * 1024, 'x');
    size_t accepted = 0;
    for (int i = 0; i < HTTP_MANAGER_BODY_LIMIT / int(chunk.size()); ++i) {
        accepted += content(response.get(), chunk);
    }
    EXPECT_EQ(accepted, size_t(HTTP_MANAGER_BODY_LIMIT));
    EXPECT_EQ(content(response.get(), "y"), 0u);  // libcurl turns 0 into a write error
    EXPECT_EQ(response->body_used, size_t(HTTP_MANAGER_BODY_LIMIT));
}

TEST_F(HttpManagerTest, CallbacksToleratePiecesWithoutRecord) {
    std::string line = "HTTP/1.1 200 OK\r\n";
    EXPECT_EQ(writeHeaderFunction(line.data(), 1, line.size(), nullptr), line.size());
    std::string end = "\r\n";
    EXPECT_EQ(writeHeaderFunction(end.data(), 1, end.size(), nullptr), end.size());
    std::string body = "x\r\n";
    EXPECT_EQ(writeContentFunction(body.data(), 1, body.size(), nullptr), body.size());
    // size x count overflowing is refused rather than wrapped.
    EXPECT_EQ(writeContentFunction(body.data(), SIZE_MAX / 2, 3, nullptr), 0u);
}

TEST(HttpManagerRedaction, PasswordValueIsHidden) {
    struct Case {
        const char *url;
        const char *shown;
    };
    const Case cases[] = {
        {"https://h/api/authentication?email=a@b&password=8846F7EAEE8FB117AD06BDD830B7586C&version=Foo",
         "https://h/api/authentication?email=a@b&password=***&version=Foo"},
        {"https://h/api/port_numbers?email=a&password=X&server_address=s&version=Foo",
         "https://h/api/port_numbers?email=a&password=***&server_address=s&version=Foo"},
        {"https://h/x?password=SECRET", "https://h/x?password=***"},
        {"https://h/x?password=", "https://h/x?password=***"},
        {"https://h/x?password=a&password=b", "https://h/x?password=***&password=***"},
        {"https://h/x?password=SECRET#frag", "https://h/x?password=***#frag"},
        {"https://h/x?email=password%3Dx&old_password=y", "https://h/x?email=password%3Dx&old_password=y"},
        {"https://h/x?email=a@b&&password=S", "https://h/x?email=a@b&&password=***"},
        {"https://h/remote_address", "https://h/remote_address"},
        {"https://h/x?", "https://h/x?"},
        {"", ""},
    };
    for (const auto &c : cases) {
        pelk_owned_text shown(http_manager_url_redacted_new(c.url));
        ASSERT_NE(shown, nullptr);
        EXPECT_STREQ(shown.get(), c.shown);
    }
    EXPECT_EQ(http_manager_url_redacted_new(nullptr), nullptr);
}

TEST_F(HttpManagerTest, ExecLogsTheUrlWithoutThePassword) {
    // Plain HTTP is refused before anything reaches the network.
    response_ptr response(http_response_new(record_response));
    const int rc = http_manager_url_exec(
        "http://127.0.0.1:9/api/authentication?email=a@b&password=0123456789ABCDEF0123456789ABCDEF"
        "&version=Foo",
        response.get());
    EXPECT_EQ(rc, int(CURLE_UNSUPPORTED_PROTOCOL));
    const std::string log = dev_log();
    EXPECT_NE(log.find("curl: execute url:http://127.0.0.1:9/api/authentication?email=a@b&password=***"
                       "&version=Foo\n"),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find(std::string("curl_easy_perform() failed: ") + curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL) + "\n"),
        std::string::npos)
        << log;
    EXPECT_EQ(log.find("0123456789ABCDEF"), std::string::npos);
    EXPECT_TRUE(seen.empty());
}

TEST_F(HttpManagerTest, ExecRefusesAnAbsentUrl) {
    response_ptr response(http_response_new(record_response));
    EXPECT_EQ(http_manager_url_exec(nullptr, response.get()), int(CURLE_URL_MALFORMAT));
    EXPECT_EQ(dev_log(), "ERROR[http_manager_url_exec]: no URL\n");
    EXPECT_TRUE(seen.empty());
}

TEST(HttpManagerGlobalInit, RepeatedCallsAreHarmless) {
    http_manager_global_init();
    http_manager_global_init();
    CURL *curl = curl_easy_init();
    EXPECT_NE(curl, nullptr);
    curl_easy_cleanup(curl);
}

}  // namespace
