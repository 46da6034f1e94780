#include "core/household/household_store.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

namespace kx {

namespace {

using ojson = nlohmann::ordered_json;

std::string textField(const nlohmann::json& obj, const char* key, const std::string& where, bool required,
                      const std::string& fallback = {}) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) {
        if (required) throw Error(where + " has no \"" + key + "\"");
        return fallback;
    }
    if (!it->is_string()) throw Error(where + "'s \"" + key + "\" is not text");
    return it->get<std::string>();
}

std::optional<Date> dateField(const nlohmann::json& obj, const char* key, const std::string& where) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) throw Error(where + "'s \"" + key + "\" is not a date");
    auto d = parseISO8601(it->get<std::string>());
    if (!d) throw Error(where + "'s \"" + key + "\" is not a valid date");
    return d;
}

std::int64_t countField(const nlohmann::json& obj, const char* key, const std::string& where) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return 0;
    if (!it->is_number_integer() || it->get<std::int64_t>() < 0)
        throw Error(where + "'s \"" + key + "\" is not a count");
    return it->get<std::int64_t>();
}

const nlohmann::json& arrayField(const nlohmann::json& obj, const char* key, const std::string& where) {
    static const nlohmann::json empty = nlohmann::json::array();
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return empty;
    if (!it->is_array()) throw Error(where + "'s \"" + key + "\" is not a list");
    return *it;
}

} // namespace

std::string HouseholdStore::path(const std::string& configDir) { return fs::appendComponent(configDir, kFileName); }

std::string HouseholdStore::toJson(const Household& h) {
    ojson j;
    j["version"] = 1;
    j["name"] = h.name;
    ojson members = ojson::array();
    for (const auto& m : h.members) {
        ojson mj;
        mj["owner"] = m.owner;
        mj["displayName"] = m.displayName;
        mj["role"] = toString(m.role);
        ojson macs = ojson::array();
        for (const auto& mac : m.macs) {
            ojson c;
            c["machineID"] = mac.machineID;
            c["displayName"] = mac.displayName;
            if (mac.lastRunAt) c["lastRunAt"] = formatISO8601(*mac.lastRunAt);
            c["lastRunNewMessages"] = mac.lastRunNewMessages;
            c["totalMessages"] = mac.totalMessages;
            if (mac.namedByUser) c["namedByUser"] = true;
            macs.push_back(std::move(c));
        }
        mj["macs"] = std::move(macs);
        members.push_back(std::move(mj));
    }
    j["members"] = std::move(members);
    ojson unlinked = ojson::array();
    for (const auto& [owner, last] : h.unlinked) {
        ojson u;
        u["owner"] = owner;
        if (last) u["lastRunAt"] = formatISO8601(*last);
        unlinked.push_back(std::move(u));
    }
    j["unlinked"] = std::move(unlinked);
    return j.dump(2) + "\n";
}

Household HouseholdStore::parseJson(const std::string& bytes) {
    const nlohmann::json j = parseVersionedObject(bytes, "the file does not hold a household");
    Household h;
    h.name = textField(j, "name", "the household", false, "Your Macs");
    std::set<std::string> owners;
    std::size_t index = 0;
    for (const auto& mj : arrayField(j, "members", "the household")) {
        const std::string where = "member " + std::to_string(++index);
        if (!mj.is_object()) throw Error(where + " is not an object");
        Household::Member m;
        m.owner = textField(mj, "owner", where, true);
        if (m.owner.empty()) throw Error(where + " has an empty owner");
        if (!owners.insert(m.owner).second) throw Error("the owner \"" + m.owner + "\" is listed twice");
        m.displayName = textField(mj, "displayName", where, false, m.owner);
        const std::string role = textField(mj, "role", where, false, "member");
        auto r = householdRoleFromString(role);
        if (!r) throw Error(where + " has the unknown role \"" + role + "\"");
        m.role = *r;
        std::size_t macIndex = 0;
        for (const auto& cj : arrayField(mj, "macs", where)) {
            const std::string macWhere = where + ", Mac " + std::to_string(++macIndex);
            if (!cj.is_object()) throw Error(macWhere + " is not an object");
            ContributingMac mac;
            mac.machineID = textField(cj, "machineID", macWhere, true);
            mac.displayName = textField(cj, "displayName", macWhere, false);
            mac.lastRunAt = dateField(cj, "lastRunAt", macWhere);
            mac.lastRunNewMessages = countField(cj, "lastRunNewMessages", macWhere);
            mac.totalMessages = countField(cj, "totalMessages", macWhere);
            if (const auto n = cj.find("namedByUser"); n != cj.end()) {
                if (!n->is_boolean()) throw Error(macWhere + " has a \"namedByUser\" that is not true or false");
                mac.namedByUser = n->get<bool>();
            }
            m.macs.push_back(std::move(mac));
        }
        h.members.push_back(std::move(m));
    }
    index = 0;
    for (const auto& uj : arrayField(j, "unlinked", "the household")) {
        const std::string where = "removed entry " + std::to_string(++index);
        if (!uj.is_object()) throw Error(where + " is not an object");
        h.unlinked.emplace_back(textField(uj, "owner", where, true), dateField(uj, "lastRunAt", where));
    }
    return h;
}

