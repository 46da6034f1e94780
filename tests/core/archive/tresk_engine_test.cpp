#include "core/archive/attachment_store.h"
#include "core/archive/machine_run_report.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/error.h"
#include "tests/core/archive/fake_ingester.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kx;
using kx::test::FakeIngester;
using kx::test::TempDir;
namespace stdfs = std::filesystem;

namespace {

const Date kStart = fromUnixSeconds(1.7e9);

Source source(const std::string& id, const std::string& owner, const std::string& path) {
    Source s;
    s.id = id;
    s.owner = owner;
    s.path = path;
    s.format = SourceFormat::macosMessagesFolder;
    return s;
}

struct EngineFixture : ::testing::Test {
    TempDir dir;
    std::string root = (dir / "Tresk").string();
    std::shared_ptr<FakeIngester> ingester = std::make_shared<FakeIngester>();
    SourceRegistry registry;
    FilterSet filters;
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>(kStart + std::chrono::hours(24 * 30));

    TreskEngine engine() {
        return TreskEngine(registry, root, IngesterRegistry({ingester}), std::make_shared<MapContactResolver>(),
                           filters, clock);
    }
    CoverageReport run(TreskEngine::RunOptions o = {}) { return engine().run(o); }
    // A successful run of one source, the clock then a day later.
    CoverageReport goodRunADayAgo() {
        registry.add(source("mac", "jo", "/src/mac"));
        ingester->data["/src/mac"] = test::makeChat("+15550001", 3, "g", kStart);
        auto r = run();
        clock->advance(std::chrono::hours(24));
        return r;
    }
    std::string db(const std::string& folder) { return root + "/" + folder + "/tresk.db"; }
    // A run in a child process that dies (status 9) when the reader reaches
    // message `killAt`; the child's exit status, -1 when it did not exit.
    int runKilledAt(size_t killAt) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ingester->beforeMessage = [killAt](const Source&, size_t i) {
                if (i == killAt) ::_exit(9);
            };
            try {
                run();
            } catch (...) {
            }
            ::_exit(0);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

    // Everything a store holds, as text, to compare two stores.
    static std::string dump(const std::string& path) {
        TreskStore s(path);
        std::string out;
        s.forEachMessage([&](const TreskStore::StoredMessage& m) {
            out += m.hit.id + "|" + m.hit.conversationKey + "|" + m.hit.text.value_or("-") + "|";
            for (const auto& id : m.hit.sourceIds) out += id + ",";
            out += "\n";
        });
        for (const auto& c : s.conversations(s.owner())) out += c.handle + ":" + std::to_string(c.messageCount) + "\n";
        return out;
    }
};

} // namespace

TEST_F(EngineFixture, ArchivesEverySourceIntoItsOwnersStoreAndWritesTheStatus) {
    registry.add(source("mac", "jorin/work", "/src/mac"));
    registry.add(source("phone", "jorin/work", "/src/phone"));
    registry.add(source("ann", "ann", "/src/ann"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 30, "g", kStart);
    ingester->data["/src/phone"] = test::makeChat("+15550001", 40, "g", kStart); // 30 shared, 10 more
    ingester->data["/src/ann"] = test::makeChat("ann@example.com", 5, "a", kStart);
    const auto report = run();
    EXPECT_TRUE(report.succeeded());
    EXPECT_EQ(report.uniqueMessages, 45);
    EXPECT_EQ(report.newMessages, 45);
    EXPECT_EQ(report.corroborated, 30);
    EXPECT_EQ(report.duplicatesCollapsed, 30);
    ASSERT_EQ(report.owners.size(), 2u);
    EXPECT_EQ(report.owners[0].folder, "jorin_work");
    ASSERT_EQ(report.sources.size(), 3u);
    EXPECT_EQ(report.sources[1].messagesRead, 40);
    EXPECT_EQ(report.sources[1].messagesNew, 10);
    EXPECT_EQ(TreskStore(db("jorin_work")).owner(), "jorin/work");
    EXPECT_EQ(TreskStore(db("ann")).messageCount(), 5);

    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, report);
    EXPECT_EQ(status->lastSuccessAt, report.runDate);
}

