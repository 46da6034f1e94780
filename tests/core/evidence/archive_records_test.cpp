// Stores made before the records table: they are given their records when the
// engine first opens them, manifests made before keep their meaning, and an
// interrupted start-over loses nothing.
#include "core/archive/archive_records.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/export_and_seal.h"
#include "core/evidence/message_canonical.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/hex.h"
#include "core/platform/sha256.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {
namespace {

using Status = TreskManifest::Status;
constexpr auto kNow = std::chrono::sys_days{std::chrono::year{2026} / 12 / 1};

class OlderStores : public ::testing::Test {
protected:
    void SetUp() override {
        test::addMessages(db, {.count = 20, .attachmentEvery = 6});
        // What an earlier version left: the same tables, no records, format 1.
        test::tamper(db, "DROP TABLE records; UPDATE meta SET value = '1' WHERE key = 'formatVersion'");
    }

    std::string meta(const std::string& key) {
        SQLite::Database d(db.string(), SQLite::OPEN_READONLY);
        SQLite::Statement q(d, "SELECT value FROM meta WHERE key = ?");
        q.bind(1, key);
        return q.executeStep() ? q.getColumn(0).getString() : std::string();
    }
    bool hasRecords() {
        SQLite::Database d(db.string(), SQLite::OPEN_READONLY);
        return d.tableExists("records");
    }
    // The manifest the earlier version wrote: one link per message over the
    // message's canonical bytes, seeded "kelvara-manifest-v1".
    TreskManifest::File earlierManifest() {
        TreskManifest::File f;
        f.version = 1;
        f.owner = "jorin";
        f.generatedAt = kNow;
        f.checkpointInterval = 1000;
        Sha256Digest link = Sha256::of(std::string("kelvara-manifest-v1") + '\0' + "jorin");
        f.genesis = toHex(link);
        std::string fingerprints, bytes;
        walkArchiveInInsertionOrder(db.string(), [&](const CanonicalMessage& m) {
            canonicalBytes(m, bytes);
            std::string input(reinterpret_cast<const char*>(link.data()), link.size());
            for (int i = 7; i >= 0; --i) input.push_back(static_cast<char>((bytes.size() >> (8 * i)) & 0xff));
            link = Sha256::of(input + bytes);
            fingerprints.append(reinterpret_cast<const char*>(link.data()), 8);
            ++f.messageCount;
            return true;
        });
        f.recordCount = f.messageCount;
        f.chainHead = toHex(link);
        f.checkpoints.push_back({f.messageCount, f.chainHead, fingerprints});
        // Through the file, as it would be read from disk.
        const std::string path = (root / "earlier.manifest.json").string();
        TreskManifest::write(f, path);
        return *TreskManifest::read(path);
    }
    TreskManifest::VerificationResult verify(const TreskManifest::File& m) { return test::verifyManifest(db, m); }
    TreskManifest::File generate() { return test::generateManifest(db, "jorin", kNow); }
    // A run that fills in what the first source lacked: a newer edit of MSG-4.
    void fillingRun() {
        MessageRecord m;
        m.guid = "MSG-4";
        m.chatGuid = "iMessage;-;+15550001111";
        m.handle = "+15550001111";
        m.text = "Message number 4, edited";
        m.date = test::fixtureDate(4);
        m.dateEdited = test::fixtureDate(400);
        m.isFromMe = true;
        test::laterRun(db, {m});
    }

    test::TempDir root;
    std::filesystem::path db = root / "jorin" / "tresk.db";
};

TEST_F(OlderStores, GetTheirRecordsAndKeepEveryManifestMeaningful) {
    const auto earlier = earlierManifest();
    EXPECT_EQ(earlier.version, 1);
    EXPECT_EQ(verify(earlier).status, static_cast<int>(Status::intact));

    // Before the engine has opened it, the store is chained from its tables...
    const auto before = generate();
    EXPECT_EQ(before.messageCount, 20);
    EXPECT_FALSE(hasRecords());

    // ...and the records the engine then writes are exactly those.
    TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
    EXPECT_TRUE(hasRecords());
    EXPECT_EQ(meta("formatVersion"), "2");
    EXPECT_EQ(verify(before).status, static_cast<int>(Status::intact));
    EXPECT_EQ(generate().chainHead, before.chainHead);
    EXPECT_EQ(verify(earlier).status, static_cast<int>(Status::intact));

    // A run that fills in an edit: grown for today's manifest. The earlier one
    // chained the shown text, so its difference cannot be judged: said so, with
    // the way out.
    fillingRun();
    EXPECT_EQ(verify(before).status, static_cast<int>(Status::grown));
    const auto old = verify(earlier);
    EXPECT_EQ(old.status, static_cast<int>(Status::cannotJudge));
    ASSERT_TRUE(old.note);
    EXPECT_NE(old.note->find("message 4 (MSG-4)"), std::string::npos) << *old.note;
    EXPECT_NE(old.note->find("Generate a new manifest"), std::string::npos) << *old.note;
}

TEST_F(OlderStores, AnExportIsSealedWithAManifestOfThisVersion) {
    const auto earlier = earlierManifest();
    const std::string manifestPath = TreskManifest::path(root.path().string(), "jorin");
    TreskManifest::write(earlier, manifestPath);
    ExportRequest r;
    r.archiveRoot = root.path().string();
    r.owner = "jorin";
    r.conversationKey = "+15550001111";
    r.format = ExportFormat::csv;
    const test::TempDir out;
    r.destinationPath = (out / "export.csv").string();
    r.appVersion = "1.0 (1)";
    r.now = test::fixtureDate(100);
    const SealFile seal = exportAndSeal(r, MapContactResolver{});
    const auto now = TreskManifest::read(manifestPath);
    EXPECT_EQ(now->version, TreskManifest::kVersion);
    EXPECT_EQ(seal.manifestHead, now->chainHead);
    EXPECT_EQ(verify(*now).status, static_cast<int>(Status::intact));
    // The earlier manifest is kept beside it.
    int kept = 0;
    for (const auto& e : std::filesystem::directory_iterator(root / "jorin"))
        kept += e.path().filename().string().rfind("tresk.manifest.superseded-", 0) == 0;
    EXPECT_EQ(kept, 1);
}

TEST_F(OlderStores, AKillDuringTheirFirstOpenLosesNothing) {
    const auto before = generate();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TreskStoreWriter::migrationProgress = [](int64_t written) {
            if (written == 25) ::raise(SIGKILL);
        };
        try {
            TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
        } catch (...) {
        }
        ::_exit(0); // not killed: the test below fails
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the migration ran to its end";

    // Still the whole format-1 store.
    EXPECT_EQ(meta("formatVersion"), "1");
    EXPECT_FALSE(hasRecords());
    EXPECT_EQ(TreskStore(db.string()).messageCount(), 20);
    EXPECT_EQ(verify(before).status, static_cast<int>(Status::intact));

    // The next open starts over and finishes.
    TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
    EXPECT_EQ(meta("formatVersion"), "2");
    EXPECT_EQ(verify(before).status, static_cast<int>(Status::intact));
}

} // namespace
} // namespace kx