HouseholdLoad HouseholdStore::load(const std::string& configDir) {
    HouseholdLoad out;
    std::optional<std::string> bytes;
    try {
        bytes = fs::readFileIfExists(path(configDir));
    } catch (const Error& e) {
        out.outcome = HouseholdLoad::Outcome::problem;
        out.problem = e.what();
        return out;
    }
    if (!bytes) return out;
    try {
        out.household = parseJson(*bytes);
        out.outcome = HouseholdLoad::Outcome::loaded;
    } catch (const Error& e) {
        out.outcome = HouseholdLoad::Outcome::problem;
        out.problem = e.what();
    }
    return out;
}

bool HouseholdStore::save(const Household& household, const std::string& configDir, bool blocked) {
    if (blocked) return false;
    fs::createPrivateDirectories(configDir);
    fs::writeFileAtomic(path(configDir), toJson(household));
    return true;
}

MachineReportScan HouseholdStore::machineReports(const std::string& destinationRoot) {
    return readMachineReports(destinationRoot, std::chrono::system_clock::now());
}

MachineReportScan HouseholdStore::machineReports(const std::string& destinationRoot, Date now) {
    return readMachineReports(destinationRoot, now);
}

int HouseholdStore::merge(const std::vector<MachineReport>& reports, Household& household,
                          const std::map<std::string, std::string>& displayNames) {
    int changes = 0;
    std::vector<const MachineReport*> ordered;
    ordered.reserve(reports.size());
    for (const auto& r : reports) ordered.push_back(&r);
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) { return a->runAt < b->runAt; });

    for (const MachineReport* r : ordered) {
        if (r->owner.empty() || r->machineID.empty()) continue;
        Household::Member* m = household.member(r->owner);
        if (!m) {
            auto u = std::find_if(household.unlinked.begin(), household.unlinked.end(),
                                  [&](const auto& e) { return e.first == r->owner; });
            if (u != household.unlinked.end()) {
                if (u->second && r->runAt <= *u->second) continue; // the report the row was removed with
                household.unlinked.erase(u);
            }
            Household::Member fresh;
            fresh.owner = r->owner;
            fresh.displayName = r->owner;
            household.members.push_back(std::move(fresh));
            m = &household.members.back();
            ++changes;
        }
        auto it = std::find_if(m->macs.begin(), m->macs.end(),
                               [&](const ContributingMac& c) { return c.machineID == r->machineID; });
        if (it == m->macs.end()) {
            ContributingMac mac;
            mac.machineID = r->machineID;
            auto named = displayNames.find(r->machineID);
            mac.displayName = named != displayNames.end() && !named->second.empty() ? named->second
                              : !r->machineName.empty()                             ? r->machineName
                                                                                    : std::string("Unnamed Mac");
            if (auto given = household.userNameOf(r->machineID)) {
                mac.displayName = *given;
                mac.namedByUser = true;
            }
            mac.lastRunAt = r->runAt;
            mac.lastRunNewMessages = r->newMessages.value_or(0);
            mac.totalMessages = r->totalMessages;
            m->macs.push_back(std::move(mac));
            ++changes;
            continue;
        }
        if (!it->lastRunAt || r->runAt > *it->lastRunAt) {
            it->lastRunAt = r->runAt;
            it->lastRunNewMessages = r->newMessages.value_or(0);
            it->totalMessages = r->totalMessages;
            ++changes;
        }
    }

    for (auto& m : household.members)
        for (auto& mac : m.macs) {
            auto named = displayNames.find(mac.machineID);
            if (!mac.namedByUser && named != displayNames.end() && !named->second.empty() &&
                named->second != mac.displayName) {
                mac.displayName = named->second;
                ++changes;
            }
        }
    return changes;
}

} // namespace kx
