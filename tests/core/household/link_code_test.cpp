#include "core/household/join_plan.h"
#include "core/household/link_code.h"
#include "core/keys/key_material.h"
#include "core/keys/symmetric_key.h"

#include <gtest/gtest.h>

#include <set>

using namespace kx;

namespace {

std::string phrase() {
    static const std::string p = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    return p;
}

LinkCode::Payload s3Payload(const std::string& owner = "jorin") {
    return {"awsS3",        "family-archive",
            "eu-central-1", "https://s3.eu-central-1.amazonaws.com",
            "AKIAEXAMPLE",  "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY",
            phrase(),       owner};
}

// The sentence a decode gives, or "" when it decodes.
std::string refusal(const std::string& text) {
    try {
        LinkCode::decode(text);
        return "";
    } catch (const LinkCode::LinkError& e) {
        return e.errorDescription();
    }
}

} // namespace

TEST(LinkCode, RoundTripsAllEightValuesIncludingAbsentOnes) {
    const auto full = s3Payload();
    const std::string code = LinkCode::encode(full);
    EXPECT_EQ(code.rfind("KTRESK1-", 0), 0u);
    EXPECT_EQ(LinkCode::decode(code), full);

    LinkCode::Payload folder{"iCloudDrive", std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt,  std::nullopt, phrase(),     "Ama Ösel / home"};
    EXPECT_EQ(LinkCode::decode(LinkCode::encode(folder)), folder);
    // An empty text is not the same as an absent one.
    folder.bucket = "";
    EXPECT_EQ(LinkCode::decode(LinkCode::encode(folder)), folder);
}

TEST(LinkCode, ReadsACodeWrittenByHandFromTheDocumentedFormat) {
    // Built outside this code base from the header's description alone.
    const std::string code = "KTRESK1-"
                             "0406G005C5VQ6MSK00364XB3DDJQ8009ENSJTSB1EDT2TCFZZW004GAB00156JR070R30C1G60R30C1G60R30C1G6"
                             "0R30C1G60R30C1G60R30C1G60R30C1G60R30C1G60R30C1G60R30C1G60R30C1G60R001BADXS6JVPTZB4Z4";
    const LinkCode::Payload expected{"awsS3", "bucket", "us-east-1",          std::nullopt,
                                     "AK",    "SK",     std::string(56, '0'), "jorin"};
    EXPECT_EQ(LinkCode::decode(code), expected);
    EXPECT_EQ(LinkCode::encode(expected), code);
}

TEST(LinkCode, IgnoresWhiteSpaceLineBreaksAndLetterCaseAnywhere) {
    const auto p = s3Payload();
    const std::string code = LinkCode::encode(p);
    std::string spaced = "  \n";
    for (size_t i = 0; i < code.size(); ++i) {
        spaced += code[i];
        if (i % 17 == 5) spaced += "\r\n";
        if (i % 23 == 3) spaced += " \t";
    }
    spaced += "\n\n ";
    EXPECT_EQ(LinkCode::decode(spaced), p);
    std::string lower = code;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(LinkCode::decode(lower), p);
}

TEST(LinkCode, RefusesTheCodeCutAtEveryLength) {
    const std::string code = LinkCode::encode(s3Payload());
    for (size_t n = 0; n < code.size(); ++n) {
        const std::string sentence = refusal(code.substr(0, n));
        ASSERT_FALSE(sentence.empty()) << "cut at " << n;
        EXPECT_EQ(sentence.find(code.substr(8, 6)), std::string::npos);
    }
    // The tail alone (a second half pasted by itself) is refused too.
    for (size_t n = 8; n < code.size(); n += 7) EXPECT_FALSE(refusal(code.substr(n)).empty());
}

TEST(LinkCode, RefusesEverySingleWrongCharacterAndEveryNeighbourSwap) {
    const std::string code = LinkCode::encode(s3Payload());
    const std::string alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    for (size_t i = 0; i < code.size(); ++i) {
        for (char c : alphabet) {
            if (c == code[i]) continue;
            std::string changed = code;
            changed[i] = c;
            ASSERT_FALSE(refusal(changed).empty()) << "position " << i << " as " << c;
        }
        if (i + 1 < code.size() && code[i] != code[i + 1]) {
            std::string swapped = code;
            std::swap(swapped[i], swapped[i + 1]);
            ASSERT_FALSE(refusal(swapped).empty()) << "swap at " << i;
        }
    }
}

