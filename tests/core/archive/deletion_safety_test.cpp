// Deletion safety over generated Messages folders, read by the real readers and
// archived by the real engine.
#include "core/archive/attachment_store.h"
#include "core/archive/ingesters.h"
#include "core/archive/report_formatter.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/platform/process.h"
#include "tests/core/archive/fake_ingester.h"
#include "tests/core/archive/ingest_test_support.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kx;
using kx::test::sql;
using kx::test::TempDir;
namespace stdfs = std::filesystem;
namespace fx = kx::fixtures;
using Verdict = SourceDeletionReport::Verdict;

namespace {

const Date kNow = fromUnixSeconds(1.8e9);

std::string joined(const std::vector<std::string>& reasons) {
    std::string out;
    for (const auto& r : reasons) out += r + "\n";
    return out;
}

struct DeletionFixture : ::testing::Test {
    TempDir dir;
    std::string root = (dir / "Tresk").string();
    SourceRegistry registry;
    FilterSet filters;

    fx::Options options() {
        fx::Options o;
        o.messages = 120;
        o.attachmentEvery = 5;
        o.missingAttachmentEvery = 4;
        return o;
    }
    stdfs::path folder(const std::string& name, const fx::Options& o) {
        const auto p = dir / name;
        fx::writeMessagesFolder(p, o);
        return p;
    }
    void add(const std::string& id, const stdfs::path& path, const std::string& owner = "jorin",
             SourceFormat format = SourceFormat::macosMessagesFolder) {
        Source s;
        s.id = id;
        s.owner = owner;
        s.path = path.string();
        s.format = format;
        ASSERT_TRUE(registry.add(s));
    }
    TreskEngine engine() {
        return TreskEngine(registry, root, IngesterRegistry(makeDefaultIngesters()),
                           std::make_shared<MapContactResolver>(), filters, std::make_shared<FixedClock>(kNow));
    }
    CoverageReport run(TreskEngine::RunOptions o = {}) {
        o.writeStatus = false;
        return engine().run(o);
    }
    DeletionSafetyReport analyze() { return engine().deletionSafety(false); }
};

} // namespace

TEST_F(DeletionFixture, CopiesAreVerifiedRedundantAndTheAnalysisChangesNothing) {
    const auto original = folder("Original", options());
    stdfs::copy(original, dir / "Copy", stdfs::copy_options::recursive);
    add("original", original);
    add("copy", dir / "Copy");
    run();
    const std::string before = test::snapshotTree(original) + test::snapshotTree(dir / "Copy");

    const auto report = analyze();
    ASSERT_EQ(report.sources.size(), 2u);
    for (const auto& s : report.sources) {
        SCOPED_TRACE(s.sourceId + ": " + joined(s.reasons));
        EXPECT_EQ(s.verdict, Verdict::verifiedRedundant);
        EXPECT_GT(s.messagesRead, 100);
        EXPECT_EQ(s.messagesInArchive, s.messagesRead);
        EXPECT_EQ(s.uniqueMessages, 0); // each copy holds the other's messages
        EXPECT_GT(s.attachments, 0);
        EXPECT_EQ(s.hashVerifiedAttachments, s.attachments);
        EXPECT_FALSE(s.bytesOnDisk.has_value());
    }
    EXPECT_EQ(report.find("original")->path, original.string());
    EXPECT_EQ(report.safeCount(), 2);
    EXPECT_EQ(test::snapshotTree(original) + test::snapshotTree(dir / "Copy"), before);

    const auto measured = engine().deletionSafety(true);
    ASSERT_TRUE(measured.sources[0].bytesOnDisk.has_value());
    EXPECT_GT(*measured.sources[0].bytesOnDisk, 0);
}

TEST_F(DeletionFixture, OneMessageMissingFromTheArchiveMeansDoNotDelete) {
    const auto src = folder("Messages", options());
    add("mac", src);
    run();
    fx::appendMessages(src / "chat.db", 120, 1); // Messages wrote one more after the scan

    const auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::doNotDelete) << joined(r.reasons);
    EXPECT_EQ(r.messagesRead, r.messagesInArchive + 1);
    EXPECT_EQ(r.uniqueMessages, r.messagesRead); // no other source holds any of them
    EXPECT_NE(joined(r.reasons).find("1 message in this source is not in the archive"), std::string::npos);

    run(); // scanned again: nothing is missing any more
    EXPECT_EQ(analyze().sources.at(0).verdict, Verdict::verifiedRedundant);
}