TEST_F(EngineFixture, ARerunAddsNothingAndResumesAfterTheCursor) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 100, "g", kStart);
    run();
    const auto before = dump(db("jo"));
    const auto second = run();
    EXPECT_EQ(second.newMessages, 0);
    EXPECT_EQ(second.sources[0].messagesRead, 0);
    EXPECT_EQ(ingester->cursorsSeen.back().lastRowId, 100);
    EXPECT_EQ(dump(db("jo")), before);
    // New rows in the source: only they are read.
    auto more = test::makeChat("+15550001", 110, "g", kStart);
    ingester->data["/src/mac"] = more;
    const auto third = run();
    EXPECT_EQ(third.sources[0].messagesRead, 10);
    EXPECT_EQ(third.newMessages, 10);
    // A full rescan reads everything again and still adds nothing twice.
    TreskEngine::RunOptions rescan;
    rescan.fullRescan = true;
    const auto fourth = run(rescan);
    EXPECT_EQ(fourth.sources[0].messagesRead, 110);
    EXPECT_EQ(fourth.newMessages, 0);
    EXPECT_EQ(fourth.uniqueMessages, 110);
}

TEST_F(EngineFixture, ASourceReplacedByAnOlderCopyIsReadAgainWithoutDuplicates) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 50, "g", kStart);
    run();
    // The folder now holds an older backup: fewer rows, renumbered.
    ingester->data["/src/mac"] = test::makeChat("+15550001", 20, "g", kStart, 1000);
    auto older = test::makeChat("+15550001", 20, "g", kStart, 1);
    for (auto& m : older.messages) m.guid = "old-" + m.guid;
    ingester->data["/src/mac"] = older;
    const auto r = run();
    EXPECT_TRUE(r.sources[0].restartedFromBeginning);
    EXPECT_EQ(r.sources[0].messagesRead, 20);
    EXPECT_EQ(TreskStore(db("jo")).messageCount(), 70); // nothing lost, nothing doubled
    EXPECT_EQ(run().newMessages, 0);
}

TEST_F(EngineFixture, ARunKilledMidwayAndRerunEqualsAnUninterruptedRun) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 12000, "g", kStart);

    // Reference: an uninterrupted run into another root.
    const std::string killedRoot = root;
    root = (dir / "Reference").string();
    run();
    const auto reference = dump(db("jo"));
    root = killedRoot;

    for (const size_t killAt : {size_t(7), size_t(5003), size_t(11999)}) {
        stdfs::remove_all(root);
        ASSERT_EQ(runKilledAt(killAt), 9);
        // What a batch committed before the kill is there; the rest comes with the rerun.
        const auto r = run();
        EXPECT_TRUE(r.succeeded());
        EXPECT_EQ(dump(db("jo")), reference) << "killed at " << killAt;
        EXPECT_EQ(r.uniqueMessages, 12000);
    }
}

// A first load commits in larger batches and builds the conversation index at
// its end. Killed after its first batch, the store keeps that batch (without the
// index); the rerun completes it, builds the index and matches an
// uninterrupted run. Later runs keep the index.
TEST_F(EngineFixture, AFirstLoadKilledAfterABatchKeepsItAndTheRerunBuildsTheConversationIndex) {
    const int count = static_cast<int>(TreskEngine::kBulkBatchSize) + 8000;
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", count, "g", kStart);
    auto conversationIndex = [&] {
        SQLite::Database d(db("jo"), SQLite::OPEN_READONLY);
        return d.execAndGet("SELECT count(*) FROM sqlite_master WHERE name = 'messages_by_conversation'").getInt();
    };
    const std::string realRoot = root;
    root = (dir / "Reference").string();
    run();
    const auto reference = dump(db("jo"));
    EXPECT_EQ(conversationIndex(), 1);
    root = realRoot;

    // The reader runs at most a few thousand messages ahead of the writer.
    ASSERT_EQ(runKilledAt(static_cast<size_t>(TreskEngine::kBulkBatchSize) + 6000), 9);
    EXPECT_EQ(TreskStore(db("jo")).messageCount(), TreskEngine::kBulkBatchSize);
    EXPECT_EQ(conversationIndex(), 0);

    const auto r = run();
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.newMessages, count - TreskEngine::kBulkBatchSize);
    EXPECT_EQ(conversationIndex(), 1);
    EXPECT_EQ(dump(db("jo")), reference);
    ingester->data["/src/mac"] = test::makeChat("+15550001", count + 10, "g", kStart);
    EXPECT_EQ(run().newMessages, 10);
    EXPECT_EQ(conversationIndex(), 1);
    EXPECT_EQ(TreskStore(db("jo")).conversations("jo").at(0).messageCount, count + 10);
}

