#include "service/json_parser.h"

#include "base/owned_text.h"
#include "dal/server_entity.h"

#define JSMN_HEADER
#include <jsmn.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using text = std::optional<std::string>;
const text none = std::nullopt;

text take(char *value) {
    pelk_owned_text owned(value);
    return owned ? text(owned.get()) : none;
}

text view(const char *value) { return value != nullptr ? text(value) : none; }

std::string repeat(const std::string &piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// "[1,1,...]" with count elements: count + 1 tokens.
std::string number_array(int count) {
    std::string out = "[";
    for (int i = 0; i < count; ++i) {
        out += i == 0 ? "1" : ",1";
    }
    return out + "]";
}

// ---- key scanner --------------------------------------------------------

TEST(KeyScanner, StringValue) {
    const std::string v499 = repeat("a", 499);
    const struct {
        const char *piece;
        text expected;
    } cases[] = {
        {R"("name":"Gold")", "Gold"},  {R"("name":"")", ""},     {R"("name":"Gold"})", "Gold"},
        {R"("name":"a\"b")", R"(a\)"},  // escapes are not interpreted
        {R"("name":"Gold)", none},      // no closing quote in the piece
        {R"("name":5)", none},         {R"("name":null)", none}, {R"("name":)", none},
        {R"("name")", none},           {R"("name)", none},       {"name", none},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(take(get_string_value("name", c.piece + 1)), c.expected) << c.piece;
    }
    EXPECT_EQ(take(get_string_value("name", ("\"name\":\"" + v499 + "\"").c_str() + 1)), v499);
    EXPECT_EQ(take(get_string_value("name", ("\"name\":\"" + v499 + "b\"").c_str() + 1)), none);
    EXPECT_EQ(take(get_string_value("name", ("\"name\":\"" + repeat("z", 100000)).c_str() + 1)), none);
    EXPECT_EQ(take(get_string_value(nullptr, "x")), none);
    EXPECT_EQ(take(get_string_value("name", nullptr)), none);
}

TEST(KeyScanner, IntValue) {
    const struct {
        const char *piece;
        int expected;
    } cases[] = {
        {R"("n":42)", 42},
        {R"("n":42})", 42},
        {R"("n":-7)", -7},
        {R"("n":+7)", 7},
        {R"("n": 	12)", 12},
        {R"("n":12abc)", 12},
        {R"("n":abc)", 0},
        {R"("n":"5")", 0},
        {R"("n":-)", 0},
        {R"("n":)", 0},
        {R"("n")", 0},
        {R"("n":2147483647)", INT_MAX},
        {R"("n":2147483648)", INT_MAX},
        {R"("n":-2147483648)", INT_MIN},
        {R"("n":-2147483649)", INT_MIN},
        {R"("n":99999999999999999999999999999999)", INT_MAX},
        {R"("n":000000000000000000000000000000017)", 17},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(get_int_value("n", c.piece + 1), c.expected) << c.piece;
    }
    EXPECT_EQ(get_int_value("n", nullptr), 0);
}

// ---- authentication -----------------------------------------------------

struct auth_expected {
    text expiry_date;
    int days;
    int error_code;
    text plan_name;
    text plan_key;
    text valid_servers;
};

void expect_auth(const std::string &body, const auth_expected &e) {
    pelk_json_authentication a = pelk_json_parse_authentication(body.c_str());
    EXPECT_EQ(view(a.expiry_date), e.expiry_date) << body;
    EXPECT_EQ(a.expiry_date_in_days, e.days) << body;
    EXPECT_EQ(a.reserved, 0) << body;
    EXPECT_EQ(a.error_code, e.error_code) << body;
    EXPECT_EQ(view(a.plan_name), e.plan_name) << body;
    EXPECT_EQ(view(a.plan_key), e.plan_key) << body;
    EXPECT_EQ(view(a.valid_servers), e.valid_servers) << body;
    pelk_json_authentication_clear(&a);
    EXPECT_EQ(a.expiry_date, nullptr);
    EXPECT_EQ(a.valid_servers, nullptr);
}

TEST(AuthenticationReader, Documents) {
    const auth_expected defaults{none, 0, -1, none, none, none};
    const std::string long_name = repeat("p", 500);
    const struct {
        std::string body;
        auth_expected expected;
    } cases[] = {
        {"{\"error_code\":0,\"expiry_date\":\"2030-01-31\",\"expiry_date_in_days\":42,\"plan_name\":\"Gold\","
         "\"plan_key\":\"gold\",\"valid_servers\":\"all\"}\r\n",
         {"2030-01-31", 42, 0, "Gold", "gold", "all"}},
        // The day count is read and not taken for the date it contains.
        {R"({"error_code":0,"expiry_date_in_days":-3})", {none, -3, 0, none, none, none}},
        {R"({"error_code":0})", {none, 0, 0, none, none, none}},
        {R"({"error_code":2})", {none, 0, 2, none, none, none}},
        {R"({"expiry_date":"2030-01-31","plan_name":"Gold"})", {"2030-01-31", 0, -1, "Gold", none, none}},
        {R"({"error_code":1,"error_code":3})", {none, 0, 3, none, none, none}},
        // A code that is not a number must not read as success.
        {R"({"error_code":"0"})", defaults},
        {R"({"error_code":null})", defaults},
        {R"({"error_code":})", defaults},
        {R"({"error_code)", defaults},
        {R"({"error_code":99999999999})", {none, 0, INT_MAX, none, none, none}},
        {R"({"error_code":0,"expiry_date_in_days":-99999999999})", {none, INT_MIN, 0, none, none, none}},
        // Values the work text cannot hold, or cut by a comma, are refused.
        {"{\"error_code\":0,\"plan_name\":\"" + long_name + "\"}", {none, 0, 0, none, none, none}},
        {R"({"error_code":0,"plan_name":"Gold, Plus"})", {none, 0, 0, none, none, none}},
        {R"({"error_code":0,"plan_name":"Gold})", {none, 0, 0, none, none, none}},
        {"", defaults},
        {",,,,,,,,", defaults},
        {"not json at all", defaults},
        {repeat("[", 5000) + repeat("]", 5000), defaults},
        {repeat(",", 5000) + R"("error_code":3)", {none, 0, 3, none, none, none}},
    };
    for (const auto &c : cases) {
        expect_auth(c.body, c.expected);
    }
}

