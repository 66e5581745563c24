#pragma once

#include <cstdlib>
#include <memory>

// Texts returned by `_new` functions are malloc'd and released with free().
// This owns one on the C++ side so no early return can leak it.
struct pelk_free_deleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using pelk_owned_text = std::unique_ptr<char, pelk_free_deleter>;
