#include "core/evidence/export_destination.h"

#include "core/archive/archive_layout.h"
#include "core/evidence/pending_anchor_store.h"
#include "core/household/household_store.h"
#include "core/household/machine_identity.h"
#include "core/platform/config_layout.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

namespace kx {

namespace {

namespace stdfs = std::filesystem;

// The path with "..", "." and every symbolic link of its existing part resolved.
stdfs::path resolved(const stdfs::path& p) {
    std::error_code ec;
    auto r = stdfs::weakly_canonical(stdfs::absolute(p, ec), ec);
    return ec ? stdfs::absolute(p).lexically_normal() : r;
}

bool isInside(const stdfs::path& path, const stdfs::path& folder) {
    auto [end, at] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    // A trailing separator leaves one empty last component in `folder`.
    return end == folder.end() || (std::next(end) == folder.end() && end->empty());
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool isKeptName(const std::string& name) {
    // Databases, with the files SQLite keeps beside them.
    static constexpr std::array<std::string_view, 5> kDatabases = {ArchiveLayout::kDatabaseFile,
                                                                   ArchiveLayout::kSearchIndexFile, "chat.db", "sms.db",
                                                                   "Manifest.db"};
    for (const std::string_view db : kDatabases)
        for (const std::string_view suffix : {"", "-wal", "-shm", "-journal"})
            if (name == std::string(db) + std::string(suffix)) return true;
    // The archive's own files and the configuration files.
    static constexpr std::array<std::string_view, 6> kFiles = {ArchiveLayout::kManifestFile,
                                                               ArchiveLayout::kStatusFile,
                                                               ArchiveLayout::kRunLockFile,
                                                               PendingAnchorStore::kFileName,
                                                               HouseholdStore::kFileName,
                                                               MachineIdentity::kFileName};
    if (std::find(kFiles.begin(), kFiles.end(), name) != kFiles.end()) return true;
    const auto& config = ConfigLayout::kFileNames;
    if (std::find(config.begin(), config.end(), name) != config.end()) return true;
    return startsWith(name, "tresk.manifest.") ||
           (name.size() > std::string_view(ArchiveLayout::kMachineReportSuffix).size() &&
            name.ends_with(ArchiveLayout::kMachineReportSuffix));
}

} // namespace

std::optional<std::string> exportDestinationProblem(const std::string& destination, const std::string& archiveRoot,
                                                    const std::string& configDir) {
    if (destination.empty()) return "no destination was given for the export";
    const stdfs::path to = resolved(destination);
    if (!archiveRoot.empty() && isInside(to, resolved(archiveRoot)))
        return destination + " lies inside the archive folder " + archiveRoot +
               ", whose files only Kelvara writes; choose a folder outside it";
    if (!configDir.empty() && isInside(to, resolved(configDir)))
        return destination + " lies inside Kelvara's settings folder " + configDir + "; choose a folder outside it";
    for (const stdfs::path& p : {stdfs::path(destination), to}) {
        const std::string name = p.filename().string();
        if (isKeptName(name))
            return "\"" + name +
                   "\" is the name of a file Kelvara or Messages keeps, and the export would replace it; choose "
                   "another name";
    }
    return std::nullopt;
}

} // namespace kx
