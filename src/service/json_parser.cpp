// pelk_json_*: readers of the account service's reply documents.
#include "service/json_parser.h"

#include "base/owned_text.h"
#include "dal/server_entity.h"
#include "dal/string_helper.h"

// The tokenizer's definitions live in this file and nowhere else; lenient
// mode (no JSMN_STRICT): a primitive is any run of printable characters.
#include <jsmn.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t work_text_size = 500;
constexpr unsigned int max_tokens = 256;

struct container_deleter {
    void operator()(server_entity_container *c) const noexcept { server_entity_container_free(c); }
};
using owned_container = std::unique_ptr<server_entity_container, container_deleter>;

// The body cut at every comma. There is deliberately no cap on the number of
// pieces: with one, the rest of a long server list would stay glued in the
// last piece and the fields of two servers would mix in one record. Each
// piece is NUL-terminated inside one copy of the body, so a scanner that
// stops at NUL never leaves its piece.
class pieces {
  public:
    explicit pieces(const char *body) : text_(body != nullptr ? body : "") {
        starts_.push_back(0);
        for (size_t i = 0; i < text_.size(); ++i) {
            if (text_[i] == ',') {
                text_[i] = '\0';
                starts_.push_back(i + 1);
            }
        }
    }
    size_t count() const { return starts_.size(); }
    const char *at(size_t index) const { return text_.c_str() + starts_[index]; }

  private:
    std::string text_;
    std::vector<size_t> starts_;
};

// Advances up to count characters, never past the terminating NUL.
const char *skip_within(const char *p, size_t count) {
    while (count > 0 && *p != '\0') {
        ++p;
        --count;
    }
    return p;
}

// The value behind "name": (name, closing quote, colon), within the piece.
const char *value_after(const char *name, const char *position) { return skip_within(position, std::strlen(name) + 2); }

struct decimal {
    int value;
    bool has_digits;
};

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Decimal conversion in the manner of atoi, but defined for every input:
// conversion stops at the end of text, and magnitudes beyond the 32-bit
// range are held at INT_MIN or INT_MAX instead of overflowing.
decimal read_decimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    bool has_digits = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        has_digits = true;
        magnitude = std::min(limit, magnitude * 10 + (text[i] - '0'));
    }
    return {static_cast<int>(negative ? -magnitude : magnitude), has_digits};
}

decimal read_int_value(const char *name, const char *position) {
    if (name == nullptr || position == nullptr) {
        return {0, false};
    }
    return read_decimal(value_after(name, position));
}

void replace_text(char **slot, char *text) {
    std::free(*slot);
    *slot = text;
}

char *text_new(std::string_view text) {
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        std::abort();
    }
    if (!text.empty()) {  // an empty view may carry no data pointer at all
        std::memcpy(copy, text.data(), text.size());
    }
    copy[text.size()] = '\0';
    return copy;
}

// The token's text, or an empty view for a token that does not lie inside
// the body (the tokenizer never gives one after a successful parse).
std::string_view token_view(const char *body, size_t length, const jsmntok_t &token) {
    if (token.start < 0 || token.end < token.start || static_cast<size_t>(token.end) > length) {
        return {};
    }
    return {body + token.start, static_cast<size_t>(token.end - token.start)};
}

char *string_token_new(const char *body, size_t length, const jsmntok_t &token) {
    if (token.type != JSMN_STRING) {
        return nullptr;
    }
    const std::string_view text = token_view(body, length, token);
    if (text.size() >= work_text_size) {
        return nullptr;
    }
    return text_new(text);
}

// Cuts text to at most limit bytes without splitting a UTF-8 sequence.
std::string_view cut_to(std::string_view text, size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

// Room left for the token text in a port log line of the 500-byte work text.
size_t token_text_budget(int index) {
    const int fixed = std::snprintf(nullptr, 0, "i = %i, token_iteration= %i, token = \n", index, 0);
    const size_t room = work_text_size - 1;
    return fixed < 0 || static_cast<size_t>(fixed) >= room ? 0 : room - static_cast<size_t>(fixed);
}

struct tokenized {
    int result;
    size_t length;
};

tokenized tokenize(const char *body, jsmntok_t *tokens) {
    // Token offsets are ints; a longer body is read only up to INT_MAX.
    const size_t length = std::min(std::strlen(body), static_cast<size_t>(INT_MAX));
    jsmn_parser parser;
    jsmn_init(&parser);
    return {jsmn_parse(&parser, body, length, tokens, max_tokens), length};
}

}  // namespace