TEST(LinkCode, HostileInputGivesASentenceThatNeverQuotesTheInput) {
    const std::string code = LinkCode::encode(s3Payload());
    const std::string secretPart = code.substr(20, 12);
    const std::vector<std::string> inputs = {
        "",
        " \n\t ",
        "Here is the code: " + code,
        code + "X",
        code + code.substr(8),
        "KTRESK2-" + code.substr(8),
        "KTRESK12-" + code.substr(8),
        code.substr(0, 30) + std::string(1, '\0') + code.substr(30),
        code.substr(0, 30) + "\xC3\x28" + code.substr(30),
        code.substr(0, 40) + "\xE2\x80\x8B" + code.substr(40), // a zero-width space from a chat app
        std::string(1 << 20, 'A'),
        "KTRESK1-" + std::string(1 << 20, '0'),
        "ktresk1-",
        "KTRESK1-00000000",
    };
    std::set<std::string> sentences;
    for (const auto& input : inputs) {
        const std::string sentence = refusal(input);
        ASSERT_FALSE(sentence.empty());
        EXPECT_EQ(sentence.find(secretPart), std::string::npos) << sentence;
        EXPECT_EQ(sentence.back(), '.') << sentence;
        sentences.insert(sentence);
    }
    EXPECT_EQ(refusal(""), "Paste the code you were given first.");
    EXPECT_NE(refusal("KTRESK2-" + code.substr(8)).find("different version"), std::string::npos);
    EXPECT_NE(refusal(code.substr(0, code.size() / 2)).find("incomplete"), std::string::npos);
    EXPECT_NE(refusal("Code: " + code).find("not a link code"), std::string::npos);
    EXPECT_GE(sentences.size(), 5u);
}

TEST(LinkCode, EncodeRefusesValuesItCannotCarry) {
    auto p = s3Payload();
    p.bucket = std::string(LinkCode::kMaxValueBytes + 1, 'b');
    EXPECT_THROW(LinkCode::encode(p), LinkCode::LinkError);
    p = s3Payload();
    p.ownerHint = std::string("jo\0rin", 6);
    EXPECT_THROW(LinkCode::encode(p), LinkCode::LinkError);
    p = s3Payload();
    p.region = "\xFF\xFE";
    EXPECT_THROW(LinkCode::encode(p), LinkCode::LinkError);
    // The longest values that fit still round-trip.
    p = s3Payload();
    p.bucket = std::string(LinkCode::kMaxValueBytes, 'b');
    p.secretKey = std::string(LinkCode::kMaxValueBytes, 's');
    EXPECT_EQ(LinkCode::decode(LinkCode::encode(p)), p);
}

// ---- JoinPlan ----

namespace {

std::string problem(const LinkCode::Payload& p, const std::vector<std::string>& existing = {},
                    const std::string& account = "ama") {
    try {
        JoinPlan::make(p, account, "Ama Ösel", existing);
        return "";
    } catch (const JoinPlan::Problem& e) {
        return e.errorDescription();
    }
}

} // namespace

TEST(JoinPlan, SamePersonJoinsTheCodesArchiveAndRestoresItsKey) {
    auto p = s3Payload("Jorin");
    const auto plan = JoinPlan::make(p, "jorin", "Jorin Vale", {});
    EXPECT_EQ(plan.owner, "Jorin");
    EXPECT_TRUE(plan.restoresCodeKey);
    EXPECT_FALSE(plan.startsNewArchive);
    EXPECT_TRUE(plan.storesCredentials);
    EXPECT_FALSE(plan.needsLocalFolder);
    EXPECT_EQ(plan.kindLabel(), "AWS S3");
    const auto steps = plan.whatWillHappen();
    ASSERT_EQ(steps.size(), 3u);
    // Both Macs back up one archive to one place, each taking in the other's messages first.
    EXPECT_EQ(steps[2].find("in a folder of its own"), std::string::npos) << steps[2];
    EXPECT_NE(steps[2].find("holds the messages of both Macs"), std::string::npos) << steps[2];
    // An archive of exactly that owner on this machine also makes it the same person.
    const auto viaArchive = JoinPlan::make(s3Payload("household"), "ama", "", {"household"});
    EXPECT_TRUE(viaArchive.restoresCodeKey);
}

