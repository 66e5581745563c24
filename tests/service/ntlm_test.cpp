#include "service/ntlm.h"
#include "service/ntlm_internal.h"

#include "base/owned_text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string hex_lower(const unsigned char *digest) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string md4_of(const std::string &data) {
    unsigned char digest[16];
    pelk_ntlm_md4(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
    return hex_lower(digest);
}

std::string nt_hash(const char *password) {
    pelk_owned_text text(pelk_ntlm_encrypt(password));
    return text ? std::string(text.get()) : std::string("<null>");
}

// The historical one-block routine, written out step by step from RFC 1320
// (independent of the library's loop form). Valid for ASCII up to 27 bytes.
#define R_F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define R_G(x, y, z) (((x) & (y)) | ((x) & (z)) | ((y) & (z)))
#define R_H(x, y, z) ((x) ^ (y) ^ (z))
#define R_ROT(x, s) (((x) << (s)) | ((x) >> (32 - (s))))
#define R_FF(a, b, c, d, k, s) a = R_ROT(a + R_F(b, c, d) + w[k], s)
#define R_GG(a, b, c, d, k, s) a = R_ROT(a + R_G(b, c, d) + w[k] + 0x5A827999u, s)
#define R_HH(a, b, c, d, k, s) a = R_ROT(a + R_H(b, c, d) + w[k] + 0x6ED9EBA1u, s)

std::string single_block_reference(const std::string &password) {
    uint32_t w[16] = {};
    const size_t n = password.size();
    const auto byte = [&](size_t i) { return uint32_t(uint8_t(password[i])); };
    for (size_t i = 0; i < n / 2; ++i) {
        w[i] = byte(2 * i) + (byte(2 * i + 1) << 16);
    }
    if (n % 2 == 1) {
        w[n / 2] = byte(n - 1) + 0x800000u;
    } else {
        w[n / 2] = 0x80;
    }
    w[14] = uint32_t(n * 16);

    uint32_t a = 0x67452301u, b = 0xefcdab89u, c = 0x98badcfeu, d = 0x10325476u;
    R_FF(a, b, c, d, 0, 3);
    R_FF(d, a, b, c, 1, 7);
    R_FF(c, d, a, b, 2, 11);
    R_FF(b, c, d, a, 3, 19);
    R_FF(a, b, c, d, 4, 3);
    R_FF(d, a, b, c, 5, 7);
    R_FF(c, d, a, b, 6, 11);
    R_FF(b, c, d, a, 7, 19);
    R_FF(a, b, c, d, 8, 3);
    R_FF(d, a, b, c, 9, 7);
    R_FF(c, d, a, b, 10, 11);
    R_FF(b, c, d, a, 11, 19);
    R_FF(a, b, c, d, 12, 3);
    R_FF(d, a, b, c, 13, 7);
    R_FF(c, d, a, b, 14, 11);
    R_FF(b, c, d, a, 15, 19);

    R_GG(a, b, c, d, 0, 3);
    R_GG(d, a, b, c, 4, 5);
    R_GG(c, d, a, b, 8, 9);
    R_GG(b, c, d, a, 12, 13);
    R_GG(a, b, c, d, 1, 3);
    R_GG(d, a, b, c, 5, 5);
    R_GG(c, d, a, b, 9, 9);
    R_GG(b, c, d, a, 13, 13);
    R_GG(a, b, c, d, 2, 3);
    R_GG(d, a, b, c, 6, 5);
    R_GG(c, d, a, b, 10, 9);
    R_GG(b, c, d, a, 14, 13);
    R_GG(a, b, c, d, 3, 3);
    R_GG(d, a, b, c, 7, 5);
    R_GG(c, d, a, b, 11, 9);
    R_GG(b, c, d, a, 15, 13);

    R_HH(a, b, c, d, 0, 3);
    R_HH(d, a, b, c, 8, 9);
    R_HH(c, d, a, b, 4, 11);
    R_HH(b, c, d, a, 12, 15);
    R_HH(a, b, c, d, 2, 3);
    R_HH(d, a, b, c, 10, 9);
    R_HH(c, d, a, b, 6, 11);
    R_HH(b, c, d, a, 14, 15);
    R_HH(a, b, c, d, 1, 3);
    R_HH(d, a, b, c, 9, 9);
    R_HH(c, d, a, b, 5, 11);
    R_HH(b, c, d, a, 13, 15);
    R_HH(a, b, c, d, 3, 3);
    R_HH(d, a, b, c, 11, 9);
    R_HH(c, d, a, b, 7, 11);
    R_HH(b, c, d, a, 15, 15);

    const uint32_t state[4] = {a + 0x67452301u, b + 0xefcdab89u, c + 0x98badcfeu, d + 0x10325476u};
    static const char table[] = "0123456789ABCDEF";
    std::string out;
    for (uint32_t word : state) {
        for (int i = 0; i < 4; ++i) {
            const uint8_t v = uint8_t(word >> (8 * i));
            out += table[v >> 4];
            out += table[v & 15];
        }
    }
    return out;
}

