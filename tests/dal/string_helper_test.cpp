#include "dal/server_entity.h"
#include "dal/string_helper.h"

#include "base/owned_text.h"

#include <gtest/gtest.h>

namespace {

TEST(StringHelper, CopiesAreFreshAndAbsentIsEmpty) {
    const char *inputs[] = {"", "a", "Gold Plan", "\xc3\xa9t\xc3\xa9", nullptr};
    for (const char *input : inputs) {
        pelk_owned_text copy(pelk_string_helper_string_new_from(input));
        pelk_owned_text other(char_array_new(input));
        ASSERT_NE(copy, nullptr);
        ASSERT_NE(other, nullptr);
        EXPECT_STREQ(copy.get(), input != nullptr ? input : "");
        EXPECT_STREQ(other.get(), copy.get());
        EXPECT_NE(static_cast<const void *>(copy.get()), static_cast<const void *>(input));
    }
    pelk_string_helper_string_free(nullptr);
    pelk_string_helper_string_free(pelk_string_helper_string_new_from("x"));
}

}  // namespace
