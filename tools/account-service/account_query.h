#pragma once

#include <map>
#include <string>

// Query strings of service requests. Values are percent-decoded and a '+'
// stays a plus sign: the client percent-encodes, it never form-encodes.

inline constexpr size_t ACCOUNT_QUERY_MAX_LENGTH = 4096;
inline constexpr size_t ACCOUNT_QUERY_MAX_VALUE = 499;

// Splits raw (the text after '?'; null or empty for none) into decoded keys
// and values. Returns false with a short reason in *error when the query is
// malformed: too long, a broken percent escape, a decoded control character
// or invalid UTF-8, an empty or repeated key, or a value over 499 bytes.
bool account_query_parse(const char *raw, std::map<std::string, std::string> *values, std::string *error);

// raw as it may be logged: every value of a key that contains "password" in
// any case (or that cannot be decoded) becomes ***, bytes outside printable ASCII
// are shown percent-encoded, and the text is cut at 1024 bytes.
std::string account_query_masked(const char *raw);

// text with every byte outside printable ASCII shown as %XX, so that no
// request can forge or break a log line.
std::string account_query_printable(const std::string &text);
