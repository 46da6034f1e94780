// kxctl restore on a fresh HOME with only the recovery phrase: the backup made
// by the engine comes back byte for byte, and a mistyped phrase restores nothing.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/key_material.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

// The generated-archive helpers shared with the backup tests.
#include "tests/core/backup/backup_fixtures.cpp"

#include <gtest/gtest.h>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

ProcessResult runRestore(const std::vector<std::string>& args, const std::string& input, const stdfs::path& home,
                         const std::map<std::string, std::string>& extra = {}) {
    ProcessRequest req;
    req.program = KXCTL_PATH;
    req.arguments = args;
    req.standardInput = input;
    req.environment = std::map<std::string, std::string>{{"HOME", home.string()},
                                                         {"PATH", "/usr/bin:/bin"},
                                                         {"XDG_DATA_HOME", (home / ".local/share").string()},
                                                         {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    for (const auto& [k, v] : extra) (*req.environment)[k] = v;
    req.timeout = std::chrono::seconds(60);
    PosixProcessRunner runner;
    return runner.run(req);
}

// An owner's archive of 100 messages backed up with kxctl to a folder or to a
// loopback s3rver, and restored from the recovery phrase alone on a fresh home,
// each restore into a folder of its own (r1, r2, ...).
struct PhraseRestores {
    PhraseRestores(bool objectStore, uint64_t seed)
        : key(SymmetricKey::generate()), phrase(TreskKeyMaterial::recoveryString(key)),
          peer(std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "x"))) {
        if (objectStore) {
            server.emplace();
            where = {"--endpoint", server->endpoint(), "--bucket", test::S3Server::kBucket};
            keys = {{"KELVARA_ACCESS_KEY_ID", test::S3Server::kKey},
                    {"KELVARA_SECRET_ACCESS_KEY", test::S3Server::kKey}};
            peer = std::make_shared<S3Destination>(S3Destination::compatible(server->endpoint(), "us-east-1",
                                                                             test::S3Server::kKey, test::S3Server::kKey,
                                                                             test::S3Server::kBucket));
        }
        test::makeArchive(work / "root/jorin", 100, {300, 5000}, seed);
    }
    ProcessResult kxctl(std::vector<std::string> args, const stdfs::path& h) const {
        args.insert(args.end(), where.begin(), where.end());
        args.push_back("--phrase-stdin");
        return runRestore(args, phrase, h, keys);
    }
    ProcessResult restore(bool previous) {
        std::vector<std::string> args = {"restore", "--owner", "jorin", "--into",
                                         (freshHome / ("r" + std::to_string(++restores))).string()};
        if (previous) args.push_back("--previous");
        return kxctl(args, freshHome.path());
    }
    std::optional<test::S3Server> server;
    test::TempDir work, dest, home, freshHome;
    const SymmetricKey key;
    const std::string phrase;
    std::vector<std::string> where = {"--folder", dest.path().string()};
    std::map<std::string, std::string> keys;
    std::shared_ptr<BackupDestination> peer;
    const std::vector<std::string> backup = {"backup", "--owner", "jorin", "--root", (work / "root").string()};
    int restores = 0;
};

} // namespace

TEST(KxctlRestore, RestoresOnAFreshHomeWithTheRecoveryPhrase) {
    test::TempDir work, dest, freshHome;
    test::makeArchive(work / "root/jorin", 1500, {10, 4000, 90000}, 21);
    SymmetricKey key = SymmetricKey::generate();
    auto folder = std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "x"));
    BackupEngine::Options o; // with a seal that waits for its anchor on the computer backed up
    o.pendingAnchors = R"([{"sealPath":"/elsewhere/Alice.json.kxseal.json","sealDigest":")" + std::string(64, 'a') +
                       R"(","queuedAt":"2026-12-01T10:00:00.000Z","attempts":2,"lastProblem":"offline"}])";
    BackupEngine(TreskCrypto(key), folder, "kelvara", std::nullopt, o)
        .backup("jorin/tresk.db", work / "root/jorin/tresk.db", VerificationLevel::readBack);

    std::string phrase = TreskKeyMaterial::recoveryString(key);
    std::string lower;
    for (char c : phrase) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    ProcessResult r = runRestore({"restore", "--owner", "jorin", "--into", (freshHome / "Tresk").string(), "--folder",
                                  dest.path().string(), "--phrase-stdin"},
                                 lower + "\n", freshHome.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("Restored jorin's archive"), std::string::npos) << r.standardOutput;
    EXPECT_EQ(test::compareArchives(work / "root/jorin", freshHome / "Tresk/jorin"), "");
    EXPECT_NE(r.standardOutput.find("1 seal of exports still waiting for an anchor joined this computer's list."),
              std::string::npos)
        << r.standardOutput;
    EXPECT_NE(test::readAll(freshHome / ".local/share/Kelvara/pending-anchors.json")
                  .find("/elsewhere/Alice.json.kxseal.json"),
              std::string::npos);
    // Byte for byte the same database, apart from the two header counters that
    // SQLite's online backup sets in every copy it makes (bytes 24-27 and 92-95).
    std::string original = test::readAll(work / "root/jorin/tresk.db");
    std::string restored = test::readAll(freshHome / "Tresk/jorin/tresk.db");
    ASSERT_EQ(original.size(), restored.size());
    for (size_t i : {24, 25, 26, 27, 92, 93, 94, 95}) restored[i] = original[i];
    EXPECT_TRUE(original == restored);
    // The phrase never appears in anything the tool prints.
    EXPECT_EQ((r.standardOutput + r.standardError).find(phrase.substr(0, 14)), std::string::npos);
}

