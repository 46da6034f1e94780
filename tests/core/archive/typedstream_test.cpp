#include "core/archive/typedstream.h"
#include "tests/fixtures/typedstream_writer.h"

#include <gtest/gtest.h>

using kx::fixtures::encodeAttributedBody;
using kx::fixtures::TypedStreamWriter;
using kx::typedstream::decodeAttributedBody;
using kx::typedstream::sanitizeUtf8;

TEST(TypedStream, DecodesTextOfEveryLengthEncodingAndBothClassForms) {
    const std::string texts[] = {"", "Hello", "café ☕ — 🎉", std::string(200, 'a'), std::string(40000, 'b')};
    for (const auto& text : texts)
        for (bool mutableForm : {false, true}) {
            auto r = decodeAttributedBody(encodeAttributedBody(text, {}, mutableForm));
            ASSERT_TRUE(r.body) << r.error << " for length " << text.size();
            EXPECT_EQ(r.body->text, text);
            EXPECT_TRUE(r.body->attachmentGuids.empty());
        }
}

TEST(TypedStream, FindsAttachmentGuidsInOrder) {
    auto r = decodeAttributedBody(encodeAttributedBody("\xEF\xBF\xBC\xEF\xBF\xBC two photos", {"GUID-A", "GUID-B"}));
    ASSERT_TRUE(r.body) << r.error;
    EXPECT_EQ(r.body->text, "\xEF\xBF\xBC\xEF\xBF\xBC two photos");
    EXPECT_EQ(r.body->attachmentGuids, (std::vector<std::string>{"GUID-A", "GUID-B"}));
}

TEST(TypedStream, RejectsWhatIsNotAMessageBody) {
    EXPECT_FALSE(decodeAttributedBody("").body);
    EXPECT_FALSE(decodeAttributedBody("plain text, not an archive").body);
    EXPECT_FALSE(decodeAttributedBody(std::string("\x04\x0btypedstream\x81\xe8\x03", 16)).body); // big-endian form
    EXPECT_FALSE(decodeAttributedBody("bplist00\x01\x02").body);
    TypedStreamWriter headerOnly;
    auto r = decodeAttributedBody(headerOnly.bytes());
    EXPECT_FALSE(r.body);
    EXPECT_FALSE(r.error.empty());
}

TEST(TypedStream, EveryTruncationAndEveryByteFlipFailsSoftly) {
    const std::string good = encodeAttributedBody("A body with an attachment \xEF\xBF\xBC", {"ATT-1"}, true);
    for (std::size_t n = 0; n < good.size(); ++n) {
        auto r = decodeAttributedBody(std::string_view(good).substr(0, n));
        EXPECT_TRUE(r.body || !r.error.empty());
    }
    for (std::size_t i = 0; i < good.size(); ++i)
        for (int v : {0x00, 0x7f, 0x80, 0x81, 0x82, 0x84, 0x85, 0x86, 0x92, 0xff}) {
            std::string bad = good;
            bad[i] = static_cast<char>(v);
            auto r = decodeAttributedBody(bad);
            if (r.body) EXPECT_EQ(sanitizeUtf8(r.body->text), r.body->text);
            else EXPECT_FALSE(r.error.empty());
        }
}

TEST(TypedStream, HostileLengthsReferencesAndNestingAreRefused) {
    { // a string claiming 2 GB
        TypedStreamWriter w;
        w.typeGroup("@");
        w.beginObject({{"NSString", 1}, {"NSObject", 0}});
        w.typeGroup("+");
        w.integer(0x7fffffff);
        w.raw("short");
        EXPECT_FALSE(decodeAttributedBody(w.bytes()).body);
    }
    { // a reference to a string never defined
        TypedStreamWriter w;
        w.raw("\xA0");
        auto r = decodeAttributedBody(w.bytes());
        EXPECT_FALSE(r.body);
        EXPECT_NE(r.error.find("refers"), std::string::npos) << r.error;
    }
    { // objects nested far deeper than any message body
        TypedStreamWriter w;
        for (int i = 0; i < 5000; ++i) {
            w.typeGroup("@");
            w.beginObject({{"NSArray", 0}, {"NSObject", 0}});
        }
        auto r = decodeAttributedBody(w.bytes());
        EXPECT_FALSE(r.body);
        EXPECT_NE(r.error.find("deep"), std::string::npos) << r.error;
    }
    { // an array type with a huge count of empty elements
        TypedStreamWriter w;
        w.typeGroup("[999999999!]");
        EXPECT_FALSE(decodeAttributedBody(w.bytes()).body);
    }
    { // an object whose class chain refers to an object, not a class
        TypedStreamWriter w;
        w.typeGroup("@");
        w.raw("\x84\x92");
        EXPECT_FALSE(decodeAttributedBody(w.bytes()).body);
    }
}

