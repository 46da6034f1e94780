#pragma once
// The household: every archive owner whose archive lives in the shared storage
// (a member), and every machine that archives into each of them.
//
// The household is kept in the configuration directory by HouseholdStore
// (household_store.h, which documents the file format) and is brought up to date
// from two places: this machine's own runs (Household::recordRun) and the run
// reports other machines leave in the archive root (HouseholdStore::merge).
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

// One machine that archives into a member's archive.
struct ContributingMac {
    std::string machineID;               // the machine's identity (MachineIdentity)
    std::string displayName;             // the name shown in the list
    std::optional<Date> lastRunAt;       // when its last finished run ended; none = never
    std::int64_t lastRunNewMessages = 0; // messages its last run added to the archive
    std::int64_t totalMessages = 0;      // messages in the owner's archive after that run
    // The user named this Mac in the list: runs and reports keep that name
    // until the user changes it again.
    bool namedByUser = false;

    // The identity the rename sheet uses to tell rows apart.
    const std::string& id() const { return machineID; }

    // True when the machine never finished a run, or its last run ended more
    // than afterDays * 86400 seconds before now.
    bool isSilent(Date now, int afterDays) const;
    // One line for the list: "Last run today", "Last run 3 days ago",
    // "No run for 9 days", "Has not finished a run yet".
    std::string statusText(Date now, int afterDays) const;

    bool operator==(const ContributingMac&) const = default;
};

class Household {
public:
    // Stored as "host" and "member".
    enum class Role { host, member };

    struct Member {
        std::string owner;       // the archive owner; the member's key
        std::string displayName; // shown on the member's card (the owner text unless renamed)
        Role role = Role::member;
        std::vector<ContributingMac> macs;

        // The most recent lastRunAt of its machines; none when none ever ran.
        std::optional<Date> lastRunAt() const;
        // True when none of its machines ran within afterDays (also when it has none).
        bool isSilent(Date now, int afterDays) const;
        // One line: "Archived today", "Last archived 3 days ago",
        // "Nothing archived for 9 days", "No Mac has reported yet".
        std::string statusText(Date now, int afterDays) const;

        bool operator==(const Member&) const = default;
    };

    Household() = default;
    explicit Household(std::string householdName) : name(std::move(householdName)) {}

    std::string name = "Your Macs";
    std::vector<Member> members; // in the order shown

    // Owners removed from the list by unlink, each with the most recent run
    // date the removed member had. A later report or run for that owner brings
    // the member back only when it is newer than this date, so a removed row
    // does not reappear from the same old report it was built from.
    std::vector<std::pair<std::string, std::optional<Date>>> unlinked;

    // Records a finished run of one machine for one owner: adds the member
    // (role member, display name = owner) and the machine when missing, sets the
    // machine's name (when machineName is not empty and the user gave it
    // none), its last run date and its
    // message count. `messages` is the number of messages the run added.
    // An empty owner or machine id records nothing.
    void recordRun(const std::string& owner, const std::string& machineID, const std::string& machineName, Date at,
                   std::int64_t messages);

    // The first member whose role is host, if any.
    Member* host();
    const Member* host() const;
    // Makes the member with this owner the host (and every other member a
    // member). False, and nothing changes, when there is no such member.
    bool makeHost(const std::string& owner);

    Member* member(const std::string& owner);
    const Member* member(const std::string& owner) const;

    // The name the user gives a Mac, on every row of it; it wins over the
    // names runs and reports bring. False when no row lists the machine.
    bool renameMac(const std::string& machineID, const std::string& name);
    // The name the user gave this machine, if they gave one.
    std::optional<std::string> userNameOf(const std::string& machineID) const;

    // Removes the member's row (nothing else: archives are never touched).
    // False when no member has this owner.
    bool unlink(const std::string& owner);

    // True when any member is silent.
    bool needsAttention(Date now, int afterDays) const;
    // One line summing up the household: "No Macs are reporting yet.",
    // "All 3 archives were updated in the last 7 days.",
    // "1 of 3 archives has not been updated in the last 7 days."
    std::string summary(Date now, int afterDays) const;

    bool operator==(const Household&) const = default;
};

std::string toString(Household::Role role);
std::optional<Household::Role> householdRoleFromString(const std::string& text);

} // namespace kx
