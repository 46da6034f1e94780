#pragma once
// A backup folder on this machine: an external drive or NAS mount, or a folder
// that a sync client (iCloud Drive, Dropbox, Google Drive) uploads on its own.
//
// Layout: an object named "a/b/c" is the file <root>/a/b/c. Whole objects are
// written to "<file>.kxpart-<random>" in the same folder and renamed into place.
// An object that replaces an existing file is flushed to disk before the rename,
// so a crash never leaves the older copy damaged. A new file has its writing
// started at once and is flushed by flush(), together with the folders that
// name it, several at a time; the engine calls flush() before it writes the
// manifest that names the objects, so a manifest never names a file that a
// crash could lose. A multipart upload writes its parts at their offsets into
// ".<file name>.<upload id>.partial" beside the final file and renames it on
// completion; the upload id is "<16 hex digits>.<part size>". Files and
// folders whose name starts with "." are never listed.
//
// The root itself is never created: a missing root (a drive not connected, a
// sync client not installed) is an error naming the folder. Folders below it
// are created as needed.
#include "core/backup/destination.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace kx {

class LocalDestination final : public BackupDestination {
public:
    LocalDestination(std::string id, std::string label, std::string caveat, std::string root);

    static LocalDestination volume(const std::string& root, const std::string& label);
    // service: "Dropbox", "Google Drive", ...
    static LocalDestination syncedFolder(const std::string& root, const std::string& service);

    const std::string& caveat() const { return caveat_; }
    const std::string& root() const { return root_; }

    std::string id() const override { return id_; }
    std::string label() const override { return label_; }
    std::string resumeIdentity() const override;
    bool partsSideBySide() const override { return false; }

    void put(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass cls,
             const std::map<std::string, std::string>& metadata) override;
    std::optional<ObjectInfo> head(const std::string& name) override;
    bool get(const std::string& name, const ByteSink& sink) override;
    void remove(const std::string& name) override;
    std::vector<std::pair<std::string, uint64_t>> list(const std::string& prefix) override;
    std::string beginUpload(const std::string& name, uint64_t partSize, ObjectClass cls,
                            const std::map<std::string, std::string>& metadata) override;
    std::string uploadPart(const std::string& name, const std::string& uploadId, int partNumber, uint64_t offset,
                           uint64_t size, const ByteProducer& produce) override;
    void completeUpload(const std::string& name, const std::string& uploadId,
                        const std::vector<std::pair<int, std::string>>& parts) override;
    void abortUpload(const std::string& name, const std::string& uploadId) noexcept override;
    void flush() override;
    // Guarded by an advisory lock on ".<name>.guard" beside the object.
    bool updateControl(const std::string& name, const ControlChange& change) override;
    bool exclusiveUpdates() const override { return true; }
    size_t sweepTemporaries(const std::string& folder, bool recursive,
                            const std::set<std::string>& keepUploads) noexcept override;

private:
    std::filesystem::path pathFor(const std::string& name, bool createParents) const;
    std::filesystem::path partialPath(const std::string& name, const std::string& uploadId) const;
    void checkRoot() const;
    [[noreturn]] void ioFailure(const std::string& action, int err) const;
    void noteFile(const std::filesystem::path& file, bool needsFlush);
    std::string id_, label_, caveat_, root_;
    struct DirtyDirs {
        std::mutex mutex;
        std::set<std::string> dirs;
        std::set<std::string> files;
    };
    std::shared_ptr<DirtyDirs> dirty_ = std::make_shared<DirtyDirs>();
};

} // namespace kx
