// kxctl ingest, run as a real child process on generated Messages folders.
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/platform/process.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

ProcessResult kxctl(std::vector<std::string> args,
                    std::map<std::string, std::string> env = {{"PATH", "/usr/bin:/bin"}}) {
    PosixProcessRunner runner;
    ProcessRequest req;
    req.program = KXCTL_PATH;
    req.arguments = std::move(args);
    req.environment = std::move(env);
    req.timeout = std::chrono::seconds(300);
    return runner.run(req);
}

void writeRegistry(const stdfs::path& file, const std::string& owner, const stdfs::path& folder) {
    test::writeAll(file, "[{\"id\":\"old-mac\",\"owner\":\"" + owner + "\",\"path\":\"" + folder.string() +
                             "\",\"format\":\"macosMessagesFolder\",\"label\":\"Old Mac\"}]");
}

std::string dumpStore(const stdfs::path& db) {
    TreskStore s(db.string());
    std::string out;
    s.forEachMessage([&](const TreskStore::StoredMessage& m) {
        out += m.hit.id + "|" + m.hit.conversationKey + "|" + m.hit.text.value_or("-") + "|" +
               std::to_string(m.hit.sourceIds.size()) + "\n";
    });
    std::vector<std::string> ids;
    s.forEachMessage([&](const TreskStore::StoredMessage& m) { ids.push_back(m.hit.id); });
    for (const auto& [id, refs] : s.attachments(ids))
        for (const auto& r : refs) out += id + ">" + r.id + ":" + r.objectKey.value_or("none") + "\n";
    return out;
}

struct IngestE2E : ::testing::Test {
    test::TempDir dir;
    stdfs::path folder = dir / "Messages";
    stdfs::path registry = dir / "sources.json";
    stdfs::path root = dir / "Tresk";

    // A first successful run of a small folder.
    void archiveTenMessages() {
        fixtures::Options o;
        o.messages = 10;
        fixtures::writeMessagesFolder(folder, o);
        writeRegistry(registry, "jo", folder);
        ASSERT_TRUE(kxctl({"ingest", "--registry", registry.string(), "--root", root.string()}).succeeded());
    }
};

std::string registryOf(const std::vector<std::pair<std::string, stdfs::path>>& sources) {
    std::string text = "[";
    for (const auto& [id, path] : sources)
        text += std::string(text.size() > 1 ? "," : "") + "{\"id\":\"" + id + "\",\"owner\":\"jo\",\"path\":\"" +
                path.string() + "\",\"format\":\"macosMessagesFolder\",\"label\":null}";
    return text + "]";
}

} // namespace

TEST_F(IngestE2E, ArchivesEveryMessageAndAttachmentAndLeavesTheSourceUntouched) {
    fixtures::Options o;
    o.messages = 3000;
    o.walOnlyMessages = 40;
    const auto summary = fixtures::writeMessagesFolder(folder, o);
    writeRegistry(registry, "jo/home", folder);
    const auto before = test::snapshotTree(folder);

    auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string(), "--copy-attachments",
                    "--machine-id", "MAC-1"});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_EQ(test::snapshotTree(folder), before);

    const auto db = root / "jo_home" / "tresk.db";
    TreskStore store(db.string());
    EXPECT_EQ(store.messageCount(), summary.messages);
    EXPECT_EQ(store.sources(fixtures::messageGuid(summary.messages)), (std::vector<std::string>{"old-mac"}));
    const auto status = TreskEngine::readStatus((root / "STATUS.json").string());
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->succeeded());
    EXPECT_EQ(status->uniqueMessages, summary.messages);
    EXPECT_EQ(status->attachments.copiedThisRun, summary.attachmentsPresent);
    EXPECT_EQ(status->attachments.missingInSources, summary.attachmentsMissing);
    EXPECT_TRUE(stdfs::exists(root / "MAC-1.machine-run.json"));
    EXPECT_NE(test::readAll(registry).find("lastScanned"), std::string::npos);

    // A second run adds nothing and changes nothing in the store's content.
    const auto first = dumpStore(db);
    r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string(), "--copy-attachments"});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_EQ(TreskEngine::readStatus((root / "STATUS.json").string())->newMessages, 0);
    EXPECT_EQ(dumpStore(db), first);
    EXPECT_EQ(test::snapshotTree(folder), before);

    // Messages written since are picked up by the next run.
    fixtures::appendMessages(folder / "chat.db", summary.messages, 25);
    r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_EQ(TreskEngine::readStatus((root / "STATUS.json").string())->newMessages, 25);
}

