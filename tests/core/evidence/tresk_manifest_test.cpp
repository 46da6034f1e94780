#include "core/evidence/tresk_manifest.h"

#include "core/archive/tresk_store.h"
#include "core/evidence/message_canonical.h"
#include "core/evidence/sealer.h"
#include "core/platform/error.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace kx {
namespace {

using Status = TreskManifest::Status;
constexpr auto kNow = std::chrono::sys_days{std::chrono::year{2026} / 12 / 1};

// A walk over made-up canonical records, for the chain rules on their own.
TreskManifest::MessageWalk walkOf(const std::vector<std::string>& messages) {
    return [messages](const TreskManifest::MessageVisitor& visit) {
        for (std::size_t i = 0; i < messages.size(); ++i)
            if (!visit("g" + std::to_string(i + 1), messages[i])) return;
    };
}

std::vector<std::string> numbered(int n) {
    std::vector<std::string> v;
    for (int i = 1; i <= n; ++i) v.push_back("message " + std::to_string(i));
    return v;
}

TEST(TreskManifestChain, TellsTheFourOutcomesApart) {
    const auto base = numbered(25);
    const auto m = TreskManifest::generate(walkOf(base), "jorin", kNow, 10);
    EXPECT_EQ(m.messageCount, 25);
    ASSERT_EQ(m.checkpoints.size(), 3u);
    EXPECT_EQ(m.checkpoints[2].position, 25);
    EXPECT_EQ(m.chainHead, m.checkpoints[2].link);

    auto intact = TreskManifest::verify(walkOf(base), m);
    EXPECT_EQ(intact.status, static_cast<int>(Status::intact));
    EXPECT_EQ(intact.unchangedCount, 25);
    EXPECT_FALSE(intact.firstDifference);

    auto grownList = base;
    grownList.push_back("message 26");
    auto grown = TreskManifest::verify(walkOf(grownList), m);
    EXPECT_EQ(grown.status, static_cast<int>(Status::grown));
    EXPECT_EQ(grown.manifestCount, 25);
    EXPECT_EQ(grown.archiveCount, 26);

    auto shortList = base;
    shortList.resize(21);
    auto shortened = TreskManifest::verify(walkOf(shortList), m);
    EXPECT_EQ(shortened.status, static_cast<int>(Status::shortened));
    EXPECT_EQ(shortened.unchangedCount, 21);
    EXPECT_EQ(shortened.archiveCount, 21);

    auto changed = base;
    changed[13] = "message 14, edited";
    auto broken = TreskManifest::verify(walkOf(changed), m);
    EXPECT_EQ(broken.status, static_cast<int>(Status::broken));
    ASSERT_TRUE(broken.firstDifference);
    EXPECT_EQ(broken.firstDifference->position, 14);
    EXPECT_EQ(broken.firstDifference->guid, "g14");
    EXPECT_NE(broken.firstDifference->expectedHash, broken.firstDifference->foundHash);
    EXPECT_EQ(broken.unchangedCount, 13);
    EXPECT_EQ(broken.archiveCount, 25);
}

TEST(TreskManifestChain, RemovalsReorderingsAndInsertionsAreBroken) {
    const auto base = numbered(12);
    const auto m = TreskManifest::generate(walkOf(base), "jorin", kNow, 5);

    auto removed = base;
    removed.erase(removed.begin() + 4);
    removed.push_back("a new one to keep the length");
    EXPECT_EQ(TreskManifest::verify(walkOf(removed), m).firstDifference->position, 5);

    auto swapped = base;
    std::swap(swapped[7], swapped[8]);
    EXPECT_EQ(TreskManifest::verify(walkOf(swapped), m).firstDifference->position, 8);

    auto inserted = base;
    inserted.insert(inserted.begin(), "slipped in first");
    auto r = TreskManifest::verify(walkOf(inserted), m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    EXPECT_EQ(r.firstDifference->position, 1);

    // Growth with a change inside the sealed part is broken, not grown.
    auto grownChanged = base;
    grownChanged[0] = "changed";
    grownChanged.push_back("more");
    EXPECT_EQ(TreskManifest::verify(walkOf(grownChanged), m).status, static_cast<int>(Status::broken));
}

TEST(TreskManifestChain, EmptyArchiveAndOwnerBinding) {
    const auto empty = TreskManifest::generate(walkOf({}), "jorin", kNow, 1000);
    EXPECT_EQ(empty.messageCount, 0);
    EXPECT_EQ(empty.chainHead, empty.genesis);
    EXPECT_EQ(TreskManifest::verify(walkOf({}), empty).status, static_cast<int>(Status::intact));
    EXPECT_EQ(TreskManifest::verify(walkOf({"x"}), empty).status, static_cast<int>(Status::grown));
    const auto other = TreskManifest::generate(walkOf({}), "someone-else", kNow, 1000);
    EXPECT_NE(empty.chainHead, other.chainHead);
    EXPECT_THROW(TreskManifest::generate(walkOf({}), "jorin", kNow, 0), Error);
}

TEST(TreskManifestFile, PathFollowsTheOwnerFolderRule) {
    EXPECT_EQ(TreskManifest::path("/r", "jorin/work"), "/r/jorin_work/tresk.manifest.json");
    EXPECT_EQ(TreskManifest::path("/r/", "jorin"), "/r/jorin/tresk.manifest.json");
}

// An owner name must never take the manifest out of the archive root: ".." is
// refused with a sentence, "../x" stays a folder (".._x") inside the root.
TEST(TreskManifestFile, AnOwnerCannotPutTheManifestOutsideTheRoot) {
    test::TempDir dir;
    const std::string root = (dir / "Tresk").string();
    // A manifest planted beside the root, where a path built from ".." would lead.
    const auto planted = TreskManifest::generate(walkOf(numbered(3)), "..", kNow, 10);
    TreskManifest::write(planted, (dir / TreskManifest::kFileName).string());
    const std::string before = test::snapshotTree(dir.path());

    for (const std::string& bad : {std::string(".."), std::string("."), std::string(), std::string("a\0b", 3)}) {
        try {
            TreskManifest::path(root, bad);
            ADD_FAILURE() << "accepted the owner \"" << bad << "\"";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("archive"), std::string::npos) << e.what();
        }
    }
    try {
        TreskManifest::path(root, "..");
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "\"..\" cannot name an archive folder");
    }
    // The seal reads no manifest for such an owner, not even the planted one.
    EXPECT_FALSE(Sealer::manifestHead(root, ".."));
    EXPECT_EQ(test::snapshotTree(dir.path()), before);

