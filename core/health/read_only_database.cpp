#include "core/health/read_only_database.h"

#include "core/platform/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace kx {

std::string ReadOnlyDatabase::immutableURI(const std::string& path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        // Percent-encode everything that could end the path or start a query.
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7f) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            uri += buf;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?mode=ro&immutable=1";
}

ReadOnlyDatabase::ReadOnlyDatabase(const std::string& path) {
    // SQLite reports a missing or unreadable file only vaguely; check first so the
    // reason is one a person understands.
    if (::access(path.c_str(), F_OK) != 0) throw Error(path + " does not exist");
    if (::access(path.c_str(), R_OK) != 0) throw Error(path + " cannot be read: " + std::strerror(errno));
    const int rc = sqlite3_open_v2(immutableURI(path).c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(path + " could not be opened: " + msg);
    }
    try {
        // Opening is lazy; reading the schema proves the file is a readable database.
        scalar("SELECT count(*) FROM sqlite_master");
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

ReadOnlyDatabase::~ReadOnlyDatabase() {
    if (db_) sqlite3_close(db_);
}

int64_t ReadOnlyDatabase::scalar(const std::string& sql) const { return scalarIn(db_, sql); }

bool ReadOnlyDatabase::hasTable(const std::string& name) const { return hasTableIn(db_, name); }

int64_t ReadOnlyDatabase::scalarIn(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw Error(std::string("the database could not be read: ") + sqlite3_errmsg(db));
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
        const std::string msg = sqlite3_errmsg(db);
        sqlite3_finalize(stmt);
        throw Error("the database could not be read: " + msg);
    }
    const int64_t v = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return v;
}

bool ReadOnlyDatabase::hasTableIn(sqlite3* db, const std::string& name) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", -1, &stmt, nullptr) !=
        SQLITE_OK)
        return false;
    sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}

} // namespace kx