TEST(KxctlRestore, AMistypedPhraseOrNoKeyRestoresNothing) {
    test::TempDir work, dest, freshHome;
    test::makeArchive(work / "root/mara", 50, {100}, 22);
    SymmetricKey key = SymmetricKey::generate();
    auto folder = std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "x"));
    BackupEngine(TreskCrypto(key), folder, "kelvara", std::nullopt)
        .backup("mara/tresk.db", work / "root/mara/tresk.db", VerificationLevel::readBack);
    std::string phrase = TreskKeyMaterial::recoveryString(key);
    phrase[3] = phrase[3] == 'A' ? 'B' : 'A';
    std::vector<std::string> args =
        {"restore",       "--owner", "mara", "--into", (freshHome / "Tresk").string(), "--folder", dest.path().string(),
         "--phrase-stdin"};
    ProcessResult r = runRestore(args, phrase, freshHome.path());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.standardError.find("That recovery key was not accepted"), std::string::npos) << r.standardError;
    EXPECT_FALSE(stdfs::exists(freshHome / "Tresk/mara"));

    // A valid phrase of another key: refused by the key id, nothing put in place.
    r = runRestore(args, TreskKeyMaterial::recoveryString(SymmetricKey::generate()), freshHome.path());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.standardError.find("a key this computer does not hold"), std::string::npos) << r.standardError;
    EXPECT_EQ(r.standardError.find("Mac"), std::string::npos) << r.standardError;
    EXPECT_FALSE(stdfs::exists(freshHome / "Tresk/mara"));

    // A folder that is not there is named.
    r = runRestore({"restore", "--owner", "mara", "--into", (freshHome / "Tresk").string(), "--folder",
                    (work / "unplugged").string(), "--phrase-stdin"},
                   TreskKeyMaterial::recoveryString(key), freshHome.path());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.standardError.find((work / "unplugged").string()), std::string::npos) << r.standardError;
}

TEST(KxctlRestore, AFailureAfterProgressStartsOnALineOfItsOwn) {
    test::TempDir work, dest, freshHome;
    test::makeArchive(work / "root/mara", 50, {100, 3000}, 24);
    SymmetricKey key = SymmetricKey::generate();
    auto folder = std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "x"));
    BackupEngine(TreskCrypto(key), folder, "kelvara", std::nullopt)
        .backup("mara/tresk.db", work / "root/mara/tresk.db", VerificationLevel::readBack);
    // Damage every attachment object: the database restores (and progress shows), then a file fails.
    int damaged = 0;
    const stdfs::path db = dest / test::storedDatabaseName(*folder, key, "mara/tresk.db");
    for (const auto& e : stdfs::recursive_directory_iterator(dest / "kelvara/mara/objects")) {
        if (!e.is_regular_file() || e.path() == db) continue;
        std::string bytes = test::readAll(e.path());
        bytes.back() = static_cast<char>(bytes.back() ^ 0x40);
        test::writeAll(e.path(), bytes);
        ++damaged;
    }
    ASSERT_EQ(damaged, 2);
    ProcessResult r = runRestore({"restore", "--owner", "mara", "--into", (freshHome / "Tresk").string(), "--folder",
                                  dest.path().string(), "--phrase-stdin"},
                                 TreskKeyMaterial::recoveryString(key), freshHome.path());
    EXPECT_NE(r.exitCode, 0);
    size_t progress = r.standardError.find("Restoring 1 of 3");
    size_t failure = r.standardError.find("The restore did not complete");
    ASSERT_NE(progress, std::string::npos) << r.standardError;
    ASSERT_NE(failure, std::string::npos) << r.standardError;
    EXPECT_LT(progress, failure);
    EXPECT_EQ(r.standardError[failure - 1], '\n') << r.standardError;
    // The messages are restored; the two files are named as missing from it.
    EXPECT_NE(r.standardError.find("2 files at Backup folder did not open or match"), std::string::npos)
        << r.standardError;
    EXPECT_EQ(test::messageRows(freshHome / "Tresk/mara/tresk.db"), test::messageRows(work / "root/mara/tresk.db"));
    EXPECT_FALSE(stdfs::exists(freshHome / "Tresk/mara/attachments"));
}

