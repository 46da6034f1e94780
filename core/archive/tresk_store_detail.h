#pragma once
// Helpers shared by the archive store's reading, writing and analysis code.
#include "core/platform/error.h"
#include "core/platform/time.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace kx::store_detail {

// Dates are stored as nanoseconds since the Unix epoch.
int64_t toNanos(Date d);
Date fromNanos(int64_t n);
std::optional<Date> optDate(const SQLite::Column& c);

// "Real" messages: dated, not reactions, with text that is not only blanks or
// with an attachment. Junk rows (empty messages sharing one date) fail this.
inline constexpr const char* kRealMessage =
    "m.date IS NOT NULL AND m.is_reaction = 0 AND "
    "((m.text IS NOT NULL AND length(trim(m.text, ' ' || char(9, 10, 13, 65532))) > 0) OR "
    "EXISTS (SELECT 1 FROM message_attachments ma WHERE ma.message_id = m.id))";
// The same text test: something besides spaces, tabs, line ends and U+FFFC.
bool hasVisibleText(const std::optional<std::string>& text);
inline constexpr int64_t kNanosPerDay = 86400LL * 1000000000LL;
// The day of a date in nanoseconds, rounded down also before 1970.
inline int64_t dayOf(int64_t nanos) {
    return (nanos - ((nanos % kNanosPerDay) + kNanosPerDay) % kNanosPerDay) / kNanosPerDay;
}

// The real messages of each day and of each source, kept by the writer beside
// the messages (activity_days, source_activity): they hold what the messages
// say while meta "activityUpTo" names the newest record.
inline constexpr const char* kActivityMark = "activityUpTo";
// The number of messages, kept in meta by the writer as it adds them.
inline constexpr const char* kMessageTotalKey = "messageTotal";
bool activityCurrent(SQLite::Database& db);

// "the archive <path> could not be read (<reason>)".
std::string storeError(const std::string& path, const std::exception& e);

// Runs a read and turns any SQLite failure into a kx::Error naming the store.
template <typename F>
auto guarded(const std::string& path, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(storeError(path, e));
    }
}

} // namespace kx::store_detail
