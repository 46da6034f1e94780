// Rebuilding the earlier whole bodies of an edited message from its parts'
// histories, and splitting a body into its parts.
#include "core/archive/ingest_messages.h"
#include "core/archive/typedstream.h"
#include "tests/fixtures/typedstream_writer.h"

#include <gtest/gtest.h>

namespace {

using kx::EditRecord;
using kx::PartHistory;
using kx::typedstream::BodyPart;
using kx::typedstream::decodeAttributedBody;
namespace fx = kx::fixtures;

const std::string kPhoto = "\xEF\xBF\xBC";
const kx::Date kSent = kx::fromUnixSeconds(1.7e9);

kx::Date at(int seconds) { return kSent + std::chrono::seconds(seconds); }

EditRecord body(int seconds, std::optional<std::string> text) { return {at(seconds), std::move(text)}; }

std::vector<std::string> texts(const std::vector<EditRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.text.value_or("<none>"));
    return out;
}

} // namespace

TEST(EditHistory, AnEditedTextBesideAnAttachmentGivesWholeEarlierBodies) {
    const std::vector<BodyPart> parts = {{0, kPhoto}, {1, "Final"}};
    const std::vector<PartHistory> h = {{1, {body(0, "First"), body(30, "Second"), body(60, "Final")}}};
    const auto earlier = kx::earlierBodies(parts, h, kPhoto + "Final");
    EXPECT_EQ(texts(earlier), (std::vector<std::string>{kPhoto + "First", kPhoto + "Second"}));
    EXPECT_EQ(earlier[0].date, at(0));
    EXPECT_EQ(earlier[1].date, at(30));
}

TEST(EditHistory, PartsEditedAtDifferentTimesAreReplayedInDateOrder) {
    const std::vector<BodyPart> parts = {{0, "A2"}, {1, kPhoto}, {2, "B1"}};
    const std::vector<PartHistory> h = {{0, {body(0, "A0"), body(20, "A1"), body(40, "A2")}},
                                        {2, {body(0, "B0"), body(10, "B1")}}};
    const auto earlier = kx::earlierBodies(parts, h, "A2" + kPhoto + "B1");
    EXPECT_EQ(texts(earlier),
              (std::vector<std::string>{"A0" + kPhoto + "B0", "A0" + kPhoto + "B1", "A1" + kPhoto + "B1"}));
    EXPECT_EQ(earlier[2].date, at(20));
    // An edit back to an earlier wording repeats nothing, and a wording equal
    // to the current body is left to the current body.
    const std::vector<PartHistory> back = {
        {0, {body(0, "A0"), body(5, "A0"), body(20, "A2"), body(30, "A0"), body(40, "A2")}}};
    EXPECT_EQ(texts(kx::earlierBodies({{0, "A2"}}, back, "A2")), (std::vector<std::string>{"A0"}));
}

TEST(EditHistory, UnknownPartsOrUndecodableWordingsLoseNothingThatIsNotCurrent) {
    const std::vector<PartHistory> h = {{1, {body(0, "First"), body(30, "Second"), body(60, "Final")}}};
    // The current body's parts are unknown: the part's own earlier wordings;
    // its current wording is in the current body already.
    EXPECT_EQ(texts(kx::earlierBodies({}, h, kPhoto + "Final")), (std::vector<std::string>{"First", "Second"}));
    // No current body at all: the current wording is kept too.
    EXPECT_EQ(texts(kx::earlierBodies({}, h, std::nullopt)), (std::vector<std::string>{"First", "Second", "Final"}));
    // An edited part the current body does not have: treated as unknown parts.
    EXPECT_EQ(texts(kx::earlierBodies({{0, kPhoto + "Final"}}, h, kPhoto + "Final")),
              (std::vector<std::string>{"First", "Second"}));
    // The edited part stands in two places of the current body: not rebuilt.
    EXPECT_EQ(texts(kx::earlierBodies({{1, "Fi"}, {0, kPhoto}, {1, "nal"}}, h, "Fi" + kPhoto + "nal")),
              (std::vector<std::string>{"First", "Second", "Final"}));
    // A wording that could not be decoded: no whole body can be made with it.
    const std::vector<PartHistory> gap = {{1, {body(0, std::nullopt), body(30, "Second"), body(60, "Final")}}};
    EXPECT_EQ(texts(kx::earlierBodies({{0, kPhoto}, {1, "Final"}}, gap, kPhoto + "Final")),
              (std::vector<std::string>{kPhoto + "Second"}));
}

TEST(EditHistory, ABodySplitsIntoItsNumberedParts) {
    auto parts = [](const std::string& blob) {
        auto r = decodeAttributedBody(blob);
        EXPECT_TRUE(r.body) << r.error;
        return r.body ? r.body->parts : std::vector<BodyPart>{};
    };
    EXPECT_EQ(parts(fx::encodeAttributedBody("Hello")), (std::vector<BodyPart>{{0, "Hello"}}));
    // Two placeholders and a text with a character outside the BMP (two UTF-16 units).
    const std::string text = kPhoto + kPhoto + " two photos \xF0\x9F\x8E\x89";
    EXPECT_EQ(parts(fx::encodeAttributedBody(text, {"A", "B"}, true)),
              (std::vector<BodyPart>{{0, kPhoto}, {1, kPhoto}, {2, " two photos \xF0\x9F\x8E\x89"}}));

    // The compact form: a run naming a dictionary number seen before carries
    // no dictionary of its own.
    fx::TypedStreamWriter w;
    w.typeGroup("@");
    w.beginObject({{"NSAttributedString", 0}, {"NSObject", 0}});
    w.typeGroup("@");
    w.string("Hi " + kPhoto + " there!");
    auto run = [&](int number, int length) {
        w.typeGroup("iI");
        w.integer(number);
        w.integer(length);
    };
    run(1, 3);
    w.typeGroup("@");
    w.stringDictionary({}, {{"__kIMMessagePartAttributeName", 0}});
    run(2, 1);
    w.typeGroup("@");
    w.stringDictionary({{"__kIMFileTransferGUIDAttributeName", "G"}}, {{"__kIMMessagePartAttributeName", 1}});
    run(3, 3);
    w.typeGroup("@");
    w.stringDictionary({}, {{"__kIMMessagePartAttributeName", 2}});
    run(3, 4);
    w.endObject();
    EXPECT_EQ(parts(w.bytes()), (std::vector<BodyPart>{{0, "Hi "}, {1, kPhoto}, {2, " there!"}}));

    // Runs that do not cover the text exactly give no parts, but the text stays.
    fx::TypedStreamWriter shortRuns;
    shortRuns.typeGroup("@");
    shortRuns.beginObject({{"NSAttributedString", 0}, {"NSObject", 0}});
    shortRuns.typeGroup("@");
    shortRuns.string("Hello");
    shortRuns.typeGroup("iI");
    shortRuns.integer(1);
    shortRuns.integer(4);
    shortRuns.typeGroup("@");
    shortRuns.stringDictionary({}, {{"__kIMMessagePartAttributeName", 0}});
    shortRuns.endObject();
    auto r = decodeAttributedBody(shortRuns.bytes());
    ASSERT_TRUE(r.body) << r.error;
    EXPECT_EQ(r.body->text, "Hello");
    EXPECT_TRUE(r.body->parts.empty());
}
