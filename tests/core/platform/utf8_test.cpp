#include "core/platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

using kx::isValidUTF8;
using kx::validUTF8SequenceLength;

TEST(UTF8, AcceptsEveryLengthAndRefusesOverlongSurrogateTruncatedAndOutOfRangeForms) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("a é ☕ 🎉"));
    EXPECT_EQ(validUTF8SequenceLength("a", 0), 1u);
    EXPECT_EQ(validUTF8SequenceLength("é", 0), 2u);
    EXPECT_EQ(validUTF8SequenceLength("☕", 0), 3u);
    EXPECT_EQ(validUTF8SequenceLength("🎉", 0), 4u);

    for (const std::string& bad : {
             std::string("\xC0\xAF"),         // overlong "/"
             std::string("\xE0\x80\xAF"),     // overlong, three bytes
             std::string("\xED\xA0\x80"),     // surrogate U+D800
             std::string("\xF4\x90\x80\x80"), // past U+10FFFF
             std::string("\xE2\x98"),         // cut short
             std::string("\x80"),             // lone continuation byte
             std::string("\xFF"),
         }) {
        EXPECT_FALSE(isValidUTF8(bad));
        EXPECT_FALSE(isValidUTF8("ok " + bad + " ok"));
        EXPECT_EQ(validUTF8SequenceLength(bad, 0), 0u);
    }
}
