#pragma once
// What joining a household's shared storage with a link code would do on this
// machine, decided and checked in full before anything is changed.
//
// Whose archive this machine archives into:
//  - The code's owner, when the code was made for the person using this machine:
//    the owner hint equals the login's short or full name (ignoring case), or an
//    archive of that exact owner already exists here. The code's key is then
//    restored as that owner's key (restoresCodeKey), so both machines seal one
//    archive with one key.
//  - Otherwise this machine's own person: a new owner named after the login
//    (short name, else full name, else "me"; an existing owner's spelling when
//    one matches ignoring case). The code's key is never stored for them: they
//    get a key of their own, because each person's archive is sealed with their
//    own key. startsNewArchive is set when that owner has no archive here yet.
//
// Problems (each a whole sentence, nothing changed): a storage kind this version
// does not know; an object store without a bucket or without both access keys;
// an endpoint that is not an https URL with a host and nothing else; a recovery
// phrase that does not read; an owner hint that is empty, ".", "..", starts with
// a dot, holds a control character, or whose folder (every "/" as "_") is the
// folder of a different existing owner.
#include "core/household/link_code.h"
#include "core/platform/error.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

struct JoinPlan {
    class Problem : public Error {
    public:
        using Error::Error;
        std::string errorDescription() const { return what(); }
    };

    std::string destinationKind; // a destination kind's stored name, e.g. "awsS3"
    std::optional<std::string> bucket;
    std::optional<std::string> region;
    std::optional<std::string> endpoint;
    bool storesCredentials = false; // the code's access keys go into the keyring with the destination
    std::string owner;              // whose archive this machine archives into
    std::string ownerHint;          // whose archive the code was made for
    bool startsNewArchive = false;
    bool needsLocalFolder = false; // the storage is a folder that has to be chosen on this machine
    bool restoresCodeKey = false;  // owner == ownerHint: the code's key becomes the owner's key

    // One step per text, in the order they happen.
    std::vector<std::string> whatWillHappen() const;
    // The storage kind's display name ("Cloudflare R2", "External drive or NAS", ...).
    std::string kindLabel() const;

    // Throws Problem.
    static JoinPlan make(const LinkCode::Payload& payload, const std::string& accountName, const std::string& fullName,
                         const std::vector<std::string>& existingOwners);

    // The eight storage kinds' stored names, in the destination list's order.
    static const std::vector<std::string>& knownKinds();
    // Why an endpoint is refused (a sentence), or none for an https URL with a
    // host and nothing else ("https://host", "https://host:port", a trailing "/").
    static std::optional<std::string> endpointProblem(const std::string& endpoint);
    // Why an owner hint is refused (a sentence), or none.
    static std::optional<std::string> ownerProblem(const std::string& owner,
                                                   const std::vector<std::string>& existingOwners);

    bool operator==(const JoinPlan&) const = default;
};

} // namespace kx
