// A backup never loses a message: two computers of one owner sharing a
// destination, and an archive rebuilt after it was lost, each take in what the
// backup in place holds before they replace it; edits, unsends and sightings
// come along; a backup that cannot be read is refused while it is whole; and
// runs killed during a merge leave each side before or after it.
#include "core/archive/archive_records.h"
#include "core/archive/attachment_store.h"
#include "core/archive/machine_run_report.h"
#include "core/archive/tresk_store_writer.h"
#include "core/backup/backup_engine.h"
#include "core/backup/backup_merge.h"
#include "core/backup/backup_story.h"
#include "core/backup/local_destination.h"
#include "core/backup/machine_exchange.h"
#include "core/backup/record_memory.h"
#include "core/backup/s3_destination.h"
#include "core/household/machine_report.h"
#include "core/platform/hex.h"
#include "core/platform/json_file.h"
#include "core/platform/sha256.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <random>
#include <set>

using namespace kx;
namespace stdfs = std::filesystem;
using json = nlohmann::json;

namespace {

Date at(int minute) { return Date(std::chrono::seconds(1'700'000'000 + 60 * minute)); }

// A message of the owner's conversation with one friend.
MessageRecord message(const std::string& guid, const std::string& text, int minute) {
    MessageRecord m;
    m.guid = guid;
    m.chatGuid = "iMessage;-;+15550001";
    m.handle = "+15550001";
    m.service = "iMessage";
    m.text = text;
    m.date = at(minute);
    return m;
}

// One computer of the owner: its own archive root, resume state and generation memory.
struct Home {
    test::TempDir dir;
    std::string machineID; // its run report travels with its backups when set
    stdfs::path owner() const { return dir / "Tresk/jorin"; }
    stdfs::path db() const { return owner() / "tresk.db"; }

    // Stores messages as an ingest of the source `sourceId` would; an attachment
    // given by bytes goes into the attachment store first.
    void ingest(const std::string& sourceId, std::vector<MessageRecord> messages,
                const std::map<std::string, std::string>& attachmentBytes = {}) {
        auto w = TreskStoreWriter::open(db().string(), "jorin", at(0));
        Source s;
        s.id = sourceId;
        s.owner = "jorin";
        s.path = "/Users/jorin/Library/Messages/" + sourceId;
        const int64_t row = w->sourceRow(s, at(0));
        ChatRecord chat;
        chat.guid = "iMessage;-;+15550001";
        chat.identifier = "+15550001";
        chat.participants = {"+15550001"};
        w->begin();
        w->addChat(chat);
        AttachmentStore objects(owner() / "attachments");
        for (auto& m : messages) {
            std::unordered_map<std::string, std::string> keys;
            for (const auto& a : m.attachments)
                if (auto b = attachmentBytes.find(a.guid); b != attachmentBytes.end())
                    keys[a.guid] = objects.putBytes(b->second);
            w->addMessage(m, row, at(1), keys);
        }
        w->commit();
    }
    std::set<std::string> guids() const { return guidsIn(db()); }
    static std::set<std::string> guidsIn(const stdfs::path& db) {
        SQLite::Database d(db.string(), SQLite::OPEN_READONLY);
        std::set<std::string> out;
        SQLite::Statement q(d, "SELECT guid FROM messages");
        while (q.executeStep()) out.insert(q.getColumn(0).getString());
        return out;
    }
    std::vector<std::string> versionsOf(const std::string& guid) const {
        SQLite::Database d(db().string(), SQLite::OPEN_READONLY);
        SQLite::Statement q(d, "SELECT v.text FROM message_versions v JOIN messages m ON m.id = v.message_id "
                               "WHERE m.guid = ? ORDER BY v.text");
        q.bind(1, guid);
        std::vector<std::string> out;
        while (q.executeStep()) out.push_back(q.getColumn(0).getString());
        return out;
    }
    // The views agree with the records, as the tamper check reads them.
    std::string recordsDisagree() const {
        SQLite::Database d(db().string(), SQLite::OPEN_READONLY);
        auto diff = records::checkTables(d);
        return diff ? diff->what : "";
    }
};

MessageRecord withPhoto(MessageRecord m, const std::string& attachmentGuid) {
    AttachmentRecord a;
    a.guid = attachmentGuid;
    a.fileName = attachmentGuid + ".jpg";
    a.mimeType = "image/jpeg";
    a.totalBytes = 2000;
    a.state = AttachmentFileState::present;
    m.attachments.push_back(a);
    return m;
}

std::vector<MessageRecord> numbered(const std::string& prefix, int from, int to) {
    std::vector<MessageRecord> out;
    for (int i = from; i <= to; ++i)
        out.push_back(message(prefix + std::to_string(i), prefix + " text " + std::to_string(i), i));
    return out;
}

// The folder destination, or a bucket of a loopback s3rver.
class Merge : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
            server.emplace();
        }
        dest = makeDestination();
    }
    // A destination of its own (a forked child never shares this process's connections).
    std::shared_ptr<BackupDestination> makeDestination() {
        if (server)
            return std::make_shared<S3Destination>(S3Destination::compatible(server->endpoint(), "us-east-1",
                                                                             test::S3Server::kKey, test::S3Server::kKey,
                                                                             test::S3Server::kBucket));
        return std::make_shared<LocalDestination>(LocalDestination::volume(folder.path().string(), "Backup drive"));
    }
    BackupEngine engine(const Home& h, std::function<void(const char*)> step = {},
                        std::shared_ptr<BackupDestination> d = nullptr) {
        BackupEngine::Options o;
        o.generations = h.dir / "state/backup-generations.json";
        o.mergeStep = std::move(step);
        o.machineID = h.machineID;
        o.lease.settle = std::chrono::milliseconds(20);
        return BackupEngine(TreskCrypto(key), d ? d : dest, "kelvara", h.dir / "state/resume-state.json", o);
    }
    UploadReceipt backup(const Home& h, std::function<void(const char*)> step = {}) {
        return engine(h, std::move(step)).backup("jorin/tresk.db", h.db(), VerificationLevel::readBack);
    }
    // What a restore into a fresh folder holds.
    std::set<std::string> restored() {
        test::TempDir into;
        try {
            engine(Home{}).restore("jorin/tresk.db", into / "jorin");
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the restore failed: " << e.what();
            return {};
        }
        return Home::guidsIn(into / "jorin/tresk.db");
    }

    static constexpr const char* kManifestName = "kelvara/jorin/tresk.db.manifest";
    // What the manifest in place records of its database.
    ArchiveContents storedContents() {
        const json c = test::readManifest(*dest, key).at("contents");
        return {c.at("records"), c.at("digest"), c.at("messages"), c.at("checkpoints")};
    }
    // The digest of the records a home's last run took, as its next run finds it.
    static stdfs::path recordMemoryOf(const Home& h) { return h.dir / "state" / RecordMemory::kFileName; }
    std::optional<RecordDigest> keptDigest(const Home& h) {
        return RecordMemory(recordMemoryOf(h))
            .recall(TreskCrypto(key), RecordMemory::identityOf(h.db()), dest->resumeIdentity(), kManifestName);
    }

    SymmetricKey key = SymmetricKey::generate(); // handed to the second computer by the join
    test::TempDir folder;
    std::optional<test::S3Server> server;
    std::shared_ptr<BackupDestination> dest;
};

std::set<std::string> unite(std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

} // namespace

TEST_P(Merge, TwoComputersOfOneOwnerConvergeOnTheUnionWhicheverBacksUpWhen) {
    Home a, b;
    auto aMessages = numbered("A", 1, 10);
    aMessages[0] = withPhoto(aMessages[0], "photo-a");
    a.ingest("mac-a", aMessages, {{"photo-a", std::string(2000, 'a')}});
    backup(a);

    // The second computer joined as the same person: it holds three of A's
    // messages from its own Messages, and five of its own.
    auto bMessages = numbered("B", 1, 5);
    for (int i = 1; i <= 3; ++i)
        bMessages.push_back(message("A" + std::to_string(i), "A text " + std::to_string(i), i));
    b.ingest("mac-b", bMessages);
    const std::set<std::string> all = unite(a.guids(), b.guids());
    ASSERT_EQ(all.size(), 15u);

    UploadReceipt r = backup(b);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 7);
    EXPECT_EQ(r.merged->messagesGrown, 3); // A1-A3 gained A's source as a sighting, A1 its photo
    EXPECT_EQ(r.merged->attachmentsAdded, 1);
    EXPECT_EQ(b.guids(), all);
    EXPECT_EQ(restored(), all);
    const std::string told = mergedSentence(*r.merged, {"jorin", dest->label(), "this computer", formatISO8601});
    EXPECT_NE(told.find("7 messages it brought back"), std::string::npos) << told;