TEST(KxctlRestore, RestoresFromTheLoopbackObjectStore) {
    if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
    test::S3Server server;
    test::TempDir work, freshHome;
    test::makeArchive(work / "root/olek", 800, {100, 70000}, 23);
    SymmetricKey key = SymmetricKey::generate();
    auto dest = std::make_shared<S3Destination>(S3Destination::compatible(server.endpoint(), "us-east-1",
                                                                          test::S3Server::kKey, test::S3Server::kKey,
                                                                          test::S3Server::kBucket));
    BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt)
        .backup("olek/tresk.db", work / "root/olek/tresk.db", VerificationLevel::readBack);

    std::vector<std::string> args = {"restore",
                                     "--owner",
                                     "olek",
                                     "--into",
                                     (freshHome / "Tresk").string(),
                                     "--endpoint",
                                     server.endpoint(),
                                     "--bucket",
                                     test::S3Server::kBucket,
                                     "--phrase-stdin"};
    // Without the keys in the environment nothing is tried.
    ProcessResult r = runRestore(args, TreskKeyMaterial::recoveryString(key), freshHome.path());
    EXPECT_EQ(r.exitCode, 2) << r.standardError;
    r = runRestore(args, TreskKeyMaterial::recoveryString(key), freshHome.path(),
                   {{"KELVARA_ACCESS_KEY_ID", test::S3Server::kKey},
                    {"KELVARA_SECRET_ACCESS_KEY", test::S3Server::kKey}});
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_EQ(test::compareArchives(work / "root/olek", freshHome / "Tresk/olek"), "");
}

TEST(KxctlBackup, BacksUpAndOnRequestReadsBackEveryStoredObjectSendingDamagedOnesAgain) {
    test::TempDir work, dest, freshHome;
    std::vector<size_t> sizes;
    for (int i = 0; i < 20; ++i) sizes.push_back(500 + 11 * i);
    test::makeArchive(work / "root/jorin", 300, sizes, 25);
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    std::vector<std::string> args =
        {"backup",        "--owner", "jorin", "--root", (work / "root").string(), "--folder", dest.path().string(),
         "--phrase-stdin"};
    ProcessResult r = runRestore(args, phrase, freshHome.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("jorin's archive is backed up to Backup folder, encrypted and verified."),
              std::string::npos)
        << r.standardOutput;

    // Every stored object is damaged after the fact; sizes stay as they were.
    for (const auto& e : stdfs::recursive_directory_iterator(dest / "kelvara/jorin/objects")) {
        if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
        std::string bytes = test::readAll(e.path());
        bytes[bytes.size() / 2] ^= 0x08;
        test::writeAll(e.path(), bytes);
    }
    args.push_back("--verify-all");
    r = runRestore(args, phrase, freshHome.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("21 objects stored by earlier runs were read back and checked."), std::string::npos)
        << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("Damaged at Backup folder and sent again: "), std::string::npos)
        << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("the archive database"), std::string::npos) << r.standardOutput;

    r = runRestore({"restore", "--owner", "jorin", "--into", (freshHome / "Tresk").string(), "--folder",
                    dest.path().string(), "--phrase-stdin"},
                   phrase, freshHome.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_EQ(test::compareArchives(work / "root/jorin", freshHome / "Tresk/jorin"), "");
}

