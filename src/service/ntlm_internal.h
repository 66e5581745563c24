// pelk_ntlm_md4: MD4, for the tests.
#pragma once

#include <cstddef>
#include <string>

// Pieces of the NT hash exposed for tests.

// MD4 (RFC 1320) of length bytes at data into digest.
void pelk_ntlm_md4(const unsigned char *data, size_t length, unsigned char digest[16]);

// The 16-bit units the digest is taken over: UTF-16 of the UTF-8 text, with
// every byte that does not start a well-formed UTF-8 sequence widened to a
// unit of its own (U+0000-U+00FF). NULL gives no units.
std::u16string pelk_ntlm_password_units(const char *password);
