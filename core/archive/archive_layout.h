#pragma once
// Every path of an archive root, in one place. Stored archives depend on these
// names, so they never change:
//
//   <root>/STATUS.json                      the last run's report (coverage_report.h)
//   <root>/.kelvara-run.lock                held (flock) while a run writes; a second run is refused
//   <root>/<machineID>.machine-run.json     a machine's last run (machine_run_report.h)
//   <root>/<owner folder>/tresk.db          the owner's store (tresk_store.h)
//   <root>/<owner folder>/attachments/      the owner's attachment objects (attachment_store.h)
//   <root>/<owner folder>/search.db         the owner's full-text index, derived data (search_index.h)
//   <root>/<owner folder>/tresk.manifest.json  the owner's tamper-evidence manifest (tresk_manifest.h)
//
// The owner folder is the owner with every "/" replaced by "_". An owner that
// cannot name a folder inside the root safely (empty, ".", "..", containing a
// NUL character) is refused with a sentence, so no path built here leaves the root.
#include "core/household/machine_report.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

// Every path of one owner's archive.
struct OwnerPaths {
    std::string folderName;  // the owner's folder name under the root
    std::string folder;      // <root>/<folderName>
    std::string database;    // <folder>/tresk.db
    std::string attachments; // <folder>/attachments
    std::string searchIndex; // <folder>/search.db
    std::string manifest;    // <folder>/tresk.manifest.json

    bool operator==(const OwnerPaths&) const = default;
};

class ArchiveLayout {
public:
    static constexpr const char* kStatusFile = "STATUS.json";
    static constexpr const char* kRunLockFile = ".kelvara-run.lock";
    static constexpr const char* kMachineReportSuffix = kx::kMachineReportSuffix;
    static constexpr const char* kDatabaseFile = "tresk.db";
    static constexpr const char* kAttachmentsFolder = "attachments";
    static constexpr const char* kSearchIndexFile = "search.db";
    static constexpr const char* kManifestFile = "tresk.manifest.json";

    explicit ArchiveLayout(std::string root);

    const std::string& root() const { return root_; }

    std::string statusFile() const;
    std::string runLock() const;
    // Throws kx::Error for an identity that is not a safe file name (isValidMachineID,
    // machine_report.h).
    std::string machineReport(const std::string& machineID) const;

    // Names of the folders directly under the root that hold a regular "tresk.db",
    // sorted. A missing or unreadable root gives none.
    std::vector<std::string> ownerFolders() const;

    // The owner's folder name: every "/" replaced by "_". Throws kx::Error with
    // the sentence of ownerFolderProblem.
    static std::string ownerFolderName(const std::string& owner);
    // Why the owner cannot name a folder; none when it can.
    static std::optional<std::string> ownerFolderProblem(const std::string& owner);

    // Throws kx::Error like ownerFolderName.
    OwnerPaths owner(const std::string& owner) const;
    // None for an owner that cannot name a folder.
    std::optional<OwnerPaths> ownerIfValid(const std::string& owner) const noexcept;

    // The paths of the owner folder at `folder` (folderName is its last component).
    static OwnerPaths inFolder(const std::string& folder);
    // The paths of the owner folder that holds the store file `databasePath`.
    static OwnerPaths besideDatabase(const std::string& databasePath);

private:
    std::string root_;
};

// The same as ArchiveLayout::ownerFolderName.
std::string ownerFolderName(const std::string& owner);

} // namespace kx