// The indexes a first load builds at its end go in together: a run killed
// while they are built, or whose build stops with an error, leaves every batch
// committed, neither index half there, and a sound store, whose rerun builds
// both and matches an uninterrupted run. A stopped build is listed among the
// run's errors and the run still succeeds.
TEST_F(EngineFixture, AFirstLoadKilledOrStoppedWhileBuildingItsIndexesLeavesASoundStoreThatTheRerunCompletes) {
    const int count = 6000;
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", count, "g", kStart);
    auto indexes = [&] {
        SQLite::Database d(db("jo"), SQLite::OPEN_READONLY);
        return d
            .execAndGet("SELECT count(*) FROM sqlite_master WHERE name IN ('messages_by_conversation', "
                        "'messages_by_date')")
            .getInt();
    };
    const std::string realRoot = root;
    root = (dir / "Reference").string();
    run();
    const auto reference = dump(db("jo"));
    EXPECT_EQ(indexes(), 2);
    root = realRoot;

    for (const bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "stopped");
        stdfs::remove_all(root);
        if (killed) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                TreskStoreWriter::indexBuildProgress = [] { return ::raise(SIGKILL) != 0; };
                try {
                    run();
                } catch (...) {
                }
                ::_exit(1); // the build was never reached
            }
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        } else {
            TreskStoreWriter::indexBuildProgress = [] { return true; };
            std::optional<CoverageReport> r;
            EXPECT_NO_THROW(r = run());
            TreskStoreWriter::indexBuildProgress = nullptr;
            ASSERT_TRUE(r);
            EXPECT_TRUE(r->succeeded());
            EXPECT_EQ(r->newMessages, count);
            ASSERT_EQ(r->errors.size(), 1u);
            EXPECT_NE(r->errors[0].find("The conversation index of \"jo\" could not be built"), std::string::npos)
                << r->errors[0];
        }
        {
            SQLite::Database d(db("jo"), SQLite::OPEN_READONLY);
            EXPECT_EQ(d.execAndGet("PRAGMA integrity_check").getString(), "ok");
        }
        EXPECT_EQ(indexes(), 0);
        EXPECT_EQ(TreskStore(db("jo")).messageCount(), count);

        const auto r = run();
        EXPECT_TRUE(r.succeeded());
        EXPECT_EQ(r.newMessages, 0);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(indexes(), 2);
        EXPECT_EQ(dump(db("jo")), reference);
    }
}

TEST_F(EngineFixture, ARunThatRunsOutOfDiskFailsLosesNothingCommittedAndARerunCompletesIt) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 20000, "g", kStart);
    const std::string realRoot = root;
    root = (dir / "Reference").string();
    run();
    const auto reference = dump(db("jo"));
    root = realRoot;

    // A file-size limit makes the store's writes fail part-way, as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1500000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        run();
    } catch (const Error&) {
        threw = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    const auto failed = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(failed);
    EXPECT_FALSE(failed->succeeded());
    EXPECT_LT(TreskStore(db("jo")).messageCount(), 20000);

    const auto r = run();
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(dump(db("jo")), reference);
}

TEST_F(EngineFixture, AnUnreadableSourceIsReportedAndTheOthersAreStillArchived) {
    registry.add(source("broken", "jo", "/src/broken"));
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->unreadable["/src/broken"] = "the backup is encrypted";
    ingester->data["/src/mac"] = test::makeChat("+15550001", 3, "g", kStart);
    const auto r = run();
    EXPECT_TRUE(r.succeeded());
    EXPECT_FALSE(r.sources[0].succeeded);
    EXPECT_EQ(r.sources[0].error, "the backup is encrypted.");
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_NE(r.errors[0].find("encrypted"), std::string::npos);
    EXPECT_TRUE(r.sources[1].succeeded);
    EXPECT_EQ(r.uniqueMessages, 3);
}

