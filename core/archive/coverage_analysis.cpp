// Coverage: what each owner's archive really holds over time.
//
// Everything here is computed from the messages in the archive, never from what
// a source claims to hold. The rules, with their thresholds:
//  - Only real messages count as activity: dated, not reactions, with some text
//    or an attachment (TreskStore::activityByDay). Databases hold empty rows by
//    the thousand, often all on one date; they never make a day look active.
//  - Messages dated more than one day after `now` are ignored (a wrong clock on
//    the sending device), so they cannot hide a trailing gap.
//  - Covered periods: runs of active days in which no two neighbouring real
//    messages are kGapDays (14) days or more apart. Each period runs from its
//    first to its last real message.
//  - A gap is the stretch between two periods. Its kind:
//      quiet       a source of the owner has real messages both before and after
//                  the stretch, yet none in it: probably nobody wrote;
//      not scanned otherwise, when a source of the owner has not been read in full
//                  (never scanned, or its last scan failed): it may hold them;
//      missing     otherwise: no registered source holds messages from there.
//  - Trailing: when the newest real message is kTrailingDays (7) days or more
//    before `now`, the stretch from it to `now`.
//  - Days are whole days: the length of the stretch divided by 24 hours, rounded down.
// The owner's message count is every message the archive holds, reactions
// included: the count the run report and every other screen give.
// Owners are taken from the registry in its order; an owner without an archive,
// whose archive cannot be read, or whose folder holds another owner's archive
// ("a/b" and "a_b" share a folder name), is listed with no dates and no gaps.
#include "core/archive/tresk_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/tresk_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <map>
#include <set>

namespace kx {

namespace {

constexpr auto kDay = std::chrono::hours(24);
constexpr int64_t kGapDays = 14;
constexpr int64_t kTrailingDays = 7;

int64_t wholeDays(Date from, Date to) {
    if (to <= from) return 0;
    return std::chrono::duration_cast<std::chrono::hours>(to - from).count() / 24;
}

std::string sourceName(const Source& s) { return "\"" + (s.label && !s.label->empty() ? *s.label : s.id) + "\""; }

bool readInFull(const Source& s) { return s.lastScanned.has_value() && !s.lastError.has_value(); }

struct OwnerInputs {
    std::vector<const Source*> sources;
};

} // namespace

std::vector<OwnerCoverage> TreskEngine::coverage(Date now) const {
    if (root_.empty()) throw Error("no archive folder was given");
    std::vector<std::string> owners;
    std::map<std::string, OwnerInputs> inputs;
    for (const auto& s : registry_.sources()) {
        if (!inputs.count(s.owner)) owners.push_back(s.owner);
        inputs[s.owner].sources.push_back(&s);
    }

    std::vector<OwnerCoverage> out;
    for (const auto& owner : owners) {
        OwnerCoverage cov;
        cov.owner = owner;
        std::vector<TreskStore::DayActivity> days;
        std::vector<TreskStore::SourceSpan> spans;
        try {
            const std::string db = ArchiveLayout(root_).owner(owner).database;
            if (!fs::isRegularFile(db)) {
                out.push_back(std::move(cov));
                continue;
            }
            TreskStore store(db);
            const std::string recorded = store.owner();
            if (!recorded.empty() && recorded != owner) { // another owner's archive in a shared folder name
                out.push_back(std::move(cov));
                continue;
            }
            cov.messageCount = store.messageCount();
            days = store.activityByDay();
            spans = store.sourceSpans();
        } catch (const std::exception&) {
            out.push_back(std::move(cov));
            continue;
        }

        // Periods from the active days, ignoring anything dated in the future.
        const Date latestAllowed = now + kDay;
        for (const auto& d : days) {
            if (d.first > latestAllowed) break;
            const Date last = std::min(d.last, latestAllowed);
            if (!cov.periods.empty() && d.first - cov.periods.back().end < kDay * kGapDays) {
                cov.periods.back().end = last;
                cov.periods.back().messageCount += d.messages;
            } else {
                cov.periods.push_back({d.first, last, d.messages});
            }
        }
        if (cov.periods.empty()) {
            out.push_back(std::move(cov));
            continue;
        }
        cov.firstDate = cov.periods.front().start;
        cov.lastDate = cov.periods.back().end;

        // What the owner's sources tell about a stretch.
        std::map<std::string, const TreskStore::SourceSpan*> spanOf;
        for (const auto& s : spans) spanOf[s.sourceId] = &s;
        const auto& ownerSources = inputs[owner].sources;
        std::vector<const Source*> unread;
        for (const Source* s : ownerSources)
            if (!holdsNoMessages(s->format) && !readInFull(*s)) unread.push_back(s);
        auto unreadText = [&] {
            std::string names;
            for (size_t i = 0; i < unread.size() && i < 3; ++i) names += (i ? ", " : "") + sourceName(*unread[i]);
            if (unread.size() > 3) names += " and " + std::to_string(unread.size() - 3) + " more";
            return names + (unread.size() == 1 ? " has" : " have") + " not been read in full";
        };

        for (size_t i = 1; i < cov.periods.size(); ++i) {
            CoverageGap gap;
            gap.owner = owner;
            gap.name = owner; // what the gap is about; its kind gives its title
            gap.start = cov.periods[i - 1].end;
            gap.end = cov.periods[i].start;
            gap.days = wholeDays(gap.start, gap.end);
            const Source* spanning = nullptr;
            for (const Source* s : ownerSources) {
                auto it = spanOf.find(s->id);
                if (it == spanOf.end() || !it->second->first || !it->second->last) continue;
                if (*it->second->first <= gap.start && *it->second->last >= gap.end) {
                    spanning = s;
                    break;
                }
            }
            if (spanning) {
                gap.kind = CoverageGap::Kind::quiet;
                gap.detail = sourceName(*spanning) + " has messages before and after this stretch but none in it.";
            } else if (!unread.empty()) {
                gap.kind = CoverageGap::Kind::notScanned;
                gap.detail = unreadText() + ", so messages from this stretch may still be there.";
            } else {
                gap.kind = CoverageGap::Kind::missing;
                gap.detail = "No registered source holds messages from this stretch.";
            }
            cov.gaps.push_back(std::move(gap));
        }

        if (now > *cov.lastDate && now - *cov.lastDate >= kDay * kTrailingDays) {
            CoverageGap gap;
            gap.owner = owner;
            gap.name = owner;
            gap.kind = CoverageGap::Kind::trailing;
            gap.start = *cov.lastDate;
            gap.end = now;
            gap.days = wholeDays(gap.start, gap.end);
            std::string detail = "The newest archived message is " + std::to_string(gap.days) +
                                 (gap.days == 1 ? " day" : " days") + " old";
            gap.detail = unread.empty() ? detail + "." : detail + "; " + unreadText() + ".";
            cov.gaps.push_back(std::move(gap));
        }
        out.push_back(std::move(cov));
    }
    return out;
}

} // namespace kx
