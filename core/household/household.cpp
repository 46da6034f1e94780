#include "core/household/household.h"

#include <algorithm>

namespace kx {

namespace {

using std::chrono::duration_cast;
using std::chrono::seconds;

constexpr long long kDay = 86400;

// Dates are kept to the millisecond, as the household file stores them.
Date toMillis(Date d) { return std::chrono::time_point_cast<std::chrono::milliseconds>(d); }

long long secondsBetween(Date earlier, Date later) { return duration_cast<seconds>(later - earlier).count(); }

bool silentSince(const std::optional<Date>& last, Date now, int afterDays) {
    if (!last) return true;
    return secondsBetween(*last, now) > static_cast<long long>(afterDays) * kDay;
}

// Whole days from a date to now; a date ahead of now (another machine's clock)
// counts as today.
long long daysAgo(Date last, Date now) {
    const long long s = secondsBetween(last, now);
    return s <= 0 ? 0 : s / kDay;
}

std::string daysText(long long days) { return days == 1 ? "1 day" : std::to_string(days) + " days"; }

std::string agoText(long long days) {
    if (days == 0) return "today";
    if (days == 1) return "yesterday";
    return std::to_string(days) + " days ago";
}

} // namespace

bool ContributingMac::isSilent(Date now, int afterDays) const { return silentSince(lastRunAt, now, afterDays); }

std::string ContributingMac::statusText(Date now, int afterDays) const {
    if (!lastRunAt) return "Has not finished a run yet";
    const long long days = daysAgo(*lastRunAt, now);
    if (isSilent(now, afterDays)) return "No run for " + daysText(days);
    return "Last run " + agoText(days);
}

std::optional<Date> Household::Member::lastRunAt() const {
    std::optional<Date> latest;
    for (const auto& mac : macs)
        if (mac.lastRunAt && (!latest || *mac.lastRunAt > *latest)) latest = mac.lastRunAt;
    return latest;
}

bool Household::Member::isSilent(Date now, int afterDays) const { return silentSince(lastRunAt(), now, afterDays); }

std::string Household::Member::statusText(Date now, int afterDays) const {
    const auto last = lastRunAt();
    if (!last) return macs.empty() ? "No Mac has reported yet" : "Nothing archived yet";
    const long long days = daysAgo(*last, now);
    if (isSilent(now, afterDays)) return "Nothing archived for " + daysText(days);
    if (days == 0) return "Archived today";
    return "Last archived " + agoText(days);
}

void Household::recordRun(const std::string& owner, const std::string& machineID, const std::string& machineName,
                          Date at, std::int64_t messages) {
    if (owner.empty() || machineID.empty()) return; // nothing to record it under
    at = toMillis(at);
    Member* m = member(owner);
    if (!m) {
        Member fresh;
        fresh.owner = owner;
        fresh.displayName = owner;
        members.push_back(std::move(fresh));
        m = &members.back();
    }
    // A run of this owner ends an earlier removal from the list.
    std::erase_if(unlinked, [&](const auto& u) { return u.first == owner; });

    auto it = std::find_if(m->macs.begin(), m->macs.end(),
                           [&](const ContributingMac& c) { return c.machineID == machineID; });
    if (it == m->macs.end()) {
        ContributingMac mac;
        mac.machineID = machineID;
        mac.displayName = machineName.empty() ? std::string("Unnamed Mac") : machineName;
        if (auto given = userNameOf(machineID)) {
            mac.displayName = *given;
            mac.namedByUser = true;
        }
        m->macs.push_back(std::move(mac));
        it = std::prev(m->macs.end());
    } else if (!machineName.empty() && !it->namedByUser) {
        it->displayName = machineName;
    }
    it->lastRunAt = at;
    it->lastRunNewMessages = messages < 0 ? 0 : messages;
}

bool Household::renameMac(const std::string& machineID, const std::string& name) {
    bool found = false;
    for (auto& m : members)
        for (auto& mac : m.macs)
            if (mac.machineID == machineID) {
                mac.displayName = name;
                mac.namedByUser = true;
                found = true;
            }
    return found;
}

std::optional<std::string> Household::userNameOf(const std::string& machineID) const {
    for (const auto& m : members)
        for (const auto& mac : m.macs)
            if (mac.machineID == machineID && mac.namedByUser) return mac.displayName;
    return std::nullopt;
}

Household::Member* Household::host() {
    for (auto& m : members)
        if (m.role == Role::host) return &m;
    return nullptr;
}

const Household::Member* Household::host() const { return const_cast<Household*>(this)->host(); }

bool Household::makeHost(const std::string& owner) {
    if (!member(owner)) return false;
    for (auto& m : members) m.role = m.owner == owner ? Role::host : Role::member;
    return true;
}

Household::Member* Household::member(const std::string& owner) {
    for (auto& m : members)
        if (m.owner == owner) return &m;
    return nullptr;
}

const Household::Member* Household::member(const std::string& owner) const {
    return const_cast<Household*>(this)->member(owner);
}

bool Household::unlink(const std::string& owner) {
    auto it = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.owner == owner; });
    if (it == members.end()) return false;
    const auto last = it->lastRunAt();
    members.erase(it);
    std::erase_if(unlinked, [&](const auto& u) { return u.first == owner; });
    unlinked.emplace_back(owner, last);
    return true;
}

bool Household::needsAttention(Date now, int afterDays) const {
    return std::any_of(members.begin(), members.end(), [&](const Member& m) { return m.isSilent(now, afterDays); });
}

std::string Household::summary(Date now, int afterDays) const {
    if (members.empty()) return "No Macs are reporting yet.";
    const auto silent = std::count_if(members.begin(), members.end(),
                                      [&](const Member& m) { return m.isSilent(now, afterDays); });
    const auto total = static_cast<long long>(members.size());
    const std::string period = "in the last " + daysText(afterDays) + ".";
    if (silent == 0) {
        if (total == 1) return "The archive was updated " + period;
        return "All " + std::to_string(total) + " archives were updated " + period;
    }
    if (total == 1) return "The archive has not been updated " + period;
    if (silent == total) return "None of the " + std::to_string(total) + " archives has been updated " + period;
    return std::to_string(silent) + " of " + std::to_string(total) +
           (silent == 1 ? " archives has" : " archives have") + " not been updated " + period;
}

std::string toString(Household::Role role) { return role == Household::Role::host ? "host" : "member"; }

std::optional<Household::Role> householdRoleFromString(const std::string& text) {
    if (text == "host") return Household::Role::host;
    if (text == "member") return Household::Role::member;
    return std::nullopt;
}

} // namespace kx