TEST_F(DeletionFixture, AMessageLeftOutByAFilterOrEditedSinceTheScanKeepsTheSource) {
    const auto src = folder("Messages", options());
    add("mac", src);
    FilterRule rule;
    rule.id = "r";
    rule.kind = FilterRule::Kind::contains;
    rule.value = "+1555"; // the generated handles
    filters.rules.push_back(rule);
    run();
    auto r = analyze().sources.at(0); // the analysis itself applies no filter
    EXPECT_EQ(r.verdict, Verdict::doNotDelete);
    EXPECT_NE(joined(r.reasons).find("filter rule"), std::string::npos) << joined(r.reasons);

    filters.rules.clear();
    TreskEngine::RunOptions again;
    again.fullRescan = true; // the cursor had passed the filtered messages
    run(again);
    ASSERT_EQ(analyze().sources.at(0).verdict, Verdict::verifiedRedundant);
    sql(src / "chat.db", "UPDATE message SET text = 'rewritten after the scan' WHERE ROWID = "
                         "(SELECT min(ROWID) FROM message WHERE text IS NOT NULL AND length(text) > 0)");
    r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::doNotDelete);
    EXPECT_NE(joined(r.reasons).find("1 message has text in this source that the archive does not hold"),
              std::string::npos)
        << joined(r.reasons);
}

TEST_F(DeletionFixture, AttachmentsNotStoredOrNotMatchingTheirHashKeepTheSource) {
    const auto src = folder("Messages", options());
    add("mac", src);
    TreskEngine::RunOptions noCopy;
    noCopy.copyAttachments = false;
    run(noCopy);
    auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::doNotDelete);
    EXPECT_EQ(r.messagesInArchive, r.messagesRead);
    EXPECT_EQ(r.hashVerifiedAttachments, 0);
    EXPECT_NE(joined(r.reasons).find("not stored in the archive"), std::string::npos) << joined(r.reasons);

    run(); // the bytes are copied now
    r = analyze().sources.at(0);
    ASSERT_EQ(r.verdict, Verdict::verifiedRedundant) << joined(r.reasons);

    // One stored object loses its bytes' integrity: the stored copy no longer
    // hashes to its key, so the source may hold the only good bytes.
    TreskStore store(root + "/jorin/tresk.db");
    const auto keys = store.objectKeys();
    ASSERT_FALSE(keys.empty());
    AttachmentStore objects(stdfs::path(root) / "jorin" / "attachments");
    const auto object = objects.objectPath(keys.front());
    stdfs::permissions(object, stdfs::perms::owner_write, stdfs::perm_options::add);
    test::writeAll(object, "flipped bits");
    r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::doNotDelete);
    EXPECT_EQ(r.hashVerifiedAttachments, r.attachments - 1);
    EXPECT_NE(joined(r.reasons).find("no longer matches its checksum"), std::string::npos) << joined(r.reasons);

    stdfs::remove(object);
    EXPECT_EQ(analyze().sources.at(0).verdict, Verdict::doNotDelete);
}

TEST_F(DeletionFixture, WhatCannotBeConfirmedIsUnknownAndTheLiveDatabaseIsNeverSafe) {
    const auto src = folder("Messages", options());
    add("mac", src);
    add("gone", dir / "NoSuchFolder");
    add("html", dir / "Export", "jorin", SourceFormat::htmlExport);
    add("other", src, "sam"); // an owner whose archive does not exist yet
    run();
    // The same folder registered as this Mac's live database.
    Source live;
    live.id = "live";
    live.owner = "jorin";
    live.path = src.string();
    live.format = SourceFormat::liveChatDB;
    ASSERT_TRUE(registry.add(live));
    stdfs::remove_all(stdfs::path(root) / "sam");

    const auto report = analyze();
    EXPECT_EQ(report.find("mac")->verdict, Verdict::verifiedRedundant);
    const auto* gone = report.find("gone");
    EXPECT_EQ(gone->verdict, Verdict::unknown);
    EXPECT_NE(joined(gone->reasons).find("could not be read"), std::string::npos) << joined(gone->reasons);
    EXPECT_EQ(report.find("html")->verdict, Verdict::unknown);
    const auto* other = report.find("other");
    EXPECT_EQ(other->verdict, Verdict::doNotDelete);
    EXPECT_NE(joined(other->reasons).find("no archive for \"sam\""), std::string::npos) << joined(other->reasons);
    EXPECT_EQ(report.find("live")->verdict, Verdict::doNotDelete);
    EXPECT_EQ(report.safeCount(), 1);
}

TEST_F(DeletionFixture, ADamagedArchiveOrAnEmptySourceIsUnknown) {
    auto empty = options();
    empty.messages = 0;
    empty.groupChats = 0;
    add("empty", folder("Empty", empty));
    run();
    auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::unknown) << joined(r.reasons);

    test::writeAll(stdfs::path(root) / "jorin" / "tresk.db", "not a database at all");
    stdfs::remove(stdfs::path(root) / "jorin" / "tresk.db-wal");
    r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::unknown);
    EXPECT_NE(joined(r.reasons).find("could not be read"), std::string::npos) << joined(r.reasons);
}

