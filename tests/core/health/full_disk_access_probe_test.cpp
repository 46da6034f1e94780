#include "core/health/full_disk_access_probe.h"

#include "core/health/schedule_arguments.h"
#include "core/platform/system.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {
namespace {

using Verdict = FullDiskAccessProbe::Verdict;
using Outcome = FullDiskAccessProbe::ScheduledOutcome;
namespace stdfs = std::filesystem;

void makeMessagesDatabase(const stdfs::path& path, int messages) {
    stdfs::create_directories(path.parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::string sql = "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, guid TEXT, text TEXT);";
    for (int i = 0; i < messages; ++i)
        sql += "INSERT INTO message (guid, text) VALUES ('g" + std::to_string(i) + "', 'hi');";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// A small shell script standing in for the engine tool.
stdfs::path makeTool(const test::TempDir& dir, const std::string& body) {
    const stdfs::path p = dir / "kxctl";
    test::writeAll(p, "#!/bin/sh\n" + body + "\n");
    ::chmod(p.c_str(), 0755);
    return p;
}

ProbeOutput reply(bool exists, bool readable, std::optional<int64_t> count, std::optional<std::string> problem = {}) {
    ProbeOutput o;
    o.databasePath = "/home/jo/Library/Messages/chat.db";
    o.databaseExists = exists;
    o.readable = readable;
    o.messageCount = count;
    o.problem = std::move(problem);
    o.executable = "/usr/libexec/kelvara/kxctl";
    return o;
}

TEST(FullDiskAccessProbe, LiveDatabaseIsUnderTheHomeFolderAskedAfresh) {
    auto fake = std::make_shared<FakeSystemInfo>();
    fake->home = "/home/alice/";
    setSystemInfoForTesting(fake);
    EXPECT_EQ(FullDiskAccessProbe::liveMessagesDatabasePath(), "/home/alice/Library/Messages/chat.db");
    fake->home = "/home/bob";
    EXPECT_EQ(FullDiskAccessProbe::liveMessagesDatabasePath(), "/home/bob/Library/Messages/chat.db");
    setSystemInfoForTesting(nullptr);
}

TEST(FullDiskAccessProbe, CountsMessagesWithoutWritingBesideTheDatabase) {
    test::TempDir dir;
    const auto db = dir / "Messages" / "chat.db";
    makeMessagesDatabase(db, 3);
    const std::string before = test::snapshotTree(dir.path());

    EXPECT_EQ(FullDiskAccessProbe::appContextMessageCount(db), 3);
    EXPECT_EQ(test::snapshotTree(dir.path()), before); // no -wal, -shm or journal appeared

    EXPECT_EQ(FullDiskAccessProbe::appContextMessageCount(dir / "missing.db"), std::nullopt);
    test::writeAll(dir / "garbage.db", std::string(4096, 'x'));
    EXPECT_EQ(FullDiskAccessProbe::appContextMessageCount(dir / "garbage.db"), std::nullopt);
    // A database, but not a Messages database.
    sqlite3* other = nullptr;
    sqlite3_open((dir / "other.db").c_str(), &other);
    sqlite3_exec(other, "CREATE TABLE notes (x);", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(FullDiskAccessProbe::appContextMessageCount(dir / "other.db"), std::nullopt);
}

TEST(FullDiskAccessProbe, OnlyADefiniteAbsenceCountsAsNoDatabase) {
    test::TempDir dir;
    test::writeAll(dir / "chat.db", "x");
    EXPECT_TRUE(FullDiskAccessProbe::databaseExists(dir / "chat.db"));
    EXPECT_FALSE(FullDiskAccessProbe::databaseExists(dir / "nothing.db"));
    EXPECT_FALSE(FullDiskAccessProbe::databaseExists(dir / "chat.db" / "below-a-file")); // ENOTDIR

    if (::geteuid() == 0) GTEST_SKIP() << "root may enter every folder";
    stdfs::create_directories(dir / "locked");
    test::writeAll(dir / "locked" / "chat.db", "x");
    ::chmod((dir / "locked").c_str(), 0000);
    // A folder this program may not enter hides the file: that is "blocked", not "missing".
    EXPECT_TRUE(FullDiskAccessProbe::databaseExists(dir / "locked" / "chat.db"));
    ::chmod((dir / "locked").c_str(), 0700);
}

TEST(FullDiskAccessProbe, VerdictCoversEveryCombination) {
    const auto readable = Outcome::reply(reply(true, true, 40));
    const auto blocked = Outcome::reply(reply(true, false, std::nullopt, "chat.db cannot be read: Permission denied"));
    const auto failed = Outcome::failure("The check did not finish within 20 seconds.");

    EXPECT_EQ(FullDiskAccessProbe::verdict(42, true, readable),
              Verdict::allGranted("Kelvara reads 42 messages; the scheduled job reads 40."));

    const Verdict sb = FullDiskAccessProbe::verdict(42, true, blocked);
    EXPECT_EQ(sb.kind, Verdict::Case::scheduledBlocked);
    EXPECT_EQ(
        sb.text,
        "The scheduled job (/usr/libexec/kelvara/kxctl) cannot read /home/jo/Library/Messages/chat.db: chat.db cannot "
        "be read: Permission denied. It would report success every night and save nothing.");

    // The engine not finding a database the application reads is just as blocked.
    const Verdict notFound = FullDiskAccessProbe::verdict(42, true, Outcome::reply(reply(false, false, std::nullopt)));
    EXPECT_EQ(notFound.kind, Verdict::Case::scheduledBlocked);
    EXPECT_NE(notFound.text.find("finds no Messages database at /home/jo/Library/Messages/chat.db."),
              std::string::npos);

    EXPECT_EQ(FullDiskAccessProbe::verdict(std::nullopt, true, readable).kind, Verdict::Case::appBlocked);
    EXPECT_EQ(FullDiskAccessProbe::verdict(std::nullopt, true, failed).kind, Verdict::Case::appBlocked);

    EXPECT_EQ(FullDiskAccessProbe::verdict(42, true, failed),
              Verdict::notChecked("The check did not finish within 20 seconds."));

    EXPECT_EQ(FullDiskAccessProbe::verdict(std::nullopt, false, failed), Verdict::noDatabase());
    EXPECT_EQ(FullDiskAccessProbe::verdict(std::nullopt, false, Outcome::reply(reply(false, false, std::nullopt))),
              Verdict::noDatabase());
    // The application sees nothing but the engine does: something is there to archive.
    EXPECT_EQ(FullDiskAccessProbe::verdict(std::nullopt, false, readable).kind, Verdict::Case::appBlocked);
}

TEST(FullDiskAccessProbe, HeadlinesAreOneLineForEveryCase) {
    EXPECT_EQ(Verdict::notRunYet().text, "not run yet");
    EXPECT_EQ(Verdict::notRunYet().headline(), "Access for the scheduled job has not been checked yet.");
    EXPECT_EQ(Verdict::notChecked("The engine failed: boom").headline(),
              "Access for the scheduled job could not be checked: The engine failed: boom");
    EXPECT_EQ(Verdict::noDatabase().headline(), "There is no Messages database on this computer.");
    EXPECT_EQ(Verdict::allGranted("x").headline(), "Kelvara and its scheduled job can both read your messages.");
    EXPECT_EQ(Verdict::scheduledBlocked("x").headline(), "The scheduled job cannot read your messages.");
    EXPECT_EQ(Verdict::appBlocked("x").headline(), "Kelvara cannot read your messages.");
}

TEST(FullDiskAccessProbe, GrantPathsNameTheApplicationThenTheEngine) {
    EXPECT_EQ(FullDiskAccessProbe::grantPaths("/Applications/Kelvara.app"),
              (std::vector<std::string>{"/Applications/Kelvara.app",
                                        "/Applications/Kelvara.app/Contents/Frameworks/kxctl"}));
    EXPECT_EQ(FullDiskAccessProbe::grantPaths("/Applications/Kelvara.app/"),
              (std::vector<std::string>{"/Applications/Kelvara.app",
                                        "/Applications/Kelvara.app/Contents/Frameworks/kxctl"}));
    EXPECT_EQ(FullDiskAccessProbe::grantPaths("/opt/kelvara/bin/kelvara"),
              (std::vector<std::string>{"/opt/kelvara/bin/kelvara", "/opt/kelvara/bin/kxctl"}));
}

TEST(FullDiskAccessProbe, ProbeOfThisProcessTellsReadableMissingAndDamaged) {
    test::TempDir dir;
    makeMessagesDatabase(dir / "chat.db", 5);
    const ProbeOutput ok = FullDiskAccessProbe::probeThisProcess(dir / "chat.db");
    EXPECT_TRUE(ok.databaseExists);
    EXPECT_TRUE(ok.readable);
    EXPECT_EQ(ok.messageCount, 5);
    EXPECT_EQ(ok.problem, std::nullopt);
    EXPECT_EQ(ok.userId, static_cast<int64_t>(::getuid()));
    EXPECT_FALSE(ok.executable.empty());

    const ProbeOutput missing = FullDiskAccessProbe::probeThisProcess(dir / "none.db");
    EXPECT_FALSE(missing.databaseExists);
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.problem, "there is no file at " + (dir / "none.db").string());

    test::writeAll(dir / "damaged.db", std::string(8192, '\x01'));
    const ProbeOutput damaged = FullDiskAccessProbe::probeThisProcess(dir / "damaged.db");
    EXPECT_TRUE(damaged.databaseExists);
    EXPECT_FALSE(damaged.readable);
    EXPECT_EQ(damaged.messageCount, std::nullopt);
    ASSERT_TRUE(damaged.problem);
    EXPECT_NE(damaged.problem->find("damaged.db"), std::string::npos);
}

TEST(FullDiskAccessProbe, ProbeOfThisProcessSaysWhoMayReadAnUnreadableFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    test::TempDir dir;
    makeMessagesDatabase(dir / "chat.db", 1);
    ::chmod((dir / "chat.db").c_str(), 0000);
    const ProbeOutput o = FullDiskAccessProbe::probeThisProcess(dir / "chat.db");
    ::chmod((dir / "chat.db").c_str(), 0600);
    EXPECT_FALSE(o.readable);
    ASSERT_TRUE(o.problem);
    EXPECT_NE(o.problem->find("with mode 0000"), std::string::npos);
}

// The scheduled-context run, against small scripts standing in for the tool.
class ScheduledProbeRun : public ::testing::Test {
protected:
    Outcome run(const std::string& body, double timeout = 10) {
        return FullDiskAccessProbe::runScheduledProbe(makeTool(dir, body), timeout, runner);
    }
    std::string failureOf(const Outcome& o) { return o.failureSentence() ? *o.failureSentence() : "(a reply)"; }
    test::TempDir dir;
    PosixProcessRunner runner;
};

TEST_F(ScheduledProbeRun, ValidReplyCountsWhateverTheExitStatus) {
    const std::string json = reply(true, true, 9).encode();
    const Outcome o = run("echo '" + json + "'\nexit 4");
    ASSERT_TRUE(o.replyValue());
    EXPECT_EQ(o.replyValue()->messageCount, 9);
}

TEST_F(ScheduledProbeRun, RunsWithOnlyTheSchedulesPathAndTheProbeArguments) {
    const auto envFile = dir / "env.txt";
    const auto argsFile = dir / "args.txt";
    const Outcome o = run("/usr/bin/env > '" + envFile.string() + "'\necho \"$@\" > '" + argsFile.string() +
                          "'\necho '" + reply(true, true, 1).encode() + "'");
    ASSERT_TRUE(o.replyValue());
    const std::string env = test::readAll(envFile);
    EXPECT_NE(env.find(std::string("PATH=") + ScheduleArguments::kPath + "\n"), std::string::npos);
    EXPECT_EQ(env.find("HOME="), std::string::npos);
    EXPECT_EQ(test::readAll(argsFile), "fda-probe --json\n");
}

TEST_F(ScheduledProbeRun, FailureSentencesInTheirOrder) {
    EXPECT_EQ(failureOf(run("echo 'denied' >&2")), "The engine failed: denied");
    EXPECT_EQ(failureOf(run("exit 3")), "The engine produced no output (exit 3).");
    // Standard output decides before standard error.
    const std::string notJson = failureOf(run("echo 'this is not json'\necho 'also an error' >&2"));
    EXPECT_EQ(notJson.rfind("The engine's reply could not be read: the reply is not valid JSON", 0), 0u) << notJson;
    EXPECT_EQ(notJson.back(), '.');
    // Error text that is not UTF-8 is dropped rather than shown as garbage.
    EXPECT_EQ(failureOf(run("printf '\\377\\376' >&2\nexit 2")), "The engine produced no output (exit 2).");
    EXPECT_EQ(failureOf(run("kill -9 $$")), "The engine produced no output (exit 9).");
}

TEST_F(ScheduledProbeRun, MissingOrUnstartableToolIsASentence) {
    PosixProcessRunner real;
    const Outcome missing = FullDiskAccessProbe::runScheduledProbe((dir / "absent").string(), 5, real);
    EXPECT_EQ(failureOf(missing).rfind("Could not start " + (dir / "absent").string() + ": ", 0), 0u);
    EXPECT_EQ(failureOf(missing).back(), '.');

    test::writeAll(dir / "not-a-program", "\x7f"
                                          "ELF garbage");
    ::chmod((dir / "not-a-program").c_str(), 0755);
    const Outcome bad = FullDiskAccessProbe::runScheduledProbe((dir / "not-a-program").string(), 5, real);
    EXPECT_EQ(failureOf(bad), "Could not start " + (dir / "not-a-program").string() + ": Exec format error.");
}

TEST_F(ScheduledProbeRun, SilentToolIsEndedAtTheLimitAndReaped) {
    const auto pidFile = dir / "pid";
    const Outcome o = run("echo $$ > '" + pidFile.string() + "'\nexec sleep 60", 1.5);
    EXPECT_EQ(failureOf(o), "The check did not finish within 1 seconds.");
    const pid_t pid = std::stoi(test::readAll(pidFile));
    // Reaped: no such process (not even a zombie) remains.
    EXPECT_EQ(::kill(pid, 0), -1);
}

TEST_F(ScheduledProbeRun, ToolIgnoringTerminateIsKilledAfterTheGrace) {
    const Outcome o = run("trap '' TERM\nwhile :; do sleep 1; done", 1);
    EXPECT_EQ(failureOf(o), "The check did not finish within 1 seconds.");
}

TEST_F(ScheduledProbeRun, ChattyToolCompletesAndOversizedReplyIsRefused) {
    const Outcome chatty = run("head -c 3000000 /dev/zero | tr '\\0' 'e' >&2\necho '" + reply(true, true, 2).encode() +
                               "'");
    ASSERT_TRUE(chatty.replyValue()) << failureOf(chatty);
    EXPECT_EQ(chatty.replyValue()->messageCount, 2);

    const std::string big = failureOf(run("head -c 5000000 /dev/zero | tr '\\0' '['"));
    EXPECT_EQ(big.rfind("The engine's reply could not be read: the reply is", 0), 0u) << big;

    // A very long error is shortened before it reaches the user.
    const std::string longError = failureOf(run("head -c 200000 /dev/zero | tr '\\0' 'x' >&2\nexit 1"));
    EXPECT_LT(longError.size(), 1100u);
    EXPECT_EQ(longError.rfind("The engine failed: xxx", 0), 0u);
}

} // namespace
} // namespace kx
