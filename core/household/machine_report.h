#pragma once
// Reading the run reports machines leave in the archive root, as untrusted input.
//
// The engine writes one report per machine after each run, in the archive root,
// named "<machineID>.machine-run.json"; the format is documented with the
// writer in core/archive/machine_run_report.h:
//   { "formatVersion": 1, "machineID": "...", "computerName": "...",
//     "runAt": "<ISO 8601>", "succeeded": true, "messageCount": 123,
//     "owners": [ { "owner": "jorin", "messageCount": 120,
//                   "newMessages": 4 (optional) } ] }
// One report file gives one MachineReport per owner it lists.
//
// The files come from other machines over shared storage and may be damaged or
// hostile, so reading is strict: at most 64 KiB, a regular file (links, devices
// and pipes are skipped without being opened for reading), every text valid
// UTF-8 without control characters and at most 256 bytes, counts whole numbers
// from 0 to 2^53, at most 64 owners, a run date no more than one day ahead of
// the reader's clock, and the machine id inside equal to the one in the file
// name. Reports of failed runs are skipped too (they say nothing about when the
// machine last archived). Every skipped file comes with its reason.
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// One machine's last run for one owner, as the household needs it.
struct MachineReport {
    std::string machineID;
    std::string machineName; // may be empty
    std::string owner;
    Date runAt{};
    std::optional<std::int64_t> newMessages; // when the report says
    std::int64_t totalMessages = 0;          // messages in that owner's archive

    bool operator==(const MachineReport&) const = default;
};

// A report file that was not used, and why ("not valid JSON", "the owner is empty").
struct SkippedMachineReport {
    std::string path;
    std::string reason;
};

struct MachineReportScan {
    std::vector<MachineReport> reports; // by machine id, then in the file's owner order
    std::vector<SkippedMachineReport> skipped;
};

// 1 to 128 characters of A-Z, a-z, 0-9, "-", "_" and ".", not starting with ".".
bool isValidMachineID(std::string_view id);

// The suffix of report file names: "<machineID>.machine-run.json".
inline constexpr const char* kMachineReportSuffix = ".machine-run.json";

// Parses and validates one report file's bytes. `now` bounds the run date.
// Throws kx::Error whose text says what is wrong.
std::vector<MachineReport> parseMachineReport(std::string_view bytes, Date now);

// Reads every "*.machine-run.json" in the archive root. A missing root gives
// nothing; an unreadable one gives one skipped entry. Never throws.
MachineReportScan readMachineReports(const std::string& destinationRoot, Date now);

} // namespace kx
