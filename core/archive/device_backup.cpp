#include "core/archive/device_backup.h"

#include "core/archive/snapshot.h"
#include "core/archive/source_db.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"

#include <openssl/evp.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

// Property lists larger than this are not device-backup metadata.
constexpr std::size_t kMaxPlistBytes = 64u << 20;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistPtr parsePlist(const std::string& bytes) {
    plist_t root = nullptr;
    if (bytes.size() >= 8 && bytes.compare(0, 6, "bplist") == 0)
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    else plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PlistPtr(root);
}

std::optional<std::string> stringItem(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* s = nullptr;
    plist_get_string_val(node, &s);
    if (!s) return std::nullopt;
    std::string out(s);
    std::free(s);
    return out;
}

std::optional<PlistPtr> loadPlist(const stdfs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode)) throw Error(p.string() + " is not a regular file");
    if (static_cast<std::size_t>(st.st_size) > kMaxPlistBytes)
        throw Error(p.string() + " is too large to be a backup property list");
    std::string bytes = fs::readFile(p);
    PlistPtr parsed = parsePlist(bytes);
    if (!parsed || plist_get_node_type(parsed.get()) != PLIST_DICT)
        throw Error(p.string() + " is not a readable property list");
    return parsed;
}

bool isRegularInside(const stdfs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isHexId(const std::string& id) {
    if (id.size() != 40) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

} // namespace

std::string DeviceBackup::fileID(const std::string& domain, const std::string& relativePath) {
    const std::string input = domain + "-" + relativePath;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(input.data(), input.size(), md, &len, EVP_sha1(), nullptr) != 1)
        throw Error("the SHA-1 digest of a backup file name failed");
    return lowerHex(md, len);
}

DeviceBackupInfo DeviceBackup::readInfo(const stdfs::path& root) {
    DeviceBackupInfo info;
    if (auto infoPlist = loadPlist(root / "Info.plist")) {
        info.deviceName = stringItem(infoPlist->get(), "Device Name");
        if (!info.deviceName) info.deviceName = stringItem(infoPlist->get(), "Display Name");
        info.productVersion = stringItem(infoPlist->get(), "Product Version");
    }
    if (auto manifest = loadPlist(root / "Manifest.plist")) {
        info.hasManifestPlist = true;
        plist_t enc = plist_dict_get_item(manifest->get(), "IsEncrypted");
        if (enc && plist_get_node_type(enc) == PLIST_BOOLEAN) {
            uint8_t v = 0;
            plist_get_bool_val(enc, &v);
            info.isEncrypted = v != 0;
        }
        if (!info.productVersion)
            if (plist_t lockdown = plist_dict_get_item(manifest->get(), "Lockdown");
                lockdown && plist_get_node_type(lockdown) == PLIST_DICT)
                info.productVersion = stringItem(lockdown, "ProductVersion");
    }
    return info;
}

DeviceBackup::DeviceBackup(stdfs::path root) : root_(std::move(root)) {
    if (!fs::isDirectory(root_))
        throw Error("the backup folder " + root_.string() + " does not exist or is not a folder");
    info_ = readInfo(root_);
    if (info_.isEncrypted)
        throw Error("the device backup at " + root_.string() +
                    " is encrypted; Kelvara reads only unencrypted backups (turn off \"Encrypt local backup\" and back "
                    "up again)");
    const bool hasInfo = fs::exists(root_ / "Info.plist");
    if (isRegularInside(root_ / "Manifest.db")) {
        if (!info_.hasManifestPlist) openManifest();
    } else if (!hasInfo && !info_.hasManifestPlist && !fs::exists(root_ / "3d") &&
               !fs::exists(root_ / kMessagesFileID)) {
        throw Error(root_.string() +
                    " is not a device backup folder (it has no Info.plist, Manifest.plist or Manifest.db)");
    }
}

void DeviceBackup::openManifest() const {
    if (manifestOpened_) return;
    manifestOpened_ = true;
    const stdfs::path manifestDb = root_ / "Manifest.db";
    if (!isRegularInside(manifestDb)) return;
    try {
        manifest_ = std::make_unique<DatabaseSnapshot>(manifestDb);
        if (!sourcedb::hasTable(manifest_->handle(), "Files")) throw Error("it has no file list");
    } catch (const Error& e) {
        manifest_.reset();
        throw Error("the backup's Manifest.db cannot be read (" + std::string(e.what()) +
                    "); the backup may be encrypted or damaged");
    }
}

bool DeviceBackup::hasManifestDatabase() const {
    openManifest();
    return manifest_ != nullptr;
}

DeviceBackup::~DeviceBackup() = default;

bool DeviceBackup::listed(const std::string& id) const {
    openManifest();
    if (!manifest_) return true;
    sourcedb::Statement st(manifest_->handle(), "SELECT flags FROM Files WHERE fileID = ?");
    st.bind(1, id);
    if (!st.step()) return false;
    // flags: 1 file, 2 folder, 4 symbolic link. NULL flags are taken as a file.
    return st.isNull(0) || st.integer(0) == 1;
}

std::optional<stdfs::path> DeviceBackup::storedFileById(const std::string& id) const {
    if (!isHexId(id)) return std::nullopt;
    // The shard folder must be a real folder, not a link leading elsewhere.
    struct stat st {};
    const stdfs::path shard = root_ / id.substr(0, 2);
    const stdfs::path sharded = shard / id;
    if (::lstat(shard.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && isRegularInside(sharded)) return sharded;
    const stdfs::path flat = root_ / id;
    if (isRegularInside(flat)) return flat;
    return std::nullopt;
}

std::optional<stdfs::path> DeviceBackup::linkedFileById(const std::string& id) const {
    if (!isHexId(id)) return std::nullopt;
    struct stat st {};
    const stdfs::path shard = root_ / id.substr(0, 2);
    if (::lstat(shard.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return shard / id;
    for (const stdfs::path& p : {shard / id, root_ / id})
        if (::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return p;
    return std::nullopt;
}

std::optional<stdfs::path> DeviceBackup::storedFile(const std::string& domain, const std::string& relativePath) const {
    return storedFileById(fileID(domain, relativePath));
}

} // namespace kx
