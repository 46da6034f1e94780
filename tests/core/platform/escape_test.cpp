#include "core/platform/escape.h"

#include <gtest/gtest.h>

#include <string>

TEST(BackslashEscape, ControlCharactersAndTheBackslashAreEscapedEverythingElseIsKept) {
    std::string out;
    for (unsigned char c : std::string("a\\\n\t\r\x01\x1f\x7f \xC3\xA9'\"%$")) kx::appendBackslashEscaped(out, c);
    EXPECT_EQ(out, "a\\\\\\n\\t\\r\\x01\\x1f\\x7f \xC3\xA9'\"%$");
}
