// Backups against a real S3-compatible server (s3rver) on loopback. s3rver
// checks Signature Version 4 with its fixed key pair, so these tests also prove
// the signing on live requests.
#include "core/backup/archive_walk.h"
#include "core/backup/backup_engine.h"
#include "core/backup/health.h"
#include "core/backup/s3_destination.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

class S3Backup : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
        server = std::make_unique<test::S3Server>();
        dest = makeDest(false);
    }
    std::shared_ptr<S3Destination> makeDest(bool deep, const std::string& keyID = test::S3Server::kKey,
                                            const std::string& secret = test::S3Server::kKey) {
        return std::make_shared<S3Destination>(
            S3Destination::compatible(server->endpoint(), "us-east-1", keyID, secret, test::S3Server::kBucket, deep));
    }
    std::unique_ptr<test::S3Server> server;
    std::shared_ptr<S3Destination> dest;
    test::TempDir work;
    SymmetricKey key = SymmetricKey::generate();
};

} // namespace

TEST_F(S3Backup, BacksUpRestoresAndSkipsStoredFiles) {
    test::makeArchive(work / "root/jorin", 2000, {100, 20000, 0}, 11);
    BackupEngine::Options o;
    o.partSize = 100 * 1024;
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", work / "resume-state.json", o);
    UploadReceipt r = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");

    // Second run of an unchanged archive: only a new manifest is sent.
    UploadReceipt again = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_LT(again.bytes, 8192u);
    test::addMessages(work / "root/jorin", 10, 12);
    UploadReceipt third = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_GE(third.bytes, test::readManifest(*dest, key)["database"]["sealedSize"].get<uint64_t>());
    EXPECT_LT(third.bytes, r.bytes);
}

TEST_F(S3Backup, TheServerStoppingMidUploadIsResumedWithoutResendingParts) {
    test::makeArchive(work / "root/jorin", 4000, {}, 12);
    std::vector<int> sent;
    BackupEngine::Options o;
    o.partSize = 100 * 1024;
    o.threads = 1;
    o.afterPart = [&](const std::string&, int part) {
        sent.push_back(part);
        if (part == 2 && sent.size() == 2) server->stop(); // the connection goes away mid-upload
    };
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", work / "resume-state.json", o);
    try {
        engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
        FAIL() << "the upload went on without a server";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("could not be reached"), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find(test::S3Server::kKey), std::string::npos);
    }
    ASSERT_EQ(sent, (std::vector<int>{1, 2}));

    server->restart();
    sent.clear();
    UploadReceipt r = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_TRUE(r.resumed);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front(), 3);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");
}

TEST_F(S3Backup, ATamperedStoredObjectFailsTheRestore) {
    test::makeArchive(work / "root/jorin", 300, {5000}, 13);
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", std::nullopt);
    engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    // Flip a byte of the stored database object in the server's own folder.
    ASSERT_TRUE(server->flipStoredByte(test::storedDatabaseName(*dest, key))) << test::snapshotTree(server->dataDir());
    EXPECT_THROW(engine.restore("jorin/tresk.db", work / "restored/jorin"), SealError);
    EXPECT_FALSE(stdfs::exists(work / "restored/jorin"));
}

TEST_F(S3Backup, ConnectionTestAndAnUnknownKeyGiveSentences) {
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", std::nullopt);
    UploadReceipt r = engine.roundTrip("connection-test/ONE", "Kelvara connection test. Synthetic data.",
                                       VerificationLevel::readBack);
    EXPECT_EQ(r.bytes, TreskCrypto::sealedSize(40));
    engine.remove("connection-test/ONE");
    EXPECT_FALSE(dest->head("kelvara/connection-test/ONE").has_value());

    // (s3rver checks the access key id; it does not check version 4 signatures,
    // which the known-answer test covers.)
    BackupEngine wrong(TreskCrypto(key), makeDest(false, "UNKNOWNKEY", "not-the-secret"), "kelvara", std::nullopt);
    try {
        wrong.roundTrip("connection-test/TWO", "x", VerificationLevel::readBack);
        FAIL();
    } catch (const BackupError& e) {
        std::string what = e.what();
        EXPECT_NE(what.find("403"), std::string::npos) << what;
        EXPECT_EQ(what.find("not-the-secret"), std::string::npos);
    }
}