    // A backs up again: what only B had comes to A, and nothing is lost at the destination.
    r = backup(a);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 5);
    EXPECT_EQ(r.merged->messagesGrown, 3); // A1-A3 gained B's source as a sighting
    EXPECT_EQ(a.guids(), all);
    EXPECT_EQ(restored(), all);
    EXPECT_EQ(a.recordsDisagree(), "");
    EXPECT_EQ(b.recordsDisagree(), "");

    // Converged: further runs in any order bring back nothing and lose nothing.
    for (Home* h : {&a, &b, &b, &a}) {
        r = backup(*h);
        EXPECT_FALSE(r.merged);
        EXPECT_EQ(restored(), all);
    }
    // The photo made it to B's archive as a file.
    AttachmentStore bObjects(b.owner() / "attachments");
    EXPECT_TRUE(bObjects.contains(Sha256::hexOf(std::string(2000, 'a'))));
}

TEST_P(Merge, ARebuiltArchiveTakesBackWhatOnlyTheBackupHeldBeforeReplacingIt) {
    Home h;
    h.ingest("old-phone",
             {withPhoto(message("only-old-1", "from the old phone", 1), "old-photo"),
              withPhoto(message("only-old-2", "also old", 2), "lost-photo"), message("both-1", "in both", 3)},
             {{"old-photo", "JPEG bytes of the old phone"}, {"lost-photo", "bytes whose stored copy goes missing"}});
    h.ingest("mac", {message("both-1", "in both", 3), message("mac-1", "on the Mac", 4)});
    backup(h);
    const std::set<std::string> before = h.guids();

    // The source marked redundant is deleted, the archive folder lost, and the rest scanned again.
    stdfs::remove_all(h.dir / "Tresk");
    // One photo's stored copy went missing at the destination meanwhile.
    const std::string lostKey = Sha256::hexOf("bytes whose stored copy goes missing");
    const json manifest = test::readManifest(*dest, key);
    for (const auto& o : manifest.at("objects"))
        if (o.value("path", "").ends_with(lostKey)) test::spoilStoredCopy(*dest, o);
    h.ingest("mac", {message("both-1", "in both", 3), message("mac-1", "on the Mac", 4), message("mac-2", "new", 5)});
    const std::set<std::string> all = unite(before, h.guids());

    std::vector<std::string> steps;
    UploadReceipt r = backup(h, [&](const char* s) { steps.emplace_back(s); });
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 2);
    EXPECT_EQ(r.merged->attachmentsAdded, 1);
    EXPECT_EQ(r.merged->attachmentsMissing, std::vector<std::string>{"lost-photo"}); // kept, without its file
    EXPECT_EQ(steps, (std::vector<std::string>{"fetched", "commit"}));
    EXPECT_EQ(h.guids(), all);
    EXPECT_EQ(restored(), all);
    EXPECT_EQ(h.recordsDisagree(), "");

    // An ordinary run afterwards does not fetch the backup's database, even after new messages.
    h.ingest("mac", {message("mac-3", "later", 6)});
    steps.clear();
    r = backup(h, [&](const char* s) { steps.emplace_back(s); });
    EXPECT_FALSE(r.merged);
    EXPECT_TRUE(steps.empty());
}

