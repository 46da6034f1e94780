#pragma once
// Helpers for reading message databases whose layout changes between system
// versions (iOS 13 to current macOS): columns are looked up by name, never by
// position, and a missing optional column is simply absent.
#include "core/platform/error.h"
#include "core/platform/time.h"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kx::sourcedb {

// The columns of one table (PRAGMA table_info). Empty when the table is missing.
class TableColumns {
public:
    TableColumns() = default;
    TableColumns(sqlite3* db, const std::string& table); // throws kx::Error on a damaged schema
    bool exists() const { return !columns_.empty(); }
    bool has(const std::string& column) const { return columns_.count(column) != 0; }
    // "t.col" when the column exists, else "NULL": for building queries that read
    // optional columns.
    std::string orNull(const std::string& alias, const std::string& column) const;

private:
    std::set<std::string> columns_;
};

// Thrown by Statement::step when a value exceeds the connection's length limit
// (SQLITE_LIMIT_LENGTH): the row holds something too large to load.
class ValueTooLarge : public Error {
public:
    using Error::Error;
};

// A prepared statement that finalizes itself. Errors throw kx::Error carrying
// SQLite's message.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Advances to the next row; false at the end. Throws on error (a damaged page).
    bool step();
    void reset();
    void bind(int index, std::int64_t value);
    void bind(int index, const std::string& value);

    bool isNull(int col) const;
    std::int64_t integer(int col) const;
    std::optional<std::string> text(int col) const; // none for NULL
    // The same without a copy: valid until the next step.
    std::optional<std::string_view> textView(int col) const;
    std::string_view blob(int col) const; // empty for NULL; valid until the next step
    sqlite3_stmt* handle() const { return stmt_; }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

bool hasTable(sqlite3* db, const std::string& table);
// Runs a query returning one integer; none when it returns no row or NULL.
std::optional<std::int64_t> scalar(sqlite3* db, const std::string& sql);

// Converts a Messages date: seconds or nanoseconds since 2001-01-01T00:00:00Z.
// Values whose magnitude is below 1e11 are seconds, larger ones nanoseconds;
// 0 means "not set" and gives none.
std::optional<Date> appleDate(std::int64_t value);
// A date as seconds since 2001 (as property lists store it).
Date appleDateFromSeconds(double seconds);

// The error text of a database failure as the readers report it.
std::string describe(sqlite3* db, int rc);

} // namespace kx::sourcedb
