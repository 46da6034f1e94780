#include "core/evidence/export_time_zone.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace kx {

namespace {

std::time_t seconds(Date d) {
    return std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(d));
}

// "2024-03-01 10:01:00 " (local == true) or "2024-03-01T10:01:00Z"
std::string format(std::time_t t, bool local) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    if (local) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tm);
    else std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string currentZoneName() {
    if (const char* tz = std::getenv("TZ"); tz && *tz) return *tz == ':' ? tz + 1 : tz;
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/etc/localtime", ec);
    if (!ec) {
        const std::string s = target.string();
        const auto pos = s.find("zoneinfo/");
        if (pos != std::string::npos) return s.substr(pos + 9);
    }
    std::ifstream f("/etc/timezone");
    std::string name;
    if (f && std::getline(f, name) && !name.empty()) return name;
    return "local time";
}

} // namespace

std::string ExportTimeZone::formatOffset(int s) {
    const char sign = s < 0 ? '-' : '+';
    const int a = s < 0 ? -s : s;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, a / 3600, (a % 3600) / 60);
    return buf;
}

ExportTimeZone ExportTimeZone::current() {
    ExportTimeZone z;
    z.identifier = currentZoneName();
    z.offsetSeconds = [](Date d) {
        const std::time_t t = seconds(d);
        struct tm tm {};
        localtime_r(&t, &tm);
        return static_cast<int>(tm.tm_gmtoff);
    };
    z.abbreviation = [](Date d) {
        const std::time_t t = seconds(d);
        struct tm tm {};
        localtime_r(&t, &tm);
        return std::string(tm.tm_zone ? tm.tm_zone : "");
    };
    return z;
}

ExportTimeZone ExportTimeZone::fixed(int offset, std::string abbreviation) {
    ExportTimeZone z;
    z.identifier = "UTC" + formatOffset(offset);
    z.offsetSeconds = [offset](Date) { return offset; };
    z.abbreviation = [abbreviation](Date) { return abbreviation; };
    return z;
}

std::string ExportTimeZone::formatLocal(Date d) const {
    const int offset = offsetSeconds ? offsetSeconds(d) : 0;
    return format(seconds(d) + offset, true) + formatOffset(offset);
}

std::string formatUTCSeconds(Date d) { return format(seconds(d), false); }

} // namespace kx
