// pelk_ntlm_encrypt: the NT hash of a password.
#include "service/ntlm.h"

#include "service/ntlm_internal.h"

#include <string.h>  // explicit_bzero
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct md4_context {
    uint32_t state[4];
    uint64_t length;  // bytes fed so far
    unsigned char block[64];
};

constexpr uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }
constexpr uint32_t md4_f(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t md4_g(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); }
constexpr uint32_t md4_h(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }

void md4_compress(uint32_t state[4], const unsigned char block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
               uint32_t(block[4 * i + 3]) << 24;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    // Each round walks the sixteen words in its own order with four shifts
    // that repeat; the steps rotate the roles of a, b, c and d.
    static const int order2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    static const int order3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    static const int shift1[4] = {3, 7, 11, 19};
    static const int shift2[4] = {3, 5, 9, 13};
    static const int shift3[4] = {3, 9, 11, 15};

    for (int i = 0; i < 16; ++i) {
        uint32_t t = rotl(a + md4_f(b, c, d) + x[i], shift1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        uint32_t t = rotl(a + md4_g(b, c, d) + x[order2[i]] + 0x5a827999u, shift2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
        uint32_t t = rotl(a + md4_h(b, c, d) + x[order3[i]] + 0x6ed9eba1u, shift3[i % 4]);
        a = d, d = c, c = b, b = t;
    }

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    explicit_bzero(x, sizeof x);
}

void md4_init(md4_context &ctx) {
    ctx.state[0] = 0x67452301u;
    ctx.state[1] = 0xefcdab89u;
    ctx.state[2] = 0x98badcfeu;
    ctx.state[3] = 0x10325476u;
    ctx.length = 0;
}

void md4_update(md4_context &ctx, const unsigned char *data, size_t length) {
    size_t used = size_t(ctx.length % 64);
    ctx.length += length;
    while (length > 0) {
        size_t take = 64 - used < length ? 64 - used : length;
        std::memcpy(ctx.block + used, data, take);
        used += take;
        data += take;
        length -= take;
        if (used == 64) {
            md4_compress(ctx.state, ctx.block);
            used = 0;
        }
    }
}

void md4_final(md4_context &ctx, unsigned char digest[16]) {
    const uint64_t bits = ctx.length * 8;
    static const unsigned char pad[64] = {0x80};
    size_t used = size_t(ctx.length % 64);
    md4_update(ctx, pad, used < 56 ? 56 - used : 120 - used);
    unsigned char tail[8];
    for (int i = 0; i < 8; ++i) {
        tail[i] = (unsigned char)(bits >> (8 * i));
    }
    md4_update(ctx, tail, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = (unsigned char)(ctx.state[i] >> (8 * j));
        }
    }
    // The context has held password-equivalent material.
    explicit_bzero(&ctx, sizeof ctx);
}

// Length of the well-formed UTF-8 sequence at p and its code point, or 0 when
// the byte at p does not start one (overlong forms, surrogates, values above
// U+10FFFF, truncated sequences). p points at a non-NUL byte.
int utf8_decode(const unsigned char *p, uint32_t *code_point) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        *code_point = b0;
        return 1;
    }
    int length;
    uint32_t value;
    unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        length = 2;
        value = b0 & 0x1f;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        length = 3;
        value = b0 & 0x0f;
        if (b0 == 0xe0) low = 0xa0;
        if (b0 == 0xed) high = 0x9f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        length = 4;
        value = b0 & 0x07;
        if (b0 == 0xf0) low = 0x90;
        if (b0 == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        // A NUL ends the text and fails the range test, so nothing past it is read.
        const unsigned char b = p[i];
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xbf)) {
            return 0;
        }
        value = (value << 6) | (b & 0x3f);
    }
    *code_point = value;
    return length;
}

template <typename Sink>
void for_each_unit(const char *password, Sink &&sink) {
    if (password == nullptr) {
        return;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(password);
    while (*p != 0) {
        uint32_t cp;
        int n = utf8_decode(p, &cp);
        if (n == 0) {
            // Invalid UTF-8: widen the byte on its own, as a Latin-1 reading would.
            sink(char16_t(*p));
            ++p;
            continue;
        }
        p += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            sink(char16_t(0xd800 + (cp >> 10)));
            sink(char16_t(0xdc00 + (cp & 0x3ff)));
        } else {
            sink(char16_t(cp));
        }
    }
}

}  // namespace

void pelk_ntlm_md4(const unsigned char *data, size_t length, unsigned char digest[16]) {
    md4_context ctx;
    md4_init(ctx);
    md4_update(ctx, data, length);
    md4_final(ctx, digest);
}

std::u16string pelk_ntlm_password_units(const char *password) {
    std::u16string units;
    for_each_unit(password, [&units](char16_t unit) { units.push_back(unit); });
    return units;
}

char *pelk_ntlm_encrypt(const char *password) {
    // Units are fed straight into MD4 so no copy of the password lands on the heap.
    md4_context ctx;
    md4_init(ctx);
    for_each_unit(password, [&ctx](char16_t unit) {
        const unsigned char le[2] = {(unsigned char)(unit & 0xff), (unsigned char)(unit >> 8)};
        md4_update(ctx, le, 2);
    });
    unsigned char digest[16];
    md4_final(ctx, digest);

    char *text = static_cast<char *>(std::malloc(33));
    if (text != nullptr) {
        static const char hex[] = "0123456789ABCDEF";
        for (int i = 0; i < 16; ++i) {
            text[2 * i] = hex[digest[i] >> 4];
            text[2 * i + 1] = hex[digest[i] & 0x0f];
        }
        text[32] = '\0';
    }
    explicit_bzero(digest, sizeof digest);
    return text;
}
