#pragma once
// Exporting one conversation of an owner's archive and sealing the export: the
// part of a conversation export that reads the archive and writes files. Making
// the seal known to the seal server (anchoring) is a separate step.
#include "core/evidence/export_format.h"
#include "core/evidence/seal_file.h"
#include "core/keys/secret_store.h"
#include "core/platform/error.h"
#include "core/platform/time.h"

#include <string>

namespace kx {

class ContactResolver;

struct ExportRequest {
    std::string archiveRoot;
    std::string owner;
    std::string conversationKey; // the conversation's handle
    ExportFormat format = ExportFormat::json;
    std::string destinationPath; // exactly this file is written
    std::string configDir;       // Kelvara's settings folder, which no export may reach; empty when none
    // The keyring holding the latest manifest head (manifest_pin.h); none: no
    // head is compared or kept.
    SecretStore* keyring = nullptr;
    std::string appVersion;
    Date now{};
};

// An export that was written but could not be sealed; what() says why.
class UnsealedExport : public Error {
public:
    using Error::Error;
};

// Writes the export to request.destinationPath and returns its seal, which names
// the chain head of the owner's manifest. A seal vouches only for a state of the
// archive the manifest covers: before exporting, the archive is checked against
// its manifest (a new manifest is made when there is none), and the seal names a
// head whose chain holds every record the export shows (the manifest is renewed
// when a run has added to this conversation since it was made).
// Throws kx::Error, writing nothing, when the destination may not receive an
// export (export_destination.h), the owner cannot name an archive folder, the
// owner has no archive, or the conversation is not in it; throws too when the
// file cannot be written. Throws UnsealedExport, with the export written, when
// the archive does not verify (changed, shortened, a manifest that cannot be
// read or checked, or one removed or replaced by an older one than the head the
// keyring holds), an attachment it lists no longer holds the bytes it was
// archived with, or no manifest could be made for it. A manifest it makes is
// pinned in the keyring.
SealFile exportAndSeal(const ExportRequest& request, const ContactResolver& resolver);

} // namespace kx
