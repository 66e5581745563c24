#include "account_query.h"

#include <glib.h>

#include <cstdio>
#include <string_view>

namespace {

constexpr size_t masked_limit = 1024;

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Strict percent-decoding: every '%' must start a two-digit escape.
bool decode(std::string_view text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool has_control(const std::string &text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

bool is_password_key(std::string_view raw_key) {
    std::string key;
    if (!decode(raw_key, &key)) {
        return true;
    }
    // Near misses ("Password", "password%00") are masked as well: the log
    // must not show a secret that a careless client sent under a wrong key.
    for (char &c : key) {
        c = g_ascii_tolower(c);
    }
    return key.find("password") != std::string::npos;
}

}  // namespace

std::string account_query_printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool account_query_parse(const char *raw, std::map<std::string, std::string> *values, std::string *error) {
    values->clear();
    const std::string_view query = raw == nullptr ? std::string_view() : std::string_view(raw);
    if (query.size() > ACCOUNT_QUERY_MAX_LENGTH) {
        *error = "query too long";
        return false;
    }
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) {
            continue;
        }
        const size_t equals = pair.find('=');
        const std::string_view raw_key = pair.substr(0, equals);
        const std::string_view raw_value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::string key;
        std::string value;
        if (!decode(raw_key, &key) || !decode(raw_value, &value)) {
            *error = "malformed percent escape";
            return false;
        }
        if (has_control(key) || has_control(value) ||
            !g_utf8_validate(key.data(), static_cast<gssize>(key.size()), nullptr) ||
            !g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr)) {
            *error = "control character or invalid UTF-8";
            return false;
        }
        if (key.empty()) {
            *error = "empty key";
            return false;
        }
        if (value.size() > ACCOUNT_QUERY_MAX_VALUE || key.size() > ACCOUNT_QUERY_MAX_VALUE) {
            *error = "value too long";
            return false;
        }
        // A repeated key could mean one thing to a proxy and another here.
        if (!values->emplace(std::move(key), std::move(value)).second) {
            *error = "repeated key";
            return false;
        }
    }
    return true;
}

std::string account_query_masked(const char *raw) {
    if (raw == nullptr) {
        return "";
    }
    const std::string_view query(raw);
    std::string out;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        const std::string_view pair = query.substr(start, end - start);
        if (start > 0) {
            out.push_back('&');
        }
        start = end + 1;
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && is_password_key(pair.substr(0, equals))) {
            out += account_query_printable(std::string(pair.substr(0, equals))) + "=***";
        } else {
            out += account_query_printable(std::string(pair));
        }
        if (out.size() > masked_limit) {
            break;
        }
    }
    if (out.size() > masked_limit) {
        out.resize(masked_limit);
        out += "...";
    }
    return out;
}
