#include "core/platform/time.h"

#include <cstdio>
#include <ctime>

namespace kx {

std::string formatISO8601(Date date) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(date.time_since_epoch()).count();
    long long secs = ms / 1000;
    long long frac = ms % 1000;
    if (frac < 0) {
        frac += 1000;
        secs -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&t, &tm);
    // Room for any year an int holds, so nothing is ever cut off.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
    return buf;
}

std::optional<Date> parseISO8601(const std::string& text) {
    int y, mo, d, h, mi;
    double s;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6)
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s < 0 || s >= 61) return std::nullopt;
    const std::string rest = text.substr(static_cast<size_t>(consumed));
    long offsetSeconds = 0;
    if (rest == "Z") {
        offsetSeconds = 0;
    } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':') {
        int oh, om;
        if (std::sscanf(rest.c_str() + 1, "%2d:%2d", &oh, &om) != 2) return std::nullopt;
        offsetSeconds = (oh * 3600L + om * 60L) * (rest[0] == '+' ? 1 : -1);
    } else {
        return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = 0;
    const std::time_t base = timegm(&tm);
    using namespace std::chrono;
    const auto ms = static_cast<long long>(base - offsetSeconds) * 1000 + static_cast<long long>(s * 1000.0 + 0.5);
    return Date(milliseconds(ms));
}

double toUnixSeconds(Date date) {
    using namespace std::chrono;
    return duration_cast<duration<double>>(date.time_since_epoch()).count();
}

Date fromUnixSeconds(double seconds) {
    using namespace std::chrono;
    return Date(duration_cast<system_clock::duration>(duration<double>(seconds)));
}

} // namespace kx