struct Md4Case {
    std::string input;
    const char *digest;
};

TEST(NtlmMd4, Rfc1320SuiteAndBlockBoundaries) {
    const Md4Case cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"message digest", "d9130a8164549fe818874806e1c7014b"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890"
         "1234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
        // Padding that just fits, just misses, and fills a second block.
        {std::string(55, 'a'), "c889c81dd86c4d2e025778944ea02881"},
        {std::string(56, 'a'), "d5f9a9e9257077a5f08b0b92f348b0ad"},
        {std::string(63, 'a'), "7ea3da77432d44c323671097d1348fc8"},
        {std::string(64, 'a'), "52f5076fabd22680234a3fa9f9dc5732"},
        {std::string(65, 'a'), "330e377bf231f3cacfecc2c182fe7e5b"},
        {std::string(119, 'a'), "e65dd227ccef97fa1d34d70189120f76"},
        {std::string(120, 'a'), "b03ddbd470b47c013e0c7ab2ddd763db"},
        {std::string(128, 'a'), "cb4a20a561558e29460190c91dced59f"},
        {std::string(1000000, 'x'), "043190a8c2593289f299ad1a587b0922"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(md4_of(c.input), c.digest) << "length " << c.input.size();
    }
}

struct NtCase {
    const char *password;
    const char *hash;
};