TEST(KxctlRestore, SaysTheBackupsDateAndMessagesAndARollbackThisComputerCanTell) {
    test::TempDir work, dest, home;
    test::makeArchive(work / "root/jorin", 120, {300}, 26);
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    const std::vector<std::string> backup =
        {"backup",        "--owner", "jorin", "--root", (work / "root").string(), "--folder", dest.path().string(),
         "--phrase-stdin"};
    auto restoreInto = [&](const std::string& root) {
        return runRestore({"restore", "--owner", "jorin", "--into", (work / root).string(), "--folder",
                           dest.path().string(), "--phrase-stdin"},
                          phrase, home.path());
    };
    ASSERT_EQ(runRestore(backup, phrase, home.path()).exitCode, 0);
    stdfs::copy(dest.path(), work / "aside", stdfs::copy_options::recursive);
    test::addMessages(work / "root/jorin", 10, 27);
    ASSERT_EQ(runRestore(backup, phrase, home.path()).exitCode, 0);
    ProcessResult r = restoreInto("r1");
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("from the backup made 20"), std::string::npos) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("holding 130 messages"), std::string::npos) << r.standardOutput;

    // The destination is put back as it was after the first backup.
    stdfs::remove_all(dest / "kelvara");
    stdfs::copy(work / "aside", dest.path(), stdfs::copy_options::recursive);
    r = restoreInto("r2");
    EXPECT_EQ(r.exitCode, 1) << r.standardError;
    EXPECT_NE(r.standardOutput.find("holding 120 messages"), std::string::npos) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("is older than the one this computer last wrote there"), std::string::npos)
        << r.standardOutput;
    r = runRestore(backup, phrase, home.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("brought it up to date"), std::string::npos) << r.standardOutput;
    r = restoreInto("r3");
    EXPECT_EQ(r.exitCode, 0) << r.standardOutput << r.standardError;
    EXPECT_NE(r.standardOutput.find("holding 130 messages"), std::string::npos) << r.standardOutput;
}

TEST(KxctlBackup, AStoreThatRefusesItsSetUpGetsAdviceAndNoPromiseOfResuming) {
    if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
    test::S3Server server;
    test::TempDir work, home;
    test::makeArchive(work / "root/olek", 20, {100}, 28);
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    auto run = [&](const std::string& bucket, const std::string& keyID) {
        return runRestore({"backup", "--owner", "olek", "--root", (work / "root").string(), "--endpoint",
                           server.endpoint(), "--bucket", bucket, "--phrase-stdin"},
                          phrase, home.path(),
                          {{"KELVARA_ACCESS_KEY_ID", keyID}, {"KELVARA_SECRET_ACCESS_KEY", test::S3Server::kKey}});
    };
    ProcessResult r = run("no-such-bucket", test::S3Server::kKey);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.standardError.find("there is no such bucket: check the bucket's name"), std::string::npos)
        << r.standardError;
    EXPECT_EQ(r.standardError.find("restarting resumes"), std::string::npos) << r.standardError;
    r = run(test::S3Server::kBucket, "NOTAKEY");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.standardError.find("does not know that access key id"), std::string::npos) << r.standardError;
    EXPECT_EQ(r.standardError.find("restarting resumes"), std::string::npos) << r.standardError;

    // A store that cannot be reached is another matter: what was stored is taken up again.
    server.stop();
    r = run(test::S3Server::kBucket, test::S3Server::kKey);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.standardError.find("restarting resumes"), std::string::npos) << r.standardError;
}

