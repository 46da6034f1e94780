// The bytes of a record are what the manifest chain vouches for: an encoder
// that wrote one of them differently would make every archive look tampered
// with. These are the bytes the format gives, spelled out by hand.
#include "core/archive/archive_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

using namespace kx;

namespace {

std::string field(const std::string& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out + bytes;
}

} // namespace

TEST(RecordEncoding, NumbersTextsFlagsAndAbsentValuesHaveTheirFixedBytes) {
    const std::string longText(700, 'x'); // longer than any room reserved up front
    records::Encoder r(records::kMessage);
    r.text(std::string_view("G-1"))
        .number(std::int64_t{1700000000123456789})
        .number(std::int64_t{-42})
        .number(std::numeric_limits<std::int64_t>::min())
        .number(std::optional<std::int64_t>{})
        .flag(true)
        .text(std::optional<std::string>(longText))
        .absent()
        .number(std::optional<std::int64_t>(0));
    const std::string absent("\xFF\xFF\xFF\xFF", 4);
    const std::string expected = std::string("KXR1M") + field("G-1") + field("1700000000123456789") + field("-42") +
                                 field("-9223372036854775808") + absent + field("1") + field(longText) + absent +
                                 field("0");
    EXPECT_EQ(r.bytes(), expected);

    records::Decoded d;
    ASSERT_TRUE(records::decode(r.bytes(), d));
    ASSERT_EQ(d.fields.size(), 9u);
    EXPECT_EQ(d.fields[1], "1700000000123456789");
    EXPECT_FALSE(d.fields[4].has_value());
    EXPECT_EQ(d.fields[6], longText);
}