TEST_F(IngestE2E, ARunKilledPartWayAndRunAgainEndsWithTheSameArchive) {
    fixtures::Options o;
    o.messages = 60000;
    o.attachmentEvery = 0;
    fixtures::writeMessagesFolder(folder, o);
    writeRegistry(registry, "jo", folder);

    // Reference archive from one uninterrupted run.
    const auto refRoot = dir / "Reference";
    ASSERT_TRUE(kxctl({"ingest", "--registry", registry.string(), "--root", refRoot.string()}).succeeded());
    const auto reference = dumpStore(refRoot / "jo" / "tresk.db");

    // Start a run and kill it once the store exists (wherever it then is).
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(KXCTL_PATH, KXCTL_PATH, "ingest", "--registry", registry.c_str(), "--root", root.c_str(), nullptr);
        ::_exit(127);
    }
    const auto db = root / "jo" / "tresk.db";
    kx::test::waitUntil([&] { return stdfs::exists(db.string() + "-wal"); }, std::chrono::seconds(4),
                        std::chrono::microseconds(200));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);

    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_EQ(dumpStore(db), reference);
    // The search index caught up as well (it lags a killed run, never a finished one).
    TreskStore store(db.string());
    TreskStore ref((refRoot / "jo" / "tresk.db").string());
    EXPECT_GT(ref.searchCount("train", "jo"), 0);
    EXPECT_EQ(store.searchCount("train", "jo"), ref.searchCount("train", "jo"));
    EXPECT_EQ(store.searchCount("Koln", "jo"), ref.searchCount("Koln", "jo"));
}

// A second run, which reads the grown database from an on-demand snapshot,
// killed at several moments: each rerun ends with the archive one uninterrupted
// run makes, its search index complete.
TEST_F(IngestE2E, ASecondRunKilledPartWayAndRunAgainEndsWithTheSameArchive) {
    fixtures::Options o;
    o.messages = 30000;
    o.attachmentEvery = 0;
    fixtures::writeMessagesFolder(folder, o);
    writeRegistry(registry, "jo", folder);
    ASSERT_TRUE(kxctl({"ingest", "--registry", registry.string(), "--root", root.string()}).succeeded());
    const auto db = root / "jo" / "tresk.db";
    const auto chatDb = folder / "chat.db";
    std::int64_t total = 30000;
    for (const int delayMs : {0, 20, 60, 150}) {
        fixtures::appendMessages(chatDb, total, 20000);
        total += 20000;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl(KXCTL_PATH, KXCTL_PATH, "ingest", "--registry", registry.c_str(), "--root", root.c_str(), nullptr);
            ::_exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
        ASSERT_TRUE(r.succeeded()) << r.standardError;
    }
    const auto refRoot = dir / "Reference";
    ASSERT_TRUE(kxctl({"ingest", "--registry", registry.string(), "--root", refRoot.string()}).succeeded());
    EXPECT_EQ(TreskStore(db.string()).messageCount(), total);
    EXPECT_EQ(dumpStore(db), dumpStore(refRoot / "jo" / "tresk.db"));
    TreskStore store(db.string());
    TreskStore ref((refRoot / "jo" / "tresk.db").string());
    EXPECT_EQ(store.searchCount("train", "jo"), ref.searchCount("train", "jo"));
    EXPECT_EQ(store.searchCount("Koln", "jo"), ref.searchCount("Koln", "jo"));
}

