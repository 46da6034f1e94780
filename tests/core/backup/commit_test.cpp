// A backup run stopped at any point leaves the backup in place restorable, and
// the next run finishes the job without sending again what is already stored.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/platform/hex.h"
#include "core/platform/json_file.h"
#include "core/platform/sha256.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

using namespace kx;
namespace stdfs = std::filesystem;
using Op = test::FaultyDestination::Op;
using nlohmann::json;

namespace {

const std::string kManifest = "kelvara/jorin/tresk.db.manifest";
const std::string kManifestCopy = kManifest + kManifestCopySuffix, kReplaced = kManifest + kReplacedManifestSuffix;
// What a run that only switches the manifest stores: the copy of the one it
// replaces, then the new one's second copy and the new one.
const std::vector<std::string> kManifestSwitch = {kReplaced, kManifestCopy, kManifest};

class Interrupted : public ::testing::Test {
protected:
    void SetUp() override {
        test::makeArchive(archive, 2500, {10, 5000, 30000, 200000, 0}, 31);
        local = std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "External drive"));
        faulty = std::make_shared<test::FaultyDestination>(local);
    }
    BackupEngine engine(int threads = 1) {
        BackupEngine::Options o;
        o.partSize = 64 * 1024;
        o.threads = threads;
        return BackupEngine(TreskCrypto(key), faulty, "kelvara", resumeFile, o);
    }
    UploadReceipt backup(int threads = 1) {
        return engine(threads).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    }
    // Restores into a fresh folder and returns it.
    stdfs::path restore() {
        stdfs::path into = work / ("restored-" + std::to_string(++restores)) / "jorin";
        BackupEngine(TreskCrypto(key), local, "kelvara", std::nullopt).restore("jorin/tresk.db", into);
        return into;
    }
    // Every stored object, apart from the manifests, is one the manifest or
    // the one it replaced names.
    std::string strayObjects() {
        std::set<std::string> named = {kManifest, kManifestCopy, kReplaced};
        for (const std::string& copy : {kManifest, kReplaced}) {
            if (!stdfs::exists(dest / copy)) continue;
            const json m = json::parse(TreskCrypto(key).open(test::readAll(dest / copy), kManifest));
            named.insert(m["database"].value("name", "kelvara/jorin/tresk.db")); // (the first layout's place)
            for (const auto& o : m["objects"]) named.insert(o["name"].get<std::string>());
        }
        std::string stray;
        for (const auto& [name, size] : local->list("kelvara/"))
            if (!named.count(name)) stray += name + " ";
        return stray;
    }
    void addAttachment(const std::string& text) {
        std::string sha = Sha256::hexOf(text);
        test::writeAll(archive / "attachments" / sha.substr(0, 2) / sha, text);
    }

    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    stdfs::path resumeFile = work / "config/resume-state.json";
    std::shared_ptr<LocalDestination> local;
    std::shared_ptr<test::FaultyDestination> faulty;
    SymmetricKey key = SymmetricKey::generate();
    int restores = 0;
};

// A store that writes objects in place, as some S3-compatible servers do: a
// store of the manifest stopped part way leaves it cut off there.
class CutsTheManifest final : public test::ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;
    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        if (n != kManifest) return inner_->put(n, s, p, c, m);
        inner_->put(n, s / 3, p, c, m);
        throw BackupError("the connection was lost");
    }
};

// A store that answers a write before it can be read back whole: the first read
// of an object just stored gets only half of it.
class SlowToSettle final : public test::ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;
    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        inner_->put(n, s, p, c, m);
        std::lock_guard<std::mutex> lock(mutex_);
        unsettled_.insert(n);
    }
    bool get(const std::string& n, const ByteSink& sink) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!unsettled_.erase(n)) return inner_->get(n, sink);
        }
        std::string bytes;
        const bool found = inner_->get(n, [&](const unsigned char* b, size_t k) {
            bytes.append(reinterpret_cast<const char*>(b), k);
        });
        if (found) sink(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size() / 2);
        return found;
    }

private:
    std::mutex mutex_;
    std::set<std::string> unsettled_;
};

void copyTree(const stdfs::path& from, const stdfs::path& to) {
    stdfs::remove_all(to);
    stdfs::create_directories(to);
    stdfs::copy(from, to, stdfs::copy_options::recursive);
}

} // namespace

