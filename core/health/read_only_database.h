#pragma once
// Opening a SQLite database that belongs to someone else (the live Messages
// database) strictly for reading.
//
// The file is opened as immutable: SQLite then creates no -wal or -shm file beside
// it, takes no locks and changes nothing on disk. The price is that rows still
// waiting in a -wal file are not seen, so this opener is for checks (can the file
// be read at all, roughly how many rows) and not for archiving, which reads a
// private snapshot copy instead.
#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace kx {

class ReadOnlyDatabase {
public:
    // Opens the file and reads its schema once. Throws kx::Error with a readable
    // reason when the file is missing, unreadable (permissions) or not a database.
    explicit ReadOnlyDatabase(const std::string& path);
    ~ReadOnlyDatabase();
    ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
    ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

    sqlite3* handle() const { return db_; }
    // Runs a query that yields one integer (e.g. a count). Throws kx::Error.
    int64_t scalar(const std::string& sql) const;
    bool hasTable(const std::string& name) const;

    // The same two queries on any open connection (a snapshot copy, for one).
    static int64_t scalarIn(sqlite3* db, const std::string& sql);
    static bool hasTableIn(sqlite3* db, const std::string& name);

    // The "file:" URI used to open a path immutably (exposed for tests).
    static std::string immutableURI(const std::string& path);

private:
    sqlite3* db_ = nullptr;
};

} // namespace kx
