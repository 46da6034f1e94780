#pragma once
// Exports one conversation of an owner's archive as JSON, CSV or PDF.
//
// pageSize (the application passes 2000) is how many messages are read from the
// archive per query while the export is assembled. It bounds each query, never
// the export: every message of the conversation is exported, however many.
//
// The file is written atomically: the bytes go to a temporary file beside the
// destination as they are made and the file is renamed over it only when
// complete, so a failed export leaves no partial file (and an earlier file of
// that name untouched).
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/attachment_bytes.h"
#include "core/evidence/export_document.h"
#include "core/evidence/export_format.h"
#include "core/evidence/export_time_zone.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kx {

class ConversationExporter {
public:
    static constexpr int kDefaultPageSize = 2000;

    // The store and resolver must outlive the exporter.
    ConversationExporter(const TreskStore& store, std::string owner, std::string attachmentsPath,
                         const ContactResolver& resolver, ExportTimeZone timeZone, int pageSize = kDefaultPageSize);

    struct Written {
        // What was exported, one sentence, followed by the notes.
        std::string description;
        std::string sha256;     // lowercase hex digest of exactly the bytes now in the file
        std::uint64_t size = 0; // and their number
        // What the file shows differently from the archive, one sentence each
        // (today: NUL bytes a CSV writes as U+FFFD). Empty when nothing was changed.
        std::vector<std::string> notes;
        std::int64_t replacedNulBytes = 0;
        // The first listed attachment whose stored file no longer holds the bytes
        // it was archived with; such an attachment is listed without a digest.
        std::optional<AttachmentBytesProblem> attachmentProblem;
    };

    // Reads the conversation from one read snapshot of the archive, a page at a
    // time, and writes the file as it goes, re-hashing every stored attachment
    // file it lists (each once): memory stays bounded however long
    // the conversation or its messages are. Throws kx::Error when the
    // conversation is not in the archive, the archive cannot be read, or the
    // file cannot be written.
    Written write(const std::string& conversationKey, ExportFormat format, const std::string& to, Date exportedAt,
                  const std::string& appVersion) const;

    // The document write() renders, held whole, for callers that want the records.
    ExportDocument document(const std::string& conversationKey, Date exportedAt, const std::string& appVersion) const;

private:
    // The stored attachment files already hashed by one export: key to the
    // digest found (empty when missing), and the first that did not match.
    struct ObjectChecks {
        std::map<std::string, std::string> found;
        std::optional<AttachmentBytesProblem> problem;
    };
    // The conversation as a stream read from the store; valid while the
    // exporter and `checks` live. Throws kx::Error when the conversation is not
    // in the archive.
    ExportStream stream(const std::string& conversationKey, Date exportedAt, const std::string& appVersion,
                        ObjectChecks& checks) const;
    ExportMessage exportMessage(const TreskStore::SearchHit& hit,
                                const std::map<std::string, std::vector<TreskStore::AttachmentRef>>& attachments,
                                TreskStore::VersionReader& versions, ObjectChecks& checks) const;

    const TreskStore& store_;
    std::string owner_;
    std::string attachmentsPath_;
    const ContactResolver& resolver_;
    ExportTimeZone timeZone_;
    int pageSize_;
};

} // namespace kx