TEST_F(S3Backup, ABackupSealedWithAnotherKeyIsNeverTakenOver) {
    test::makeArchive(work / "root/jorin", 500, {100, 20000}, 15);
    BackupEngine(TreskCrypto(key), dest, "kelvara", work / "resume-state.json")
        .backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    auto objects = [&] {
        std::string out;
        for (const auto& [name, size] : dest->list("kelvara/")) {
            std::string bytes;
            dest->get(name,
                      [&](const unsigned char* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); });
            out += name + " " + std::to_string(size) + " " + std::to_string(std::hash<std::string>{}(bytes)) + "\n";
        }
        return out;
    };
    const std::string before = objects();
    test::addMessages(work / "root/jorin", 10, 16);
    EXPECT_THROW(BackupEngine(TreskCrypto(SymmetricKey::generate()), dest, "kelvara", work / "resume-state.json")
                     .backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack),
                 ForeignKeyBackupError);
    EXPECT_EQ(objects(), before);
    BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::messageRows(work / "restored/jorin/tresk.db").size(), 500u);
}

TEST_F(S3Backup, DeepArchiveAppliesToDataObjectsOnly) {
    test::makeArchive(work / "root/jorin", 100, {3000}, 14);
    auto deep = makeDest(true);
    BackupEngine engine(TreskCrypto(key), deep, "kelvara", std::nullopt);
    UploadReceipt r = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::checkedByMetadata);
    engine.roundTrip("connection-test/X", "probe", VerificationLevel::readBack);
    OwnerHealthPublisher(" jorin", "kelvara", deep).publish({"jorin", std::nullopt, true, 1, 5, std::nullopt});

    auto classOf = [&](const std::string& needle) {
        for (auto& f : stdfs::recursive_directory_iterator(server->dataDir())) {
            std::string p = f.path().string();
            if (p.find(needle) != std::string::npos && p.find("metadata") != std::string::npos) {
                std::string meta = test::readAll(f.path());
                return meta.find("DEEP_ARCHIVE") != std::string::npos ? std::string("deep") : std::string("standard");
            }
        }
        return std::string("missing");
    };
    EXPECT_EQ(classOf(stdfs::path(test::storedDatabaseName(*deep, key)).filename().string() + "._S3rver"), "deep");
    EXPECT_EQ(classOf("objects"), "deep");
    EXPECT_EQ(classOf("tresk.db.manifest"), "standard");
    EXPECT_EQ(classOf("connection-test"), "standard");
    EXPECT_EQ(classOf("status"), "standard");
}

TEST_F(S3Backup, SharedStatusIsKeyedByTheNormalisedOwnerAndNeedsNoKey) {
    Date t = *parseISO8601("2026-12-01T03:30:00Z");
    OwnerHealthPublisher("family/jorin ", "kelvara", dest).publish({"ignored", t, true, 1, 1234, std::nullopt});
    OwnerHealthPublisher("mara", "kelvara", dest)
        .publish({"mara", t, false, 1, 0, std::string("backup did not complete")});
    // A damaged record for a third owner.
    std::string junk = "{not json";
    dest->put("kelvara/status/olek.json", junk.size(),
              [&](uint64_t o, unsigned char* b, size_t n) { std::memcpy(b, junk.data() + o, n); }, ObjectClass::control,
              {});

    HostAdmin admin({{"family_jorin", "mara", "olek", "nobody"}, "kelvara"}, dest);
    auto rows = admin.read();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].owner, "family_jorin");
    ASSERT_TRUE(rows[0].record.has_value()) << rows[0].error.value_or("");
    EXPECT_EQ(rows[0].record->owner, "family/jorin ");
    EXPECT_EQ(rows[0].record->bytes, 1234);
    EXPECT_EQ(rows[0].record->time, t);
    EXPECT_TRUE(rows[0].record->ok);
    ASSERT_TRUE(rows[1].record.has_value());
    EXPECT_FALSE(rows[1].record->ok);
    EXPECT_EQ(rows[1].record->note, std::optional<std::string>("backup did not complete"));
    EXPECT_FALSE(rows[2].record.has_value());
    EXPECT_TRUE(rows[2].error.has_value());
    EXPECT_FALSE(rows[3].record.has_value());
    EXPECT_TRUE(rows[3].error.has_value());

    server->stop();
    auto down = admin.read(); // never throws; each row says what went wrong
    ASSERT_EQ(down.size(), 4u);
    for (const auto& row : down) {
        EXPECT_FALSE(row.record.has_value());
        ASSERT_TRUE(row.error.has_value());
        EXPECT_NE(row.error->find("could not be reached"), std::string::npos) << *row.error;
    }
}