char *get_string_value(const char *name, const char *position) {
    if (name == nullptr || position == nullptr) {
        return nullptr;
    }
    const char *p = value_after(name, position);
    if (*p != '"') {
        return nullptr;
    }
    ++p;
    const char *end = std::strchr(p, '"');
    if (end == nullptr || static_cast<size_t>(end - p) >= work_text_size) {
        return nullptr;
    }
    return text_new(std::string_view(p, static_cast<size_t>(end - p)));
}

int get_int_value(const char *name, const char *position) { return read_int_value(name, position).value; }

pelk_json_authentication pelk_json_parse_authentication(const char *body) {
    pelk_json_authentication auth{nullptr, 0, 0, -1, nullptr, nullptr, nullptr};
    const pieces split(body);
    for (size_t i = 0; i < split.count(); ++i) {
        const char *piece = split.at(i);
        const char *at = nullptr;
        // "expiry_date_in_days" first: it contains "expiry_date".
        if ((at = std::strstr(piece, "expiry_date_in_days")) != nullptr) {
            auth.expiry_date_in_days = get_int_value("expiry_date_in_days", at);
        } else if ((at = std::strstr(piece, "expiry_date")) != nullptr) {
            replace_text(&auth.expiry_date, get_string_value("expiry_date", at));
        } else if ((at = std::strstr(piece, "error_code")) != nullptr) {
            // A code that is not a number is a failure: reading it as 0 would
            // turn a malformed reply into a successful sign-in.
            const decimal code = read_int_value("error_code", at);
            auth.error_code = code.has_digits ? code.value : -1;
        } else if ((at = std::strstr(piece, "plan_name")) != nullptr) {
            replace_text(&auth.plan_name, get_string_value("plan_name", at));
        } else if ((at = std::strstr(piece, "plan_key")) != nullptr) {
            replace_text(&auth.plan_key, get_string_value("plan_key", at));
        } else if ((at = std::strstr(piece, "valid_servers")) != nullptr) {
            replace_text(&auth.valid_servers, get_string_value("valid_servers", at));
        }
    }
    return auth;
}

bool pelk_json_authentication_is_all_servers(const pelk_json_authentication *authentication) {
    return authentication != nullptr && authentication->valid_servers != nullptr &&
           std::strcmp(authentication->valid_servers, "all") == 0;
}

bool pelk_json_authentication_is_trial(const pelk_json_authentication *authentication) {
    return authentication != nullptr && authentication->plan_key != nullptr &&
           std::strcmp(authentication->plan_key, "trial") == 0;
}

void pelk_json_authentication_clear(pelk_json_authentication *authentication) {
    if (authentication == nullptr) {
        return;
    }
    replace_text(&authentication->expiry_date, nullptr);
    replace_text(&authentication->plan_name, nullptr);
    replace_text(&authentication->plan_key, nullptr);
    replace_text(&authentication->valid_servers, nullptr);
}

server_entity_container *pelk_json_parse_server_list(const char *body) {
    owned_container list(server_entity_container_new());
    pelk_owned_text address;
    pelk_owned_text name;
    pelk_owned_text country_code;
    bool enabled = false;

    const pieces split(body);
    for (size_t i = 0; i < split.count(); ++i) {
        const char *piece = split.at(i);
        const char *at = nullptr;
        if ((at = std::strstr(piece, "server_address")) != nullptr) {
            address.reset(get_string_value("server_address", at));
        } else if ((at = std::strstr(piece, "server_name")) != nullptr) {
            name.reset(get_string_value("server_name", at));
        } else if (std::strstr(piece, "\"id\":") != nullptr) {
            // Passes over the "id" member by its name: a country code "id"
            // (Indonesia) is a value, not the member.
        } else if ((at = std::strstr(piece, "country_code")) != nullptr) {
            country_code.reset(get_string_value("country_code", at));
        } else if ((at = std::strstr(piece, "is_enabled")) != nullptr) {
            enabled = std::strstr(value_after("is_enabled", at), "true") != nullptr;
        }

        if (std::strchr(piece, '}') != nullptr) {
            // One incomplete server object makes the whole reply unusable.
            if (!address || !name || !country_code) {
                return nullptr;
            }
            server_entity_container_add(list.get(), country_code.get(), address.get(), name.get(), 0, enabled ? 1 : 0);
            address.reset();
            name.reset();
            country_code.reset();
            enabled = false;
        }
    }
    return list.release();
}

