#pragma once
// Which files of an owner's archive a backup carries, read while an ingest may
// be writing the archive.
//
// A backup carries the regular files below the owner's "attachments" folder,
// named by their path in the owner folder ("attachments/ab/cd/<key>"), and the
// owner folder's evidence files: the tamper-evidence manifest
// ("tresk.manifest.json") and the manifests it replaced
// ("tresk.manifest.superseded-<stamp>.json"), named by their file name. Hidden
// names (the attachment store's ".incoming" folder of files still being written,
// or anything else starting with ".") are never carried or restored; links are
// not followed. Attachment objects are written before the database rows that
// name them, so a walk made after the database snapshot holds every file the
// snapshot can name.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kx {

struct ArchiveFile {
    std::string path;           // "attachments/..."
    std::filesystem::path file; // where it lies on this computer
    uint64_t size = 0;
};

// The files below attachmentsFolder, sorted by path. Files and folders that
// vanish while the walk runs are left out. A missing folder gives none. Throws
// kx::Error when a folder that is there cannot be read.
std::vector<ArchiveFile> listArchiveFiles(const std::filesystem::path& attachmentsFolder);

// The evidence files directly in the owner folder, sorted by name. A missing
// folder gives none. Throws kx::Error when it cannot be read.
std::vector<ArchiveFile> listEvidenceFiles(const std::filesystem::path& ownerFolder);

// The files of `now` whose path is not in `earlier` (both sorted by path).
std::vector<ArchiveFile> filesAddedSince(const std::vector<ArchiveFile>& earlier, const std::vector<ArchiveFile>& now);

// True for a path a backup may carry and a restore may write: "attachments/"
// followed by components that are not hidden, or an evidence file's name.
bool isArchiveFilePath(const std::string& path);
// True for an evidence file's name. Unlike attachment files, these are
// rewritten in place, so their content is compared and not their size.
bool isEvidenceFilePath(const std::string& path);

} // namespace kx