TEST_P(Merge, ARebuiltArchiveSharingTheFirstRecordsStillTakesBackEverythingAfterThem) {
    // Enough messages that the manifest marks its first records with a checkpoint.
    Home h;
    const std::vector<MessageRecord> scanned = numbered("m", 1, static_cast<int>(kRecordsPerCheckpoint) + 500);
    h.ingest("mac", scanned);
    MessageRecord edited = message("m5", "m text 5, changed", 5); // a message inside the shared records
    edited.dateEdited = at(20);
    edited.edits = {EditRecord{at(5), std::string("m text 5")}};
    h.ingest("mac", {edited, withPhoto(message("late", "a photo", 30), "late-photo")},
             {{"late-photo", "JPEG bytes of a late photo"}});
    backup(h);
    const std::set<std::string> before = h.guids();

    stdfs::remove_all(h.dir / "Tresk"); // lost, and scanned again from the same Messages database
    h.ingest("mac", scanned);
    h.ingest("mac", {message("new", "after the rebuild", 40)});
    const json stored = test::readManifest(*dest, key).at("contents");
    ArchiveContents theirs{stored.at("records"), stored.at("digest"), stored.at("messages"), stored.at("checkpoints")};
    const HeldRecords held = recordsHeld(h.db(), theirs);
    EXPECT_FALSE(held.all);
    EXPECT_EQ(held.shared, kRecordsPerCheckpoint);

    UploadReceipt r = backup(h);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 1);
    EXPECT_EQ(r.merged->messagesGrown, 1);
    EXPECT_EQ(r.merged->attachmentsAdded, 1);
    EXPECT_EQ(h.versionsOf("m5"), (std::vector<std::string>{"m text 5", "m text 5, changed"}));
    const std::set<std::string> all = unite(before, {"new"});
    EXPECT_EQ(h.guids(), all);
    EXPECT_EQ(restored(), all);
    EXPECT_EQ(h.recordsDisagree(), "");

    // The next run's check carries the digest on over what it adds, and the manifest's contents hold.
    h.ingest("mac", {message("newer", "later still", 41)});
    r = backup(h);
    EXPECT_FALSE(r.merged);
    const json next = test::readManifest(*dest, key).at("contents");
    const std::optional<ArchiveContents> now = archiveContents(h.db());
    ASSERT_TRUE(now);
    EXPECT_EQ(next.at("digest"), now->digest);
    EXPECT_EQ(next.at("records"), now->records);
    EXPECT_EQ(next.at("checkpoints"), now->checkpoints);
}