TEST_F(S3Backup, ACompletedUploadThatWasNotForgottenNeverBlocksLaterRuns) {
    test::makeArchive(work / "root/jorin", 4000, {100}, 17);
    auto faulty = std::make_shared<test::FaultyDestination>(dest);
    BackupEngine::Options o;
    o.partSize = 100 * 1024;
    BackupEngine engine(TreskCrypto(key), faulty, "kelvara", work / "resume-state.json", o);
    // The server completes the upload, but the answer never arrives.
    faulty->loseAnswer = [](const test::FaultyDestination::Request& r) {
        return r.op == test::FaultyDestination::Op::complete;
    };
    EXPECT_THROW(engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack),
                 BackupError);
    faulty->loseAnswer = nullptr;
    faulty->clearLog();
    UploadReceipt r = engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(faulty->count(test::FaultyDestination::Op::part), 0u);
    EXPECT_EQ(faulty->count(test::FaultyDestination::Op::complete), 0u);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");
    // Later runs go on as usual.
    test::addMessages(work / "root/jorin", 20, 18);
    engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    engine.restore("jorin/tresk.db", work / "restored2/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored2/jorin"), "");
}

TEST_F(S3Backup, WhatAStoppedRunStoredIsTakenOverFromTheServer) {
    test::makeArchive(work / "root/jorin", 2000, {100, 20000, 300000, 7}, 19);
    auto faulty = std::make_shared<test::FaultyDestination>(dest);
    BackupEngine::Options o;
    o.partSize = 100 * 1024;
    BackupEngine engine(TreskCrypto(key), faulty, "kelvara", work / "resume-state.json", o);
    // Everything is stored but the manifest; the server then answers 500 to it.
    faulty->refuse = [](const test::FaultyDestination::Request& r) {
        return r.op == test::FaultyDestination::Op::put && r.name.find(".manifest") != std::string::npos;
    };
    EXPECT_THROW(engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack),
                 DestinationRefused);
    faulty->refuse = nullptr;
    faulty->clearLog();
    engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(faulty->namesOf(test::FaultyDestination::Op::put),
              (std::vector<std::string>{"kelvara/jorin/tresk.db.manifest.copy", "kelvara/jorin/tresk.db.manifest"}));
    EXPECT_EQ(faulty->count(test::FaultyDestination::Op::part), 0u);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");
}

namespace {

// Passes everything on to the server, counting the objects read back.
class CountedReads final : public test::ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;
    bool putConfirmed(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
                      const std::map<std::string, std::string>& m) override {
        return inner_->putConfirmed(n, s, p, c, m);
    }
    bool get(const std::string& n, const ByteSink& s) override {
        objectReads += n.find("/objects/") != std::string::npos;
        return inner_->get(n, s);
    }
    std::atomic<int> objectReads{0};
};

} // namespace