// After any number of runs, at a folder and at an object store: a flipped byte in
// the manifest costs nothing, the backup before the latest restores on request,
// and a restore that cannot give the latest says that the earlier one can be.
TEST(KxctlRestore, AFlippedManifestAndThePreviousBackupRestoreOnAFreshHomeAtEitherDestination) {
    for (const bool objectStore : {false, true}) {
        SCOPED_TRACE(objectStore ? "object store" : "folder");
        if (objectStore && !test::findS3rver()) continue;
        PhraseRestores w(objectStore, 28);
        for (int run = 1; run <= 3; ++run) {
            test::addMessages(w.work / "root/jorin", 10, 60 + run);
            ASSERT_EQ(w.kxctl(w.backup, w.home.path()).exitCode, 0);
        }
        ProcessResult r = w.restore(true);
        ASSERT_EQ(r.exitCode, 0) << r.standardError;
        EXPECT_NE(r.standardOutput.find("(generation 2), holding 120 messages"), std::string::npos) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find("the backup before the latest one, as asked"), std::string::npos);

        const std::string manifest = "kelvara/jorin/tresk.db.manifest";
        std::string bytes;
        ASSERT_TRUE(w.peer->get(manifest, [&](const unsigned char* p, size_t n) {
            bytes.append(reinterpret_cast<const char*>(p), n);
        }));
        bytes[bytes.size() / 2] ^= 0x04;
        w.peer->put(manifest, bytes.size(),
                    [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, bytes.data() + off, n); },
                    ObjectClass::control, {});
        r = w.restore(false);
        ASSERT_EQ(r.exitCode, 0) << r.standardError;
        EXPECT_NE(r.standardOutput.find("(generation 3), holding 130 messages"), std::string::npos) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find("its manifest is damaged, so its second copy was read"), std::string::npos)
            << r.standardOutput;
        EXPECT_EQ(test::compareArchives(w.work / "root/jorin",
                                        w.freshHome / ("r" + std::to_string(w.restores)) / "jorin"),
                  "");
        r = w.kxctl(w.backup, w.home.path());
        ASSERT_EQ(r.exitCode, 0) << r.standardError;
        EXPECT_NE(r.standardOutput.find("sent again: the backup's manifest."), std::string::npos) << r.standardOutput;
        EXPECT_EQ(r.standardOutput.find("the archive database"), std::string::npos) << r.standardOutput;
        EXPECT_EQ(r.standardOutput.find("rolled back"), std::string::npos) << r.standardOutput;

        // The latest database object gone: the restore names the way to the earlier backup.
        test::addMessages(w.work / "root/jorin", 10, 70);
        ASSERT_EQ(w.kxctl(w.backup, w.home.path()).exitCode, 0);
        w.peer->remove(test::readManifest(*w.peer, w.key)["database"]["name"]);
        r = w.restore(false);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.standardError.find("run the restore again with --previous"), std::string::npos) << r.standardError;
        r = w.restore(true);
        ASSERT_EQ(r.exitCode, 0) << r.standardError;
        EXPECT_NE(r.standardOutput.find("holding 130 messages"), std::string::npos) << r.standardOutput;
    }
}

// A restore that leaves out a file only the latest run stored names the way to
// the backup before it, which restores whole; one that leaves out a file both
// backups name does not, at a folder and at an object store (where the file
// lies in the latest run's pack).
TEST(KxctlRestore, APartialRestoreOffersTheBackupBeforeItOnlyWhenThatOneIsWhole) {
    for (const bool objectStore : {false, true}) {
        SCOPED_TRACE(objectStore ? "object store" : "folder");
        if (objectStore && !test::findS3rver()) continue;
        PhraseRestores w(objectStore, 29);
        ASSERT_EQ(w.kxctl(w.backup, w.home.path()).exitCode, 0);
        test::addMessages(w.work / "root/jorin", 10, 61);
        const std::string added = "attachments/ab/" + std::string(64, 'a');
        test::writeAll(w.work / "root/jorin" / added, "a file only the second run stores");
        ASSERT_EQ(w.kxctl(w.backup, w.home.path()).exitCode, 0);
        const nlohmann::json latest = test::readManifest(*w.peer, w.key);
        auto entryOf = [&](const std::string& path) {
            for (const auto& o : latest.at("objects"))
                if (o.value("path", "") == path) return o;
            throw std::runtime_error("the manifest does not name " + path);
        };
        test::spoilStoredCopy(*w.peer, entryOf(added));

        ProcessResult r = w.restore(false);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.standardError.find("1 file at"), std::string::npos) << r.standardError;
        EXPECT_NE(r.standardError.find("The backup before it (made "), std::string::npos) << r.standardError;
        EXPECT_NE(r.standardError.find("run the restore again with --previous and another --into."), std::string::npos)
            << r.standardError;
        r = w.restore(true);
        ASSERT_EQ(r.exitCode, 0) << r.standardError;
        EXPECT_NE(r.standardOutput.find("(generation 1), holding 100 messages"), std::string::npos) << r.standardOutput;

        ASSERT_NE(latest.at("objects").at(0).value("path", ""), added);
        test::spoilStoredCopy(*w.peer, latest.at("objects").at(0));
        r = w.restore(false);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.standardError.find("2 files at"), std::string::npos) << r.standardError;
        EXPECT_EQ(r.standardError.find("--previous"), std::string::npos) << r.standardError;
    }
}