TEST(AuthenticationReader, AbsentBodyGivesDefaults) {
    pelk_json_authentication a = pelk_json_parse_authentication(nullptr);
    EXPECT_EQ(a.error_code, -1);
    EXPECT_EQ(a.plan_key, nullptr);
    pelk_json_authentication_clear(nullptr);
}

TEST(AuthenticationReader, PlanQuestions) {
    const struct {
        const char *body;
        bool all_servers;
        bool trial;
    } cases[] = {
        {R"({"valid_servers":"all","plan_key":"trial"})", true, true},
        {R"({"valid_servers":"All","plan_key":"Trial"})", false, false},
        {R"({"valid_servers":"all ","plan_key":"trial2"})", false, false},
        {R"({"valid_servers":"de;fr","plan_key":"tria"})", false, false},
        {R"({"valid_servers":"","plan_key":""})", false, false},
        {R"({"error_code":0})", false, false},
    };
    for (const auto &c : cases) {
        pelk_json_authentication a = pelk_json_parse_authentication(c.body);
        EXPECT_EQ(pelk_json_authentication_is_all_servers(&a), c.all_servers) << c.body;
        EXPECT_EQ(pelk_json_authentication_is_trial(&a), c.trial) << c.body;
        pelk_json_authentication_clear(&a);
    }
    EXPECT_FALSE(pelk_json_authentication_is_all_servers(nullptr));
    EXPECT_FALSE(pelk_json_authentication_is_trial(nullptr));
}

// ---- server list --------------------------------------------------------

struct server {
    std::string country_code, address, name;
    int enabled;
    bool operator==(const server &) const = default;
};

void PrintTo(const server &s, std::ostream *os) {
    *os << "{" << s.country_code << "," << s.address << "," << s.name << "," << s.enabled << "}";
}

std::optional<std::vector<server>> read_servers(const char *body) {
    server_entity_container *list = pelk_json_parse_server_list(body);
    if (list == nullptr) {
        return std::nullopt;
    }
    std::vector<server> out;
    for (const pelk_dal_server_entity *e = list->head; e != nullptr; e = e->next) {
        EXPECT_EQ(e->is_favourite, 0);
        out.push_back({e->country_code, e->server_address, e->server_name, e->is_enabled});
    }
    server_entity_container_free(list);
    return out;
}

