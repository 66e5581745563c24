// http_manager_base_url_*, http_manager_url_append: the URL builders' parts, for the tests.
#pragma once

#include <cstddef>

// Test hooks of the request URL builders.

// The base URL that an environment value selects: the value itself when set
// and not empty, the compiled one otherwise. New text (free()).
char *http_manager_base_url_choose_new(const char *environment_value);

// Replaces the base URL (and the public-IP URL with it) for the rest of the
// process. Texts handed out before stay valid.
void http_manager_base_url_override(const char *base_url);

// Appends text to out (capacity bytes in all, *used of them taken), either
// as it is or with every byte outside A-Za-z0-9@._~- percent-encoded.
// False, with out and *used unchanged, when the result and its NUL would not
// fit.
bool http_manager_url_append(char *out, size_t capacity, size_t *used, const char *text, bool percent_encode);