    // Generating and verifying for "../x" works inside the root and nowhere else.
    const std::string inside = TreskManifest::path(root, "../x");
    EXPECT_EQ(inside, root + "/.._x/tresk.manifest.json");
    const auto m = TreskManifest::generate(walkOf(numbered(5)), "../x", kNow, 10);
    TreskManifest::write(m, inside);
    EXPECT_EQ(TreskManifest::verify(walkOf(numbered(5)), *TreskManifest::read(inside)).status,
              static_cast<int>(Status::intact));
    EXPECT_EQ(Sealer::manifestHead(root, "../x"), m.chainHead);
    // Beside the root, everything is as it was.
    std::string outside;
    std::istringstream lines(test::snapshotTree(dir.path()));
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("Tresk")) outside += line + "\n";
    EXPECT_EQ(outside, before);
}

TEST(TreskManifestFile, ReadsBackWhatItWroteAndRefusesDamage) {
    test::TempDir dir;
    const std::string path = (dir / "jorin" / TreskManifest::kFileName).string();
    EXPECT_FALSE(TreskManifest::read(path));
    const auto m = TreskManifest::generate(walkOf(numbered(2500)), "jorin", kNow, 1000);
    TreskManifest::write(m, path);
    auto back = TreskManifest::read(path);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);

    const std::string good = test::readAll(path);
    auto damageWith = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const auto pos = text.find(from);
        ASSERT_NE(pos, std::string::npos) << from;
        text.replace(pos, from.size(), to);
        test::writeAll(path, text);
        EXPECT_THROW(TreskManifest::read(path), Error) << from;
    };
    damageWith("\"messageCount\": 2500", "\"messageCount\": 2400");
    damageWith("\"owner\": \"jorin\"", "\"owner\": \"mallory\"");
    damageWith(m.chainHead, std::string(64, '0'));
    damageWith("\"position\": 2000", "\"position\": 1999");
    damageWith("\"kind\"", "\"sort\"");
    test::writeAll(path, "not json");
    EXPECT_THROW(TreskManifest::read(path), Error);
}

