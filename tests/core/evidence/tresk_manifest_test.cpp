#include "core/evidence/tresk_manifest.h"

#include "core/archive/archive_records.h"
#include "core/archive/attachment_store.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/message_canonical.h"
#include "core/evidence/sealer.h"
#include "core/platform/error.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <SQLiteCpp/SQLiteCpp.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

namespace kx {
namespace {

using Status = TreskManifest::Status;
constexpr auto kNow = std::chrono::sys_days{std::chrono::year{2026} / 12 / 1};

// Made-up message records "g<i>" with the given contents, numbered 1, 2, 3, ...
// (or from `seqs`), for the chain rules on their own.
TreskManifest::RecordWalk walkOf(const std::vector<std::string>& messages, std::vector<std::int64_t> seqs = {}) {
    return [messages, seqs](const TreskManifest::RecordVisitor& visit) {
        for (std::size_t i = 0; i < messages.size(); ++i) {
            records::Encoder r(records::kMessage);
            r.text("g" + std::to_string(i + 1)).text(messages[i]);
            if (!visit(i < seqs.size() ? seqs[i] : static_cast<std::int64_t>(i + 1), r.bytes())) return;
        }
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
    EXPECT_EQ(*broken.note, "Records 1 to 13 match the manifest; record 14 (the first archived form of message g14) "
                            "does not.");

    // The notes never count "1 to 0" or "1 messages".
    auto first = base;
    first[0] = "changed";
    EXPECT_EQ(*TreskManifest::verify(walkOf(first), m).note,
              "Record 1 (the first archived form of message g1) does not match the manifest.");
    auto second = base;
    second[1] = "changed";
    EXPECT_EQ(*TreskManifest::verify(walkOf(second), m).note,
              "Record 1 matches the manifest; record 2 (the first archived form of message g2) does not.");
    EXPECT_EQ(*grown.note, "1 message was archived after the manifest.");
    auto oneShort = base;
    oneShort.pop_back();
    EXPECT_EQ(*TreskManifest::verify(walkOf(oneShort), m).note,
              "The archive ends early: 1 record at the end that the manifest covers is missing; everything still "
              "present matches.");
}

TEST(TreskManifestChain, RemovalsReorderingsAndInsertionsAreBroken) {
    const auto base = numbered(12);
    const auto m = TreskManifest::generate(walkOf(base), "jorin", kNow, 5);

    auto removed = base;
    removed.erase(removed.begin() + 4);
    removed.push_back("a new one to keep the length");
    EXPECT_EQ(TreskManifest::verify(walkOf(removed), m).firstDifference->position, 5);

    // A record taken out of the records table leaves a hole in the numbering: the
    // check names the missing position, not the record after it.
    auto holed = base;
    holed.erase(holed.begin() + 4);
    std::vector<std::int64_t> seqs = {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12};
    auto gap = TreskManifest::verify(walkOf(holed, seqs), m);
    EXPECT_EQ(gap.status, static_cast<int>(Status::broken));
    ASSERT_TRUE(gap.firstDifference);
    EXPECT_EQ(gap.firstDifference->position, 5);
    EXPECT_EQ(gap.firstDifference->foundHash, "not in the archive");
    EXPECT_EQ(gap.unchangedCount, 4);
    EXPECT_EQ(gap.firstDifference->guid, "");
    EXPECT_EQ(*gap.note, "Record 5 is missing from the archive; records 1 to 4 match the manifest.");

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

// A fingerprint of the manifest changed while the records still give the link
// at the checkpoint after it: the manifest is damaged, not the archive.
TEST(TreskManifestChain, ADamagedFingerprintIsTheManifestsFaultNotARecords) {
    const auto base = numbered(30);
    auto m = TreskManifest::generate(walkOf(base), "jorin", kNow, 10);
    m.checkpoints[1].fingerprints[2 * 8] ^= 0x01; // record 13
    try {
        TreskManifest::verify(walkOf(base), m);
        ADD_FAILURE() << "judged";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("the manifest is damaged: the fingerprint it holds for record 13 is not "
                                              "that record's, although the archive's records give exactly the link "
                                              "it holds at record 20",
                                              0),
                  0u)
            << e.what();
    }
    // The record itself changed as well: the archive is broken there.
    auto changed = base;
    changed[12] = "message 13, changed";
    const auto r = TreskManifest::verify(walkOf(changed), m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    EXPECT_EQ(r.firstDifference->position, 13);
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
    damageWith("\"recordCount\": 2500", "\"recordCount\": 2400");
    damageWith("\"messageCount\": 2500", "\"messageCount\": 2600");
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

    static constexpr const char* kChat = "iMessage;+;chat77";

    // One message as a source gives it: the group chat, an attachment on every
    // fourth, a text with the number in it.
    static MessageRecord message(int i) {
        MessageRecord m;
        m.guid = test::fixtureGuid("MSG", i);
        m.chatGuid = kChat;
        m.handle = i % 3 ? std::optional<std::string>("+15550001111") : std::optional<std::string>("+15550002222");
        m.service = "iMessage";
        m.text = "Message number " + std::to_string(i);
        m.date = test::fixtureDate(i);
        m.isFromMe = i % 5 == 0;
        if (i % 4 == 0) m.attachments.push_back(test::fixturePhoto(m.guid, i, AttachmentFileState::present));
        return m;
    }

    // One archive run of one source.
    void run(const std::string& sourceId, const std::vector<MessageRecord>& messages,
             const std::optional<std::string>& chatName = std::nullopt,
             const std::unordered_map<std::string, std::string>& objectKeys = {}) {
        auto w = TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
        w->begin();
        Source src;
        src.id = sourceId;
        src.owner = "jorin";
        src.path = "/nowhere/" + sourceId;
        const auto row = w->sourceRow(src, test::fixtureDate(0));
        ChatRecord chat;
        chat.guid = kChat;
        chat.identifier = "chat77";
        chat.displayName = chatName;
        chat.isGroup = true;
        chat.service = "iMessage";
        chat.participants = {"+15550001111", "+15550002222"};
        w->addChat(chat);
        for (const auto& m : messages) w->addMessage(m, row, test::fixtureDate(0), objectKeys);
        w->commit();
    }

    // The first run: 20 messages, some lacking what a later source fills in.
    void firstRun() {
        std::vector<MessageRecord> list;
        for (int i = 1; i <= 20; ++i) {
            auto m = message(i);
            if (i == 6) m.handle.reset();
            if (i == 7) m.service.reset();
            if (i == 9) m.date.reset();
            list.push_back(m);
        }
        run("src-a", list, "Climbing");
    }

    // A second source: newer edits, filled fields, attachment bytes, more messages.
    void secondRun() {
        std::vector<MessageRecord> list;
        for (int i = 1; i <= 24; ++i) {
            auto m = message(i);
            if (i == 3) {
                m.edits.push_back({test::fixtureDate(3), "Message number 3"});
                m.text = "Message number 3, corrected";
                m.dateEdited = test::fixtureDate(100);
            }
            if (i == 10) m.dateRetracted = test::fixtureDate(101);
            list.push_back(m);
        }
        run("src-b", list, "Climbing club", {{"ATT-MSG-8", storedKey("bytes of photo 8")}});
    }

    // Stores attachment bytes as a run does; their key.
    std::string storedKey(const std::string& bytes) {
        return AttachmentStore(root / "jorin" / "attachments").putBytes(bytes);
    }

    TreskManifest::VerificationResult verify(const TreskManifest::File& m) { return test::verifyManifest(db, m); }
    TreskManifest::File generate() { return test::generateManifest(db, "jorin", kNow); }
    std::int64_t positionOf(char kind, const std::string& guid, int nth = 0) {
        return test::recordPosition(db, kind, guid, nth);
    }
};

TEST_F(TreskManifestArchive, OrdinaryRunsReadAsIntactOrGrown) {
    firstRun();
    const auto m1 = generate();
    EXPECT_EQ(m1.messageCount, 20);
    EXPECT_EQ(verify(m1).status, static_cast<int>(Status::intact));

    secondRun();
    auto r = verify(m1);
    EXPECT_EQ(r.status, static_cast<int>(Status::grown)) << r.note.value_or("");
    EXPECT_EQ(r.unchangedCount, 20);
    EXPECT_EQ(r.archiveCount, 24);
    EXPECT_EQ(*r.note, "4 messages were archived after the manifest.");
    {
        // The views show what the runs filled in.
        TreskStore store(db.string());
        const auto page = store.messages("jorin", "chat77", 50, 0);
        ASSERT_EQ(page.size(), 24u);
        EXPECT_EQ(page[2].text, "Message number 3, corrected");
        EXPECT_EQ(page[5].senderHandle, "+15550002222");
        EXPECT_EQ(page[6].service, "iMessage");
        EXPECT_TRUE(page[8].date);
        EXPECT_TRUE(page[9].dateRetracted);
        EXPECT_EQ(store.versions("MSG-3").size(), 2u);
        EXPECT_EQ(store.attachments({"MSG-8"}).at("MSG-8")[0].objectKey, storedKey("bytes of photo 8"));
        EXPECT_EQ(store.conversations("jorin")[0].detail, "Climbing club");
    }
    const auto m2 = generate();

    // A third run: the first source again, a later sighting of the attachment's
    // bytes, and a source that only corroborates.
    run("src-a", {message(1), message(2), message(3), message(12)});
    {
        auto w = TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
        w->begin();
        w->setObjectKey("ATT-MSG-12", storedKey("bytes of photo 12"));
        w->commit();
    }
    run("src-c", {message(4), message(5)}, "Climbing club");
    for (const auto* m : {&m1, &m2}) {
        auto again = verify(*m);
        EXPECT_EQ(again.status, static_cast<int>(Status::grown)) << again.note.value_or("");
    }
    // Running the same sources once more adds nothing at all.
    const auto m3 = generate();
    run("src-a", {message(1), message(2), message(12)});
    run("src-c", {message(4), message(5)}, "Climbing club");
    EXPECT_EQ(verify(m3).status, static_cast<int>(Status::intact));
}

// Each value an export shows, changed in tresk.db with one statement, is BROKEN
// at the record that holds it.
TEST_F(TreskManifestArchive, EveryShownFieldEditedInTheDatabaseIsBrokenAtItsRecord) {
    struct Case {
        const char* name;
        std::string sql;
        char kind;              // the record the difference must name
        std::string guid;       // whose record
        int nth = 0;            // which of its records of that kind
        std::string named = {}; // the guid the result names
    };
    const std::string msg5 = "(SELECT id FROM messages WHERE guid = 'MSG-5')";
    const std::vector<Case> cases = {
        {"body", "UPDATE messages SET text = 'I never said that' WHERE guid = 'MSG-5'", 'M', "MSG-5"},
        {"sender",
         "INSERT INTO handles(handle) VALUES ('+15559999999'); UPDATE messages SET handle_id = "
         "last_insert_rowid() WHERE guid = 'MSG-5'",
         'M', "MSG-5"},
        {"date", "UPDATE messages SET date = date + 1000000000 WHERE guid = 'MSG-5'", 'M', "MSG-5"},
        {"filled date", "UPDATE messages SET date = date + 1 WHERE guid = 'MSG-9'", 'F', "MSG-9"},
        {"unsent state", "UPDATE messages SET date_retracted = NULL WHERE guid = 'MSG-10'", 'F', "MSG-10"},
        {"made unsent", "UPDATE messages SET date_retracted = 1 WHERE guid = 'MSG-5'", 'M', "MSG-5"},
        {"edited state", "UPDATE messages SET date_edited = NULL WHERE guid = 'MSG-3'", 'F', "MSG-3"},
        // The version's newest record: the one that gave it its date.
        {"edit version", "UPDATE message_versions SET text = 'something else' WHERE text = 'Message number 3'", 'V',
         "MSG-3", 1},
        {"removed version", "DELETE FROM message_versions WHERE text = 'Message number 3'", 'V', "MSG-3", 1},
        {"conversation name", "UPDATE conversations SET display_name = 'Book club'", 'C', "chat77", 1},
        {"removed corroboration",
         "DELETE FROM message_sources WHERE message_id = " + msg5 +
             " AND source_id = (SELECT id FROM sources WHERE source_id = 'src-b')",
         'S', "MSG-5"},
        // The source that brought a message is named in its message record.
        {"removed first source",
         "DELETE FROM message_sources WHERE message_id = " + msg5 +
             " AND source_id = (SELECT id FROM sources WHERE source_id = 'src-a')",
         'M', "MSG-5"},
        // No record holds it: it differs after every record.
        {"invented corroboration",
         "INSERT INTO sources(source_id, format, path) VALUES ('src-x', 'x', '/x'); "
         "INSERT INTO message_sources VALUES (" +
             msg5 + ", last_insert_rowid(), 0, 0)",
         '+', "MSG-5"},
        {"renamed source", "UPDATE sources SET source_id = 'src-z' WHERE source_id = 'src-b'", 'S', "MSG-1"},
        {"object key", "UPDATE attachments SET object_key = '" + std::string(64, 'c') + "' WHERE guid = 'ATT-MSG-8'",
         'O', "ATT-MSG-8", 0, "MSG-8"},
        {"attachment name", "UPDATE attachments SET file_name = 'other.jpg' WHERE guid = 'ATT-MSG-4'", 'A', "ATT-MSG-4",
         0, "MSG-4"},
        {"deleted message",
         "PRAGMA foreign_keys = OFF; DELETE FROM message_sources WHERE message_id = " + msg5 +
             "; DELETE FROM messages WHERE guid = 'MSG-5'",
         'M', "MSG-5"},
        {"record body",
         "UPDATE records SET body = substr(body, 1, length(body) - 1) || CAST('1' AS BLOB) "
         "WHERE seq = {M5}",
         'M', "MSG-5"},
    };
    firstRun();
    secondRun();
    const auto clean = root / "clean.db";
    std::filesystem::copy_file(db, clean);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(db.string() + "-wal");
        std::filesystem::remove(db.string() + "-shm");
        std::filesystem::copy_file(clean, db, std::filesystem::copy_options::overwrite_existing);
        const auto m = generate();
        const auto expected = c.kind == '+' ? m.recordCount + 1 : positionOf(c.kind, c.guid, c.nth);
        ASSERT_GT(expected, 0);
        std::string sql = c.sql;
        if (auto at = sql.find("{M5}"); at != std::string::npos)
            sql.replace(at, 4, std::to_string(positionOf('M', "MSG-5")));
        test::tamper(db, sql);
        const auto r = verify(m);
        EXPECT_EQ(r.status, static_cast<int>(Status::broken)) << r.note.value_or("");
        ASSERT_TRUE(r.firstDifference);
        EXPECT_EQ(r.firstDifference->position, expected) << r.note.value_or("");
        EXPECT_EQ(r.firstDifference->guid, c.named.empty() ? c.guid : c.named);
        EXPECT_EQ(r.firstDifference->subject, c.kind == 'C' ? "conversation" : "message");
        ASSERT_TRUE(r.note);
        EXPECT_EQ(r.note->find("1 to 0"), std::string::npos) << *r.note;
        if (std::string(c.name) == "deleted message") {
            EXPECT_EQ(*r.note, "Message MSG-5 is missing from the archive's tables; record " +
                                   std::to_string(expected) + " holds what was archived.");
        }
    }
}

TEST_F(TreskManifestArchive, ADeletedRecordIsNamedByPositionAndMessage) {
    firstRun();
    const auto m = generate();
    const auto at = positionOf('M', "MSG-5");
    test::tamper(db, "DELETE FROM records WHERE seq = " + std::to_string(at));
    const auto r = verify(m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    ASSERT_TRUE(r.firstDifference);
    EXPECT_EQ(r.firstDifference->position, at);
    EXPECT_EQ(r.firstDifference->guid, "MSG-5");
    EXPECT_EQ(*r.note, "Record " + std::to_string(at) +
                           " (message MSG-5 has no record of being archived) is missing from the archive; records 1 "
                           "to " +
                           std::to_string(at - 1) + " match the manifest.");

    // Both traces of the last message gone: the archive ends early.
    test::TempDir other;
    db = other / "jorin" / "tresk.db";
    firstRun();
    const auto m2 = generate();
    const auto last = positionOf('M', "MSG-20");
    test::tamper(db, "PRAGMA foreign_keys = OFF; DELETE FROM message_sources WHERE message_id = (SELECT id FROM "
                     "messages WHERE guid = 'MSG-20'); DELETE FROM message_attachments WHERE message_id = (SELECT "
                     "id FROM messages WHERE guid = 'MSG-20'); DELETE FROM attachments WHERE guid = 'ATT-MSG-20'; "
                     "DELETE FROM messages WHERE guid = 'MSG-20'; DELETE FROM records WHERE seq >= " +
                         std::to_string(last));
    EXPECT_EQ(verify(m2).status, static_cast<int>(Status::shortened));
}

// The stored attachment files are re-hashed: one overwritten or removed is BROKEN
// at the record holding its key, naming the attachment and its message.
TEST_F(TreskManifestArchive, AStoredAttachmentFileThatChangedOrVanishedIsBrokenAtItsRecord) {
    firstRun();
    secondRun();
    const std::string key = storedKey("bytes of photo 8");
    const auto m = generate();
    ASSERT_EQ(verify(m).status, static_cast<int>(Status::intact));
    const auto file = AttachmentStore(root / "jorin" / "attachments").objectPath(key);
    std::filesystem::permissions(file, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    test::writeAll(file, "other bytes of the same length");

    auto r = verify(m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    ASSERT_TRUE(r.firstDifference);
    EXPECT_EQ(r.firstDifference->position, positionOf('O', "ATT-MSG-8"));
    EXPECT_EQ(r.firstDifference->guid, "MSG-8");
    EXPECT_EQ(r.firstDifference->expectedHash, key);
    EXPECT_NE(r.note->find("attachment ATT-MSG-8 (\"photo-8.jpg\") of message MSG-8 no longer holds the bytes"),
              std::string::npos)
        << *r.note;

    std::filesystem::remove(file);
    r = verify(m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    EXPECT_EQ(*r.note, "The stored file of attachment ATT-MSG-8 (\"photo-8.jpg\") of message MSG-8 is missing, so "
                       "the bytes archived for it are gone.");
    // The same file back: intact again.
    storedKey("bytes of photo 8");
    EXPECT_EQ(verify(m).status, static_cast<int>(Status::intact));
}

// Records removed after the manifest, with the tables made to agree: the
// numbering still shows every gap.
TEST_F(TreskManifestArchive, EveryGapInTheRecordNumberingIsBroken) {
    firstRun();
    const auto m = generate();
    secondRun();
    const auto corroboration = positionOf('S', "MSG-5");
    ASSERT_GT(corroboration, m.recordCount);
    const std::string msg = "(SELECT id FROM messages WHERE guid = 'MSG-5')";
    test::tamper(db, "DELETE FROM message_sources WHERE message_id = " + msg +
                         " AND source_id = (SELECT id FROM sources WHERE source_id = 'src-b'); "
                         "DELETE FROM records WHERE seq = " +
                         std::to_string(corroboration));
    auto r = verify(m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken)) << r.note.value_or("");
    ASSERT_TRUE(r.firstDifference);
    EXPECT_EQ(r.firstDifference->position, corroboration);
    EXPECT_EQ(*r.note, "Record " + std::to_string(corroboration) +
                           " is missing from the archive's numbering, so records were removed from it; records 1 to " +
                           std::to_string(m.recordCount) + " match the manifest.");

    // Two more gaps, one of two numbers: each is named.
    const auto one = positionOf('S', "MSG-1"), two = positionOf('S', "MSG-2"), eleven = positionOf('S', "MSG-11");
    ASSERT_EQ(two, one + 1);
    test::tamper(db, "DELETE FROM message_sources WHERE source_id = (SELECT id FROM sources WHERE source_id = "
                     "'src-b') AND message_id IN (SELECT id FROM messages WHERE guid IN ('MSG-1', 'MSG-2', "
                     "'MSG-11')); DELETE FROM records WHERE seq IN (" +
                         std::to_string(one) + ", " + std::to_string(two) + ", " + std::to_string(eleven) + ")");
    r = verify(m);
    EXPECT_EQ(r.status, static_cast<int>(Status::broken));
    EXPECT_EQ(r.firstDifference->position, one);
    EXPECT_NE(r.note->find("Records " + std::to_string(one) + " to " + std::to_string(two) + ", " +
                           std::to_string(corroboration) + " and " + std::to_string(eleven) + " are missing"),
              std::string::npos)
        << *r.note;
}

// A run writing while a manifest is made or checked: each reads one state of the
// archive, so the outcome is intact or grown and never a false difference.
TEST_F(TreskManifestArchive, ARunWritingMeanwhileNeverMakesACheckFalse) {
    firstRun();
    const auto m = generate();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 21; i <= 220; ++i) {
            // New senders, new sources and edits of sealed messages, one run each.
            auto later = message(i);
            later.handle = "+1555100" + std::to_string(i);
            auto again = message(i - 20);
            again.text = *again.text + ", edited";
            again.dateEdited = test::fixtureDate(1000 + i);
            run("src-" + std::to_string(i), {later, again}, i % 3 ? "Climbing" : "Climbing club");
        }
        done = true;
    });
    int checks = 0;
    while (!done || checks < 3) {
        const auto r = verify(m);
        EXPECT_TRUE(r.status == static_cast<int>(Status::intact) || r.status == static_cast<int>(Status::grown))
            << r.note.value_or("");
        const auto fresh = generate(); // never refused: the tables always match their records
        EXPECT_GE(fresh.messageCount, 20);
        ++checks;
    }
    writer.join();
    EXPECT_EQ(verify(m).status, static_cast<int>(Status::grown));
}

TEST_F(TreskManifestArchive, GeneratingOverTablesThatDisagreeWithTheRecordsIsRefused) {
    firstRun();
    test::tamper(db, "UPDATE messages SET text = 'rewritten' WHERE guid = 'MSG-2'");
    try {
        generate();
        ADD_FAILURE() << "a manifest was made";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("the text of message MSG-2 differs from what was archived"),
                  std::string::npos)
            << e.what();
    }
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
