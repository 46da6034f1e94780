// kxctl fda-probe, run as a real child process.
#include "core/health/full_disk_access_probe.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

void makeMessagesDatabase(const stdfs::path& path, int messages) {
    stdfs::create_directories(path.parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql = "PRAGMA journal_mode=WAL; CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);";
    for (int i = 0; i < messages; ++i) sql += "INSERT INTO message (text) VALUES ('m');";
    sql += "PRAGMA wal_checkpoint(TRUNCATE);";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// Runs kxctl with only PATH and HOME set, as the schedule would (plus a HOME we choose).
ProcessResult kxctl(const stdfs::path& home, std::vector<std::string> args) {
    PosixProcessRunner runner;
    ProcessRequest req;
    req.program = KXCTL_PATH;
    req.arguments = std::move(args);
    req.environment = std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}, {"HOME", home.string()}};
    req.timeout = std::chrono::seconds(60);
    return runner.run(req);
}

TEST(KxctlFdaProbe, JsonReplyForReadableMissingAndDamagedDatabases) {
    test::TempDir home;
    const auto db = home / "Library" / "Messages" / "chat.db";

    ProcessResult r = kxctl(home.path(), {"fda-probe", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    ProbeOutput missing = ProbeOutput::decode(r.standardOutput);
    EXPECT_EQ(missing.databasePath, db.string());
    EXPECT_FALSE(missing.databaseExists);
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.executable, stdfs::canonical(KXCTL_PATH).string());

    makeMessagesDatabase(db, 7);
    const std::string before = test::snapshotTree(db.parent_path());
    r = kxctl(home.path(), {"fda-probe", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    const ProbeOutput readable = ProbeOutput::decode(r.standardOutput);
    EXPECT_TRUE(readable.readable);
    EXPECT_EQ(readable.messageCount, 7);
    EXPECT_EQ(r.standardOutput.back(), '\n');
    EXPECT_EQ(test::snapshotTree(db.parent_path()), before); // nothing written beside Messages' files

    test::writeAll(db, std::string(10000, 'z'));
    r = kxctl(home.path(), {"fda-probe", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    const ProbeOutput damaged = ProbeOutput::decode(r.standardOutput);
    EXPECT_TRUE(damaged.databaseExists);
    EXPECT_FALSE(damaged.readable);
    ASSERT_TRUE(damaged.problem);
    EXPECT_NE(damaged.problem->find(db.string()), std::string::npos);
}

// A database Messages has just made: its tables and rows are still only in the
// -wal file (nothing checkpointed, the -wal and -shm kept on close).
void makeWalOnlyMessagesDatabase(const stdfs::path& path, int messages) {
    stdfs::create_directories(path.parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    int off = 0;
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &off);
    std::string sql = "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; BEGIN;"
                      "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);";
    for (int i = 0; i < messages; ++i) sql += "INSERT INTO message (text) VALUES ('m');";
    sql += "COMMIT;";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(KxctlFdaProbe, TablesOnlyInTheWalAreReadFromAPrivateCopyLeavingTheFolderAsItWas) {
    test::TempDir home;
    const auto db = home / "Library" / "Messages" / "chat.db";
    makeWalOnlyMessagesDatabase(db, 5);
    ASSERT_TRUE(stdfs::exists(db.string() + "-wal"));
    {
        // The premise: the database file on its own has no message table yet.
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open_v2(("file:" + db.string() + "?mode=ro&immutable=1").c_str(), &raw,
                                  SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
                  SQLITE_OK);
        EXPECT_NE(sqlite3_exec(raw, "SELECT count(*) FROM message", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
    }
    const std::string before = test::snapshotTree(db.parent_path());
    ASSERT_NE(before.find("chat.db-wal "), std::string::npos);

    ProcessResult r = kxctl(home.path(), {"fda-probe", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    const ProbeOutput out = ProbeOutput::decode(r.standardOutput);
    EXPECT_TRUE(out.readable) << out.problem.value_or("");
    EXPECT_EQ(out.messageCount, 5);
    EXPECT_FALSE(out.problem);

    r = kxctl(home.path(), {"fda-probe"});
    EXPECT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("Readable by this program: yes, 5 messages"), std::string::npos);

    // The application's own check reads it the same way.
    EXPECT_EQ(FullDiskAccessProbe::appContextMessageCount(db.string()), 5);

    // Same names, same bytes: no -wal/-shm made, changed or removed beside Messages' files,
    // and the private copies are gone.
    EXPECT_EQ(test::snapshotTree(db.parent_path()), before);
    const auto snapshots = home / ".cache" / "Kelvara" / "snapshots";
    if (stdfs::exists(snapshots)) {
        EXPECT_TRUE(stdfs::is_empty(snapshots));
    }
}

TEST(KxctlFdaProbe, WordsWithoutJsonAndAnExitStatusForScripts) {
    test::TempDir home;
    makeMessagesDatabase(home / "other.db", 2);
    ProcessResult r = kxctl(home.path(), {"fda-probe", "--database", (home / "other.db").string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.standardOutput.find("Readable by this program: yes, 2 messages"), std::string::npos);

    r = kxctl(home.path(), {"fda-probe"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.standardError.rfind("This program cannot read the Messages database: there is no file at ", 0), 0u)
        << r.standardError;
}

TEST(KxctlFdaProbe, TheApplicationsScheduledRunDecodesTheRealTool) {
    PosixProcessRunner runner;
    const auto outcome = FullDiskAccessProbe::runScheduledProbe(KXCTL_PATH, 30, runner);
    ASSERT_TRUE(outcome.replyValue()) << *outcome.failureSentence();
    // With nothing but PATH the tool finds the home folder from the passwd entry.
    const std::string suffix = "/Library/Messages/chat.db";
    const std::string& path = outcome.replyValue()->databasePath;
    ASSERT_GE(path.size(), suffix.size());
    EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix);
}

// An unreadable database for real: as root, run the tool as another user with
// setpriv, the way a scheduled job without the permission would run.
TEST(KxctlFdaProbe, AnotherUserGetsTheReasonAndTheVerdictIsScheduledBlocked) {
    const auto setpriv = findExecutable("setpriv", std::getenv("PATH") ? std::getenv("PATH") : "");
    if (::geteuid() != 0 || !setpriv) GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
    // A folder every user may enter (the test's own temporary folders are private).
    char tmpl[] = "/tmp/kx-fda-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const stdfs::path shared(tmpl);
    ::chmod(shared.c_str(), 0755);
    makeMessagesDatabase(shared / "chat.db", 3);
    ::chmod((shared / "chat.db").c_str(), 0600);
    stdfs::create_directories(shared / "locked");
    ::chmod((shared / "locked").c_str(), 0700);

    auto runAsNobody = [&](const stdfs::path& db) {
        PosixProcessRunner runner;
        ProcessRequest req;
        req.program = *setpriv;
        req.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", KXCTL_PATH,
                         "fda-probe",     "--json",        "--database",     db.string()};
        req.environment = std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin"}};
        req.timeout = std::chrono::seconds(60);
        return runner.run(req);
    };

    ProcessResult r = runAsNobody(shared / "chat.db");
    if (r.standardOutput.empty() && r.exitCode != 0) {
        stdfs::remove_all(shared);
        GTEST_SKIP() << "the tool cannot be run by another user here: " << r.standardError;
    }
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    const ProbeOutput denied = ProbeOutput::decode(r.standardOutput);
    EXPECT_TRUE(denied.databaseExists);
    EXPECT_FALSE(denied.readable);
    EXPECT_EQ(denied.userId, 65534);
    ASSERT_TRUE(denied.problem);
    EXPECT_NE(denied.problem->find("Permission denied (the file belongs to user 0 with mode 0600; this program runs as "
                                   "user 65534)"),
              std::string::npos)
        << *denied.problem;

    // This process reads it; the other user's run cannot: the scheduled job is blocked.
    const auto verdict = FullDiskAccessProbe::verdict(FullDiskAccessProbe::appContextMessageCount(shared / "chat.db"),
                                                      true, FullDiskAccessProbe::ScheduledOutcome::reply(denied));
    EXPECT_EQ(verdict.kind, FullDiskAccessProbe::Verdict::Case::scheduledBlocked);
    EXPECT_NE(verdict.text.find("cannot read " + (shared / "chat.db").string()), std::string::npos) << verdict.text;

    // A folder the user may not enter hides the file: blocked, not missing.
    r = runAsNobody(shared / "locked" / "chat.db");
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    const ProbeOutput hidden = ProbeOutput::decode(r.standardOutput);
    EXPECT_TRUE(hidden.databaseExists);
    EXPECT_FALSE(hidden.readable);
    EXPECT_EQ(hidden.problem,
              "this program may not look at " + (shared / "locked" / "chat.db").string() + " (Permission denied)");

    stdfs::remove_all(shared);
}

} // namespace
} // namespace kx
