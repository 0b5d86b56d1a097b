#include "owners/lookup.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantle::owners {
namespace {

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("python3.14"));
    EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9"));                 // U+00E9
    EXPECT_TRUE(is_valid_utf8("\xE2\x82\xAC"));                // U+20AC
    EXPECT_TRUE(is_valid_utf8("\xED\x9F\xBF"));                // U+D7FF, just below the surrogates
    EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));            // U+1F600
    EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));            // U+10FFFF
    EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));        // NUL is a character
}

TEST(Utf8, RefusesWhatAStrictDecoderRefuses) {
    EXPECT_FALSE(is_valid_utf8("\xFF"));
    EXPECT_FALSE(is_valid_utf8("\x80"));                       // lone continuation
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));                   // overlong '/'
    EXPECT_FALSE(is_valid_utf8("\xC1\xBF"));
    EXPECT_FALSE(is_valid_utf8("\xE0\x9F\xBF"));               // overlong three-byte form
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));               // U+D800, a surrogate
    EXPECT_FALSE(is_valid_utf8("\xF0\x8F\xBF\xBF"));           // overlong four-byte form
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));           // above U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\xF5\x80\x80\x80"));
    EXPECT_FALSE(is_valid_utf8("caf\xC3"));                    // cut short
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));
    EXPECT_FALSE(is_valid_utf8("\xE2\x28\xA1"));               // bad continuation
}

TEST(Utf8, PrefixNeverEndsInsideASequence) {
    const std::string text = "ab\xE2\x82\xAC" "cd";  // a, b, U+20AC, c, d
    EXPECT_EQ(utf8_prefix_length(text, 100), text.size());
    EXPECT_EQ(utf8_prefix_length(text, 2), 2u);
    EXPECT_EQ(utf8_prefix_length(text, 3), 2u);
    EXPECT_EQ(utf8_prefix_length(text, 4), 2u);
    EXPECT_EQ(utf8_prefix_length(text, 5), 5u);
    for (std::size_t limit = 0; limit <= text.size(); ++limit) {
        EXPECT_TRUE(is_valid_utf8(std::string_view(text).substr(0, utf8_prefix_length(text, limit)))) << limit;
    }
}

}  // namespace
}  // namespace vantle::owners