pelk_json_public_ip pelk_json_read_public_ip(const char *body) {
    pelk_json_public_ip public_ip{0, nullptr, nullptr};
    jsmntok_t tokens[max_tokens];
    const char *text = body != nullptr ? body : "";
    const tokenized parsed = tokenize(text, tokens);
    public_ip.parse_result = parsed.result;
    if (parsed.result > 2) {
        public_ip.ip_address = string_token_new(text, parsed.length, tokens[2]);
    }
    if (parsed.result > 4) {
        public_ip.country_code = string_token_new(text, parsed.length, tokens[4]);
    }
    return public_ip;
}

void pelk_json_public_ip_clear(pelk_json_public_ip *public_ip) {
    if (public_ip == nullptr) {
        return;
    }
    replace_text(&public_ip->ip_address, nullptr);
    replace_text(&public_ip->country_code, nullptr);
}

pelk_json_server_ports pelk_json_read_server_ports(const char *body) {
    pelk_json_server_ports result{0, nullptr, 0, nullptr, 0};
    jsmntok_t tokens[max_tokens];
    const char *text = body != nullptr ? body : "";
    const tokenized parsed = tokenize(text, tokens);
    result.parse_result = parsed.result;
    if (parsed.result <= 0) {
        return result;
    }
    const int count = std::min(parsed.result, static_cast<int>(max_tokens));

    int ports_count = 0;
    for (int i = 0; i < count; ++i) {
        ports_count += tokens[i].type == JSMN_PRIMITIVE ? 1 : 0;
    }
    // One slot at least: malloc(0) may give NULL, and an empty port list must
    // still be a list.
    result.ports = static_cast<int *>(std::malloc(sizeof(int) * static_cast<size_t>(std::max(ports_count, 1))));
    result.tokens =
        static_cast<pelk_json_port_token *>(std::calloc(static_cast<size_t>(count), sizeof(pelk_json_port_token)));
    if (result.ports == nullptr || result.tokens == nullptr) {
        std::abort();
    }
    result.tokens_count = count;

    for (int i = 0; i < count; ++i) {
        const std::string_view token = token_view(text, parsed.length, tokens[i]);
        const bool is_primitive = tokens[i].type == JSMN_PRIMITIVE;
        result.tokens[i].text = text_new(cut_to(token, token_text_budget(i)));
        result.tokens[i].is_primitive = is_primitive;
        if (is_primitive) {
            result.ports[result.ports_count++] = read_decimal(token).value;
        }
    }
    return result;
}

int *pelk_json_server_ports_take_ports(pelk_json_server_ports *server_ports) {
    if (server_ports == nullptr) {
        return nullptr;
    }
    int *ports = server_ports->ports;
    server_ports->ports = nullptr;
    return ports;
}

void pelk_json_server_ports_clear(pelk_json_server_ports *server_ports) {
    if (server_ports == nullptr) {
        return;
    }
    for (int i = 0; i < server_ports->tokens_count; ++i) {
        std::free(server_ports->tokens[i].text);
    }
    std::free(server_ports->tokens);
    std::free(server_ports->ports);
    *server_ports = pelk_json_server_ports{server_ports->parse_result, nullptr, 0, nullptr, 0};
}

char *pelk_json_port_token_log_line_new(int index, const char *text) {
    const std::string_view token = cut_to(text != nullptr ? text : "", token_text_budget(index));
    char line[work_text_size];
    std::snprintf(line, sizeof line, "i = %i, token_iteration= %i, token = %.*s\n", index, 0,
                  static_cast<int>(token.size()), token.data());
    return pelk_string_helper_string_new_from(line);
}

char *pelk_json_parse_result_text_new(int result) {
    switch (result) {
    case JSMN_ERROR_NOMEM:
        return pelk_string_helper_string_new_from("JSMN_ERROR_NOMEM\n");
    case JSMN_ERROR_INVAL:
        return pelk_string_helper_string_new_from("JSMN_ERROR_INVAL\n");
    case JSMN_ERROR_PART:
        return pelk_string_helper_string_new_from("JSMN_ERROR_PART\n");
    default: {
        char text[64];
        std::snprintf(text, sizeof text, "Unknown code: %i", result);
        return pelk_string_helper_string_new_from(text);
    }
    }
}