TEST_F(Interrupted, AStopAtAnyRequestLeavesARestorableBackupAndTheNextRunCompletesIt) {
    backup();
    test::TempDir before;
    copyTree(archive, before / "archive");
    copyTree(dest.path(), before / "dest");
    test::addMessages(archive, 40, 32);
    addAttachment("an attachment added after the first backup");
    addAttachment(std::string(150000, 'q'));

    // Stop the second run at every request in turn, from the first to the last.
    bool finished = false;
    for (int n = 1; !finished && n < 400; ++n) {
        SCOPED_TRACE("stopped at request " + std::to_string(n));
        copyTree(before / "dest", dest.path());
        stdfs::remove(resumeFile);
        faulty->failFromRequest(n);
        try {
            backup();
            finished = true;
        } catch (const BackupError&) {
        }
        faulty->failFromRequest(0);
        // The backup at the destination is the earlier one or the new one, whole.
        stdfs::path got = restore();
        const std::string asBefore = test::compareArchives(before / "archive", got);
        const std::string asNow = test::compareArchives(archive, got);
        EXPECT_TRUE(asBefore.empty() || asNow.empty()) << asBefore << " / " << asNow;
        if (finished) {
            EXPECT_EQ(asNow, "");
        }
        // The next run completes the backup and leaves nothing unnamed behind.
        backup();
        EXPECT_EQ(test::compareArchives(archive, restore()), "");
        EXPECT_EQ(strayObjects(), "");
    }
    EXPECT_TRUE(finished);
}

TEST_F(Interrupted, ObjectsStoredByAnInterruptedRunAreNotSentAgain) {
    for (int i = 0; i < 12; ++i) addAttachment("attachment number " + std::to_string(i) + std::string(3000, 'x'));
    // The whole run, uninterrupted, on a copy.
    test::TempDir other;
    auto otherFaulty = std::make_shared<test::FaultyDestination>(
        std::make_shared<LocalDestination>(LocalDestination::volume(other.path().string(), "x")));
    BackupEngine::Options o;
    o.partSize = 64 * 1024;
    o.threads = 1;
    BackupEngine(TreskCrypto(key), otherFaulty, "kelvara", work / "other-resume.json", o)
        .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const size_t wholeRun = otherFaulty->count(Op::put) + otherFaulty->count(Op::part);

    // The run stops after its ninth stored object, then again in the database.
    int puts = 0;
    faulty->loseAnswer = [&](const test::FaultyDestination::Request& r) { return r.op == Op::put && ++puts == 9; };
    EXPECT_THROW(backup(), BackupError);
    faulty->loseAnswer = nullptr;
    const std::vector<std::string> firstPuts = faulty->namesOf(Op::put);
    ASSERT_EQ(firstPuts.size(), 9u);
    size_t sent = faulty->count(Op::put) + faulty->count(Op::part);
    faulty->clearLog();
    faulty->failAfterParts = 3;
    EXPECT_THROW(backup(), BackupError);
    for (const auto& name : faulty->namesOf(Op::put))
        EXPECT_EQ(std::count(firstPuts.begin(), firstPuts.end(), name), 0) << name << " was sent again";
    sent += faulty->count(Op::put) + faulty->count(Op::part);
    faulty->failAfterParts = -1;
    faulty->clearLog();

    // The third run finishes: in all, about one run's work.
    UploadReceipt r = backup();
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    sent += faulty->count(Op::put) + faulty->count(Op::part);
    EXPECT_LE(sent, wholeRun + 1) << "an interrupted backup sent objects again";
    EXPECT_EQ(test::compareArchives(archive, restore()), "");

    // A run that stored everything but its manifest: the next one sends the manifest alone.
    test::addMessages(archive, 30, 33);
    addAttachment("one more");
    faulty->refuse = [](const test::FaultyDestination::Request& q) {
        return q.op == Op::put && q.name.find(".manifest") != std::string::npos;
    };
    EXPECT_THROW(backup(), DestinationRefused);
    faulty->refuse = nullptr;
    faulty->clearLog();
    backup();
    EXPECT_EQ(faulty->namesOf(Op::put), kManifestSwitch);
    EXPECT_EQ(faulty->count(Op::begin), 0u);
    EXPECT_EQ(faulty->count(Op::part), 0u);
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    EXPECT_EQ(strayObjects(), "");

    // An unchanged archive sends only a manifest.
    faulty->clearLog();
    r = backup();
    EXPECT_EQ(faulty->namesOf(Op::put), kManifestSwitch);
    EXPECT_EQ(faulty->count(Op::part), 0u);
    EXPECT_LT(r.bytes, 24576u); // the three manifests
}

