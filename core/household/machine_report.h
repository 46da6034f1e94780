#pragma once
// Machine run reports: the small file each machine leaves in the archive root
// after a finished archive run, so that every machine sharing the storage can
// list who archives into it and when they last did.
//
// Location: the archive root itself, one file per machine, named
//   "machine-" + machineID + ".json"
// (machineID as MachineIdentity makes it: 1 to 64 characters of A-Z, a-z, 0-9
// and "-"). A later run of the same machine replaces its file.
//
// Format (UTF-8 JSON object, written atomically, mode 0644 so that the other
// machines of the household can read it on shared storage):
//   {
//     "kind": "kelvara.machine-run-report",   required, exactly this text
//     "version": 1,                            required; other versions are skipped
//     "machineID": "8C2E...",                  required; must match the file name
//     "machineName": "Jorin's laptop",         optional text (may be empty)
//     "owner": "jorin",                        required, the archive owner
//     "runAt": "2026-12-09T04:30:00.000Z",     required, when the run finished (UTC)
//     "newMessages": 12,                       required, messages the run added
//     "totalMessages": 54021                   required, messages in the owner's archive
//   }
// Unknown keys are ignored. Only finished, successful runs write a report.
//
// The files come from other machines and may be damaged or hostile, so reading
// is strict: at most 64 KiB, a regular file (no links, devices or pipes), every
// text valid UTF-8 without control characters and at most 256 bytes, counts
// whole numbers from 0 to 2^53, and a run date no more than one day ahead of
// the reader's clock. Anything else is skipped with a reason.
#include "core/platform/time.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct MachineRunReport {
    std::string machineID;
    std::string machineName;
    std::string owner;
    Date runAt{};
    std::int64_t newMessages = 0;
    std::int64_t totalMessages = 0;

    bool operator==(const MachineRunReport&) const = default;
};

// A report file that was not used, and why ("not valid JSON", "the owner is empty").
struct SkippedMachineReport {
    std::string path;
    std::string reason;
};

struct MachineReportScan {
    std::vector<MachineRunReport> reports;   // sorted by machineID
    std::vector<SkippedMachineReport> skipped;
};

// 1 to 64 characters of A-Z, a-z, 0-9 and "-".
bool isValidMachineID(std::string_view id);

// "machine-<id>.json"; throws kx::Error for an invalid id.
std::string machineReportFileName(const std::string& machineID);

// The JSON text of a report (the format above). Throws kx::Error when the
// report would not pass parseMachineReport (invalid id, empty owner, ...).
std::string machineReportJson(const MachineRunReport& report);

// Parses and validates one report's bytes. `now` bounds the run date.
// Throws kx::Error whose text says what is wrong.
MachineRunReport parseMachineReport(std::string_view bytes, Date now);

// Writes the report atomically into the archive root under its file name.
// Throws kx::Error (the root is missing, the disk is full, ...).
void writeMachineReport(const std::string& destinationRoot, const MachineRunReport& report);

// Reads every "machine-*.json" in the archive root. A missing or unreadable
// root gives no reports (and one skipped entry for an unreadable one); never throws.
MachineReportScan readMachineReports(const std::string& destinationRoot, Date now);

} // namespace kx
