#include "core/backup/record_memory.h"

#include "core/backup/crypto.h"
#include "core/backup/generation_memory.h"
#include "core/evidence/digest.h"
#include "core/platform/hex.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kx {

using nlohmann::json;

namespace {

// What a sealed digest is bound to: a digest kept for one backup or store
// file does not open as another's.
std::string sealName(const std::string& storeIdentity, const std::string& destination, const std::string& manifest) {
    return "record digest\n" + destination + "\n" + manifest + "\n" + storeIdentity;
}

} // namespace

std::string RecordMemory::identityOf(const std::filesystem::path& storeFile) {
#ifdef __linux__
    struct statx st {};
    if (::statx(AT_FDCWD, storeFile.c_str(), 0, STATX_INO | STATX_BTIME, &st) != 0) return {};
    std::string id = std::to_string(makedev(st.stx_dev_major, st.stx_dev_minor)) + ":" + std::to_string(st.stx_ino);
    if (st.stx_mask & STATX_BTIME)
        id += ":" + std::to_string(st.stx_btime.tv_sec) + "." + std::to_string(st.stx_btime.tv_nsec);
    return id;
#else
    struct stat st {};
    if (::stat(storeFile.c_str(), &st) != 0) return {};
    std::string id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
#ifdef __APPLE__
    id += ":" + std::to_string(st.st_birthtimespec.tv_sec) + "." + std::to_string(st.st_birthtimespec.tv_nsec);
#endif
    return id;
#endif
}

std::optional<RecordDigest> RecordMemory::recall(const TreskCrypto& crypto, const std::string& storeIdentity,
                                                 const std::string& destination, const std::string& manifest) const {
    if (storeIdentity.empty()) return std::nullopt;
    for (const json& e : backup_entries::load(file_)) {
        if (!backup_entries::isFor(e, destination, manifest)) continue;
        std::string sealed;
        if (e.value("store", "") != storeIdentity || !evidence::fromHex(e.value("digest", ""), sealed))
            return std::nullopt;
        try {
            return RecordDigest::fromKept(
                json::parse(crypto.open(sealed, sealName(storeIdentity, destination, manifest))));
        } catch (const std::exception&) {
            return std::nullopt; // damaged, sealed with another key, or for another store file
        }
    }
    return std::nullopt;
}

void RecordMemory::remember(const TreskCrypto& crypto, const std::string& storeIdentity, const std::string& destination,
                            const std::string& manifest, const RecordDigest& digest) {
    const std::string sealed = crypto.seal(digest.kept().dump(), sealName(storeIdentity, destination, manifest));
    backup_entries::change(file_, [&](json& backups) {
        json others = json::array();
        for (json& e : backups)
            if (!backup_entries::isFor(e, destination, manifest)) others.push_back(std::move(e));
        others.push_back({{"destination", destination},
                          {"manifest", manifest},
                          {"store", storeIdentity},
                          {"digest", lowerHex(reinterpret_cast<const unsigned char*>(sealed.data()), sealed.size())}});
        backups = std::move(others);
    });
}

} // namespace kx
