#pragma once
// Made-up coverage for screen tests, pictures and the screens benchmark: an
// owner with `years` of history ending `now`, archived periods between gaps of
// every kind, and a trailing stretch.
#include "core/archive/coverage.h"

#include <chrono>
#include <string>

namespace kx::test {

inline OwnerCoverage sampleCoverage(const std::string& owner, Date now, int years, int gaps) {
    using namespace std::chrono;
    OwnerCoverage c;
    c.owner = owner;
    const Date first = now - hours(24 * 365 * years);
    const Date last = now - hours(24 * 40); // forty quiet days at the end: a trailing gap
    c.firstDate = first;
    c.lastDate = last;
    const auto total = duration_cast<seconds>(last - first);
    const int pieces = gaps > 0 ? gaps : 1;
    const auto slot = total / (pieces + 1);
    Date at = first;
    for (int i = 0; i < gaps; ++i) {
        const Date gapStart = at + slot * 2 / 3;
        const auto length = slot / (3 + i % 4);
        const Date gapEnd = gapStart + length;
        c.periods.push_back({at, gapStart, 50 + i});
        CoverageGap g;
        g.kind = static_cast<CoverageGap::Kind>(i % 4 == 3 ? 0 : i % 4);
        g.owner = owner;
        g.name = "gap " + std::to_string(i + 1);
        g.start = gapStart;
        g.end = gapEnd;
        g.days = duration_cast<hours>(length).count() / 24;
        if (i % 3 == 0) g.detail = "Old MacBook (2019) covers this window but holds no messages in it";
        c.gaps.push_back(g);
        at = gapEnd;
    }
    c.periods.push_back({at, last, 80});
    CoverageGap trailing;
    trailing.kind = CoverageGap::Kind::trailing;
    trailing.owner = owner;
    trailing.name = owner;
    trailing.start = last;
    trailing.end = now;
    trailing.days = 40;
    trailing.detail = "Nothing archived since the last message; is a source missing?";
    c.gaps.push_back(trailing);
    for (const auto& p : c.periods) c.messageCount += p.messageCount;
    return c;
}

} // namespace kx::test
