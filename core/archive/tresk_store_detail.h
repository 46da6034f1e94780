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
