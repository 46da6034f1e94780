#pragma once
// Dates in the core are system_clock time points. Files store them as ISO 8601
// texts in UTC with millisecond precision ("2026-12-09T04:30:00.123Z").
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace kx {

using Date = std::chrono::system_clock::time_point;

std::string formatISO8601(Date date);
// Accepts "YYYY-MM-DDTHH:MM:SS[.fff]Z" and "+HH:MM"/"-HH:MM" offsets; nothing otherwise.
std::optional<Date> parseISO8601(const std::string& text);

// Seconds since the Unix epoch as a floating-point number (and back).
double toUnixSeconds(Date date);
Date fromUnixSeconds(double seconds);

// A source of the current time. Production code takes one so tests can fix it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

class SystemClock final : public Clock {
public:
    Date now() const override { return std::chrono::system_clock::now(); }
};

// A clock as a plain function, for calls that take "now" as a generator.
using NowFunction = std::function<Date()>;

} // namespace kx