TEST(TreskManifestFile, KeepsAManifestTheNewOneDoesNotExtend) {
    test::TempDir dir;
    const auto folder = dir / "jorin";
    const std::string path = (folder / TreskManifest::kFileName).string();
    auto base = numbered(30);
    const auto first = TreskManifest::generate(walkOf(base), "jorin", kNow, 10);
    TreskManifest::write(first, path);

    // Normal growth: the new manifest extends the old one and replaces it.
    base.push_back("message 31");
    const auto grown = TreskManifest::generate(walkOf(base), "jorin", kNow + std::chrono::hours(1), 10);
    TreskManifest::write(grown, path);
    auto count = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(folder))
            n += e.path().filename() != TreskManifest::kFileName;
        return n;
    };
    EXPECT_EQ(count(), 0);

    // A changed archive: the old evidence stays beside the new manifest.
    base[3] = "rewritten";
    const auto changed = TreskManifest::generate(walkOf(base), "jorin", kNow + std::chrono::hours(2), 10);
    TreskManifest::write(changed, path);
    EXPECT_EQ(*TreskManifest::read(path), changed);
    ASSERT_EQ(count(), 1);
    const auto kept = folder / "tresk.manifest.superseded-20261201T010000Z.json";
    ASSERT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(*TreskManifest::read(kept.string()), grown);

    // A damaged manifest is kept too, never silently replaced.
    test::writeAll(path, "damaged");
    TreskManifest::write(changed, path);
    EXPECT_EQ(count(), 2);
}

class TreskManifestArchive : public ::testing::Test {
protected:
    test::TempDir root;
    std::filesystem::path db = root / "jorin" / "tresk.db";
};

