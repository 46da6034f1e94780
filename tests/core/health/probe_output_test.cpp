#include "core/health/probe_output.h"

#include "core/platform/error.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

ProbeOutput readableReply() {
    ProbeOutput o;
    o.databasePath = "/home/jo/Library/Messages/chat.db";
    o.databaseExists = true;
    o.readable = true;
    o.messageCount = 1234;
    o.userId = 1000;
    o.executable = "/usr/libexec/kelvara/kxctl";
    return o;
}

std::string decodeError(std::string_view bytes) {
    try {
        ProbeOutput::decode(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(ProbeOutput, RoundTripsBothShapesInTheDocumentedKeyOrder) {
    const ProbeOutput readable = readableReply();
    const std::string text = readable.encode();
    EXPECT_EQ(text,
              R"({"format":1,"databasePath":"/home/jo/Library/Messages/chat.db","databaseExists":true,"readable":true,)"
              R"("messageCount":1234,"problem":null,"userId":1000,"executable":"/usr/libexec/kelvara/kxctl"})");
    EXPECT_EQ(ProbeOutput::decode(text), readable);

    ProbeOutput blocked = readable;
    blocked.readable = false;
    blocked.messageCount.reset();
    blocked.problem = "chat.db cannot be read: Permission denied";
    EXPECT_EQ(ProbeOutput::decode(blocked.encode()), blocked);
}

TEST(ProbeOutput, AcceptsUnknownKeysAndLeavesOptionalOnesOut) {
    const auto o = ProbeOutput::decode(
        R"({"format":1,"databasePath":"/x","databaseExists":false,"readable":false,"messageCount":null,"problem":"gone","later":[1,2]})");
    EXPECT_FALSE(o.databaseExists);
    EXPECT_EQ(o.problem, "gone");
    EXPECT_EQ(o.userId, -1);
    EXPECT_EQ(o.executable, "");
}

TEST(ProbeOutput, RejectsMalformedRepliesWithAReason) {
    EXPECT_NE(decodeError("hello").find("not valid JSON"), std::string::npos);
    EXPECT_NE(decodeError("").find("not valid JSON"), std::string::npos);
    EXPECT_NE(decodeError("{\"format\":1,").find("not valid JSON"), std::string::npos);
    EXPECT_EQ(decodeError("[1,2,3]"), "the reply is not a JSON object");
    EXPECT_EQ(decodeError(R"({"format":1})"), "the key \"databasePath\" is missing");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":7,"databaseExists":true,"readable":true,"messageCount":1,"problem":null})"),
        "the key \"databasePath\" is not text");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":"yes","readable":true,"messageCount":1,"problem":null})"),
        "the key \"databaseExists\" is not true or false");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":true,"readable":true,"messageCount":-4,"problem":null})"),
        "the key \"messageCount\" is negative");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":true,"readable":true,"messageCount":1.5,"problem":null})"),
        "the key \"messageCount\" is not a whole number");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":true,"readable":true,"messageCount":18446744073709551615,"problem":null})"),
        "the key \"messageCount\" is out of range");
    // A reply that contradicts itself is not believed.
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":true,"readable":true,"messageCount":null,"problem":null})"),
        "the reply says the database is readable but gives no message count");
    EXPECT_EQ(
        decodeError(
            R"({"format":1,"databasePath":"/x","databaseExists":false,"readable":true,"messageCount":3,"problem":null})"),
        "the reply says the database is readable but does not exist");
    // Invalid UTF-8 inside a string is a parse error, not garbage text.
    EXPECT_NE(decodeError("{\"format\":1,\"databasePath\":\"\xff\xfe\"}").find("not valid JSON"), std::string::npos);
}

TEST(ProbeOutput, RejectsOversizedAndDeeplyNestedRepliesBeforeParsing) {
    std::string huge = readableReply().encode();
    huge.insert(1, "\"pad\":\"" + std::string(ProbeOutput::kMaxReplyBytes, 'a') + "\",");
    EXPECT_NE(decodeError(huge).find("more than the 65536 a reply may have"), std::string::npos);

    const std::string deep = std::string(15000, '[') + std::string(15000, ']');
    EXPECT_EQ(decodeError(deep), "the reply is nested too deeply to be a probe reply");
    // Brackets inside strings do not count as nesting.
    const std::string bracketsInText =
        R"({"format":1,"databasePath":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[","databaseExists":false,"readable":false,"messageCount":null,"problem":null})";
    EXPECT_EQ(ProbeOutput::decode(bracketsInText).databasePath, std::string(30, '['));
}

TEST(ProbeOutput, EncodesFileNamesThatAreNotUTF8WithoutThrowing) {
    ProbeOutput o = readableReply();
    o.databasePath = "/home/\xff/chat.db";
    const std::string text = o.encode();
    EXPECT_NO_THROW(ProbeOutput::decode(text));
}

} // namespace
} // namespace kx