TEST_P(Merge, EditsUnsendsAndSightingsOfMessagesBothHoldAreMergedAsNewRecords) {
    Home a, b;
    a.ingest("mac-a", {message("m1", "see you at 5", 1), message("m2", "oops wrong chat", 2)});
    backup(a);
    const std::optional<ArchiveContents> aBefore = archiveContents(a.db());
    ASSERT_TRUE(aBefore);

    // B saw m1 edited and m2 unsent.
    MessageRecord edited = message("m1", "see you at 6", 1);
    edited.dateEdited = at(10);
    edited.edits = {EditRecord{at(1), std::string("see you at 5")}};
    MessageRecord unsent = message("m2", "oops wrong chat", 2);
    unsent.dateRetracted = at(11);
    b.ingest("mac-b", {edited, unsent});
    UploadReceipt r = backup(b);
    ASSERT_TRUE(r.merged); // B held both messages, and takes A's sighting of each
    EXPECT_EQ(r.merged->messagesAdded, 0);
    EXPECT_EQ(r.merged->messagesGrown, 2);
    EXPECT_EQ(b.versionsOf("m1"), (std::vector<std::string>{"see you at 5", "see you at 6"}));

    r = backup(a);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 0);
    EXPECT_EQ(r.merged->messagesGrown, 2);
    SQLite::Database d(a.db().string(), SQLite::OPEN_READONLY);
    EXPECT_EQ(d.execAndGet("SELECT text FROM messages WHERE guid = 'm1'").getString(), "see you at 6");
    EXPECT_FALSE(d.execAndGet("SELECT date_retracted FROM messages WHERE guid = 'm2'").isNull());
    EXPECT_EQ(a.versionsOf("m1"), (std::vector<std::string>{"see you at 5", "see you at 6"}));
    EXPECT_EQ(d.execAndGet("SELECT count(*) FROM message_sources ms JOIN messages m ON m.id = ms.message_id "
                           "WHERE m.guid = 'm2'")
                  .getInt(),
              2);
    // Appended, never rewritten: the records A had are still its first records.
    EXPECT_TRUE(holdsAllOf(a.db(), *aBefore));
    EXPECT_EQ(a.recordsDisagree(), "");
}

