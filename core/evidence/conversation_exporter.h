#pragma once
// Exports one conversation of an owner's archive as JSON, CSV or PDF.
//
// pageSize (the application passes 2000) is how many messages are read from the
// archive per query while the export is assembled. It bounds each query, never
// the export: every message of the conversation is exported, however many.
//
// The file is written atomically: the bytes go to a temporary file beside the
// destination and are renamed over it only when complete, so a failed export
// leaves no partial file (and an earlier file of that name untouched).
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/export_document.h"
#include "core/evidence/export_format.h"
#include "core/evidence/export_time_zone.h"

#include <cstdint>
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
        std::string description; // what was exported, one sentence
        std::string bytes;       // exactly the bytes now in the file
        // What the file shows differently from the archive, one sentence each
        // (today: NUL bytes a CSV writes as U+FFFD). Empty when nothing was changed.
        std::vector<std::string> notes;
        std::int64_t replacedNulBytes = 0;
    };

    // Throws kx::Error when the conversation is not in the archive, the archive
    // cannot be read, or the file cannot be written.
    Written write(const std::string& conversationKey, ExportFormat format, const std::string& to, Date exportedAt,
                  const std::string& appVersion) const;

    // The document write() renders, for callers that want the records.
    ExportDocument document(const std::string& conversationKey, Date exportedAt, const std::string& appVersion) const;

private:
    const TreskStore& store_;
    std::string owner_;
    std::string attachmentsPath_;
    const ContactResolver& resolver_;
    ExportTimeZone timeZone_;
    int pageSize_;
};

} // namespace kx
