#pragma once
// The canonical bytes of one archived message: what a manifest link covers.
//
// They hold what the message is and never what the archive later learns about
// it, so that archiving more sources does not read as a change:
//   in: guid, conversation key, sender handle, service, date, from-me flag,
//       text (the body the archive shows), associated guid and type (reactions),
//       thread originator, reaction flag, and each attachment's guid, file
//       name and MIME type in the message's order;
//   out: which sources held it (corroboration grows), read/delivered dates,
//       contact names, whether attachment bytes have been stored yet.
//
// Encoding (version 1): the 4 bytes "KXM1", then every field in the order
// above as a 32-bit big-endian length followed by that many bytes, an absent
// value written as the length 0xFFFFFFFF with no bytes. The date is the decimal
// text of nanoseconds since the Unix epoch; flags are "0" or "1"; numbers are
// decimal. After the reaction flag comes the attachment count (decimal), then
// three fields per attachment.
#include "core/evidence/tresk_manifest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

class TreskStore;

struct CanonicalAttachment {
    std::string guid;
    std::optional<std::string> fileName;
    std::optional<std::string> mimeType;
};

struct CanonicalMessage {
    std::string guid;
    std::string conversationKey;
    std::optional<std::string> senderHandle;
    std::optional<std::string> service;
    std::optional<std::int64_t> dateNanos;
    bool isFromMe = false;
    std::optional<std::string> text;
    std::optional<std::string> associatedGuid;
    std::int64_t associatedType = 0;
    std::optional<std::string> threadOriginatorGuid;
    bool isReaction = false;
    std::vector<CanonicalAttachment> attachments;
};

// Appends the canonical bytes of a message to out (cleared first).
void canonicalBytes(const CanonicalMessage& message, std::string& out);

// Walks every message of an archive database in insertion order (the order the
// archive took them in), inside one read transaction, on a read-only
// connection of its own. Throws kx::Error when the database cannot be read.
void walkArchiveInInsertionOrder(const std::string& databasePath,
                                 const std::function<bool(const CanonicalMessage&)>& visit);

// The same walk over an open store, as (guid, canonical bytes): what a manifest
// of version 1 chained.
using MessageVisitor = std::function<bool(const std::string& guid, std::string_view canonical)>;
using MessageWalk = std::function<void(const MessageVisitor&)>;
MessageWalk archiveWalk(const TreskStore& store);

} // namespace kx
