#include "core/backup/archive_locations.h"

namespace kx {

bool ArchiveLocations::Location::isCurrent(Date now, int within) const {
    if (!lastVerified) return false;
    return now - *lastVerified <= std::chrono::hours(24) * within;
}

bool ArchiveLocations::needsAttention(Date now, int within) const {
    bool currentIndependent = false;
    for (const auto& l : locations) {
        if (!l.enabled) continue;
        if (l.isUnproven() || !l.isCurrent(now, within)) return true;
        if (l.placeClass == PlaceClass::independentBackup) currentIndependent = true;
    }
    return !currentIndependent;
}

namespace {
std::string count(size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}
} // namespace

std::string ArchiveLocations::summary(Date now, int within) const {
    size_t independent = 0, synced = 0, same = 0, unproven = 0, stale = 0, currentIndependent = 0;
    for (const auto& l : locations) {
        if (!l.enabled) continue;
        // A place that never proved it holds a copy is no place the archive exists in.
        if (l.isUnproven()) {
            ++unproven;
            continue;
        }
        switch (l.placeClass) {
        case PlaceClass::independentBackup: ++independent; break;
        case PlaceClass::syncedCopy: ++synced; break;
        case PlaceClass::sameMachine: ++same; break;
        }
        if (!l.isCurrent(now, within)) ++stale;
        else if (l.placeClass == PlaceClass::independentBackup) ++currentIndependent;
    }
    const std::string empty = unproven
                                  ? " " + count(unproven, "destination holds", "destinations hold") + " no copy yet."
                                  : std::string();
    size_t places = 1 + independent + synced + same;
    if (places == 1 && unproven)
        return "Your archive exists only on this computer." + empty +
               " Run a backup so losing this computer does "
               "not lose the archive.";
    if (places == 1)
        return "Your archive exists only on this computer. Add a backup destination so losing this computer does not "
               "lose it.";
    std::vector<std::string> parts;
    if (independent) parts.push_back(count(independent, "independent backup", "independent backups"));
    if (synced) parts.push_back(count(synced, "synced copy", "synced copies"));
    if (same) parts.push_back(count(same, "drive beside this computer", "drives beside this computer"));
    std::string list = "this computer";
    for (size_t i = 0; i < parts.size(); ++i) list += (i + 1 == parts.size() ? " and " : ", ") + parts[i];
    std::string text = "Your archive exists in " + std::to_string(places) + " places: " + list + ".";
    if (unproven == 0 && stale == 0 && currentIndependent > 0) return text + " All are current.";
    text += empty;
    if (stale) text += " " + count(stale, "copy is", "copies are") + " out of date.";
    if (currentIndependent == 0) text += " No independent backup is current.";
    return text;
}

} // namespace kx
