#include "core/evidence/message_canonical.h"

#include "core/archive/tresk_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <SQLiteCpp/SQLiteCpp.h>

namespace kx {

namespace {

void putLength(std::string& out, std::uint32_t n) {
    const char b[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
    out.append(b, 4);
}

void put(std::string& out, std::string_view value) {
    putLength(out, static_cast<std::uint32_t>(value.size()));
    out.append(value);
}

void put(std::string& out, const std::optional<std::string>& value) {
    if (value) put(out, std::string_view(*value));
    else putLength(out, 0xFFFFFFFFu);
}

std::optional<std::string> optionalText(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return c.getString();
}

} // namespace

void canonicalBytes(const CanonicalMessage& m, std::string& out) {
    out.clear();
    out.append("KXM1", 4);
    put(out, std::string_view(m.guid));
    put(out, std::string_view(m.conversationKey));
    put(out, m.senderHandle);
    put(out, m.service);
    put(out, m.dateNanos ? std::optional<std::string>(std::to_string(*m.dateNanos)) : std::nullopt);
    put(out, std::string_view(m.isFromMe ? "1" : "0"));
    put(out, m.text);
    put(out, m.associatedGuid);
    put(out, std::string_view(std::to_string(m.associatedType)));
    put(out, m.threadOriginatorGuid);
    put(out, std::string_view(m.isReaction ? "1" : "0"));
    put(out, std::string_view(std::to_string(m.attachments.size())));
    for (const auto& a : m.attachments) {
        put(out, std::string_view(a.guid));
        put(out, a.fileName);
        put(out, a.mimeType);
    }
}

void walkArchiveInInsertionOrder(const std::string& databasePath,
                                 const std::function<bool(const CanonicalMessage&)>& visit) {
    // Never let SQLite create a missing file: a missing archive is an error.
    if (!fs::isRegularFile(databasePath)) throw Error("there is no archive at " + databasePath);
    try {
        SQLite::Database db(databasePath, SQLite::OPEN_READONLY);
        db.exec("PRAGMA query_only = ON");
        SQLite::Transaction snapshot(db);  // both cursors read the same state
        SQLite::Statement messages(db,
                                   "SELECT m.id, m.guid, c.key, h.handle, m.service, m.date, m.is_from_me, m.text, "
                                   "m.associated_guid, m.associated_type, m.thread_originator_guid, m.is_reaction "
                                   "FROM messages m "
                                   "LEFT JOIN conversations c ON c.id = m.conversation_id "
                                   "LEFT JOIN handles h ON h.id = m.handle_id "
                                   "ORDER BY m.id");
        SQLite::Statement attachments(db,
                                      "SELECT ma.message_id, a.guid, a.file_name, a.mime_type "
                                      "FROM message_attachments ma JOIN attachments a ON a.id = ma.attachment_id "
                                      "ORDER BY ma.message_id, ma.position, a.id");
        bool attachmentRow = attachments.executeStep();
        CanonicalMessage m;
        while (messages.executeStep()) {
            const std::int64_t id = messages.getColumn(0).getInt64();
            m.guid = messages.getColumn(1).getString();
            m.conversationKey = messages.getColumn(2).isNull() ? std::string() : messages.getColumn(2).getString();
            m.senderHandle = optionalText(messages.getColumn(3));
            m.service = optionalText(messages.getColumn(4));
            m.dateNanos = messages.getColumn(5).isNull() ? std::nullopt
                                                         : std::optional<std::int64_t>(messages.getColumn(5).getInt64());
            m.isFromMe = messages.getColumn(6).getInt64() != 0;
            m.text = optionalText(messages.getColumn(7));
            m.associatedGuid = optionalText(messages.getColumn(8));
            m.associatedType = messages.getColumn(9).getInt64();
            m.threadOriginatorGuid = optionalText(messages.getColumn(10));
            m.isReaction = messages.getColumn(11).getInt64() != 0;
            m.attachments.clear();
            while (attachmentRow && attachments.getColumn(0).getInt64() < id) attachmentRow = attachments.executeStep();
            while (attachmentRow && attachments.getColumn(0).getInt64() == id) {
                m.attachments.push_back({attachments.getColumn(1).getString(), optionalText(attachments.getColumn(2)),
                                         optionalText(attachments.getColumn(3))});
                attachmentRow = attachments.executeStep();
            }
            if (!visit(m)) break;
        }
    } catch (const SQLite::Exception& e) {
        throw Error("the archive " + databasePath + " could not be read: " + e.what());
    }
}

TreskManifest::MessageWalk archiveWalk(const TreskStore& store) {
    const std::string path = store.path();
    return [path](const TreskManifest::MessageVisitor& visitor) {
        std::string bytes;
        walkArchiveInInsertionOrder(path, [&](const CanonicalMessage& m) {
            canonicalBytes(m, bytes);
            return visitor(m.guid, bytes);
        });
    };
}

} // namespace kx
