#include "core/archive/duplicate_source_analyzer.h"

#include <algorithm>
#include <map>
#include <set>

namespace kx {

namespace {

std::string messages(int64_t n) { return std::to_string(n) + (n == 1 ? " message" : " messages"); }

} // namespace

std::vector<DuplicateSourceAnalyzer::Finding> DuplicateSourceAnalyzer::analyze(
    const std::vector<TreskStore::SourceContent>& contents, const std::vector<TreskStore::SourceOverlap>& overlaps) {
    // Message counts by source; a source id listed twice keeps its first count.
    std::map<std::string, int64_t> count;
    for (const auto& c : contents) count.emplace(c.sourceId, c.messageCount);

    // Shared counts in both directions; a pair listed twice keeps its first count.
    std::map<std::string, std::map<std::string, int64_t>> shared;
    for (const auto& o : overlaps) {
        if (o.first == o.second || o.shared <= 0) continue;
        shared[o.first].emplace(o.second, o.shared);
        shared[o.second].emplace(o.first, o.shared);
    }

    std::vector<Finding> out;
    for (const auto& [id, n] : count) {
        if (n <= 0) continue;
        auto row = shared.find(id);
        if (row == shared.end()) continue;
        std::optional<std::string> identicalTo, containedIn;
        int64_t containerSize = 0;
        for (const auto& [other, both] : row->second) {
            auto oc = count.find(other);
            if (oc == count.end() || both != n) continue; // not every message of `id` is in `other`
            if (oc->second == n) {
                if (!identicalTo || other < *identicalTo) identicalTo = other;
            } else if (oc->second > n) {
                if (!containedIn || oc->second > containerSize ||
                    (oc->second == containerSize && other < *containedIn)) {
                    containedIn = other;
                    containerSize = oc->second;
                }
            }
        }
        if (identicalTo) {
            out.push_back({id, "identical", *identicalTo,
                           "Both hold the same " + messages(n) +
                               ", message for message. Either one alone keeps "
                               "everything the other holds."});
        } else if (containedIn) {
            out.push_back({id, "redundant", *containedIn,
                           "Every one of its " + messages(n) + " is also in \"" + *containedIn + "\", which holds " +
                               messages(containerSize) + "."});
        }
    }
    return out;
}

std::vector<std::vector<std::string>> DuplicateSourceAnalyzer::identicalGroups(const std::vector<Finding>& findings) {
    std::map<std::string, std::string> parent;
    auto find = [&](std::string x) {
        while (parent.at(x) != x) x = parent.at(x) = parent.at(parent.at(x));
        return x;
    };
    for (const auto& f : findings) {
        if (f.kind != "identical" || f.sourceId == f.otherSourceId) continue;
        parent.emplace(f.sourceId, f.sourceId);
        parent.emplace(f.otherSourceId, f.otherSourceId);
        const auto a = find(f.sourceId), b = find(f.otherSourceId);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    std::map<std::string, std::vector<std::string>> groups;
    for (const auto& [id, _] : parent) groups[find(id)].push_back(id);
    std::vector<std::vector<std::string>> out;
    for (auto& [_, g] : groups) {
        if (g.size() < 2) continue;
        std::sort(g.begin(), g.end());
        out.push_back(std::move(g));
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace kx
