#include "core/evidence/conversation_exporter.h"

#include "core/archive/attachment_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>

namespace kx {

ConversationExporter::ConversationExporter(const TreskStore& store, std::string owner, std::string attachmentsPath,
                                           const ContactResolver& resolver, ExportTimeZone timeZone, int pageSize)
    : store_(store), owner_(std::move(owner)), attachmentsPath_(std::move(attachmentsPath)), resolver_(resolver),
      timeZone_(std::move(timeZone)), pageSize_(pageSize > 0 ? pageSize : kDefaultPageSize) {}

ExportDocument ConversationExporter::document(const std::string& conversationKey, Date exportedAt,
                                              const std::string& appVersion) const {
    const auto conversations = store_.conversations(owner_);
    auto conv = std::find_if(conversations.begin(), conversations.end(),
                             [&](const TreskStore::ConversationSummary& c) { return c.handle == conversationKey; });
    if (conv == conversations.end())
        throw Error("the conversation " + conversationKey + " is not in " + owner_ + "'s archive");

    ExportDocument doc;
    doc.owner = owner_;
    doc.conversationKey = conversationKey;
    doc.conversationName = resolver_.resolve(conversationKey, std::nullopt).displayName;
    doc.conversationDetail = conv->detail;
    doc.exportedAt = exportedAt;
    doc.appVersion = appVersion;
    doc.timeZone = timeZone_;

    const AttachmentStore objects(attachmentsPath_);
    for (std::int64_t offset = 0;; offset += pageSize_) {
        const auto page = store_.messages(owner_, conversationKey, pageSize_, offset);
        std::vector<std::string> ids;
        ids.reserve(page.size());
        for (const auto& hit : page) ids.push_back(hit.id);
        const auto attachments = store_.attachments(ids);
        for (const auto& hit : page) {
            ExportMessage m;
            m.guid = hit.id;
            m.date = hit.date;
            m.isFromMe = hit.isFromMe;
            m.service = hit.service;
            m.text = hit.text;
            m.dateEdited = hit.dateEdited;
            m.dateRetracted = hit.dateRetracted;
            m.sources = hit.sourceIds;
            if (hit.isFromMe) {
                m.senderName = "Me";
                m.senderHandle.clear(); // the hit's handle is the other party's
            } else {
                m.senderHandle = hit.senderHandle.value_or("");
                // The chat's display name is the group's name, never the sender's: resolve the
                // handle alone so an unknown member shows as their handle.
                m.senderName = m.senderHandle.empty() ? "Unknown sender"
                                                      : resolver_.resolve(m.senderHandle, std::nullopt).displayName;
            }
            if (auto it = attachments.find(hit.id); it != attachments.end()) {
                for (const auto& a : it->second) {
                    ExportAttachment e;
                    e.id = a.id;
                    e.fileName = a.fileName;
                    e.mimeType = a.mimeType;
                    e.totalBytes = a.totalBytes;
                    // The object key is the SHA-256 of the bytes; name it only when they are stored.
                    if (a.objectKey && AttachmentStore::isValidKey(*a.objectKey) && objects.contains(*a.objectKey))
                        e.sha256 = a.objectKey;
                    m.attachments.push_back(std::move(e));
                }
            }
            doc.messages.push_back(std::move(m));
        }
        if (static_cast<std::int64_t>(page.size()) < pageSize_) break;
    }
    return doc;
}

ConversationExporter::Written ConversationExporter::write(const std::string& conversationKey, ExportFormat format,
                                                          const std::string& to, Date exportedAt,
                                                          const std::string& appVersion) const {
    if (to.empty()) throw Error("no destination was given for the export");
    ExportDocument doc = document(conversationKey, exportedAt, appVersion);
    Written w;
    if (format == ExportFormat::csv) {
        CsvNotes notes;
        w.bytes = renderCsv(doc, &notes);
        w.replacedNulBytes = notes.replacedNulBytes;
    } else {
        w.bytes = render(doc, format);
    }
    w.description = describeExport(doc, format);
    if (w.replacedNulBytes > 0)
        w.notes.push_back(std::to_string(w.replacedNulBytes) +
                          (w.replacedNulBytes == 1 ? " NUL byte was" : " NUL bytes were") +
                          " written as U+FFFD, since a spreadsheet would cut the cell there.");
    fs::writeFileAtomic(to, w.bytes);
    return w;
}

} // namespace kx
