#include "core/archive/wal_write_buffer.h"
#include "tests/support/test_env.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using kx::test::TempDir;

namespace {

// A writer as the store opens it: through the gathering VFS, in WAL mode, with
// a page cache small enough that a large transaction spills frames before its
// commit (and reads some of them back).
std::unique_ptr<SQLite::Database> openWriter(const std::string& path) {
    auto db = std::make_unique<SQLite::Database>(path.c_str(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 0,
                                                 kx::walWriteBufferVfsName());
    db->exec("PRAGMA journal_mode = WAL");
    db->exec("PRAGMA synchronous = NORMAL");
    db->exec("PRAGMA cache_size = 20");
    db->exec("PRAGMA wal_autocheckpoint = 0");
    db->exec("CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, v BLOB NOT NULL)");
    return db;
}

// Adds `rows` rows of 3,000 bytes (each filled with its own id) in one transaction.
void addRows(SQLite::Database& db, int from, int rows) {
    SQLite::Transaction tx(db);
    SQLite::Statement ins(db, "INSERT INTO t(id, v) VALUES (?, zeroblob(3000))");
    SQLite::Statement fill(db, "UPDATE t SET v = CAST(replace(hex(zeroblob(1500)), '00', char(65 + ? % 26)) AS BLOB) "
                               "WHERE id = ?");
    for (int k = from; k < from + rows; ++k) {
        ins.bind(1, k);
        ins.exec();
        ins.reset();
        fill.bind(1, k);
        fill.bind(2, k);
        fill.exec();
        fill.reset();
    }
    tx.commit();
}

// What another connection, on the default VFS, finds: rows, and rows whose
// bytes are not their own.
std::pair<int, int> readBack(const std::string& path) {
    SQLite::Database db(path, SQLite::OPEN_READWRITE);
    const int rows = db.execAndGet("SELECT count(*) FROM t").getInt();
    const int wrong =
        db.execAndGet("SELECT count(*) FROM t WHERE v <> CAST(replace(hex(zeroblob(1500)), '00', char(65 + id % 26)) "
                      "AS BLOB)")
            .getInt();
    EXPECT_EQ(db.execAndGet("PRAGMA integrity_check").getString(), "ok");
    return {rows, wrong};
}

} // namespace

// Every transaction is in the -wal when its commit returns: another connection
// reads it whole at once, whether it was gathered in one write or many, spilled
// early, or rewrote pages it had written before.
TEST(WalWriteBuffer, EveryCommitIsThereForOtherConnectionsWhenItReturns) {
    TempDir dir;
    const std::string path = (dir.path() / "store.db").string();
    auto db = openWriter(path);
    addRows(*db, 1, 1);
    EXPECT_EQ(readBack(path), std::make_pair(1, 0));
    addRows(*db, 2, 400); // about 1.2 MB: many gathered writes, and spills
    EXPECT_EQ(readBack(path), std::make_pair(401, 0));
    db->exec("PRAGMA wal_checkpoint(TRUNCATE)"); // the log starts over from its beginning
    addRows(*db, 402, 99);
    EXPECT_EQ(readBack(path), std::make_pair(500, 0));
}

// A process killed after a commit keeps it; killed in the middle of a
// transaction (gathered frames not written), it loses that transaction only.
TEST(WalWriteBuffer, AKillKeepsEveryCommitAndLosesOnlyTheUnfinishedTransaction) {
    TempDir dir;
    const std::string path = (dir.path() / "store.db").string();
    for (const bool midTransaction : {false, true}) {
        std::filesystem::remove_all(dir.path() / "store.db");
        std::filesystem::remove_all(dir.path() / "store.db-wal");
        std::filesystem::remove_all(dir.path() / "store.db-shm");
        const pid_t pid = ::fork();
        if (pid == 0) {
            auto db = openWriter(path);
            addRows(*db, 1, 300);
            if (midTransaction) {
                db->exec("BEGIN");
                SQLite::Statement ins(*db, "INSERT INTO t(id, v) VALUES (?, zeroblob(3000))");
                for (int k = 1000; k < 1100; ++k) {
                    ins.bind(1, k);
                    ins.exec();
                    ins.reset();
                }
            }
            ::kill(::getpid(), SIGKILL);
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(readBack(path), std::make_pair(300, 0)) << (midTransaction ? "mid-transaction" : "after commit");
    }
}
