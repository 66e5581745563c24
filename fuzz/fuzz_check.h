#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

// Shared by the fuzz targets: a broken invariant must end the run so that
// the fuzzer keeps the input that broke it.
inline void fuzz_check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// The input as the readers see it: a NUL-terminated text, cut at the first
// NUL byte the fuzzer put in.
inline std::string fuzz_text(const unsigned char *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    return text;
}

// A text a reader returned is NUL-free by construction; it must also be a
// piece of the input, or the reader made it up or read outside the body.
inline bool fuzz_is_part_of(const std::string &body, const char *text) {
    return text != nullptr && body.find(text) != std::string::npos;
}