TEST_F(S3Backup, UploadsTheStoreConfirmedAreReadBackByTheRotationAndDamageAmongThemIsRepaired) {
    std::vector<size_t> sizes;
    for (int i = 0; i < 20; ++i) sizes.push_back(3000 + 101 * i);
    test::makeArchive(work / "root/jorin", 300, sizes, 14);
    stdfs::last_write_time(work / "root/jorin/tresk.db", stdfs::file_time_type::clock::now() - std::chrono::hours(1));
    auto counted = std::make_shared<CountedReads>(dest);
    BackupEngine::Options o;
    o.generations = work / "generations.json";
    BackupEngine engine(TreskCrypto(key), counted, "kelvara", work / "resume-state.json", o);
    auto backup = [&] {
        return engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);
    };
    auto marked = [&] {
        std::vector<std::string> names;
        const auto m = test::readManifest(*dest, key);
        if (m["database"].contains("storeConfirmed")) names.push_back(m["database"]["name"]);
        for (const auto& obj : m["objects"])
            if (obj.contains("storeConfirmed")) names.push_back(obj["name"]);
        return names;
    };

    // The server's checksum of each upload matched: nothing is read back yet, and
    // the receipt and the manifest say so of all 21 objects.
    UploadReceipt first = backup();
    EXPECT_EQ(first.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(first.storeConfirmed, 21u);
    EXPECT_EQ(counted->objectReads, 0);
    std::vector<std::string> unread = marked();
    ASSERT_EQ(unread.size(), 21u);

    // The 20 small files went up in one pack: two objects in all.
    EXPECT_EQ(dest->list("kelvara/jorin/objects/").size(), 2u);

    // Damage at rest, inside the pack, to the file the rotation reaches last.
    std::erase(unread, test::storedDatabaseName(*dest, key));
    const std::string last = *std::max_element(unread.begin(), unread.end());
    int flipped = 0;
    const nlohmann::json firstManifest = test::readManifest(*dest, key);
    for (const auto& obj : firstManifest["objects"]) {
        if (obj["name"] != last) continue;
        const uint64_t at = obj["offset"].get<uint64_t>() + obj["sealedSize"].get<uint64_t>() / 2;
        flipped += server->flipStoredByte(obj["pack"], at);
    }
    ASSERT_EQ(flipped, 1);

    // Runs read the database object and a share of the rest back, clearing
    // their marks, until the damage is found, named and sent again.
    std::vector<std::string> damaged;
    int runs = 0;
    while (damaged.empty() && runs < static_cast<int>(kAuditCycle)) {
        UploadReceipt r = backup();
        ++runs;
        EXPECT_EQ(r.storeConfirmed, r.damaged.size());
        damaged = r.damaged;
    }
    EXPECT_LE(runs, 3);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].rfind("attachments/", 0), 0u) << damaged[0];
    // Everything read back has lost its mark; only the object sent again keeps one.
    EXPECT_EQ(marked().size(), 1u);
    engine.restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");

    // Marked objects are read back by the run a cycle after the one that wrote
    // them, however far the rotation is from them.
    nlohmann::json m = test::readManifest(*dest, key);
    const uint64_t written = m["generation"];
    for (auto& obj : m["objects"]) obj["storeConfirmed"] = written;
    m["generation"] = written + kAuditCycle - 2;
    const std::string manifest = "kelvara/jorin/tresk.db.manifest", sealed = TreskCrypto(key).seal(m.dump(), manifest);
    dest->put(manifest, sealed.size(),
              [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealed.data() + off, n); },
              ObjectClass::control, {});
    EXPECT_EQ(backup().storedChecked, 21u); // the rotation's share alone is 8
    EXPECT_TRUE(marked().empty());
}