TEST_F(EngineFixture, ARunThatCouldReadNoSourceFailsAndKeepsTheLastSuccess) {
    const auto good = goodRunADayAgo();

    registry = SourceRegistry();
    registry.add(source("old-phone", "jo", "/src/old-phone"));
    registry.add(source("gone", "jo", "/src/gone"));
    ingester->unreadable["/src/old-phone"] = "the database is laid out like iOS 5, which Kelvara does not read";
    ingester->unreadable["/src/gone"] = "the folder is not there";
    try {
        run();
        ADD_FAILURE() << "a run that read nothing was reported as a success";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("None of the 2 registered sources could be read"), std::string::npos);
    }
    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->succeeded());
    ASSERT_TRUE(status->failure);
    EXPECT_NE(status->failure->find("\"old-phone\": the database is laid out like iOS 5"), std::string::npos);
    EXPECT_NE(status->failure->find("\"gone\": the folder is not there."), std::string::npos);
    EXPECT_EQ(status->runDate, clock->now());
    EXPECT_EQ(status->lastSuccessAt, good.runDate);

    // One readable source among them makes it a success that carries the errors.
    registry.add(source("mac", "jo", "/src/mac"));
    clock->advance(std::chrono::hours(24));
    const auto mixed = run();
    EXPECT_TRUE(mixed.succeeded());
    EXPECT_EQ(mixed.errors.size(), 2u);
    EXPECT_EQ(mixed.lastSuccessAt, clock->now());
}

TEST_F(EngineFixture, ARunWithNoRegisteredSourcesIsNotAFailure) {
    const auto r = run();
    EXPECT_TRUE(r.succeeded());
    EXPECT_TRUE(r.sources.empty());
    EXPECT_TRUE(r.errors.empty());
    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->succeeded());
}

TEST_F(EngineFixture, MessagesReadBeforeASourceFailsAreKept) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 10, "g", kStart);
    ingester->beforeMessage = [](const Source&, size_t i) {
        if (i == 6) throw Error("the database is damaged at row 7");
    };
    const auto r = run();
    EXPECT_EQ(r.uniqueMessages, 6);
    EXPECT_FALSE(r.sources[0].succeeded);
    ingester->beforeMessage = nullptr;
    EXPECT_EQ(run().newMessages, 4);
}

TEST_F(EngineFixture, ASecondRunWhileOneHoldsTheLockIsRefusedAndChangesNothing) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 3, "g", kStart);
    run();
    const auto status = kx::test::readAll(root + "/STATUS.json");
    const int fd = ::open((root + "/.kelvara-run.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    try {
        run();
        ADD_FAILURE() << "the second run was not refused";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("Another archive run"), std::string::npos);
    }
    ::close(fd);
    EXPECT_EQ(kx::test::readAll(root + "/STATUS.json"), status);
    EXPECT_NO_THROW(run());
}

TEST_F(EngineFixture, AFailedRunIsRecordedAsAFailureNotAnOldSuccess) {
    const auto good = goodRunADayAgo();
    // The owner's store cannot be opened: its path is a folder.
    registry = SourceRegistry();
    registry.add(source("mac2", "blocked", "/src/mac"));
    stdfs::create_directories(root + "/blocked/tresk.db");
    EXPECT_THROW(run(), Error);
    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->succeeded());
    ASSERT_TRUE(status->failure);
    EXPECT_NE(status->failure->find("blocked"), std::string::npos);
    EXPECT_EQ(status->runDate, clock->now());
    EXPECT_EQ(status->lastSuccessAt, good.runDate);
}

TEST_F(EngineFixture, OwnersThatWouldShareAFolderOrCannotNameOneAreRefused) {
    registry.add(source("a", "a/b", "/src/a"));
    registry.add(source("b", "a_b", "/src/b"));
    registry.add(source("c", "..", "/src/c"));
    for (const auto* p : {"/src/a", "/src/b", "/src/c"}) ingester->data[p] = test::makeChat("+1555", 2, p, kStart);
    const auto r = run();
    EXPECT_TRUE(r.sources[0].succeeded);
    EXPECT_FALSE(r.sources[1].succeeded);
    EXPECT_FALSE(r.sources[2].succeeded);
    EXPECT_EQ(TreskStore(db("a_b")).messageCount(), 2);
    EXPECT_FALSE(stdfs::exists(dir / "tresk.db"));
    EXPECT_EQ(r.errors.size(), 2u);
}

