#pragma once
// Making the seal of an export.
#include "core/evidence/export_format.h"
#include "core/evidence/seal_file.h"
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

class Sealer {
public:
    // What a seal proves and what it does not, shown beside every seal.
    static const std::string honestyCopy;

    // The chain head of the owner's manifest; nothing when the owner has no
    // manifest or it cannot be read (the seal then names no head).
    static std::optional<std::string> manifestHead(const std::string& destinationRoot, const std::string& owner);

    // The seal of an export just written: the SHA-256 and size of `bytes`, the
    // format and description, the manifest head, the version and the time.
    // Reads the file back first and throws kx::Error when it is missing or does
    // not hold exactly these bytes: a seal always describes what is on disk.
    static SealFile seal(const std::string& exportPath, std::string_view bytes, ExportFormat format,
                         const std::string& description, const std::optional<std::string>& manifestHead,
                         const std::string& appVersion, Date now);
    // The same for an export written piece by piece, from the digest (lowercase
    // hex) and size of what was written: the file is read back and hashed.
    static SealFile seal(const std::string& exportPath, const std::string& sha256, std::uint64_t size,
                         ExportFormat format, const std::string& description,
                         const std::optional<std::string>& manifestHead, const std::string& appVersion, Date now);
};

} // namespace kx
