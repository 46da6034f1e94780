#pragma once
// The time zone an export writes local times in.
#include "core/platform/time.h"

#include <functional>
#include <string>

namespace kx {

struct ExportTimeZone {
    // What the export names the zone by ("Europe/Berlin", "UTC+02:00").
    std::string identifier;
    // Offset from UTC in seconds at a moment, and the zone's abbreviation then ("CET").
    std::function<int(Date)> offsetSeconds;
    std::function<std::string(Date)> abbreviation;

    // This process's time zone (TZ, else /etc/localtime), daylight saving included.
    static ExportTimeZone current();
    // A zone with one offset all year.
    static ExportTimeZone fixed(int offsetSeconds, std::string abbreviation);

    // "2024-03-01 10:01:00 +01:00"
    std::string formatLocal(Date d) const;
    // "+01:00"
    static std::string formatOffset(int seconds);
};

// "2024-03-01T09:01:00Z" (whole seconds, UTC)
std::string formatUTCSeconds(Date d);

} // namespace kx
