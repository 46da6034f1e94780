#include "core/evidence/sealer.h"

#include "core/evidence/tresk_manifest.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/sha256.h"

#include <filesystem>

namespace kx {

const std::string Sealer::honestyCopy =
    "Once the seal server has signed it, a seal proves that this file existed unchanged no later than the time it "
    "was signed, and names the state of the archive it came from; checked against the archive, that state can be "
    "confirmed. It does not prove who made the file: anyone can change an export and seal it again, which gives a "
    "later time. Nor does it prove that the messages were complete or truthful. Until it is signed, a seal proves "
    "no time at all.";

std::optional<std::string> Sealer::manifestHead(const std::string& destinationRoot, const std::string& owner) {
    try {
        if (auto m = TreskManifest::read(TreskManifest::path(destinationRoot, owner))) return m->chainHead;
    } catch (const Error&) {
    }
    return std::nullopt;
}

SealFile Sealer::seal(const std::string& exportPath, std::string_view bytes, ExportFormat format,
                      const std::string& description, const std::optional<std::string>& manifestHead,
                      const std::string& appVersion, Date now) {
    return seal(exportPath, Sha256::hexOf(bytes), bytes.size(), format, description, manifestHead, appVersion, now);
}

SealFile Sealer::seal(const std::string& exportPath, const std::string& sha256, std::uint64_t size, ExportFormat format,
                      const std::string& description, const std::optional<std::string>& manifestHead,
                      const std::string& appVersion, Date now) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(exportPath, ec);
    if (ec || !std::filesystem::exists(status))
        throw Error("the export " + exportPath + " is not on disk, so it cannot be sealed");
    std::string onDisk;
    std::uint64_t onDiskSize = 0;
    try {
        onDisk = Sha256::hexOfFile(exportPath);
        onDiskSize = std::filesystem::file_size(exportPath);
    } catch (const std::exception& e) {
        throw Error("the export cannot be read back to seal it: " + std::string(e.what()));
    }
    if (onDiskSize != size || onDisk != sha256)
        throw Error("the export " + exportPath + " changed after it was written, so it was not sealed");

    SealFile s;
    s.exportFile = std::filesystem::path(exportPath).filename().string();
    s.sha256 = sha256;
    s.size = size;
    s.format = format;
    s.description = description;
    s.manifestHead = manifestHead;
    s.appVersion = appVersion;
    s.sealedAt = std::chrono::floor<std::chrono::milliseconds>(now);
    return s;
}

} // namespace kx
