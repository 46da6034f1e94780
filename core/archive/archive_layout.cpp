#include "core/archive/archive_layout.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <filesystem>

namespace kx {

namespace {

// The folder name, or the sentence saying why there is none.
std::string folderNameOrProblem(const std::string& owner, bool& ok) {
    ok = false;
    if (owner.empty()) return "an archive owner cannot be blank";
    if (owner.find('\0') != std::string::npos) return "the archive owner contains a NUL character";
    std::string folder = owner;
    std::replace(folder.begin(), folder.end(), '/', '_');
    if (folder == "." || folder == "..") return "\"" + owner + "\" cannot name an archive folder";
    ok = true;
    return folder;
}

} // namespace

ArchiveLayout::ArchiveLayout(std::string root) : root_(std::move(root)) {}

std::string ArchiveLayout::statusFile() const { return fs::appendComponent(root_, kStatusFile); }

std::string ArchiveLayout::runLock() const { return fs::appendComponent(root_, kRunLockFile); }

std::string ArchiveLayout::machineReport(const std::string& machineID) const {
    if (!isValidMachineID(machineID))
        throw Error("the machine identity \"" + machineID.substr(0, 80) + "\" cannot name a run report file");
    return fs::appendComponent(root_, machineID + kMachineReportSuffix);
}

std::vector<std::string> ArchiveLayout::ownerFolders() const {
    std::vector<std::string> out;
    std::error_code ec;
    std::filesystem::directory_iterator it(root_, ec), end;
    if (ec) return out;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (fs::isRegularFile(fs::appendComponent(fs::appendComponent(root_, name), kDatabaseFile)))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string ArchiveLayout::ownerFolderName(const std::string& owner) {
    bool ok = false;
    std::string result = folderNameOrProblem(owner, ok);
    if (!ok) throw Error(result);
    return result;
}

std::optional<std::string> ArchiveLayout::ownerFolderProblem(const std::string& owner) {
    bool ok = false;
    std::string result = folderNameOrProblem(owner, ok);
    if (ok) return std::nullopt;
    return result;
}

OwnerPaths ArchiveLayout::owner(const std::string& owner) const {
    const std::string name = ownerFolderName(owner);
    OwnerPaths p = inFolder(fs::appendComponent(root_, name));
    p.folderName = name;
    return p;
}

OwnerPaths ArchiveLayout::inFolder(const std::string& folder) {
    OwnerPaths p;
    p.folderName = std::filesystem::path(folder).filename().string();
    p.folder = folder;
    p.database = fs::appendComponent(p.folder, kDatabaseFile);
    p.attachments = fs::appendComponent(p.folder, kAttachmentsFolder);
    p.searchIndex = fs::appendComponent(p.folder, kSearchIndexFile);
    p.manifest = fs::appendComponent(p.folder, kManifestFile);
    return p;
}

std::optional<OwnerPaths> ArchiveLayout::ownerIfValid(const std::string& owner) const noexcept {
    try {
        if (ownerFolderProblem(owner)) return std::nullopt;
        return this->owner(owner);
    } catch (...) {
        return std::nullopt;
    }
}

OwnerPaths ArchiveLayout::besideDatabase(const std::string& databasePath) {
    return inFolder(std::filesystem::path(databasePath).parent_path().string());
}

std::string ownerFolderName(const std::string& owner) { return ArchiveLayout::ownerFolderName(owner); }

} // namespace kx
