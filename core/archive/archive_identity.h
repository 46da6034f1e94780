#pragma once
// The archive owner this machine archives under, and the rules for owner names.
//
// Rules (ours):
//  - normalize: drops control characters (NUL included), turns every run of
//    white space into one space and trims both ends. Case is kept: "Jorin" and
//    "jorin" are different texts, but resolve prefers the spelling an existing
//    archive already uses when the two differ only in case.
//  - resolve picks, in this order: the name the user chose (explicit); else the
//    login's short name; else the login's full name; else "me". A picked name
//    that matches an existing owner ignoring case takes that owner's spelling.
//  - needsConfirmation: false for a name the user chose, false when the archive
//    root holds no owner yet or already holds this exact owner; true otherwise
//    (the machine would start a new archive beside existing ones, which may
//    split one person's history in two).
//  - problem: an owner text that cannot name an archive folder safely (blank,
//    ".", "..", a NUL character) or whose folder (every "/" as "_") is the
//    folder of a different owner ("a/b" and "a_b") is refused with a sentence.
//    The folder rule itself is ArchiveLayout's (archive_layout.h).
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ArchiveIdentity {
    enum class Origin { chosen, accountName, fullName, fallback };

    std::string owner; // the owner name
    Origin origin = Origin::fallback;
    bool matchesExisting = false; // an archive with this owner already exists

    static std::string normalize(const std::string& name);

    static ArchiveIdentity resolve(const std::optional<std::string>& explicitName, const std::string& accountName,
                                   const std::string& fullName, const std::vector<std::string>& existingOwners);

    bool needsConfirmation(const std::vector<std::string>& existingOwners) const;

    // Why `owner` cannot be used beside `otherOwners`, as one sentence; none when it
    // can. Owners equal to `owner` are the same archive and never conflict.
    static std::optional<std::string> problem(const std::string& owner, const std::vector<std::string>& otherOwners);

    bool operator==(const ArchiveIdentity&) const = default;
};

} // namespace kx
