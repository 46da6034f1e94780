#pragma once
// Builds small owner archives for the evidence tests through the store writer.
// Everything is made up here: handles, texts, attachments.
#include "core/archive/archive_records.h"
#include "core/archive/tresk_store_writer.h"
#include "core/evidence/tresk_manifest.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kx::test {

inline Date fixtureDate(std::int64_t i) {
    // 2024-03-01T09:00:00Z plus one minute per message.
    return fromUnixSeconds(1709283600.0 + 60.0 * static_cast<double>(i));
}

inline std::string fixtureGuid(const std::string& prefix, std::int64_t i) { return prefix + "-" + std::to_string(i); }

// The photo attached to message `guid`: "ATT-<guid>", "photo-<i>.jpg".
inline AttachmentRecord fixturePhoto(const std::string& guid, std::int64_t i, AttachmentFileState state) {
    AttachmentRecord a;
    a.guid = "ATT-" + guid;
    a.fileName = "photo-" + std::to_string(i) + ".jpg";
    a.mimeType = "image/jpeg";
    a.totalBytes = 1000 + i;
    a.state = state;
    a.recordedPath = "~/Library/Messages/Attachments/" + *a.fileName;
    if (state == AttachmentFileState::present) a.resolvedPath = "/nowhere/" + *a.fileName;
    return a;
}

struct ArchiveSpec {
    std::string owner = "jorin";
    std::string handle = "+15550001111";
    std::string sourceId = "src-main";
    std::string guidPrefix = "MSG";
    std::int64_t first = 1;
    std::int64_t count = 10;
    std::int64_t dateOffset = 0;         // shifts the dates (an older source has earlier dates)
    int attachmentEvery = 0;             // every Nth message has an attachment (0: none)
    std::vector<std::string> texts = {}; // overrides messageText for the first few messages
};

// Adds messages to the archive at `db` (created when missing).
inline void addMessages(const std::filesystem::path& db, const ArchiveSpec& plan) {
    auto w = TreskStoreWriter::open(db.string(), plan.owner, fixtureDate(0));
    w->begin();
    Source src;
    src.id = plan.sourceId;
    src.owner = plan.owner;
    src.path = "/nowhere/" + plan.sourceId;
    src.format = SourceFormat::macosMessagesFolder;
    const std::int64_t row = w->sourceRow(src, fixtureDate(0));
    ChatRecord chat;
    chat.guid = "iMessage;-;" + plan.handle;
    chat.identifier = plan.handle;
    chat.service = "iMessage";
    chat.participants = {plan.handle};
    w->addChat(chat);
    for (std::int64_t i = plan.first; i < plan.first + plan.count; ++i) {
        MessageRecord m;
        m.guid = fixtureGuid(plan.guidPrefix, i);
        m.chatGuid = chat.guid;
        m.handle = plan.handle;
        m.service = "iMessage";
        const auto k = static_cast<std::size_t>(i - plan.first);
        m.text = k < plan.texts.size() ? plan.texts[k] : "Message number " + std::to_string(i);
        m.date = fixtureDate(i + plan.dateOffset);
        m.isFromMe = i % 2 == 0;
        if (plan.attachmentEvery && i % plan.attachmentEvery == 0)
            m.attachments.push_back(fixturePhoto(m.guid, i, AttachmentFileState::missing));
        w->addMessage(m, row, fixtureDate(0));
    }
    w->commit();
}

// A run of a later source ("src-later") bringing these messages, as they stand.
inline void laterRun(const std::filesystem::path& db, const std::vector<MessageRecord>& messages,
                     const std::string& owner = "jorin") {
    auto w = TreskStoreWriter::open(db.string(), owner, fixtureDate(0));
    w->begin();
    Source src;
    src.id = "src-later";
    src.owner = owner;
    src.path = "/nowhere/later";
    const auto row = w->sourceRow(src, fixtureDate(0));
    for (const auto& m : messages) w->addMessage(m, row, fixtureDate(0));
    w->commit();
}

// Records that an attachment's bytes are stored under `key`, as a run does.
inline void setObjectKey(const std::filesystem::path& db, const std::string& owner, const std::string& attachmentGuid,
                         const std::string& key) {
    auto w = TreskStoreWriter::open(db.string(), owner, fixtureDate(0));
    w->begin();
    w->setObjectKey(attachmentGuid, key);
    w->commit();
}

// Generates the manifest of the archive at `db` / checks the archive against one.
inline TreskManifest::File generateManifest(const std::filesystem::path& db, const std::string& owner, Date at) {
    TreskStore store(db.string());
    return TreskManifest::generate(store, owner, at, 1000);
}
inline TreskManifest::VerificationResult verifyManifest(const std::filesystem::path& db,
                                                        const TreskManifest::File& manifest) {
    TreskStore store(db.string());
    return TreskManifest::verify(store, manifest);
}

// Changes one stored value behind the application's back, as a tamperer would.
inline void tamper(const std::filesystem::path& db, const std::string& sql) {
    SQLite::Database d(db.string(), SQLite::OPEN_READWRITE);
    d.exec(sql);
}

// The position (seq) of the nth record (the last for -1) of a kind about `guid`
// (whose second field is `second`, when given) in the records table; -1 when
// there is none.
inline std::int64_t recordPosition(const std::filesystem::path& db, char kind, const std::string& guid, int nth = 0,
                                   const std::optional<std::string>& second = std::nullopt) {
    SQLite::Database d(db.string(), SQLite::OPEN_READONLY);
    SQLite::Statement q(d, "SELECT seq, body FROM records ORDER BY seq");
    std::int64_t last = -1;
    while (q.executeStep()) {
        const auto body = q.getColumn(1).getString();
        records::Decoded r;
        if (records::decode(body, r) && r.kind == kind && r.fields[0] == guid &&
            (!second || (r.fields.size() > 1 && r.fields[1] == second))) {
            last = q.getColumn(0).getInt64();
            if (nth-- == 0) return last;
        }
    }
    return nth < 0 ? last : -1;
}

} // namespace kx::test