TEST(TypedStream, RepeatedReferencesToALongStringCostNoCopies) {
    // 40,000 references to one 100 KB string: copying each would need 4 GB.
    TypedStreamWriter w;
    w.typeGroup("@");
    w.beginObject({{"NSString", 1}, {"NSObject", 0}});
    w.typeGroup("+");
    w.unsharedString("short text");
    const std::string big(100000, 'q');
    for (int i = 0; i < 40000; ++i) {
        w.typeGroup("%");
        w.sharedString(big);
    }
    w.endObject();
    auto r = decodeAttributedBody(w.bytes());
    ASSERT_TRUE(r.body) << r.error;
    EXPECT_EQ(r.body->text, "short text");
}

TEST(TypedStream, InvalidUtf8InTheTextIsReplacedNotPassedOn) {
    auto r = decodeAttributedBody(encodeAttributedBody(std::string("ok \xC3\x28 \xED\xA0\x80 \xF4\x90\x80\x80 end")));
    ASSERT_TRUE(r.body) << r.error;
    EXPECT_EQ(
        r.body->text,
        "ok \xEF\xBF\xBD( \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD end");
    EXPECT_EQ(sanitizeUtf8("é ☕ 🎉"), "é ☕ 🎉");
    EXPECT_EQ(sanitizeUtf8(std::string("\xC0\xAF")), "\xEF\xBF\xBD\xEF\xBF\xBD"); // overlong "/"
}

namespace {

// The body of `text` with its string's one-byte length replaced by one that
// runs far past the end of the blob.
std::string withOverlongLength(const std::string& text, const std::vector<std::string>& guids = {}) {
    std::string blob = encodeAttributedBody(text, guids, true);
    const std::size_t at = blob.find(text);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(static_cast<unsigned char>(blob[at - 1]), text.size());
    blob.replace(at - 1, 1, "\x81\xff\x7f"); // 32767 bytes
    return blob;
}

} // namespace

TEST(TypedStream, ADeclaredLengthPastTheEndKeepsTheTextUpToTheStringsEnd) {
    // Whole characters up to the string object's end: the text and the rest of
    // the body (its attachment) are kept, and the body says it was shortened.
    const std::string text = "\xEF\xBF\xBC Caf\xC3\xA9 \xE2\x98\x95 \xC6\x86k"; // U+0186 ends in the tag's byte value
    auto r = decodeAttributedBody(withOverlongLength(text, {"ATT-1"}));
    ASSERT_TRUE(r.body) << r.error;
    EXPECT_EQ(r.body->text, text);
    EXPECT_EQ(r.body->attachmentGuids, (std::vector<std::string>{"ATT-1"}));
    EXPECT_TRUE(r.body->declaredLengthTooLong);
    EXPECT_FALSE(decodeAttributedBody(encodeAttributedBody(text)).body->declaredLengthTooLong);

    // Invalid UTF-8 before the end tag, a blob cut inside the text, an empty
    // string and a cut right after the text: no body, as before.
    EXPECT_FALSE(decodeAttributedBody(withOverlongLength(std::string("ok \xC3\x28 no"))).body);
    const std::string cut = withOverlongLength("a text that is cut");
    EXPECT_FALSE(decodeAttributedBody(cut.substr(0, cut.find("is cut"))).body);
    EXPECT_FALSE(decodeAttributedBody(cut.substr(0, cut.find("is cut") + 6)).body);
    std::string empty = encodeAttributedBody("", {}, true);
    const std::size_t zero = empty.find(std::string("\x2b\x00", 2)); // "+" then the length 0
    ASSERT_NE(zero, std::string::npos);
    empty.replace(zero + 1, 1, "\x81\xff\x7f");
    EXPECT_FALSE(decodeAttributedBody(empty).body);
}
