#include "core/evidence/conversation_exporter.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/sha256.h"

#include <algorithm>
#include <memory>

namespace kx {

ConversationExporter::ConversationExporter(const TreskStore& store, std::string owner, std::string attachmentsPath,
                                           const ContactResolver& resolver, ExportTimeZone timeZone, int pageSize)
    : store_(store), owner_(std::move(owner)), attachmentsPath_(std::move(attachmentsPath)), resolver_(resolver),
      timeZone_(std::move(timeZone)), pageSize_(pageSize > 0 ? pageSize : kDefaultPageSize) {}

ExportMessage ConversationExporter::exportMessage(
    const TreskStore::SearchHit& hit, const std::map<std::string, std::vector<TreskStore::AttachmentRef>>& attachments,
    TreskStore::VersionReader& versions, ObjectChecks& checks) const {
    ExportMessage m;
    m.guid = hit.id;
    m.date = hit.date;
    m.isFromMe = hit.isFromMe;
    m.service = hit.service;
    m.text = hit.text;
    m.dateEdited = hit.dateEdited;
    m.dateRetracted = hit.dateRetracted;
    m.sources = hit.sourceIds;
    for (auto& v : versions.read(hit.id))
        if (!hit.text || v.text != *hit.text) m.earlierVersions.push_back({std::move(v.text), v.date});
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
            // The object key is the SHA-256 of the bytes; name it only when the
            // stored file still holds them.
            if (a.objectKey) {
                auto [at, fresh] = checks.found.try_emplace(*a.objectKey);
                if (fresh) at->second = storedObjectDigest(attachmentsPath_, *a.objectKey);
                if (at->second == *a.objectKey) e.sha256 = a.objectKey;
                else if (!checks.problem)
                    checks.problem = AttachmentBytesProblem{a.id,       a.fileName.value_or(""),
                                                            hit.id,     *a.objectKey,
                                                            at->second, 0};
            }
            m.attachments.push_back(std::move(e));
        }
    }
    return m;
}

ExportStream ConversationExporter::stream(const std::string& conversationKey, Date exportedAt,
                                          const std::string& appVersion, ObjectChecks& checks) const {
    const auto conversations = store_.conversations(owner_);
    auto conv = std::find_if(conversations.begin(), conversations.end(),
                             [&](const TreskStore::ConversationSummary& c) { return c.handle == conversationKey; });
    if (conv == conversations.end())
        throw Error("the conversation " + conversationKey + " is not in " + owner_ + "'s archive");

    ExportStream s;
    ExportDocument& doc = s.head;
    doc.owner = owner_;
    doc.conversationKey = conversationKey;
    doc.conversationName = resolver_.resolve(conversationKey, std::nullopt).displayName;
    doc.conversationDetail = conv->detail;
    doc.exportedAt = exportedAt;
    doc.appVersion = appVersion;
    doc.timeZone = timeZone_;
    // Counted by the same rule the pages are read by (reactions are not messages).
    s.messageCount = conv->messageCount;
    // Prepared once for the export, however many times it is read (a PDF reads it twice).
    std::shared_ptr<TreskStore::VersionReader> versions = store_.versionReader();
    s.forEachMessage = [this, conversationKey, versions, &checks](const ExportStream::Visit& visit) {
        // Each page starts right after the last message of the one before, so
        // no page skips over the rows before it.
        std::optional<std::string> last;
        for (;;) {
            const auto page = store_.messagesAfter(conversationKey, last, pageSize_);
            std::vector<std::string> ids;
            ids.reserve(page.size());
            for (const auto& hit : page) ids.push_back(hit.id);
            const auto attachments = store_.attachments(ids);
            for (const auto& hit : page) visit(exportMessage(hit, attachments, *versions, checks));
            if (static_cast<std::int64_t>(page.size()) < pageSize_) break;
            last = page.back().id;
        }
    };
    return s;
}

ExportDocument ConversationExporter::document(const std::string& conversationKey, Date exportedAt,
                                              const std::string& appVersion) const {
    const auto snapshot = store_.readSnapshot();
    ObjectChecks checks;
    const ExportStream s = stream(conversationKey, exportedAt, appVersion, checks);
    ExportDocument doc = s.head;
    s.forEachMessage([&](const ExportMessage& m) { doc.messages.push_back(m); });
    return doc;
}

ConversationExporter::Written ConversationExporter::write(const std::string& conversationKey, ExportFormat format,
                                                          const std::string& to, Date exportedAt,
                                                          const std::string& appVersion) const {
    if (to.empty()) throw Error("no destination was given for the export");
    // Every page is read from one state of the archive: a run that archives
    // meanwhile cannot shift the pages or change the count.
    const auto snapshot = store_.readSnapshot();
    ObjectChecks checks;
    ExportStream s = stream(conversationKey, exportedAt, appVersion, checks);

    // The span of dates, gathered on the way (the PDF reads the messages twice;
    // the earliest and latest come out the same).
    std::optional<Date> first, last;
    auto read = std::move(s.forEachMessage);
    s.forEachMessage = [&](const ExportStream::Visit& visit) {
        read([&](const ExportMessage& m) {
            if (m.date) {
                if (!first || *m.date < *first) first = m.date;
                if (!last || *m.date > *last) last = m.date;
            }
            visit(m);
        });
    };

    fs::AtomicFileWriter file(to);
    Sha256 digest;
    Written w;
    const ExportOutput out = [&](std::string_view bytes) {
        file.write(bytes);
        digest.update(bytes);
        w.size += bytes.size();
    };
    CsvNotes notes;
    kx::write(s, format, out, &notes);
    w.replacedNulBytes = notes.replacedNulBytes;
    w.attachmentProblem = std::move(checks.problem);
    w.sha256 = digest.finishHex();
    w.description = describeExport(s.head, s.messageCount, first, last, format);
    if (w.replacedNulBytes > 0)
        w.notes.push_back(std::to_string(w.replacedNulBytes) +
                          (w.replacedNulBytes == 1 ? " NUL byte was" : " NUL bytes were") +
                          " written as U+FFFD, since a spreadsheet would cut the cell there.");
    // The seal records the description, so what the file shows differently goes with it.
    for (const auto& note : w.notes) w.description += " " + note;
    file.commit();
    return w;
}

} // namespace kx