TEST(ServerListReader, Documents) {
    using servers = std::optional<std::vector<server>>;
    const servers unusable = std::nullopt;
    const std::string long_name = repeat("n", 500);
    const struct {
        std::string body;
        servers expected;
    } cases[] = {
        {R"([{"id":1,"server_address":"fra.vpn.example","server_name":"Frankfurt","country_code":"de","is_enabled":true},)"
         R"({"id":2,"server_address":"vid.vpn.example","server_name":"Madrid","country_code":"es","is_enabled":false}])"
         "\r\n",
         std::vector<server>{{"de", "fra.vpn.example", "Frankfurt", 1}, {"es", "vid.vpn.example", "Madrid", 0}}},
        {R"([{"server_address":"a","server_name":"A","country_code":"nl"}])", std::vector<server>{{"nl", "a", "A", 0}}},
        {"[]", std::vector<server>{}},
        {"", std::vector<server>{}},
        {",,,,,", std::vector<server>{}},
        {repeat("[", 5000), std::vector<server>{}},
        // Indonesia's code is a value, not the "id" member.
        {R"([{"server_address":"a","server_name":"A","country_code":"id"}])", std::vector<server>{{"id", "a", "A", 0}}},
        {R"([{"id":"x","server_address":"a","server_name":"Madrid","country_code":"id","is_enabled":true}])",
         std::vector<server>{{"id", "a", "Madrid", 1}}},
        {R"([{"server_address":"a","server_name":"A","country_code":"de","id":4}])",
         std::vector<server>{{"de", "a", "A", 0}}},
        // The second object lacks its name; the first one's is not carried over.
        {R"([{"server_address":"a","server_name":"A","country_code":"de"},{"server_address":"b","country_code":"fr"}])",
         unusable},
        {R"({"error_code":2})", unusable},
        {"}}}}", unusable},
        {R"([{"server_address":"a","server_name":")" + long_name + R"(","country_code":"de"}])", unusable},
        {R"([{"server_address":"a","server_name":"Paris, Nord","country_code":"fr"}])", unusable},
        {R"([{"server_address":"a,"server_name":"A","country_code":"fr"}])", unusable},
        {R"([{"server_address":"a","server_name":"A","country_code":"fr","is_enabled":"true"}])",
         std::vector<server>{{"fr", "a", "A", 1}}},
        // "true" before the member does not count.
        {R"([{"server_address":"a","server_name":"A","country_code":"fr","true_is_enabled":false}])",
         std::vector<server>{{"fr", "a", "A", 0}}},
        {R"([{"server_address":"a","server_address":"b","server_name":"A","country_code":"fr"}])",
         std::vector<server>{{"fr", "b", "A", 0}}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(read_servers(c.body.c_str()), c.expected) << c.body;
    }
    EXPECT_EQ(read_servers(nullptr), servers(std::vector<server>{}));
}

TEST(ServerListReader, KeepsReplyOrderForManyServers) {
    std::string body = "[";
    for (int i = 0; i < 300; ++i) {
        body += (i ? "," : "") + std::string(R"({"id":)") + std::to_string(i) + R"(,"server_address":"s)" +
                std::to_string(i) + R"(.example","server_name":"S","country_code":"de","is_enabled":true})";
    }
    body += "]";
    // 1500 pieces: no piece may swallow the rest of the list and mix the
    // fields of two servers.
    const auto servers = read_servers(body.c_str());
    ASSERT_TRUE(servers.has_value());
    ASSERT_EQ(servers->size(), 300u);
    for (size_t i = 0; i < servers->size(); ++i) {
        EXPECT_EQ((*servers)[i], (server{"de", "s" + std::to_string(i) + ".example", "S", 1}));
    }
}

// ---- public IP ----------------------------------------------------------

