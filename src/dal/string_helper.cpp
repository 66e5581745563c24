// pelk_string_helper_*: copies and releases of texts.
#include "dal/string_helper.h"

#include <cstdlib>
#include <cstring>

char *pelk_string_helper_string_new_from(const char *text) {
    const char *source = text != nullptr ? text : "";
    const size_t length = std::strlen(source);
    auto *copy = static_cast<char *>(std::malloc(length + 1));
    // Out of memory ends the program, as it does everywhere in GLib: callers
    // rely on a text, and a silent NULL would surface far from the cause.
    if (copy == nullptr) {
        std::abort();
    }
    std::memcpy(copy, source, length + 1);
    return copy;
}

// Passwords are among the texts released here: wiped first.
void pelk_string_helper_string_free(char *text) {
    if (text != nullptr) {
        explicit_bzero(text, std::strlen(text));
        std::free(text);
    }
}