TEST(JoinPlan, ADifferentPersonStartsTheirOwnArchiveWithTheirOwnKey) {
    const auto plan = JoinPlan::make(s3Payload("jorin"), "ama", "Ama Ösel", {});
    EXPECT_EQ(plan.owner, "ama");
    EXPECT_EQ(plan.ownerHint, "jorin");
    EXPECT_FALSE(plan.restoresCodeKey);
    EXPECT_TRUE(plan.startsNewArchive);
    const auto steps = plan.whatWillHappen();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_NE(steps[0].find("is not stored here"), std::string::npos);
    EXPECT_NE(steps[2].find("in a folder of its own"), std::string::npos);
    EXPECT_NE(steps[3].find("recovery phrase"), std::string::npos);
    // An existing archive of this person keeps its spelling and is not new.
    const auto existing = JoinPlan::make(s3Payload("jorin"), "ama", "", {"Ama"});
    EXPECT_EQ(existing.owner, "Ama");
    EXPECT_FALSE(existing.startsNewArchive);
}

TEST(JoinPlan, FolderKindsNeedAFolderAndStoreNoCredentials) {
    LinkCode::Payload p{"dropboxFolder", std::nullopt, std::nullopt, std::nullopt, "AK", "SK", phrase(), "ama"};
    const auto plan = JoinPlan::make(p, "ama", "", {});
    EXPECT_TRUE(plan.needsLocalFolder);
    EXPECT_FALSE(plan.storesCredentials);
    EXPECT_EQ(plan.kindLabel(), "Dropbox folder");
}

TEST(JoinPlan, RefusesWhatCannotBeJoinedBeforeAnythingIsChanged) {
    auto p = s3Payload();
    p.destinationKind = "ftpServer";
    EXPECT_EQ(problem(p), "This version does not support ftpServer storage.");
    p = s3Payload();
    p.bucket.reset();
    EXPECT_NE(problem(p).find("bucket"), std::string::npos);
    p = s3Payload();
    p.secretKey.reset();
    EXPECT_NE(problem(p).find("no access key"), std::string::npos);
    p = s3Payload();
    p.recoveryPhrase = p.recoveryPhrase.substr(0, 20);
    EXPECT_NE(problem(p).find("recovery key is damaged"), std::string::npos);

    for (const std::string endpoint :
         {"http://s3.example.com", "https://", "https://evil.example.com/path", "https://user@host",
          "https://host:99999", "file:///etc", "https://a..b", "https://host?x=1", "ftp://host"}) {
        p = s3Payload();
        p.endpoint = endpoint;
        EXPECT_NE(problem(p).find("not an https address"), std::string::npos) << endpoint;
    }
    for (const std::string endpoint : {"https://abc.r2.cloudflarestorage.com", "https://s3.example.com:8443/"}) {
        p = s3Payload();
        p.endpoint = endpoint;
        EXPECT_EQ(problem(p), "") << endpoint;
    }

    for (const std::string& owner :
         std::vector<std::string>{"", "  ", ".", "..", ".hidden", std::string("a\0b", 3), "tab\there"}) {
        p = s3Payload(owner);
        EXPECT_FALSE(problem(p).empty()) << owner;
    }
    // "a/b" would share the folder "a_b" of another owner.
    p = s3Payload("a/b");
    EXPECT_NE(problem(p, {"a_b"}).find("would share the folder"), std::string::npos);
    // This machine's own name sharing the code owner's folder would mix two histories.
    p = s3Payload("ama_x");
    EXPECT_NE(problem(p, {}, "ama/x").find("would share the folder"), std::string::npos);
}
