// pelk_owned_text: an owned, wiped-on-release malloc'd text.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

// Texts returned by `_new` functions are malloc'd and released with free().
// This owns one on the C++ side so no early return can leak it. Passwords
// and their digests travel as such texts, so every one is wiped before its
// memory goes back to the allocator.
struct pelk_free_deleter {
    void operator()(char *p) const noexcept {
        if (p != nullptr) {
            explicit_bzero(p, std::strlen(p));
            std::free(p);
        }
    }
};
using pelk_owned_text = std::unique_ptr<char, pelk_free_deleter>;