TEST(NtlmEncrypt, KnownNtHashes) {
    // Reference values: published NT hashes and UTF-16LE + MD4 computed
    // independently of this code.
    const NtCase cases[] = {
        {"", "31D6CFE0D16AE931B73C59D7E0C089C0"},
        {"x", "A9F0DD57E1EDAB5BB55A9AC0A99C15EC"},
        {"xy", "35D55AE7DE5DA4B9B060E061D9F83765"},
        {"admin", "209C6174DA490CAEB422F3FA5A7AE634"},
        {"123456", "32ED87BDB5FDC5E9CBA88547376818D4"},
        {"hashcat", "B4B9B02E6F09A9BD760F388B67351E2B"},
        {"password", "8846F7EAEE8FB117AD06BDD830B7586C"},
        {"Password", "A4F49C406510BDCAB6824EE7C30FD852"},
        {"abcdefghijklmnopqrstuvwxyz0", "30E4949D861558E236B5D9EED7DFBC5B"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaa", "3F9798B4E3C435593074A9EF81662507"},
        // From here on the units no longer fit one block.
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaa", "7D4A56633580793AA26AD0259F60280B"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "6B83795064C1A6903764BD5891D08A9E"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "6BAC3C9CE57D7AF5F4C284C82171BFB7"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "6321EA6CE9C54E0DDB40094207913FB6"},
        {"!(/6=DKRY`gnu|%,3:AHOV]dkry\")07>ELSZahov}&-4;BIPW^elsz#*18?FMT[bipw~'.5<CJQX_fmt{$+29@"
         "GNU\\cjqx!(/6=D",
         "279E4E71EEB64965767D5840302E5493"},
        // Non-ASCII UTF-8: two-byte, Cyrillic, CJK, and a character outside
        // the BMP that becomes a surrogate pair.
        {"Passw\xc3\xb6rd", "6E8E3CF1C8E1E0E84061598889182A5E"},
        {"\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c", "507E3EE80DF7DB7C1FDD8D50AE8DB606"},
        {"\xe5\xaf\x86\xe7\xa0\x81", "F900556F89880C4084E3C644C6C20B9C"},
        {"\xf0\x9f\x98\x80pw", "810ECC432030DF99F64E27F13F1A092F"},
        {"\xc3\xa9t\xc3\xa9", "6FD6E4578AA492F412C1C83AE40432C8"},
        // Invalid UTF-8 (Latin-1 "été"): each byte widened, so the same
        // units and hash as the UTF-8 text.
        {"\xe9t\xe9", "6FD6E4578AA492F412C1C83AE40432C8"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(nt_hash(c.password), c.hash) << "password of " << strlen(c.password) << " bytes";
    }
}

TEST(NtlmEncrypt, LongPassword) {
    EXPECT_EQ(nt_hash(std::string(1000, 'a').c_str()), "258B48029DE2AD0107E1BFA9C86747F4");
}

TEST(NtlmEncrypt, NullPasswordDigestsTheEmptyMessage) {
    EXPECT_EQ(nt_hash(nullptr), "31D6CFE0D16AE931B73C59D7E0C089C0");
}

TEST(NtlmEncrypt, ResultIsThirtyTwoUpperCaseHexDigits) {
    for (const char *password : {"", "a", "\xff\xfe", "correct horse battery staple"}) {
        pelk_owned_text text(pelk_ntlm_encrypt(password));
        ASSERT_NE(text, nullptr);
        ASSERT_EQ(strlen(text.get()), 32u);
        for (int i = 0; i < 32; ++i) {
            const char ch = text.get()[i];
            EXPECT_TRUE(std::isdigit((unsigned char)ch) || (ch >= 'A' && ch <= 'F')) << ch;
        }
    }
}

TEST(NtlmEncrypt, EqualsSingleBlockRoutineForEveryAsciiLengthUpToTwentySeven) {
    // Several byte patterns per length, covering the ends of the 1..0x7F
    // range so a sign or masking slip in the unit widening shows.
    for (size_t n = 0; n <= 27; ++n) {
        for (int pattern = 0; pattern < 6; ++pattern) {
            std::string password;
            for (size_t i = 0; i < n; ++i) {
                int v;
                switch (pattern) {
                case 0:
                    v = 'a' + int(i % 26);
                    break;
                case 1:
                    v = 0x7f;
                    break;
                case 2:
                    v = 0x01;
                    break;
                case 3:
                    v = 0x01 + int((i * 37 + n) % 0x7f);
                    break;
                case 4:
                    v = (i % 2) ? 0x7f : 0x01;
                    break;
                default:
                    v = ' ' + int((i * 13) % 95);
                    break;
                }
                password += char(v);
            }
            EXPECT_EQ(nt_hash(password.c_str()), single_block_reference(password))
                << "length " << n << " pattern " << pattern;
        }
    }
}

struct UnitsCase {
    const char *name;
    const char *text;
    std::u16string units;
};

TEST(NtlmPasswordUnits, DecodesUtf8AndWidensInvalidBytes) {
    const UnitsCase cases[] = {
        {"ascii", "ab", u"ab"},
        {"two-byte", "\xc3\xa9", u"\u00e9"},
        {"three-byte", "\xe2\x82\xac", u"\u20ac"},
        {"four-byte", "\xf0\x9f\x98\x80", std::u16string{0xd83d, 0xde00}},
        {"largest code point", "\xf4\x8f\xbf\xbf", std::u16string{0xdbff, 0xdfff}},
        {"lone continuation", "\x80", std::u16string{0x80}},
        {"invalid lead 0xff",
         "a\xff"
         "b",
         std::u16string{'a', 0xff, 'b'}},
        {"overlong slash", "\xc0\xaf", std::u16string{0xc0, 0xaf}},
        {"overlong three-byte", "\xe0\x80\xaf", std::u16string{0xe0, 0x80, 0xaf}},
        {"encoded surrogate", "\xed\xa0\x80", std::u16string{0xed, 0xa0, 0x80}},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", std::u16string{0xf4, 0x90, 0x80, 0x80}},
        {"truncated at end", "x\xe2\x82", std::u16string{'x', 0xe2, 0x82}},
        {"truncated then valid",
         "\xe2\x82"
         "a",
         std::u16string{0xe2, 0x82, 'a'}},
        {"lead then valid lead", "\xc3\xc3\xa9", std::u16string{0xc3, 0xe9}},
        {"empty", "", u""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(pelk_ntlm_password_units(c.text), c.units) << c.name;
    }
    EXPECT_EQ(pelk_ntlm_password_units(nullptr), u"");
}

TEST(NtlmEncrypt, TruncatedSequenceNeverReadsPastTheEnd) {
    // The buffer ends right after the lead byte; a decoder that skipped the
    // NUL check would read beyond it (caught under the address sanitizer).
    char *text = static_cast<char *>(malloc(2));
    text[0] = '\xf0';
    text[1] = '\0';
    EXPECT_EQ(nt_hash(text), nt_hash("\xc3\xb0"));  // U+00F0 widened
    free(text);
}

}  // namespace