TEST_F(DeletionFixture, ReaderWarningsAndRowsWithoutIdentifiersAreNeverSafe) {
    // A reader that survived trouble: it says so in its warnings and skipped rows.
    struct TroubledReader final : Ingester {
        std::shared_ptr<test::FakeIngester> inner = std::make_shared<test::FakeIngester>();
        int64_t skipped = 0;
        SourceFormat format() const override { return SourceFormat::macosMessagesFolder; }
        IngestOutcome ingest(const Source& s, const IngestCursor& c, IngestSink& sink) override {
            auto out = inner->ingest(s, c, sink);
            out.warnings.push_back(
                "2 message bodies could not be decoded; those messages were kept without their text.");
            out.rowsSkipped = skipped;
            return out;
        }
    };
    auto reader = std::make_shared<TroubledReader>();
    reader->inner->data["/src"] = test::makeChat("+15550001", 5, "g", kNow - std::chrono::hours(100));
    add("src", "/src");
    TreskEngine(registry, root, IngesterRegistry({reader}), std::make_shared<MapContactResolver>(), filters,
                std::make_shared<FixedClock>(kNow))
        .run({});
    auto check = [&] {
        return TreskEngine(registry, root, IngesterRegistry({reader}), std::make_shared<MapContactResolver>(), filters,
                           std::make_shared<FixedClock>(kNow))
            .deletionSafety(false)
            .sources.at(0);
    };
    auto r = check();
    EXPECT_EQ(r.verdict, Verdict::unknown);
    EXPECT_NE(joined(r.reasons).find("While reading this source: 2 message bodies"), std::string::npos);
    reader->skipped = 3;
    r = check();
    EXPECT_EQ(r.verdict, Verdict::doNotDelete);
    EXPECT_NE(joined(r.reasons).find("3 rows of this source could not be read as messages"), std::string::npos);
}

TEST_F(DeletionFixture, TheDryRunScriptFromARealAnalysisDeletesAndRunsNothing) {
    const auto src = folder("Messages", options());
    // Commands in the names would run in the script's working folder.
    const std::vector<std::string> hostile = {
        "it's \"quoted\"", "$(touch pwned1)", "`touch pwned2`", "line\ntouch pwned3\n", "tab\tand \x1b[31mescape",
    };
    add("original", src);
    int n = 0;
    for (const auto& name : hostile) {
        const auto copy = dir / "copies" / name;
        stdfs::create_directories(copy.parent_path());
        stdfs::copy(src, copy, stdfs::copy_options::recursive);
        add("copy" + std::to_string(n++), copy);
    }
    run();
    const auto report = analyze();
    ASSERT_EQ(report.safeCount(), static_cast<int64_t>(hostile.size()) + 1);

    const auto script = dir / "kelvara-dry-run.sh";
    test::writeAll(script, ReportFormatter::deletionDryRunScript(report, kNow));
    EXPECT_EQ(stdfs::status(script).permissions() & stdfs::perms::owner_exec, stdfs::perms::none);
    const std::string before = test::snapshotTree(dir / "copies") + test::snapshotTree(src);
    const auto workdir = dir / "cwd";
    stdfs::create_directories(workdir);

    PosixProcessRunner runner;
    ProcessRequest req;
    req.program = "/bin/bash";
    req.arguments = {"-c", "cd \"$1\" && exec /bin/bash \"$2\"", "dry-run", workdir.string(), script.string()};
    const auto result = runner.run(req);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(test::snapshotTree(dir / "copies") + test::snapshotTree(src), before);
    EXPECT_TRUE(stdfs::is_empty(workdir)); // no command of a name ran there
}

TEST_F(DeletionFixture, AnotherOwnersArchiveInTheSameFolderNameConfirmsNothing) {
    const auto src = folder("Messages", options());
    add("slash", src, "a/b");
    run();
    registry = SourceRegistry();
    add("underscore", src, "a_b"); // the same folder name, another owner
    const auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::unknown);
    EXPECT_NE(joined(r.reasons).find("holds the archive of \"a/b\""), std::string::npos) << joined(r.reasons);
    EXPECT_TRUE(engine().coverage(kNow).at(0).periods.empty());
}

TEST_F(DeletionFixture, AMessageUnsentAfterTheScanLosesNothing) {
    const auto src = folder("Messages", options());
    add("mac", src);
    run();
    sql(src / "chat.db", "UPDATE message SET text = '', attributedBody = NULL WHERE ROWID = "
                         "(SELECT min(ROWID) FROM message WHERE text IS NOT NULL AND length(text) > 0)");
    const auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::verifiedRedundant) << joined(r.reasons);
}

TEST_F(DeletionFixture, ADeviceBackupArchivedInFullIsVerifiedRedundant) {
    auto o = options();
    fx::writeDeviceBackup(dir / "Backup", o, fx::BackupOptions{});
    add("phone", dir / "Backup", "jorin", SourceFormat::iosDeviceBackup);
    run();
    const auto r = analyze().sources.at(0);
    EXPECT_EQ(r.verdict, Verdict::verifiedRedundant) << joined(r.reasons);
    EXPECT_GT(r.attachments, 0);
    EXPECT_EQ(r.hashVerifiedAttachments, r.attachments);
}
