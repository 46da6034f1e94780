#pragma once
// The household file in the configuration directory.
//
// File: "household.json" in the configuration directory, written atomically,
// mode 0600. Format (UTF-8 JSON object):
//   {
//     "version": 1,
//     "name": "Your Macs",
//     "members": [
//       { "owner": "jorin", "displayName": "jorin", "role": "host",
//         "macs": [ { "machineID": "8C2E...", "displayName": "Jorin's laptop",
//                     "lastRunAt": "2026-12-09T04:30:00.000Z",   (optional)
//                     "lastRunNewMessages": 12, "totalMessages": 54021,
//                     "namedByUser": true (optional: the user gave the name) } ] } ],
//     "unlinked": [ { "owner": "sam", "lastRunAt": "..." (optional) } ]
//   }
// "role" is "host" or "member". Unknown keys are ignored. A file that is not
// such an object (bad JSON, wrong types, an unknown role, a bad date, two
// members with the same owner, a "version" above 1, which a newer Kelvara
// wrote and this one could not write back whole) is damaged: load reports it and the file is never
// written over while that problem stands.
#include "core/household/household.h"
#include "core/household/machine_report.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kx {

struct HouseholdLoad {
    enum class Outcome { loaded, problem, noFile };
    Outcome outcome = Outcome::noFile;
    Household household; // valid when loaded
    std::string problem; // a sentence fragment when the file could not be read
};

class HouseholdStore {
public:
    static constexpr const char* kFileName = "household.json";

    // configDir + "household.json".
    static std::string path(const std::string& configDir);

    // Loaded household | problem text (the file exists but could not be read or
    // is damaged) | no file. Never throws.
    static HouseholdLoad load(const std::string& configDir);

    // Writes the household atomically (creating configDir, 0700, when missing).
    // With blocked true nothing is written and false is returned: the file on
    // disk failed to load and must not be overwritten. Throws kx::Error when the
    // write fails; the previous file is then unchanged.
    static bool save(const Household& household, const std::string& configDir, bool blocked);

    // The run reports the machines left in the archive root (see
    // machine_report.h). Bad files are skipped, each with a reason. Never throws.
    static MachineReportScan machineReports(const std::string& destinationRoot);
    static MachineReportScan machineReports(const std::string& destinationRoot, Date now);

    // Folds the reports into the household in place and returns the number of
    // changes (0 = nothing changed, nothing needs saving).
    //  - A report for an owner with no member adds the member (role member,
    //    display name = owner), unless that owner was unlinked and the report
    //    is not newer than the unlink record.
    //  - A machine not yet listed under the member is added; its name is the
    //    map's name for its id, else the report's machine name, else "Unnamed Mac".
    //  - A listed machine takes the report's run date and counts (a report
    //    without a new-message count gives 0) when the report
    //    is newer than what is stored (an older report never rolls it back).
    //  - Every listed machine whose id is in displayNames takes that name,
    //    unless the user named it (a name the user gave wins on every row).
    // Reports are applied in run-date order, so the newest wins.
    static int merge(const std::vector<MachineReport>& reports, Household& household,
                     const std::map<std::string, std::string>& displayNames);

    // Household <-> JSON text (the format above); parse throws kx::Error.
    static std::string toJson(const Household& household);
    static Household parseJson(const std::string& bytes);
};

} // namespace kx