TEST(PublicIpReader, Documents) {
    const std::string v499 = repeat("1", 499);
    const struct {
        std::string body;
        int result;
        text ip;
        text country_code;
    } cases[] = {
        {R"({"ip":"198.18.0.7","country_code":"de"})"
         "\r\n",
         5, "198.18.0.7", "de"},
        {R"({"ip":"198.18.0.7"})", 3, "198.18.0.7", none},
        {R"(["a","b","c","d","e"])", 6, "b", "d"},
        {R"({"ip":1981800,"cc":49})", 5, none, none},
        {R"({"ip":{"v":"x"},"cc":"de"})", 7, none, "x"},
        {"{\"ip\":\"" + v499 + "\",\"cc\":\"de\"}", 5, v499, "de"},
        {"{\"ip\":\"" + v499 + "1\",\"cc\":\"de\"}", 5, none, "de"},
        {"", 0, none, none},
        {"   \r\n", 0, none, none},
        {R"({"ip":"198.18.0.7")", JSMN_ERROR_PART, none, none},
        {R"({"ip":"198.18.0.7","cc":"d)", JSMN_ERROR_PART, none, none},
        {"{\"ip\":19\x01}", JSMN_ERROR_INVAL, none, none},
        {"]", JSMN_ERROR_INVAL, none, none},
        {number_array(300), JSMN_ERROR_NOMEM, none, none},
        {repeat("[", 10000), JSMN_ERROR_NOMEM, none, none},
    };
    for (const auto &c : cases) {
        pelk_json_public_ip r = pelk_json_read_public_ip(c.body.c_str());
        EXPECT_EQ(r.parse_result, c.result) << c.body;
        EXPECT_EQ(view(r.ip_address), c.ip) << c.body;
        EXPECT_EQ(view(r.country_code), c.country_code) << c.body;
        pelk_json_public_ip_clear(&r);
        EXPECT_EQ(r.ip_address, nullptr);
    }
    pelk_json_public_ip r = pelk_json_read_public_ip(nullptr);
    EXPECT_EQ(r.parse_result, 0);
    EXPECT_EQ(r.ip_address, nullptr);
    pelk_json_public_ip_clear(nullptr);
}

// ---- ports --------------------------------------------------------------

TEST(PortReader, Documents) {
    const struct {
        std::string body;
        int result;
        std::vector<int> ports;
    } cases[] = {
        {"[53,443]\r\n", 3, {53, 443}},
        {"[]", 1, {}},
        {R"(["53","443"])", 3, {}},
        {"[true,false,null,8080]", 5, {0, 0, 0, 8080}},
        {"[12abc,-1,+2]", 4, {12, -1, 2}},
        {"[99999999999,-99999999999]", 3, {INT_MAX, INT_MIN}},
        {"1194", 1, {1194}},
        {number_array(255), 256, std::vector<int>(255, 1)},
        {number_array(256), JSMN_ERROR_NOMEM, {}},
        {number_array(300), JSMN_ERROR_NOMEM, {}},
        {"[1,2", JSMN_ERROR_PART, {}},
        {"[1,\x7f]", JSMN_ERROR_INVAL, {}},
        {"]", JSMN_ERROR_INVAL, {}},
        {"", 0, {}},
    };
    for (const auto &c : cases) {
        pelk_json_server_ports r = pelk_json_read_server_ports(c.body.c_str());
        EXPECT_EQ(r.parse_result, c.result) << c.body;
        EXPECT_EQ(r.tokens_count, c.result > 0 ? c.result : 0) << c.body;
        EXPECT_EQ(r.ports != nullptr, c.result > 0) << c.body;
        ASSERT_EQ(r.ports_count, static_cast<int>(c.ports.size())) << c.body;
        EXPECT_EQ(std::vector<int>(r.ports, r.ports + r.ports_count), c.ports) << c.body;
        int primitives = 0;
        for (int i = 0; i < r.tokens_count; ++i) {
            primitives += r.tokens[i].is_primitive ? 1 : 0;
        }
        EXPECT_EQ(primitives, r.ports_count) << c.body;
        pelk_json_server_ports_clear(&r);
        EXPECT_EQ(r.tokens, nullptr);
        EXPECT_EQ(r.ports, nullptr);
    }
}

TEST(PortReader, TokenLogLines) {
    pelk_json_server_ports r = pelk_json_read_server_ports("[53,443]\r\n");
    ASSERT_EQ(r.tokens_count, 3);
    const char *expected[] = {
        "i = 0, token_iteration= 0, token = [53,443]\n",
        "i = 1, token_iteration= 0, token = 53\n",
        "i = 2, token_iteration= 0, token = 443\n",
    };
    const bool primitive[] = {false, true, true};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(take(pelk_json_port_token_log_line_new(i, r.tokens[i].text)), expected[i]);
        EXPECT_EQ(r.tokens[i].is_primitive, primitive[i]);
    }
    int *ports = pelk_json_server_ports_take_ports(&r);
    EXPECT_EQ(r.ports, nullptr);
    EXPECT_EQ(r.ports_count, 2);
    pelk_json_server_ports_clear(&r);  // must not release the taken array
    EXPECT_EQ(ports[1], 443);
    free(ports);
    EXPECT_EQ(pelk_json_server_ports_take_ports(nullptr), nullptr);
    pelk_json_server_ports_clear(nullptr);
}