TEST_F(EngineFixture, FiltersSkipNewMessagesOfMatchingConversationsOnly) {
    registry.add(source("mac", "jo", "/src/mac"));
    auto d = test::makeChat("26290", 4, "code", kStart);
    const auto friendChat = test::makeChat("+15550001", 3, "f", kStart, 100);
    d.chats.push_back(friendChat.chats[0]);
    d.messages.insert(d.messages.end(), friendChat.messages.begin(), friendChat.messages.end());
    ingester->data["/src/mac"] = d;
    FilterRule rule;
    rule.id = "r";
    rule.kind = FilterRule::Kind::shortcodes;
    filters.rules = {rule};
    auto r = run();
    EXPECT_EQ(r.sources[0].messagesFiltered, 4);
    EXPECT_EQ(r.uniqueMessages, 3);

    // Filter rules that could not be read are never taken as "no rules": the run
    // archives nothing (it could copy what the user excluded) and fails visibly.
    filters = FilterSet();
    filters.setLoadProblem("the file is not valid JSON (byte 3)");
    registry = SourceRegistry();
    registry.add(source("mac2", "jo2", "/src/mac"));
    try {
        run();
        FAIL() << "a run with unreadable filters must fail";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("filter rules could not be read"), std::string::npos);
    }
    EXPECT_FALSE(stdfs::exists(db("jo2")));
    const auto status = TreskEngine::readStatus(root + "/STATUS.json");
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->succeeded());
    EXPECT_EQ(status->uniqueMessages, 0);
}

TEST_F(EngineFixture, CopiesAttachmentsCountsMissingAndRefusedAndSpotChecksObjects) {
    registry.add(source("mac", "jo", (dir / "src").string()));
    auto d = test::makeChat("+15550001", 60, "g", kStart);
    for (int i = 0; i < 60; ++i) {
        const auto file = dir / "src" / ("f" + std::to_string(i));
        kx::test::writeAll(file, "bytes " + std::to_string(i));
        AttachmentRecord a;
        a.guid = "att-" + std::to_string(i);
        a.fileName = "f" + std::to_string(i);
        a.state = AttachmentFileState::present;
        a.resolvedPath = file;
        d.messages[i].attachments.push_back(a);
    }
    AttachmentRecord missing;
    missing.guid = "att-missing";
    missing.state = AttachmentFileState::missing;
    AttachmentRecord refused;
    refused.guid = "att-refused";
    refused.state = AttachmentFileState::refused;
    refused.recordedPath = "../../etc/passwd";
    d.messages[0].attachments.push_back(missing);
    d.messages[0].attachments.push_back(refused);
    ingester->data[(dir / "src").string()] = d;

    auto r = run();
    EXPECT_EQ(r.attachments.copiedThisRun, 60);
    EXPECT_EQ(r.attachments.missingInSources, 1);
    EXPECT_EQ(r.attachments.refusedInSources, 1);
    EXPECT_EQ(r.attachments.storedObjects, 60);
    EXPECT_EQ(r.attachments.hashed, 50);
    EXPECT_EQ(r.attachments.verified, 50);
    EXPECT_EQ(r.attachments.missingBytes, 0);
    EXPECT_FALSE(r.attachments.fullSweep);

    TreskStore store(db("jo"));
    const auto refs = store.attachments({"g-5"}).at("g-5");
    ASSERT_EQ(refs.size(), 1u);
    AttachmentStore objects(root + "/jo/attachments");
    EXPECT_EQ(kx::test::readAll(objects.objectPath(*refs[0].objectKey)), "bytes 5");

    // A damaged object is found by a full sweep.
    kx::test::writeAll(objects.objectPath(*refs[0].objectKey), "tampered");
    TreskEngine::RunOptions sweep;
    sweep.fullSweep = true;
    sweep.verificationSample = 0;
    r = run(sweep);
    EXPECT_TRUE(r.attachments.fullSweep);
    EXPECT_EQ(r.attachments.hashed, 60);
    EXPECT_EQ(r.attachments.verified, 59);
    EXPECT_EQ(r.attachments.missingBytes, 1);
}