TEST_F(Interrupted, AManifestCutOffWhileItWasWrittenLeavesItsSecondCopyRestorableAndTheNextRunMendsIt) {
    backup();
    test::addMessages(archive, 25, 36);
    addAttachment("stored just before the manifest was cut off");
    BackupEngine::Options o;
    o.partSize = 64 * 1024;
    o.threads = 1;
    EXPECT_THROW(BackupEngine(TreskCrypto(key), std::make_shared<CutsTheManifest>(local), "kelvara", resumeFile, o)
                     .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack),
                 BackupError);
    ASSERT_THROW(TreskCrypto(key).open(test::readAll(dest / kManifest), kManifest), SealError);

    // The restore reads the second copy, written whole before the manifest, and says so.
    const stdfs::path into = work / "restored-cut/jorin";
    const RestoreReport r =
        BackupEngine(TreskCrypto(key), local, "kelvara", std::nullopt).restore("jorin/tresk.db", into);
    EXPECT_TRUE(r.fromManifestCopy);
    EXPECT_FALSE(r.fromReplacedManifest);
    EXPECT_EQ(r.manifestTrouble, "damaged");
    EXPECT_EQ(r.generation, 2u);
    EXPECT_EQ(test::compareArchives(archive, into), "");

    // The next run names the manifest (not the database) and writes it again, sending nothing else.
    faulty->clearLog();
    const UploadReceipt again = backup();
    EXPECT_EQ(again.damaged, std::vector<std::string>{kDamagedManifest});
    EXPECT_EQ(again.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(faulty->namesOf(Op::put), kManifestSwitch);
    EXPECT_EQ(faulty->count(Op::part), 0u);
    EXPECT_NO_THROW(TreskCrypto(key).open(test::readAll(dest / kManifest), kManifest));
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    EXPECT_EQ(strayObjects(), "");
}

TEST_F(Interrupted, AWriteThatCannotBeReadBackWholeAtOnceIsReadAgainBeforeTheRunFails) {
    BackupEngine::Options o;
    o.partSize = 64 * 1024;
    o.threads = 1;
    const UploadReceipt r = BackupEngine(TreskCrypto(key), std::make_shared<SlowToSettle>(local), "kelvara", resumeFile,
                                         o)
                                .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
}

TEST_F(Interrupted, AStoredObjectThatDoesNotOpenIsSentAgainNotTakenOver) {
    // Everything is stored but the manifest.
    faulty->refuse = [](const test::FaultyDestination::Request& q) {
        return q.op == Op::put && q.name.find(".manifest") != std::string::npos;
    };
    EXPECT_THROW(backup(), DestinationRefused);
    faulty->refuse = nullptr;
    // Damage one object the stopped run stored.
    std::string damaged;
    for (const auto& [name, size] : local->list("kelvara/jorin/objects/"))
        if (size > 1000 && size < 60000) damaged = name; // one stored whole, not in parts
    ASSERT_FALSE(damaged.empty());
    std::string bytes = test::readAll(dest / damaged);
    bytes[bytes.size() / 2] ^= 1;
    test::writeAll(dest / damaged, bytes);
    faulty->clearLog();
    backup();
    auto puts = faulty->namesOf(Op::put);
    EXPECT_EQ(std::count(puts.begin(), puts.end(), damaged), 1);
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
}

TEST_F(Interrupted, ARemovalThatFailsIsDoneByTheNextRun) {
    backup();
    const std::string oldDb = test::storedDatabaseName(*local, key);
    test::addMessages(archive, 5, 34);
    faulty->refuse = [](const test::FaultyDestination::Request& r) { return r.op == Op::remove; };
    backup(); // the new backup is complete; only tidying up failed
    faulty->refuse = nullptr;
    EXPECT_TRUE(local->head(oldDb).has_value());
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    backup();
    EXPECT_FALSE(local->head(oldDb).has_value());
    EXPECT_EQ(strayObjects(), "");
}

TEST_F(Interrupted, ARecordedUploadTheDestinationRefusesStartsAgain) {
    faulty->failAfterParts = 2;
    EXPECT_THROW(backup(), BackupError);
    faulty->failAfterParts = -1;
    faulty->clearLog();
    // The destination now refuses the recorded upload (say it was cleaned up
    // on its side and it answers with an error rather than "no such upload").
    bool refused = false;
    faulty->refuse = [&](const test::FaultyDestination::Request& r) {
        if (r.op != Op::part || refused) return false;
        refused = true;
        return true;
    };
    UploadReceipt r = backup();
    EXPECT_TRUE(refused);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(faulty->count(Op::begin), 2u); // the refused object started again, then the database
    EXPECT_EQ(faulty->count(Op::abort), 1u);
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    EXPECT_EQ(loadJsonFile(resumeFile).value["uploads"].size(), 0u);
}