TEST_P(Merge, ABackupThatCannotBeReadIsRefusedBeforeAnythingAtTheDestinationChanges) {
    Home a, b;
    a.ingest("mac-a", numbered("A", 1, 30));
    backup(a);
    b.ingest("mac-b", numbered("B", 1, 3));
    const json manifest = test::readManifest(*dest, key);
    const std::string dbName = manifest.at("database").at("name").get<std::string>();

    auto stored = [&] {
        std::map<std::string, uint64_t> out;
        for (auto& [n, size] : dest->list("kelvara/")) out[n] = size;
        return out;
    };
    auto refusal = [&]() -> std::string {
        try {
            backup(b);
        } catch (const UnmergeableBackupError& e) {
            return e.what();
        }
        return "";
    };

    // Damaged at rest.
    if (server) ASSERT_TRUE(server->flipStoredByte(dbName));
    else {
        std::string bytes = test::readAll(folder / dbName);
        bytes[bytes.size() / 2] ^= 0x20;
        test::writeAll(folder / dbName, bytes);
    }
    const auto held = stored();
    const std::set<std::string> bBefore = b.guids();
    std::string why = refusal();
    EXPECT_NE(why.find("holding 30 messages"), std::string::npos) << why;
    EXPECT_NE(why.find("could not be read"), std::string::npos) << why;
    EXPECT_NE(why.find("kxctl restore"), std::string::npos) << why;
    EXPECT_EQ(stored(), held);
    EXPECT_EQ(test::readManifest(*dest, key), manifest);
    EXPECT_EQ(b.guids(), bBefore);

    // A manifest of a newer format this version cannot read.
    json newer = manifest;
    newer["format"] = 4;
    const std::string name = "kelvara/jorin/tresk.db.manifest";
    const std::string sealed = TreskCrypto(key).seal(newer.dump(), name);
    dest->put(name, sealed.size(),
              [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealed.data() + off, n); },
              ObjectClass::control, {});
    const auto held2 = stored();
    why = refusal();
    EXPECT_NE(why.find("newer version of Kelvara"), std::string::npos) << why;
    EXPECT_EQ(stored(), held2);
    EXPECT_EQ(b.guids(), bBefore);

    // A manifest that no longer opens, with no earlier copy that does: what the
    // backup holds cannot be known, so it is not replaced.
    for (const std::string& n :
         {name, name + std::string(kManifestCopySuffix), name + std::string(kReplacedManifestSuffix)}) {
        if (server) {
            if (dest->list(n).empty()) continue;
            ASSERT_TRUE(server->flipStoredByte(n));
        } else {
            if (!stdfs::exists(folder / n)) continue;
            std::string bytes = test::readAll(folder / n);
            bytes[bytes.size() / 2] ^= 0x20;
            test::writeAll(folder / n, bytes);
        }
    }
    const auto held3 = stored();
    why = refusal();
    EXPECT_NE(why.find("manifest could not be opened"), std::string::npos) << why;
    EXPECT_EQ(stored(), held3);
    EXPECT_EQ(b.guids(), bBefore);
}