TEST_F(S3Backup, SmallFilesGoUpInPacksAndADamagedOneCostsOnlyItselfUntilTheNextRunSendsItAgain) {
    std::vector<size_t> sizes(30, 0);
    for (size_t i = 0; i < sizes.size(); ++i) sizes[i] = 2000 + 113 * i;
    sizes.push_back(700 * 1024); // too large for a pack: stored alone
    test::makeArchive(work / "root/jorin", 300, sizes, 23);
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", work / "resume-state.json");
    auto backup = [&](VerificationLevel v) { return engine.backup("jorin/tresk.db", work / "root/jorin/tresk.db", v); };
    EXPECT_EQ(backup(VerificationLevel::readBack).verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(dest->list("kelvara/jorin/objects/").size(), 3u); // the database, the large file and one pack
    const nlohmann::json manifest = test::readManifest(*dest, key);
    EXPECT_EQ(manifest["format"], 3);

    // One file's bytes inside the pack are damaged: everything else restores.
    std::string spoiled;
    for (const auto& o : manifest["objects"])
        if (o.contains("pack") && spoiled.empty()) {
            test::spoilStoredCopy(*dest, o);
            spoiled = o["path"];
        }
    ASSERT_FALSE(spoiled.empty());
    RestoreReport r = engine.restore("jorin/tresk.db", work / "r1/jorin");
    ASSERT_EQ(r.unrestored.size(), 1u);
    EXPECT_EQ(r.unrestored[0].rfind(spoiled, 0), 0u) << r.unrestored[0];
    EXPECT_EQ(r.objects, sizes.size() - 1);
    EXPECT_FALSE(stdfs::exists(work / "r1/jorin" / spoiled));
    for (const ArchiveFile& f : listArchiveFiles(work / "root/jorin/attachments"))
        if (f.path != spoiled) {
            EXPECT_EQ(test::readAll(work / "r1/jorin" / f.path), test::readAll(f.file)) << f.path;
        }

    // A run that reads everything back finds it, says so and sends it again.
    UploadReceipt again = backup(VerificationLevel::everything);
    EXPECT_EQ(again.damaged, std::vector<std::string>{spoiled});
    EXPECT_EQ(again.verification, UploadReceipt::Verification::verified);
    engine.restore("jorin/tresk.db", work / "r2/jorin");
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "r2/jorin"), "");
}

TEST_F(S3Backup, APackReplacedByAnotherSealedWithTheSameKeyHasEveryFileInItCheckedAndSentAgainInOneRun) {
    std::vector<size_t> sizes, larger;
    for (int i = 0; i < 60; ++i) sizes.push_back(2000 + 29 * i);
    for (int i = 0; i < 90; ++i) larger.push_back(2500 + 31 * i);
    test::makeArchive(work / "root/jorin", 300, sizes, 41);
    test::makeArchive(work / "root/tamsin", 300, larger, 42);
    BackupEngine engine(TreskCrypto(key), dest, "kelvara", work / "resume-state.json");
    auto backup = [&](const std::string& owner) {
        return engine.backup(owner + "/tresk.db", work / "root" / owner / "tresk.db", VerificationLevel::readBack);
    };
    backup("jorin");
    backup("tamsin"); // another archive, sealed with the same key
    auto packOf = [&](const std::string& owner) {
        std::string pack;
        const nlohmann::json m = test::readManifest(*dest, key, owner + "/tresk.db");
        for (const auto& o : m["objects"])
            if (o.contains("pack")) pack = o["pack"];
        return pack;
    };
    const std::string ours = packOf("jorin"), theirs = packOf("tamsin");
    ASSERT_FALSE(ours.empty());
    ASSERT_FALSE(theirs.empty());
    std::string bytes;
    ASSERT_TRUE(dest->get(theirs, [&](const unsigned char* p, size_t n) {
        bytes.append(reinterpret_cast<const char*>(p), n);
    }));
    dest->put(ours, bytes.size(),
              [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, bytes.data() + off, n); },
              ObjectClass::data, {});

    // The first damaged file found puts the whole pack in doubt: every file in
    // it is read back and sent again by the same run, which is then verified.
    const UploadReceipt r = backup("jorin");
    EXPECT_EQ(r.damaged.size(), sizes.size());
    EXPECT_GE(r.storedChecked, sizes.size());
    EXPECT_TRUE(r.unrepaired.empty());
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    const RestoreReport restored = BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt)
                                       .restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_TRUE(restored.unrestored.empty());
    EXPECT_EQ(test::compareArchives(work / "root/jorin", work / "restored/jorin"), "");
    EXPECT_TRUE(backup("jorin").damaged.empty());
}
