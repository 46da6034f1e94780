#pragma once
// An iOS device backup folder as Finder, iTunes or idevicebackup2 leave it.
//
//   Info.plist       device name, product version, last backup date (XML or binary)
//   Manifest.plist   IsEncrypted, Version, Date...; missing in stripped copies
//   Manifest.db      SQLite: Files(fileID, domain, relativePath, flags, file)
//   <fileID files>   stored at "<first two hex digits>/<fileID>" (iOS 10 and later)
//                    or directly as "<fileID>" in the folder (older, "flat" backups)
//
// fileID is the lower-case hex SHA-1 of "<domain>-<relativePath>". The messages
// database is HomeDomain "Library/SMS/sms.db"; attachments are MediaDomain with
// the attachment's recorded path minus its leading "~/". Encrypted backups are
// recognised (IsEncrypted) and refused: reading them needs the backup password.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kx {

class DatabaseSnapshot;

// Property-list facts read from the backup's top level.
struct DeviceBackupInfo {
    std::optional<std::string> deviceName;
    std::optional<std::string> productVersion;
    bool hasManifestPlist = false;
    bool isEncrypted = false;
};

class DeviceBackup {
public:
    static constexpr const char* kMessagesFileID = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

    // Opens the backup folder and reads its property lists. Manifest.db is read
    // from a private snapshot made when it is first needed (listed()), except in a
    // copy without Manifest.plist, where it is checked at once because it is then
    // the only sign of an encrypted backup. Throws kx::Error with a sentence
    // fragment when the folder is missing, is not a device backup, or is encrypted.
    explicit DeviceBackup(std::filesystem::path root);
    ~DeviceBackup();

    const std::filesystem::path& root() const { return root_; }
    const DeviceBackupInfo& info() const { return info_; }
    bool hasManifestDatabase() const;

    // The stored file of (domain, relativePath): sharded first, then flat. None
    // when it is not stored. Refuses (none) anything that is not a regular file
    // inside the backup folder.
    std::optional<std::filesystem::path> storedFile(const std::string& domain, const std::string& relativePath) const;
    std::optional<std::filesystem::path> storedFileById(const std::string& fileID) const;
    // The entry's path when the backup holds it as a symbolic link (or inside a
    // linked shard folder) rather than as a file; such entries are never followed.
    std::optional<std::filesystem::path> linkedFileById(const std::string& fileID) const;
    // True when Manifest.db lists the file (always true when there is no Manifest.db).
    bool listed(const std::string& fileID) const;

    // Lower-case hex SHA-1 of "<domain>-<relativePath>".
    static std::string fileID(const std::string& domain, const std::string& relativePath);

    // Reads a property list (XML or binary) into the facts above; exposed for tests.
    static DeviceBackupInfo readInfo(const std::filesystem::path& root);

private:
    std::filesystem::path root_;
    DeviceBackupInfo info_;
    void openManifest() const; // throws kx::Error
    mutable std::unique_ptr<DatabaseSnapshot> manifest_;
    mutable bool manifestOpened_ = false;
};

} // namespace kx