TEST_F(EngineFixture, AttachmentsNotCopiedEarlierAreCopiedByALaterRunThatAsks) {
    registry.add(source("mac", "jo", (dir / "src").string()));
    auto d = test::makeChat("+15550001", 2, "g", kStart);
    kx::test::writeAll(dir / "src" / "photo.jpg", "jpeg");
    AttachmentRecord a;
    a.guid = "att";
    a.state = AttachmentFileState::present;
    a.resolvedPath = dir / "src" / "photo.jpg";
    d.messages[1].attachments.push_back(a);
    ingester->data[(dir / "src").string()] = d;
    TreskEngine::RunOptions noCopy;
    noCopy.copyAttachments = false;
    EXPECT_EQ(run(noCopy).attachments.storedObjects, 0);
    const auto r = run();
    EXPECT_EQ(r.attachments.copiedThisRun, 1);
    EXPECT_EQ(r.attachments.storedObjects, 1);
}

TEST_F(EngineFixture, ALimitStopsEachSourceEarlyAndTheNextRunGoesOn) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 25, "g", kStart);
    TreskEngine::RunOptions o;
    o.limit = 10;
    EXPECT_EQ(run(o).newMessages, 10);
    EXPECT_EQ(run(o).newMessages, 10);
    EXPECT_EQ(run(o).newMessages, 5);
    EXPECT_EQ(run(o).newMessages, 0);
}

TEST_F(EngineFixture, AMachineIdentityLeavesARunReportOthersCanRead) {
    registry.add(source("mac", "jo", "/src/mac"));
    ingester->data["/src/mac"] = test::makeChat("+15550001", 4, "g", kStart);
    TreskEngine::RunOptions o;
    o.machineID = "8C1E2A4B-0000-4000-8000-00000000CAFE";
    run(o);
    kx::test::writeAll(root + "/junk.machine-run.json", "{not json");
    kx::test::writeAll(root + "/other.machine-run.json",
                       R"({"machineID":"someone-else","runAt":"2026-01-01T00:00:00Z","messageCount":1})");
    const auto reports = MachineRunReport::readAll(root);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].machineID, *o.machineID);
    EXPECT_EQ(reports[0].messageCount, 4);
    EXPECT_EQ(reports[0].runAt, clock->now());
    ASSERT_EQ(reports[0].owners.size(), 1u);
    EXPECT_EQ(reports[0].owners[0].owner, "jo");
    MachineRunReport escaping = reports[0];
    escaping.machineID = "../escape";
    EXPECT_THROW(escaping.write(root), Error);
    EXPECT_FALSE(stdfs::exists(dir / "escape.machine-run.json"));
}

TEST(EngineStatus, AbsentOrUnreadableStatusIsNoReport) {
    TempDir dir;
    EXPECT_FALSE(TreskEngine::readStatus((dir / "STATUS.json").string()));
    for (const char* bad :
         {"", "{", "[]", "{\"status\":\"weird\",\"runDate\":\"2026-01-01T00:00:00Z\"}", "{\"status\":\"succeeded\"}",
          "{\"runDate\":\"yesterday\"}", "{\"runDate\":\"2026-01-01T00:00:00Z\",\"gaps\":[{\"kind\":7}]}"}) {
        kx::test::writeAll(dir / "STATUS.json", bad);
        EXPECT_FALSE(TreskEngine::readStatus((dir / "STATUS.json").string())) << bad;
    }
    CoverageReport r;
    r.runDate = fromUnixSeconds(1.7e9);
    r.finishedAt = r.runDate;
    r.gaps.push_back({CoverageGap::Kind::quiet, "jo", "+15550001", r.runDate, r.runDate, 3, std::string("detail")});
    r.errors = {"one", "two"};
    kx::test::writeAll(dir / "STATUS.json", r.toJson());
    EXPECT_EQ(TreskEngine::readStatus((dir / "STATUS.json").string()), r);
}
