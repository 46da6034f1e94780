#pragma once
// The run report a machine leaves in the shared archive root, so that every Mac of
// a household can see every other's last run.
//
// File: <root>/<machineID>.machine-run.json, written atomically after each run that
// had a machine identity. JSON object, keys in this order:
//   "formatVersion"  1
//   "machineID"      text (letters, digits, "-", "_", "." only; not starting with ".")
//   "computerName"   text, the machine's own name, "" when unknown
//   "runAt"          ISO 8601 UTC, when the run started
//   "succeeded"      bool
//   "messageCount"   integer, unique messages in the stores the run touched
//   "owners"         array of {"owner": text, "messageCount": integer}
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct MachineRunReport {
    struct OwnerCount {
        std::string owner;
        int64_t messageCount = 0;
        bool operator==(const OwnerCount&) const = default;
    };
    std::string machineID;
    std::string computerName;
    Date runAt{};
    bool succeeded = true;
    int64_t messageCount = 0;
    std::vector<OwnerCount> owners;

    bool operator==(const MachineRunReport&) const = default;

    std::string toJson() const;
    // None when the text is not such a report.
    static std::optional<MachineRunReport> fromJson(const std::string& text);

    // Writes "<root>/<machineID>.machine-run.json" (ArchiveLayout::machineReport)
    // atomically; throws kx::Error, also for an identity that cannot name a file.
    void write(const std::string& root) const;
    // Every readable report in the root (unreadable files are skipped), by machine id.
    static std::vector<MachineRunReport> readAll(const std::string& root);
};

} // namespace kx