// A backup an earliest version wrote (the database under the archive's own
// name, no record of its contents) is taken in as well before it is replaced.
TEST_P(Merge, ABackupInTheFirstLayoutIsTakenInBeforeARebuiltArchiveReplacesIt) {
    Home a, b;
    a.ingest("mac-a", numbered("A", 1, 20));
    b.ingest("mac-b", numbered("B", 1, 3));
    test::writeFirstLayoutBackup(*dest, key, a.owner());

    backup(b);
    const std::set<std::string> all = unite(a.guids(), b.guids());
    EXPECT_EQ(b.guids(), all);
    EXPECT_EQ(restored(), all);
}

// Runs killed with SIGKILL at random points of a merge (its requests to the
// destination and its steps), then a run to the end: each side holds the state
// before or the union after every kill, and the last restore holds the union.
TEST_P(Merge, KilledDuringAMergeEachSideHoldsBeforeOrMergedAndTheRerunHoldsTheUnion) {
    Home a;
    auto aMessages = numbered("A", 1, 40);
    for (int i = 0; i < 6; ++i)
        aMessages[static_cast<size_t>(i)] = withPhoto(aMessages[static_cast<size_t>(i)], "pa" + std::to_string(i));
    std::map<std::string, std::string> photos;
    for (int i = 0; i < 6; ++i)
        photos["pa" + std::to_string(i)] = std::string(3000 + 100 * static_cast<size_t>(i), static_cast<char>('a' + i));
    a.ingest("mac-a", aMessages, photos);
    backup(a);

    class Counting final : public test::ForwardingDestination {
    public:
        Counting(std::shared_ptr<BackupDestination> inner, std::function<void()> tick)
            : ForwardingDestination(std::move(inner)), tick_(std::move(tick)) {}
        std::optional<ObjectInfo> head(const std::string& n) override { return (tick_(), inner_->head(n)); }
        bool get(const std::string& n, const ByteSink& s) override { return (tick_(), inner_->get(n, s)); }
        std::vector<std::pair<std::string, uint64_t>> list(const std::string& p) override {
            return (tick_(), inner_->list(p));
        }
        void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
                 const std::map<std::string, std::string>& m) override {
            tick_();
            inner_->put(n, s, p, c, m);
        }

    private:
        std::function<void()> tick_;
    };

    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int round = 0; round < 6; ++round) {
        const std::set<std::string> before = restored(); // what the destination holds
        Home b;
        b.ingest("mac-b", numbered("B" + std::to_string(round) + "-", 1, 4));
        const std::set<std::string> bSet = b.guids(), all = unite(before, bSet);
        // A run reaches the destination some ten times before its merge (lease,
        // manifest, listing), then fetches the database, its six photos and commits.
        const int n = std::uniform_int_distribution<int>(1, 28)(rng);
        test::killChildWhereItStops([&](const std::function<void()>& stopHere) {
            // The audit's workers and the snapshot thread reach the destination at once.
            std::atomic<int> seen = 0;
            auto tick = [&] {
                if (++seen == n) stopHere();
            };
            engine(
                b, [&](const char*) { tick(); }, std::make_shared<Counting>(makeDestination(), tick))
                .backup("jorin/tresk.db", b.db(), VerificationLevel::readBack);
        });
        const std::set<std::string> afterKill = b.guids();
        EXPECT_TRUE(afterKill == bSet || afterKill == all) << "round " << round << ", killed at " << n;
        const std::set<std::string> atDest = restored();
        EXPECT_TRUE(atDest == before || atDest == all) << "round " << round << ", killed at " << n;
        EXPECT_EQ(b.recordsDisagree(), "");

        backup(b);
        EXPECT_EQ(b.guids(), all) << "round " << round;
        EXPECT_EQ(restored(), all) << "round " << round;
        backup(a);
        EXPECT_EQ(a.guids(), all) << "round " << round;
    }
}