TEST_F(TreskManifestArchive, EditingOneStoredMessageReadsAsBroken) {
    test::addMessages(db, {.count = 40, .attachmentEvery = 7});
    TreskStore store(db.string());
    const auto m = TreskManifest::generate(store, "jorin", kNow, 1000);
    EXPECT_EQ(m.messageCount, 40);
    EXPECT_EQ(TreskManifest::verify(store, m).status, static_cast<int>(Status::intact));

    test::tamper(db, "UPDATE messages SET text = 'I never said that' WHERE guid = 'MSG-17'");
    auto r = TreskManifest::verify(store, m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    ASSERT_TRUE(r.firstDifference);
    EXPECT_EQ(r.firstDifference->position, 17);
    EXPECT_EQ(r.firstDifference->guid, "MSG-17");
}

TEST_F(TreskManifestArchive, AttachmentAndDeletionTamperingIsBroken) {
    test::addMessages(db, {.count = 30, .attachmentEvery = 7});
    TreskStore store(db.string());
    const auto m = TreskManifest::generate(store, "jorin", kNow, 1000);
    test::tamper(db, "UPDATE attachments SET file_name = 'other.jpg' WHERE guid = 'ATT-MSG-14'");
    auto r = TreskManifest::verify(store, m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    EXPECT_EQ(r.firstDifference->guid, "MSG-14");

    test::TempDir other;
    const auto db2 = other / "jorin" / "tresk.db";
    test::addMessages(db2, {.count = 30});
    TreskStore store2(db2.string());
    const auto m2 = TreskManifest::generate(store2, "jorin", kNow, 1000);
    test::tamper(db2, "PRAGMA foreign_keys = OFF; DELETE FROM message_sources WHERE message_id = (SELECT id FROM "
                      "messages WHERE guid = 'MSG-30'); DELETE FROM messages WHERE guid = 'MSG-30'");
    EXPECT_EQ(TreskManifest::verify(store2, m2).status, static_cast<int>(Status::shortened));
    test::tamper(db2, "PRAGMA foreign_keys = OFF; DELETE FROM message_sources WHERE message_id = (SELECT id FROM "
                      "messages WHERE guid = 'MSG-5'); DELETE FROM messages WHERE guid = 'MSG-5'");
    auto r2 = TreskManifest::verify(store2, m2);
    EXPECT_EQ(r2.status, static_cast<int>(Status::broken));
    EXPECT_EQ(r2.firstDifference->position, 5);
}

TEST_F(TreskManifestArchive, AnOlderSourceImportedLaterReadsAsGrown) {
    test::addMessages(db, {.count = 20});
    const auto m = [&] {
        TreskStore store(db.string());
        return TreskManifest::generate(store, "jorin", kNow, 1000);
    }();
    // An older backup: earlier messages, plus some of the same messages again
    // (which only add corroboration).
    test::addMessages(db, {.sourceId = "src-old-backup", .guidPrefix = "OLD", .count = 15, .dateOffset = -100000});
    test::addMessages(db, {.sourceId = "src-old-backup", .first = 1, .count = 5});
    TreskStore store(db.string());
    auto r = TreskManifest::verify(store, m);
    EXPECT_EQ(r.status, static_cast<int>(Status::grown));
    EXPECT_EQ(r.unchangedCount, 20);
    EXPECT_EQ(r.archiveCount, 35);
}

TEST(CanonicalMessages, EncodingIsFixed) {
    // Manifests made by earlier versions depend on these exact bytes.
    CanonicalMessage m;
    m.guid = "G";
    m.conversationKey = "+1";
    m.senderHandle = "+1";
    m.dateNanos = 5;
    m.isFromMe = true;
    m.text = "hi";
    m.attachments.push_back({"A", std::string("a.jpg"), std::nullopt});
    std::string bytes;
    canonicalBytes(m, bytes);
    const std::string none("\xff\xff\xff\xff", 4);
    auto field = [](const std::string& v) { return std::string("\0\0\0", 3) + char(v.size()) + v; };
    const std::string expected = "KXM1" + field("G") + field("+1") + field("+1") + none + field("5") + field("1") +
                                 field("hi") + none + field("0") + none + field("0") + field("1") + field("A") +
                                 field("a.jpg") + none;
    EXPECT_EQ(bytes, expected);
}

TEST_F(TreskManifestArchive, BothWalksGiveTheSameBytes) {
    test::addMessages(db, {.count = 20, .attachmentEvery = 3});
    TreskStore store(db.string());
    std::vector<std::string> fast, decoded;
    archiveWalk(store)([&](const std::string&, std::string_view canonical) {
        fast.emplace_back(canonical);
        return true;
    });
    walkArchiveInInsertionOrder(db.string(), [&](const CanonicalMessage& m) {
        std::string b;
        canonicalBytes(m, b);
        decoded.push_back(b);
        return true;
    });
    EXPECT_EQ(fast.size(), 20u);
    EXPECT_EQ(fast, decoded);
}

TEST_F(TreskManifestArchive, AMissingArchiveIsAnErrorAndIsNotCreated) {
    const auto missing = root / "nobody" / "tresk.db";
    EXPECT_THROW(walkArchiveInInsertionOrder(missing.string(), [](const CanonicalMessage&) { return true; }), Error);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_THROW(TreskStore{missing.string()}, Error);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

} // namespace
} // namespace kx
