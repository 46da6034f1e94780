#include "core/archive/source_db.h"

#include "core/platform/error.h"

#include <chrono>
#include <cmath>

namespace kx::sourcedb {

namespace {
constexpr std::int64_t kUnixSecondsAt2001 = 978307200;

std::string quoteIdentifier(const std::string& name) {
    std::string q = "\"";
    for (char c : name) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}
} // namespace

std::string describe(sqlite3* db, int rc) {
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int primary = rc & 0xff;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) return "the database is damaged (" + msg + ")";
    return msg;
}

TableColumns::TableColumns(sqlite3* db, const std::string& table) {
    Statement st(db, "PRAGMA table_info(" + quoteIdentifier(table) + ")");
    while (st.step())
        if (auto name = st.text(1)) columns_.insert(*name);
}

std::string TableColumns::orNull(const std::string& alias, const std::string& column) const {
    if (!has(column)) return "NULL";
    return alias.empty() ? quoteIdentifier(column) : alias + "." + quoteIdentifier(column);
}

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = describe(db, rc);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throw Error(why);
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    if ((rc & 0xff) == SQLITE_TOOBIG) throw ValueTooLarge(describe(db_, rc));
    throw Error(describe(db_, rc));
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
void Statement::bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

bool Statement::isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
std::int64_t Statement::integer(int col) const { return sqlite3_column_int64(stmt_, col); }

std::optional<std::string> Statement::text(int col) const {
    if (auto v = textView(col)) return std::string(*v);
    return std::nullopt;
}

std::optional<std::string_view> Statement::textView(int col) const {
    if (isNull(col)) return std::nullopt;
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
}

std::string_view Statement::blob(int col) const {
    if (isNull(col)) return {};
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
}

bool hasTable(sqlite3* db, const std::string& table) {
    Statement st(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    st.bind(1, table);
    return st.step();
}

std::optional<std::int64_t> scalar(sqlite3* db, const std::string& sql) {
    Statement st(db, sql);
    if (!st.step() || st.isNull(0)) return std::nullopt;
    return st.integer(0);
}

std::optional<Date> appleDate(std::int64_t value) {
    if (value == 0) return std::nullopt;
    using namespace std::chrono;
    const auto base = system_clock::time_point(seconds(kUnixSecondsAt2001));
    if (value > -100000000000LL && value < 100000000000LL) return base + seconds(value);
    return base + duration_cast<system_clock::duration>(nanoseconds(value));
}

Date appleDateFromSeconds(double s) {
    using namespace std::chrono;
    const auto base = system_clock::time_point(seconds(kUnixSecondsAt2001));
    if (!std::isfinite(s) || std::fabs(s) > 1e13) return base;
    return base + duration_cast<system_clock::duration>(duration<double>(s));
}

} // namespace kx::sourcedb
