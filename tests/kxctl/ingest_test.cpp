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
#include <sys/file.h>
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
};

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

} // namespace kx