TEST_F(Interrupted, ACompletedUploadWhoseAnswerWasLostIsNotSentAgain) {
    // The database upload completes at the destination, but the answer is lost
    // before the run could forget the upload.
    faulty->loseAnswer = [](const test::FaultyDestination::Request& r) { return r.op == Op::complete; };
    EXPECT_THROW(backup(), BackupError);
    faulty->loseAnswer = nullptr;
    json state = loadJsonFile(resumeFile).value;
    ASSERT_EQ(state["uploads"].size(), 1u);
    const std::string completed = state["uploads"][0]["name"];
    faulty->clearLog();
    backup();
    for (const auto& r : faulty->requests())
        EXPECT_TRUE(r.name != completed || r.op == Op::head || r.op == Op::get || r.op == Op::list || r.op == Op::abort)
            << "the completed upload was sent again";
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    EXPECT_EQ(loadJsonFile(resumeFile).value["uploads"].size(), 0u);
}

TEST_F(Interrupted, AFileThatChangedBetweenRunsRestartsItsUploadWithAFreshNonce) {
    // The 200 000-byte attachment goes up in parts; stop after two of them.
    faulty->failAfterParts = 2;
    EXPECT_THROW(backup(), BackupError);
    faulty->failAfterParts = -1;
    json state = loadJsonFile(resumeFile).value;
    ASSERT_EQ(state["uploads"].size(), 1u);
    const std::string firstNonce = state["uploads"][0]["nonce"];

    // The same file, same path and size, now holds other bytes.
    stdfs::path big;
    for (auto& f : stdfs::recursive_directory_iterator(archive / "attachments"))
        if (f.is_regular_file() && f.file_size() == 200000) big = f.path();
    ASSERT_FALSE(big.empty());
    std::string bytes = test::readAll(big);
    for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    test::writeAll(big, bytes);

    faulty->clearLog();
    UploadReceipt r = backup();
    EXPECT_FALSE(r.resumed);
    EXPECT_EQ(faulty->count(Op::begin), 2u); // the changed file and the database start afresh
    EXPECT_EQ(faulty->count(Op::abort), 1u); // the old upload was dropped, not continued
    json m = test::readManifest(*local, key);
    for (const auto& o : m["objects"]) EXPECT_NE(o["nonce"].get<std::string>(), firstNonce);
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
}

// Backups written by earlier versions: the database under the archive's own
// name, overwritten in place by every run.
class FirstLayout : public Interrupted {
protected:
    void writeFirstLayoutBackup() { test::writeFirstLayoutBackup(*local, key, archive); }
};

TEST_F(FirstLayout, StillRestoresAndIsCarriedOverWithoutResendingAttachments) {
    writeFirstLayoutBackup();
    EXPECT_EQ(test::compareArchives(archive, restore()), "");

    test::addMessages(archive, 10, 35);
    faulty->clearLog();
    backup();
    // The attachments stored by the earlier version are kept; the database goes
    // under its new name, and the old copy stays for the backup it replaced
    // until the next run replaces that in turn.
    EXPECT_EQ(faulty->namesOf(Op::put), kManifestSwitch);
    EXPECT_EQ(faulty->count(Op::begin), 1u);
    EXPECT_TRUE(local->head("kelvara/jorin/tresk.db").has_value());
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
    EXPECT_EQ(strayObjects(), "");
    backup();
    EXPECT_FALSE(local->head("kelvara/jorin/tresk.db").has_value());
    EXPECT_EQ(strayObjects(), "");
}

TEST_F(FirstLayout, AnUnfinishedRunOfAnEarlierVersionIsNamedAsSuchNotAsTampering) {
    writeFirstLayoutBackup();
    // An earlier version's run that wrote its new database and stopped before its manifest.
    test::addMessages(archive, 10, 36);
    test::TempDir t;
    snapshotDatabase(archive / "tresk.db", t / "snap.db");
    const std::string sealed = TreskCrypto(key).seal(test::readAll(t / "snap.db"), "kelvara/jorin/tresk.db");
    test::writeAll(dest / "kelvara/jorin/tresk.db", sealed);
    try {
        restore();
        FAIL() << "an unfinished backup was restored";
    } catch (const SealError& e) {
        FAIL() << "reported as tampering: " << e.what();
    } catch (const BackupError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("unfinished"), std::string::npos) << what;
        EXPECT_NE(what.find("Run the backup again"), std::string::npos) << what;
        EXPECT_EQ(what.find("put in its place"), std::string::npos) << what;
    }
    // Backing up again mends it.
    backup();
    EXPECT_EQ(test::compareArchives(archive, restore()), "");
}