TEST_F(IngestE2E, FailuresGiveOneSentenceAndANonZeroStatus) {
    auto oneLine = [](const ProcessResult& r) {
        return !r.standardError.empty() && r.standardError.find('\n') == r.standardError.size() - 1;
    };
    auto r = kxctl({"ingest", "--registry", (dir / "missing.json").string(), "--root", root.string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(oneLine(r)) << r.standardError;
    EXPECT_FALSE(stdfs::exists(root));

    test::writeAll(registry, "[{\"id\": ");
    r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(oneLine(r)) << r.standardError;
    EXPECT_EQ(test::readAll(registry), "[{\"id\": ");

    writeRegistry(registry, "jo", folder);
    r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string(), "--machine-id", "../x"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(oneLine(r)) << r.standardError;

    // Another run holds the archive.
    fixtures::Options o;
    o.messages = 10;
    fixtures::writeMessagesFolder(folder, o);
    stdfs::create_directories(root);
    const int fd = ::open((root / ".kelvara-run.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    ::close(fd);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_TRUE(oneLine(r)) << r.standardError;
    EXPECT_FALSE(stdfs::exists(root / "STATUS.json"));
}

TEST_F(IngestE2E, AnUnreadableSourceIsReportedWithoutFailingTheRun) {
    fixtures::Options o;
    o.messages = 10;
    fixtures::writeMessagesFolder(folder, o);
    test::writeAll(registry, "[{\"id\":\"a\",\"owner\":\"jo\",\"path\":\"" + folder.string() +
                                 "\",\"format\":\"macosMessagesFolder\",\"label\":null},"
                                 "{\"id\":\"b\",\"owner\":\"jo\",\"path\":\"" +
                                 (dir / "gone").string() + "\",\"format\":\"macosMessagesFolder\",\"label\":null}]");
    // Started with nothing but PATH, as a scheduler does: HOME comes from the passwd entry.
    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    const auto status = TreskEngine::readStatus((root / "STATUS.json").string());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->uniqueMessages, 10);
    ASSERT_EQ(status->sources.size(), 2u);
    EXPECT_FALSE(status->sources[1].succeeded);
    EXPECT_EQ(status->errors.size(), 1u);
    EXPECT_NE(test::readAll(registry).find("lastError"), std::string::npos);
}

TEST_F(IngestE2E, ARunThatCouldReadNoSourceExitsOneAndKeepsTheLastSuccess) {
    ASSERT_NO_FATAL_FAILURE(archiveTenMessages());
    const auto good = TreskEngine::readStatus((root / "STATUS.json").string());
    ASSERT_TRUE(good && good->lastSuccessAt);

    // An iOS 5 database, a file of random bytes and a folder that is not there.
    fixtures::Options old;
    old.schema = fixtures::Schema::legacyIos5;
    old.messages = 10;
    old.editEvery = 0;
    fixtures::writeMessagesFolder(dir / "ios5", old);
    stdfs::create_directories(dir / "random");
    std::string noise(8192, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    test::writeAll(dir / "random" / "chat.db", noise);
    test::writeAll(registry, registryOf({{"ios5", dir / "ios5"}, {"random", dir / "random"}, {"gone", dir / "gone"}}));

    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.standardError.find('\n'), r.standardError.size() - 1) << r.standardError;
    EXPECT_NE(r.standardError.find("None of the 3 registered sources could be read"), std::string::npos)
        << r.standardError;
    const auto status = TreskEngine::readStatus((root / "STATUS.json").string());
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->succeeded());
    ASSERT_TRUE(status->failure);
    for (const auto* id : {"\"ios5\": ", "\"random\": ", "\"gone\": "})
        EXPECT_NE(status->failure->find(id), std::string::npos) << *status->failure;
    EXPECT_EQ(status->errors.size(), 3u);
    EXPECT_EQ(status->lastSuccessAt, good->lastSuccessAt);
}

TEST_F(IngestE2E, AnOnlySourceFromIOS5IsAFailedRunWithItsReason) {
    fixtures::Options old;
    old.schema = fixtures::Schema::legacyIos5;
    old.messages = 10;
    old.editEvery = 0;
    fixtures::writeMessagesFolder(dir / "ios5", old);
    test::writeAll(registry, registryOf({{"ios5", dir / "ios5"}}));

    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.standardError.find("The only registered source could not be read"), std::string::npos)
        << r.standardError;
    EXPECT_NE(r.standardError.find("iOS 5"), std::string::npos) << r.standardError;
    const auto status = TreskEngine::readStatus((root / "STATUS.json").string());
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->succeeded());
    EXPECT_FALSE(status->lastSuccessAt);
    EXPECT_EQ(status->uniqueMessages, 0);
}

TEST_F(IngestE2E, AnUnreadableSourceListLeavesTheStatusAsItWas) {
    ASSERT_NO_FATAL_FAILURE(archiveTenMessages());
    const auto status = test::readAll(root / "STATUS.json");

    test::writeAll(registry, "[{\"id\": \"old-mac\", \"owner\": ");
    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.standardError.find("could not be read"), std::string::npos) << r.standardError;
    EXPECT_EQ(test::readAll(root / "STATUS.json"), status);
}

