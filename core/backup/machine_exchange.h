#pragma once
// The run reports of an owner's Macs travel with the owner's backup, so that
// every Mac backing the archive up to one place lists the others in "Your Macs"
// (the list reads the reports in the archive root, machine_report.h).
//
// Object: P/A/machines/<machineID>, under the backup's prefix P and folder A:
// that machine's run report (machine_run_report.h) cut down to this owner,
// sealed under its full name with the owner's key. Each backup run stores its
// own and copies the others' into the archive root when the root holds none of
// that machine or an older one; a report that does not open or read as a valid
// report (machine_report.h's strict rules) is left where it is. Never this
// machine's own report, and never a name that is not a machine identity.
#include "core/backup/crypto.h"
#include "core/backup/destination.h"
#include "core/platform/time.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace kx {

// The folder (under the backup's prefix and the archive's folder) that holds them.
inline constexpr const char* kMachineReportsFolder = "machines/";

// Stores this machine's report for the owner whose archive is storeFile (in
// its archive root), and brings the other Macs' reports of that owner into
// the root. Returns how many it brought in. Throws BackupError when the
// destination cannot be reached; a bad stored report is skipped.
size_t exchangeMachineReports(BackupDestination& dest, const TreskCrypto& crypto, const std::string& folder,
                              const std::string& machineID, const std::filesystem::path& storeFile, Date now);

} // namespace kx