// Each Mac's run report goes with its backups, so after both have backed up
// each archive root holds both reports ("Your Macs" lists both), cut down to
// this owner; a stored report that is damaged or names no machine is left out.
TEST_P(Merge, EachMacsRunReportTravelsWithTheBackupSoEachListsBoth) {
    Home a, b;
    a.machineID = "MAC-A";
    b.machineID = "MAC-B";
    const Date now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    auto report = [&](const Home& h, Date when, int64_t count) {
        MachineRunReport r{h.machineID, h.machineID + " laptop", when, true, count + 7, {{"jorin", count}, {"sam", 7}}};
        r.write((h.dir / "Tresk").string());
    };
    a.ingest("mac-a", numbered("A", 1, 3));
    report(a, now - std::chrono::hours(2), 3);
    backup(a);
    b.ingest("mac-b", numbered("B", 1, 2));
    report(b, now - std::chrono::hours(1), 2);
    backup(b);
    backup(a);

    for (const Home* h : {&a, &b}) {
        const MachineReportScan scan = readMachineReports((h->dir / "Tresk").string(), now);
        std::set<std::string> macs;
        for (const auto& r : scan.reports) macs.insert(r.machineID + ":" + r.owner);
        // Its own report as it wrote it; the other's cut down to this owner.
        const std::string self = h == &a ? "MAC-A" : "MAC-B", other = h == &a ? "MAC-B" : "MAC-A";
        EXPECT_EQ(macs, (std::set<std::string>{self + ":jorin", self + ":sam", other + ":jorin"}));
        EXPECT_TRUE(scan.skipped.empty());
    }
    // A damaged report and a name that is no machine identity are left out.
    const std::string folder = std::string("kelvara/jorin/") + kMachineReportsFolder;
    const std::string junk = "not a sealed report";
    dest->put(folder + "MAC-C", junk.size(),
              [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, junk.data() + off, n); },
              ObjectClass::control, {});
    Home c;
    c.machineID = "MAC-D";
    c.ingest("mac-d", numbered("D", 1, 1));
    backup(c);
    EXPECT_FALSE(stdfs::exists(c.dir / "Tresk/MAC-C.machine-run.json"));
    EXPECT_TRUE(stdfs::exists(c.dir / "Tresk/MAC-A.machine-run.json"));
    EXPECT_TRUE(stdfs::exists(c.dir / "Tresk/MAC-B.machine-run.json"));
}

// An ordinary run starts from the digest of the records the last run took and
// reads only the records added since; the contents it records are those of
// reading every record. The digest is kept sealed; one damaged is not taken.
TEST_P(Merge, AnOrdinaryRunReadsOnlyTheRecordsAddedSinceTheLastRun) {
    Home h;
    h.ingest("mac", numbered("m", 1, static_cast<int>(kRecordsPerCheckpoint) + 300));
    backup(h);
    h.ingest("mac", numbered("n", 1, 50));

    std::optional<RecordDigest> kept = keptDigest(h);
    ASSERT_TRUE(kept);
    const ArchiveContents theirs = storedContents();
    ASSERT_GE(theirs.checkpoints.size(), 1u);
    EXPECT_EQ(kept->records(), theirs.records);
    const HeldRecords held = recordsHeld(h.db(), theirs, &*kept);
    EXPECT_TRUE(held.all);
    EXPECT_EQ(held.read, 0);
    EXPECT_EQ(archiveContents(h.db(), &*held.digest), archiveContents(h.db()));

    auto ordinaryRun = [&] {
        std::vector<std::string> steps;
        const UploadReceipt r = backup(h, [&](const char* s) { steps.emplace_back(s); });
        EXPECT_FALSE(r.merged);
        EXPECT_TRUE(steps.empty()) << "the backup's database was fetched";
        EXPECT_EQ(storedContents(), archiveContents(h.db()));
    };
    ordinaryRun();
    ASSERT_TRUE(keptDigest(h));
    EXPECT_EQ(keptDigest(h)->hex(), storedContents().digest);

    // Kept sealed, for the hashing state holds the last bytes of messages; one
    // damaged on disk no longer opens.
    const std::string lastText = "n text 50";
    const std::string inHex = lowerHex(reinterpret_cast<const unsigned char*>(lastText.data()), lastText.size());
    EXPECT_NE(keptDigest(h)->kept().dump().find(inHex), std::string::npos);
    json file = loadJsonFile(recordMemoryOf(h)).value;
    EXPECT_EQ(file.dump().find(inHex), std::string::npos);
    std::string& sealed = file["backups"][0]["digest"].get_ref<std::string&>();
    sealed[sealed.size() / 2] = sealed[sealed.size() / 2] == '0' ? '1' : '0';
    saveJsonFile(recordMemoryOf(h), file);
    EXPECT_FALSE(keptDigest(h));
    h.ingest("mac", numbered("o", 1, 5));
    ordinaryRun();
}