TEST_F(IngestE2E, EachSourceWarningIsWrittenOnItsOwnLine) {
    fixtures::Options o;
    o.messages = 30;
    o.attachmentEvery = 7;
    o.missingAttachmentEvery = 1;
    const auto summary = fixtures::writeMessagesFolder(folder, o);
    ASSERT_GT(summary.attachmentsMissing, 1);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((folder / "chat.db").c_str(), &db), SQLITE_OK);
        const char* damage = "UPDATE message SET text = NULL, attributedBody = x'00' WHERE ROWID = 2;";
        const int rc = sqlite3_exec(db, damage, nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK);
    }
    writeRegistry(registry, "jo", folder);
    const auto r = kxctl({"ingest", "--registry", registry.string(), "--root", root.string()});
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_NE(r.standardOutput.find("\n  \"Old Mac\": 1 message body could not be decoded; those messages were kept "
                                    "without their text.\n"),
              std::string::npos)
        << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("\n  \"Old Mac\": " + std::to_string(summary.attachmentsMissing) +
                                    " attachments are recorded but the file was not there"),
              std::string::npos)
        << r.standardOutput;
}

} // namespace kx

namespace kx {

TEST_F(IngestE2E, ARunSweepsTheDecryptedStagingAKilledRestoreLeftInTheRoot) {
    archiveTenMessages();
    const stdfs::path stale = root / ".mara.restoring-Ab12Cd";
    test::writeAll(stale / "tresk.db", "decrypted messages a killed restore left");
    ASSERT_TRUE(kxctl({"ingest", "--registry", registry.string(), "--root", root.string()}).succeeded());
    EXPECT_FALSE(stdfs::exists(stale));
    EXPECT_TRUE(stdfs::exists(root / "jo" / "tresk.db"));
}

} // namespace kx

namespace kx {

// Every file under the archive root is the user's alone (0600) and every folder
// 0700, also files an earlier version left readable by others, and the -wal and
// -shm of databases a reader holds open while the run writes.
TEST_F(IngestE2E, EveryFileAndFolderUnderTheRootIsPrivateAfterARun) {
    const mode_t previousMask = ::umask(022);
    fixtures::Options o;
    o.messages = 200;
    fixtures::writeMessagesFolder(folder, o);
    writeRegistry(registry, "jo", folder);
    const std::vector<std::string> args = {"ingest",      "--registry",         registry.string(), "--root",
                                           root.string(), "--copy-attachments", "--machine-id",    "MAC-1"};
    ASSERT_TRUE(kxctl(args).succeeded());

    // As an earlier version left them: readable by everyone.
    const auto owner = root / "jo";
    for (const auto& p :
         {owner / "tresk.db", owner / "search.db", root / "STATUS.json", root / "MAC-1.machine-run.json"})
        stdfs::permissions(p, stdfs::perms(0644));
    stdfs::permissions(owner, stdfs::perms(0755));
    stdfs::permissions(owner / "attachments", stdfs::perms(0755));
    // Readers that keep the databases' -wal and -shm in place through the run.
    sqlite3* store = nullptr;
    sqlite3* index = nullptr;
    ASSERT_EQ(sqlite3_open_v2((owner / "tresk.db").c_str(), &store, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_open_v2((owner / "search.db").c_str(), &index, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(store, "SELECT count(*) FROM messages", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(index, "SELECT count(*) FROM meta", nullptr, nullptr, nullptr), SQLITE_OK);
    fixtures::appendMessages(folder / "chat.db", o.messages, 20);
    const auto r = kxctl(args);
    ::umask(previousMask);
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_TRUE(stdfs::exists(owner / "tresk.db-wal"));
    EXPECT_TRUE(stdfs::exists(owner / "search.db-wal"));

    std::vector<std::string> loose;
    int files = 0;
    for (const auto& e : stdfs::recursive_directory_iterator(root)) {
        const auto st = e.symlink_status();
        const auto mode = static_cast<unsigned>(st.permissions()) & 0777;
        const bool dir = stdfs::is_directory(st);
        files += dir ? 0 : 1;
        if (mode != (dir ? 0700u : 0600u))
            loose.push_back(stdfs::relative(e.path(), root).string() + " " + std::to_string(mode));
    }
    sqlite3_close(store);
    sqlite3_close(index);
    EXPECT_GT(files, 8);
    EXPECT_EQ(loose, std::vector<std::string>{});
}

} // namespace kx
