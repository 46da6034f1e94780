#pragma once
// Exporting one conversation of an owner's archive and sealing the export: the
// part of a conversation export that reads the archive and writes files. Making
// the seal known to the seal server (anchoring) is a separate step.
#include "core/evidence/export_format.h"
#include "core/evidence/seal_file.h"
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
    std::string appVersion;
    Date now{};
};

// Writes the export to request.destinationPath and returns its seal, which names
// the chain head of the owner's manifest when there is one. The archive is opened
// for reading and never created. Throws kx::Error, writing nothing, when the
// owner cannot name an archive folder, the owner has no archive, or the
// conversation is not in it; throws too when the file cannot be written.
SealFile exportAndSeal(const ExportRequest& request, const ContactResolver& resolver);

} // namespace kx
