#pragma once
// Coverage of each owner's archive over time: when it has messages and where the
// gaps are. Produced by the coverage analysis; drawn by the coverage screen.
#include "core/archive/coverage_report.h"
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

// A stretch of time in which the owner's archive holds real activity.
struct CoveredPeriod {
    Date start{};
    Date end{};
    int64_t messageCount = 0;
    bool operator==(const CoveredPeriod&) const = default;
};

struct OwnerCoverage {
    std::string owner;
    std::optional<Date> firstDate;
    std::optional<Date> lastDate;
    int64_t messageCount = 0;
    std::vector<CoveredPeriod> periods;
    std::vector<CoverageGap> gaps;
    bool operator==(const OwnerCoverage&) const = default;
};

} // namespace kx
