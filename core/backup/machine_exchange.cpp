#include "core/backup/machine_exchange.h"

#include "core/archive/archive_layout.h"
#include "core/archive/machine_run_report.h"
#include "core/household/machine_report.h"
#include "core/platform/fs.h"

#include <cstring>
#include <optional>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

std::optional<MachineRunReport> localReport(const std::string& root, const std::string& machineID) {
    try {
        const std::string text = fs::readFile(ArchiveLayout(root).machineReport(machineID));
        return MachineRunReport::fromJson(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

size_t exchangeMachineReports(BackupDestination& dest, const TreskCrypto& crypto, const std::string& folder,
                              const std::string& machineID, const stdfs::path& storeFile, Date now) {
    if (!isValidMachineID(machineID)) return 0;
    const std::string ownerFolder = storeFile.parent_path().filename().string();
    const std::string root = storeFile.parent_path().parent_path().string();
    const std::string prefix = folder + kMachineReportsFolder;

    // This machine's report, with only this owner's line.
    if (std::optional<MachineRunReport> mine = localReport(root, machineID)) {
        std::erase_if(mine->owners, [&](const MachineRunReport::OwnerCount& o) {
            return ArchiveLayout::ownerFolderProblem(o.owner) || ArchiveLayout::ownerFolderName(o.owner) != ownerFolder;
        });
        if (!mine->owners.empty()) {
            mine->messageCount = mine->owners.front().messageCount;
            const std::string name = prefix + machineID;
            const std::string sealed = crypto.seal(mine->toJson(), name);
            dest.put(name, sealed.size(),
                     [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, sealed.data() + off, n); },
                     ObjectClass::control, {});
        }
    }

    size_t brought = 0;
    for (const auto& [name, size] : dest.list(prefix)) {
        const std::string id = name.substr(prefix.size());
        if (id == machineID || !isValidMachineID(id) || size > 64 * 1024) continue;
        std::string sealed;
        if (!dest.get(name,
                      [&](const unsigned char* p, size_t n) { sealed.append(reinterpret_cast<const char*>(p), n); }))
            continue;
        try {
            const std::string text = crypto.open(sealed, name);
            const std::vector<MachineReport> checked = parseMachineReport(text, now); // the strict reading
            std::optional<MachineRunReport> theirs = MachineRunReport::fromJson(text);
            if (!theirs || checked.empty() || theirs->machineID != id) continue;
            if (auto known = localReport(root, id); known && known->runAt >= theirs->runAt) continue;
            theirs->write(root);
            ++brought;
        } catch (const std::exception&) {
            continue; // damaged, another key's, or not a report: the list goes without it
        }
    }
    return brought;
}

} // namespace kx