TEST(PortReader, OverlongTokensAreCutToFitTheWorkText) {
    const struct {
        std::string body;
    } cases[] = {
        {"[\"" + repeat("x", 600) + "\",443]"},
        {"[\"" + repeat("\xc3\xa9", 400) + "\"]"},  // two-byte characters must not be split
        {"[" + repeat("7", 2000) + "]"},
    };
    for (const auto &c : cases) {
        pelk_json_server_ports r = pelk_json_read_server_ports(c.body.c_str());
        ASSERT_GT(r.parse_result, 0);
        for (int i = 0; i < r.tokens_count; ++i) {
            const text line = take(pelk_json_port_token_log_line_new(i, r.tokens[i].text));
            ASSERT_TRUE(line.has_value());
            EXPECT_LE(line->size(), 499u);
            EXPECT_EQ(line->back(), '\n');
            EXPECT_TRUE(g_utf8_validate(line->c_str(), -1, nullptr)) << *line;
            const std::string head = "i = " + std::to_string(i) + ", token_iteration= 0, token = ";
            EXPECT_EQ(line->substr(0, head.size()), head);
            EXPECT_EQ(line->size(), head.size() + std::strlen(r.tokens[i].text) + 1);
        }
        pelk_json_server_ports_clear(&r);
    }
    // The line function bounds texts that did not come from the reader too.
    EXPECT_EQ(take(pelk_json_port_token_log_line_new(255, repeat("y", 5000).c_str()))->size(), 499u);
    EXPECT_EQ(take(pelk_json_port_token_log_line_new(3, nullptr)), "i = 3, token_iteration= 0, token = \n");
}

TEST(JsmnResultText, Texts) {
    const struct {
        int result;
        const char *expected;
    } cases[] = {
        {JSMN_ERROR_NOMEM, "JSMN_ERROR_NOMEM\n"},
        {JSMN_ERROR_INVAL, "JSMN_ERROR_INVAL\n"},
        {JSMN_ERROR_PART, "JSMN_ERROR_PART\n"},
        {0, "Unknown code: 0"},
        {-4, "Unknown code: -4"},
        {INT_MIN, "Unknown code: -2147483648"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(take(pelk_json_parse_result_text_new(c.result)), c.expected);
    }
}

// ---- hostile input ------------------------------------------------------

TEST(Readers, RandomTextKeepsEveryInvariant) {
    // NUL-free bytes with the document's own punctuation over-represented so
    // the scanners meet names, quotes and brackets in every arrangement.
    const std::string alphabet = R"(,,,:::"""{}[]  id"server_address"server_name"country_code"is_enabled"true)"
                                 R"("error_code"expiry_date"plan_name"0123456789-)"
                                 "\x01\x7f\xc3\xa9\xff";
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string body;
        const int length = static_cast<int>(rng() % 600);
        for (int i = 0; i < length; ++i) {
            body += alphabet[rng() % alphabet.size()];
        }
        pelk_json_authentication a = pelk_json_parse_authentication(body.c_str());
        for (const char *t : {a.expiry_date, a.plan_name, a.plan_key, a.valid_servers}) {
            EXPECT_TRUE(t == nullptr || (std::strlen(t) < 500 && std::strchr(t, '"') == nullptr)) << body;
        }
        pelk_json_authentication_clear(&a);

        server_entity_container *list = pelk_json_parse_server_list(body.c_str());
        for (const pelk_dal_server_entity *e = list ? list->head : nullptr; e != nullptr; e = e->next) {
            EXPECT_LT(std::strlen(e->server_address), 500u) << body;
        }
        server_entity_container_free(list);

        pelk_json_public_ip ip = pelk_json_read_public_ip(body.c_str());
        EXPECT_TRUE(ip.parse_result > 2 || ip.ip_address == nullptr) << body;
        pelk_json_public_ip_clear(&ip);

        pelk_json_server_ports ports = pelk_json_read_server_ports(body.c_str());
        EXPECT_LE(ports.tokens_count, 256);
        EXPECT_LE(ports.ports_count, ports.tokens_count);
        pelk_json_server_ports_clear(&ports);
    }
}

}  // namespace
