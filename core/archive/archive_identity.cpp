#include "core/archive/archive_identity.h"

#include "core/archive/archive_layout.h"

#include <algorithm>
#include <cctype>

namespace kx {

namespace {

std::string lowerAscii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

} // namespace

std::string ArchiveIdentity::normalize(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    bool pendingSpace = false;
    for (unsigned char c : name) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            pendingSpace = !out.empty();
            continue;
        }
        if (c < 0x20 || c == 0x7f) continue; // control characters, NUL included
        if (pendingSpace) out.push_back(' ');
        pendingSpace = false;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

ArchiveIdentity ArchiveIdentity::resolve(const std::optional<std::string>& explicitName, const std::string& accountName,
                                         const std::string& fullName, const std::vector<std::string>& existingOwners) {
    ArchiveIdentity id;
    const std::string chosen = explicitName ? normalize(*explicitName) : std::string();
    const std::string account = normalize(accountName);
    const std::string full = normalize(fullName);
    if (!chosen.empty()) {
        id.owner = chosen;
        id.origin = Origin::chosen;
    } else if (!account.empty()) {
        id.owner = account;
        id.origin = Origin::accountName;
    } else if (!full.empty()) {
        id.owner = full;
        id.origin = Origin::fullName;
    } else {
        id.owner = "me";
        id.origin = Origin::fallback;
    }
    if (contains(existingOwners, id.owner)) {
        id.matchesExisting = true;
        return id;
    }
    // The same name in another case: use the spelling the archive already has,
    // so one person's history is not split by capitalisation alone.
    const std::string lowered = lowerAscii(id.owner);
    for (const auto& existing : existingOwners) {
        if (lowerAscii(existing) == lowered) {
            id.owner = existing;
            id.matchesExisting = true;
            break;
        }
    }
    return id;
}

bool ArchiveIdentity::needsConfirmation(const std::vector<std::string>& existingOwners) const {
    if (origin == Origin::chosen) return false;
    if (existingOwners.empty()) return false;
    return !contains(existingOwners, owner);
}

std::optional<std::string> ArchiveIdentity::problem(const std::string& owner,
                                                    const std::vector<std::string>& otherOwners) {
    if (owner.empty()) return "An archive name cannot be blank.";
    if (owner.find('\0') != std::string::npos)
        return "The archive name contains a NUL character, which cannot name a folder. Choose another name.";
    if (ArchiveLayout::ownerFolderProblem(owner))
        return "The archive name \"" + owner + "\" cannot name a folder. Choose another name.";
    const std::string folder = ArchiveLayout::ownerFolderName(owner);
    for (const auto& other : otherOwners) {
        if (other == owner || ArchiveLayout::ownerFolderProblem(other)) continue;
        if (ArchiveLayout::ownerFolderName(other) == folder)
            return "The archive name \"" + owner + "\" would share the folder \"" + folder +
                   "\" with the archive of \"" + other + "\". Choose another name so the two histories stay apart.";
    }
    return std::nullopt;
}

} // namespace kx