// The kept digest is only a hint: an archive written over in place by another
// (the same file to the system) and an entry that claims a digest of another
// archive's records are each found out, and the backup's messages merged.
TEST_P(Merge, ADigestKeptForOtherRecordsIsNotTrusted) {
    Home a;
    a.ingest("mac-a", numbered("A", 1, 30));
    backup(a);
    const std::set<std::string> aHad = a.guids();

    // As many other messages, so as many records, copied over the archive's file.
    Home other;
    other.ingest("mac-a", numbered("Z", 1, 30));
    const std::string identity = RecordMemory::identityOf(a.db());
    test::TempDir t;
    snapshotDatabase(other.db(), t / "snap.db");
    for (const char* suffix : {"-wal", "-shm"}) stdfs::remove(a.db().string() + suffix);
    {
        std::ofstream out(a.db(), std::ios::binary); // truncated, not replaced
        out << test::readAll(t / "snap.db");
    }
    ASSERT_EQ(RecordMemory::identityOf(a.db()), identity);
    ASSERT_EQ(archiveContents(a.db())->records, storedContents().records);
    UploadReceipt r = backup(a);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 30);
    const std::set<std::string> all = unite(aHad, other.guids());
    EXPECT_EQ(restored(), all);

    // Another computer's kept digest: moved into this computer's file it no
    // longer opens, and sealed anew for this archive (as a faulty build might
    // keep it) it is found out by the records.
    Home b;
    b.ingest("mac-b", numbered("B", 1, 5));
    json file = loadJsonFile(recordMemoryOf(a)).value;
    file["backups"][0]["store"] = RecordMemory::identityOf(b.db());
    saveJsonFile(recordMemoryOf(b), file);
    EXPECT_FALSE(keptDigest(b));
    const std::optional<RecordDigest> aKept = keptDigest(a);
    ASSERT_TRUE(aKept);
    RecordMemory(recordMemoryOf(b))
        .remember(TreskCrypto(key), RecordMemory::identityOf(b.db()), dest->resumeIdentity(), kManifestName, *aKept);
    ASSERT_TRUE(keptDigest(b));
    r = backup(b);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 60);
    EXPECT_EQ(restored(), unite(all, b.guids()));
}

// A backup another computer wrote is merged even when this archive, grown
// since its own last run, holds more records than that backup.
TEST_P(Merge, AnotherComputersBackupIsMergedWhenThisArchiveHoldsMoreRecords) {
    Home a, b;
    a.ingest("mac-a", numbered("A", 1, 10));
    backup(a);
    b.ingest("mac-b", numbered("B", 1, 10));
    backup(b);
    a.ingest("mac-a", numbered("A", 11, 60));
    ASSERT_GT(archiveContents(a.db())->records, storedContents().records);
    ASSERT_TRUE(keptDigest(a));
    const UploadReceipt r = backup(a);
    ASSERT_TRUE(r.merged);
    EXPECT_EQ(r.merged->messagesAdded, 10);
    const std::set<std::string> all = unite(a.guids(), b.guids());
    EXPECT_EQ(all.size(), 70u);
    EXPECT_EQ(restored(), all);
}

INSTANTIATE_TEST_SUITE_P(FolderAndObjectStore, Merge, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "ObjectStore" : "Folder"; });
