// kxctl backup from two homes of one owner (each its own data folder, so its
// own generation memory, and its own archive root) to one folder: each run
// says what it brought back from the other's backup, a restore holds both
// homes' messages, and each root lists the other machine's run report.
#include "core/archive/machine_run_report.h"
#include "core/archive/tresk_store_writer.h"
#include "core/keys/key_material.h"
#include "core/keys/symmetric_key.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

void ingest(const stdfs::path& root, const std::string& prefix, int count) {
    const Date now = std::chrono::system_clock::now();
    auto w = TreskStoreWriter::open((root / "jorin/tresk.db").string(), "jorin", now);
    Source s;
    s.id = prefix + "-messages";
    s.owner = "jorin";
    s.path = "/Users/jorin/Library/Messages";
    const int64_t row = w->sourceRow(s, now);
    w->begin();
    for (int i = 0; i < count; ++i) {
        MessageRecord m;
        m.guid = prefix + "-" + std::to_string(i);
        m.chatGuid = "iMessage;-;+15550001";
        m.handle = "+15550001";
        m.text = "message " + m.guid;
        m.date = now - std::chrono::hours(count - i);
        w->addMessage(m, row, now);
    }
    w->commit();
}

int64_t messagesIn(const stdfs::path& db) {
    SQLite::Database d(db.string(), SQLite::OPEN_READONLY);
    return d.execAndGet("SELECT count(*) FROM messages").getInt64();
}

ProcessResult kxctl(const std::vector<std::string>& args, const std::string& phrase, const stdfs::path& home) {
    ProcessRequest req;
    req.program = KXCTL_PATH;
    req.arguments = args;
    req.standardInput = phrase + "\n";
    req.environment = std::map<std::string, std::string>{{"HOME", home.string()},
                                                         {"PATH", "/usr/bin:/bin"},
                                                         {"XDG_DATA_HOME", (home / ".local/share").string()},
                                                         {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    req.timeout = std::chrono::seconds(60);
    PosixProcessRunner runner;
    return runner.run(req);
}

} // namespace

TEST(KxctlBackup, TwoHomesOfOneOwnerBackingUpToOneFolderEachBringBackTheOthersMessages) {
    test::TempDir homeA, homeB, dest, fresh;
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    const Date now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    ingest(homeA / "Tresk", "a", 30);
    ingest(homeB / "Tresk", "b", 12);
    MachineRunReport{"MAC-A", "a", now - std::chrono::hours(1), true, 30, {{"jorin", 30}}}.write(
        (homeA / "Tresk").string());
    MachineRunReport{"MAC-B", "b", now, true, 12, {{"jorin", 12}}}.write((homeB / "Tresk").string());
    auto backup = [&](const test::TempDir& home, const std::string& machine) {
        return kxctl({"backup", "--owner", "jorin", "--root", (home / "Tresk").string(), "--folder",
                      dest.path().string(), "--phrase-stdin", "--machine-id", machine},
                     phrase, home.path());
    };

    ProcessResult r = backup(homeA, "MAC-A");
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_EQ(r.standardOutput.find("brought back"), std::string::npos) << r.standardOutput;
    r = backup(homeB, "MAC-B");
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("30 messages it brought back"), std::string::npos) << r.standardOutput;
    r = backup(homeA, "MAC-A");
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_NE(r.standardOutput.find("12 messages it brought back"), std::string::npos) << r.standardOutput;

    EXPECT_EQ(messagesIn(homeA / "Tresk/jorin/tresk.db"), 42);
    EXPECT_EQ(messagesIn(homeB / "Tresk/jorin/tresk.db"), 42);
    r = kxctl({"restore", "--owner", "jorin", "--into", (fresh / "Tresk").string(), "--folder", dest.path().string(),
               "--phrase-stdin"},
              phrase, fresh.path());
    ASSERT_EQ(r.exitCode, 0) << r.standardError;
    EXPECT_EQ(messagesIn(fresh / "Tresk/jorin/tresk.db"), 42);
    EXPECT_TRUE(stdfs::exists(homeA / "Tresk/MAC-B.machine-run.json"));
    EXPECT_TRUE(stdfs::exists(homeB / "Tresk/MAC-A.machine-run.json"));

    // A machine identity that could name another file is refused.
    r = backup(homeA, "../x");
    EXPECT_EQ(r.exitCode, 2);
}
