#include "core/backup/backup_merge.h"

#include "core/archive/archive_layout.h"
#include "core/archive/attachment_store.h"
#include "core/archive/run_lock.h"
#include "core/archive/tresk_store.h"
#include "core/archive/tresk_store_detail.h"
#include "core/archive/tresk_store_writer.h"
#include "core/evidence/digest.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/posix_file.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <nlohmann/json.hpp>
#define XXH_STATIC_LINKING_ONLY // the hashing state is kept between runs (RecordDigest::kept)
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

SQLite::Database openReadOnly(const stdfs::path& file) {
    SQLite::Database db(file.string(), SQLite::OPEN_READONLY);
    db.exec("PRAGMA query_only = 1");
    return db;
}

bool hasTable(SQLite::Database& db, const char* name) {
    SQLite::Statement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    q.bind(1, name);
    return q.executeStep();
}

std::optional<std::string> metaValue(SQLite::Database& db, const char* key) {
    if (!hasTable(db, "meta")) return std::nullopt;
    SQLite::Statement q(db, "SELECT value FROM meta WHERE key = ?");
    q.bind(1, key);
    if (!q.executeStep()) return std::nullopt;
    return q.getColumn(0).getString();
}

} // namespace

RecordDigest::RecordDigest() : state_(XXH3_createState()) {
    if (!state_ || XXH3_128bits_reset(state_) != XXH_OK) throw Error("could not start a digest");
}

RecordDigest::RecordDigest(const RecordDigest& other) : RecordDigest() { *this = other; }

RecordDigest& RecordDigest::operator=(const RecordDigest& other) {
    XXH3_copyState(state_, other.state_);
    records_ = other.records_;
    lastSeq_ = other.lastSeq_;
    last_ = other.last_;
    checkpoints_ = other.checkpoints_;
    marks_ = other.marks_;
    return *this;
}

RecordDigest::~RecordDigest() { XXH3_freeState(state_); }

std::string RecordDigest::hex() const {
    XXH128_canonical_t digest;
    XXH128_canonicalFromHash(&digest, XXH3_128bits_digest(state_));
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest.digest) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

// The record at seq, hashed; nothing when there is none.
static std::optional<uint64_t> hashOfRecord(SQLite::Database& db, int64_t seq) {
    SQLite::Statement q(db, "SELECT body FROM records WHERE seq = ?");
    q.bind(1, seq);
    if (!q.executeStep()) return std::nullopt;
    const SQLite::Column body = q.getColumn(0);
    return XXH3_64bits(body.getBlob(), static_cast<size_t>(body.getBytes()));
}

bool RecordDigest::goesOnIn(SQLite::Database& db) const {
    if (records_ == 0) return true;
    for (const auto& [seq, hash] : marks_)
        if (hashOfRecord(db, seq) != hash) return false;
    return hashOfRecord(db, lastSeq_) == last_;
}

bool RecordDigest::extend(SQLite::Database& db, std::optional<int64_t> upTo) {
    if (!goesOnIn(db)) return false;
    SQLite::Statement q(db, "SELECT seq, body FROM records WHERE seq > ? ORDER BY seq LIMIT ?");
    q.bind(1, lastSeq_);
    q.bind(2, upTo ? std::max<int64_t>(0, *upTo - records_) : int64_t(-1));
    while (q.executeStep()) {
        const SQLite::Column body = q.getColumn(1);
        const auto n = static_cast<uint32_t>(body.getBytes());
        const unsigned char len[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                      static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
        XXH3_128bits_update(state_, len, sizeof len);
        XXH3_128bits_update(state_, body.getBlob(), n);
        lastSeq_ = q.getColumn(0).getInt64();
        if (++records_ % kRecordsPerCheckpoint == 0) {
            checkpoints_.push_back(hex());
            marks_.emplace_back(lastSeq_, XXH3_64bits(body.getBlob(), n));
        }
    }
    if (records_ > 0) last_ = hashOfRecord(db, lastSeq_).value_or(0);
    return true;
}

// The hashing state is kept as the parts of XXH3's streaming state that
// hashing changes (the rest is what a reset sets), with the library's version:
// a state kept by another version is not taken.
nlohmann::json RecordDigest::kept() const {
    nlohmann::json marks = nlohmann::json::array();
    for (const auto& [seq, hash] : marks_) marks.push_back({seq, hash});
    return {{"xxhash", XXH_versionNumber()},
            {"records", records_},
            {"lastSeq", lastSeq_},
            {"last", last_},
            {"acc", lowerHex(reinterpret_cast<const unsigned char*>(state_->acc), sizeof state_->acc)},
            {"buffer", lowerHex(state_->buffer, sizeof state_->buffer)},
            {"buffered", state_->bufferedSize},
            {"stripes", state_->nbStripesSoFar},
            {"length", state_->totalLen},
            {"digest", hex()},
            {"checkpoints", checkpoints_},
            {"marks", marks}};
}

std::optional<RecordDigest> RecordDigest::fromKept(const nlohmann::json& k) {
    auto bytes = [](const nlohmann::json& text, unsigned char* out, size_t size) {
        std::string b;
        if (!evidence::fromHex(text.get_ref<const std::string&>(), b) || b.size() != size) return false;
        std::memcpy(out, b.data(), size);
        return true;
    };
    try {
        if (XXH_versionNumber() != XXH_VERSION_NUMBER || k.at("xxhash").get<unsigned>() != XXH_versionNumber())
            return std::nullopt;
        RecordDigest d;
        XXH3_state_t& s = *d.state_;
        if (!bytes(k.at("acc"), reinterpret_cast<unsigned char*>(s.acc), sizeof s.acc) ||
            !bytes(k.at("buffer"), s.buffer, sizeof s.buffer))
            return std::nullopt;
        s.bufferedSize = k.at("buffered").get<XXH32_hash_t>();
        s.nbStripesSoFar = k.at("stripes").get<size_t>();
        s.totalLen = k.at("length").get<XXH64_hash_t>();
        // What the library would read past its buffers with is refused before it hashes.
        if (s.bufferedSize > sizeof s.buffer || s.nbStripesSoFar >= s.nbStripesPerBlock) return std::nullopt;
        d.records_ = k.at("records").get<int64_t>();
        d.lastSeq_ = k.at("lastSeq").get<int64_t>();
        d.last_ = k.at("last").get<uint64_t>();
        d.checkpoints_ = k.at("checkpoints").get<std::vector<std::string>>();
        d.marks_ = k.at("marks").get<std::vector<std::pair<int64_t, uint64_t>>>();
        if (d.records_ < 0 || d.checkpoints_.size() != static_cast<size_t>(d.records_ / kRecordsPerCheckpoint) ||
            d.marks_.size() != d.checkpoints_.size() || d.hex() != k.at("digest").get<std::string>())
            return std::nullopt;
        return d;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

namespace {

std::optional<std::string> optText(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return c.getString();
}
std::optional<Date> optDate(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return store_detail::fromNanos(c.getInt64());
}

// The messages of the stored archive (attached as "t") that hold something the
// local one lacks: the message itself, a body (shown or earlier) the local one
// has neither shown nor kept, a source that held it, an attachment or the bytes
// of one, or a field a later sighting would fill (sender, service, date,
// reaction target, thread, unsend). The writer never takes any of these away,
// so a message not listed holds nothing new. Only the stored messages in "s"
// are looked at, each through the indexes of both stores; the result comes in
// the order the backup took them in (so replies follow what they answer).
constexpr const char* kWantedSql = R"SQL(
w(guid) AS (
SELECT s.guid FROM s LEFT JOIN main.messages m ON m.guid = s.guid
 WHERE m.id IS NULL
    OR (s.text IS NOT NULL AND s.text IS NOT m.text AND NOT EXISTS (
        SELECT 1 FROM main.message_versions v WHERE v.message_id = m.id AND v.text = s.text))
    OR (s.handle_id IS NOT NULL AND m.handle_id IS NULL) OR (s.service IS NOT NULL AND m.service IS NULL)
    OR (s.date IS NOT NULL AND m.date IS NULL) OR (s.associated_guid IS NOT NULL AND m.associated_guid IS NULL)
    OR (s.thread_originator_guid IS NOT NULL AND m.thread_originator_guid IS NULL)
    OR (s.date_retracted IS NOT NULL AND m.date_retracted IS NULL)
UNION
SELECT s.guid FROM s CROSS JOIN t.message_versions sv ON sv.message_id = s.id
  JOIN main.messages m ON m.guid = s.guid
 WHERE sv.text IS NOT m.text AND NOT EXISTS (
       SELECT 1 FROM main.message_versions v WHERE v.message_id = m.id AND v.text = sv.text)
UNION
SELECT s.guid FROM s CROSS JOIN t.message_sources ss ON ss.message_id = s.id
  JOIN t.sources src ON src.id = ss.source_id JOIN main.messages m ON m.guid = s.guid
 WHERE NOT EXISTS (SELECT 1 FROM main.message_sources ms JOIN main.sources ls ON ls.id = ms.source_id
                    WHERE ms.message_id = m.id AND ls.source_id = src.source_id)
UNION
SELECT s.guid FROM s CROSS JOIN t.message_attachments sa ON sa.message_id = s.id
  JOIN t.attachments a ON a.id = sa.attachment_id JOIN main.messages m ON m.guid = s.guid
 WHERE NOT EXISTS (SELECT 1 FROM main.message_attachments ma JOIN main.attachments la ON la.id = ma.attachment_id
                    WHERE ma.message_id = m.id AND la.guid = a.guid
                      AND (a.object_key IS NULL OR la.object_key IS NOT NULL)))
SELECT w.guid, m.id IS NULL FROM w JOIN t.messages s ON s.guid = w.guid LEFT JOIN main.messages m ON m.guid = w.guid
 ORDER BY s.id
)SQL";

// Every stored message, or (given the number of records both stores share) the
// ones with a record after those: a message's own records (family 1), or those
// of an attachment it links (family 2). "+family" keeps the planner on the
// range of seq rather than on every record of the family.
constexpr const char* kEveryStoredMessage = "WITH s AS NOT MATERIALIZED (SELECT * FROM t.messages), ";
constexpr const char* kStoredMessagesAfter = R"SQL(
WITH s AS MATERIALIZED (SELECT * FROM t.messages WHERE id IN (
  SELECT subject FROM t.records WHERE seq > ?1 AND +family = 1
  UNION SELECT message_id FROM t.message_attachments WHERE attachment_id IN (
    SELECT subject FROM t.records WHERE seq > ?1 AND +family = 2))),
)SQL";

// The archive's run lock (the one an ingest takes), held while the merge writes.
// Reads whole messages of the stored archive, as a source reader would deliver them.
class StoredMessages {
public:
    explicit StoredMessages(SQLite::Database& db)
        : message_(db, "SELECT m.id, m.guid, c.key, h.handle, m.service, m.text, m.date, m.date_read, "
                       "m.date_delivered, m.is_from_me, m.associated_guid, m.associated_type, "
                       "m.thread_originator_guid, m.date_edited, m.date_retracted, m.conversation_id "
                       "FROM messages m JOIN conversations c ON c.id = m.conversation_id "
                       "LEFT JOIN handles h ON h.id = m.handle_id WHERE m.guid = ?"),
          versions_(db, "SELECT text, date FROM message_versions WHERE message_id = ? ORDER BY first_seen, rowid"),
          sources_(db, "SELECT s.source_id, s.format, s.label, s.path FROM message_sources ms JOIN sources s ON "
                       "s.id = ms.source_id WHERE ms.message_id = ? ORDER BY ms.first_seen, s.id"),
          attachments_(db, "SELECT a.id, a.guid, a.file_name, a.mime_type, a.uti, a.total_bytes, a.recorded_path, "
                           "a.has_file, a.object_key, a.is_sticker FROM message_attachments ma JOIN attachments a "
                           "ON a.id = ma.attachment_id WHERE ma.message_id = ? ORDER BY ma.position"),
          attachmentSource_(db, "SELECT st.path, st.state FROM attachment_sources st JOIN sources s ON s.id = "
                                "st.source_id WHERE st.attachment_id = ? AND s.source_id = ?") {
        // The first chat of each conversation, by GUID (chats are kept by GUID alone).
        SQLite::Statement q(db, "SELECT conversation_id, min(guid) FROM chats GROUP BY conversation_id");
        while (q.executeStep()) firstChat_[q.getColumn(0).getInt64()] = q.getColumn(1).getString();
    }

    struct Sighting {
        Source source;
        MessageRecord message;
    };
    struct Message {
        std::vector<Sighting> sightings;               // the one that brought it first
        std::map<std::string, std::string> objectKeys; // attachment GUID -> key of its stored bytes
        std::string conversationKey;
        std::string chatGuid;
    };

    std::optional<Message> read(const std::string& guid, const std::string& owner) {
        auto& q = message_;
        q.reset();
        q.bind(1, guid);
        if (!q.executeStep()) return std::nullopt;
        const int64_t id = q.getColumn(0).getInt64();
        MessageRecord m;
        m.guid = guid;
        Message out;
        out.conversationKey = q.getColumn(2).getString();
        m.handle = optText(q.getColumn(3));
        m.service = optText(q.getColumn(4));
        m.text = optText(q.getColumn(5));
        m.date = optDate(q.getColumn(6));
        m.dateRead = optDate(q.getColumn(7));
        m.dateDelivered = optDate(q.getColumn(8));
        m.isFromMe = q.getColumn(9).getInt() != 0;
        m.associatedMessageGuid = optText(q.getColumn(10));
        m.associatedMessageType = q.getColumn(11).getInt64();
        m.threadOriginatorGuid = optText(q.getColumn(12));
        m.dateEdited = optDate(q.getColumn(13));
        m.dateRetracted = optDate(q.getColumn(14));
        if (auto chat = firstChat_.find(q.getColumn(15).getInt64()); chat != firstChat_.end())
            out.chatGuid = m.chatGuid = chat->second;
        q.reset();

        versions_.reset();
        versions_.bind(1, id);
        while (versions_.executeStep()) {
            const std::string text = versions_.getColumn(0).getString();
            if (m.text && text == *m.text) continue;
            m.edits.push_back(EditRecord{optDate(versions_.getColumn(1)), text});
        }
        versions_.reset();

        struct StoredAttachment {
            int64_t id;
            AttachmentRecord record;
        };
        std::vector<StoredAttachment> attachments;
        attachments_.reset();
        attachments_.bind(1, id);
        while (attachments_.executeStep()) {
            AttachmentRecord a;
            a.guid = attachments_.getColumn(1).getString();
            a.fileName = optText(attachments_.getColumn(2));
            a.mimeType = optText(attachments_.getColumn(3));
            a.uti = optText(attachments_.getColumn(4));
            a.totalBytes = attachments_.getColumn(5).getInt64();
            a.recordedPath = optText(attachments_.getColumn(6));
            a.state = attachments_.getColumn(7).getInt() ? AttachmentFileState::present
                                                         : AttachmentFileState::notRecorded;
            if (!attachments_.getColumn(8).isNull()) out.objectKeys[a.guid] = attachments_.getColumn(8).getString();
            a.isSticker = attachments_.getColumn(9).getInt() != 0;
            attachments.push_back({attachments_.getColumn(0).getInt64(), std::move(a)});
        }
        attachments_.reset();

        sources_.reset();
        sources_.bind(1, id);
        while (sources_.executeStep()) {
            Source s;
            s.id = sources_.getColumn(0).getString();
            s.owner = owner;
            s.format =
                sourceFormatFromString(sources_.getColumn(1).getString()).value_or(SourceFormat::macosMessagesFolder);
            s.label = optText(sources_.getColumn(2));
            s.path = sources_.getColumn(3).getString();
            MessageRecord copy = m;
            for (const auto& a : attachments) {
                AttachmentRecord r = a.record;
                attachmentSource_.reset();
                attachmentSource_.bind(1, a.id);
                attachmentSource_.bind(2, s.id);
                if (attachmentSource_.executeStep()) {
                    if (!attachmentSource_.getColumn(0).isNull())
                        r.resolvedPath = stdfs::path(attachmentSource_.getColumn(0).getString());
                    r.state = stateFromName(attachmentSource_.getColumn(1).getString(), r.state);
                }
                attachmentSource_.reset();
                copy.attachments.push_back(std::move(r));
            }
            out.sightings.push_back({std::move(s), std::move(copy)});
        }
        sources_.reset();
        return out;
    }

private:
    static AttachmentFileState stateFromName(const std::string& name, AttachmentFileState fallback) {
        if (name == "present") return AttachmentFileState::present;
        if (name == "missing") return AttachmentFileState::missing;
        if (name == "refused") return AttachmentFileState::refused;
        if (name == "notRecorded") return AttachmentFileState::notRecorded;
        return fallback;
    }

    SQLite::Statement message_, versions_, sources_, attachments_, attachmentSource_;
    std::unordered_map<int64_t, std::string> firstChat_;
};

// The chats of one conversation of the stored archive, as a reader announces them.
std::vector<ChatRecord> chatsOf(SQLite::Database& db, const std::string& conversationKey) {
    std::vector<ChatRecord> out;
    SQLite::Statement q(db, "SELECT ch.guid, c.key, c.display_name, c.is_group, coalesce(ch.service, c.service), c.id "
                            "FROM chats ch JOIN conversations c ON c.id = ch.conversation_id WHERE c.key = ?");
    q.bind(1, conversationKey);
    while (q.executeStep()) {
        ChatRecord chat;
        chat.guid = q.getColumn(0).getString();
        chat.identifier = q.getColumn(1).getString();
        chat.displayName = optText(q.getColumn(2));
        chat.isGroup = q.getColumn(3).getInt() != 0;
        chat.service = optText(q.getColumn(4));
        SQLite::Statement p(db, "SELECT h.handle FROM conversation_handles ch JOIN handles h ON h.id = ch.handle_id "
                                "WHERE ch.conversation_id = ? ORDER BY h.handle");
        p.bind(1, q.getColumn(5).getInt64());
        while (p.executeStep()) chat.participants.push_back(p.getColumn(0).getString());
        out.push_back(std::move(chat));
    }
    return out;
}

} // namespace

bool isArchiveStore(const stdfs::path& dbFile) {
    try {
        SQLite::Database db = openReadOnly(dbFile);
        return metaValue(db, "formatVersion").has_value();
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<ArchiveContents> archiveContents(const stdfs::path& dbFile, const RecordDigest* first,
                                               RecordDigest* all) {
    try {
        SQLite::Database db = openReadOnly(dbFile);
        if (!metaValue(db, "formatVersion") || !hasTable(db, "records")) return std::nullopt;
        RecordDigest digest;
        if (first) digest = *first;
        if (!digest.extend(db, std::nullopt)) {
            digest = RecordDigest(); // not the file the first records were read from
            digest.extend(db, std::nullopt);
        }
        ArchiveContents c{digest.records(), digest.hex(), 0, digest.checkpoints()};
        if (all) *all = digest;
        SQLite::Statement q(db, "SELECT count(*) FROM messages");
        if (q.executeStep()) c.messages = q.getColumn(0).getInt64();
        return c;
    } catch (const SQLite::Exception& e) {
        throw Error("could not read the archive database " + dbFile.string() + " (" + e.what() + ")");
    }
}

HeldRecords recordsHeld(const stdfs::path& dbFile, const ArchiveContents& contents, const RecordDigest* known) {
    HeldRecords held;
    try {
        SQLite::Database db = openReadOnly(dbFile);
        if (!hasTable(db, "records")) return held;
        RecordDigest d;
        if (known && known->records() <= contents.records) d = *known;
        int64_t start = d.records();
        if (!d.extend(db, contents.records)) { // not the store the known digest was taken of
            d = RecordDigest();
            start = 0;
            d.extend(db, contents.records);
        }
        held.read = d.records() - start;
        for (size_t i = 0; i < std::min(d.checkpoints().size(), contents.checkpoints.size()); ++i) {
            if (d.checkpoints()[i] != contents.checkpoints[i]) break;
            held.shared = static_cast<int64_t>(i + 1) * kRecordsPerCheckpoint;
        }
        if (d.records() == contents.records && d.hex() == contents.digest) {
            held.all = true;
            held.shared = d.records();
            held.digest = std::move(d);
        }
    } catch (const SQLite::Exception&) {
    }
    return held;
}

MergeResult mergeStoredArchive(const stdfs::path& storedDb, const stdfs::path& localDb, const stdfs::path& scratch,
                               const FetchArchiveFile& fetch, const std::function<void()>& beforeCommit,
                               int64_t sharedRecords) {
    std::optional<SQLite::Database> storedOpen;
    std::string owner;
    try {
        storedOpen.emplace(openReadOnly(storedDb));
        SQLite::Database& s = *storedOpen;
        const auto version = metaValue(s, "formatVersion");
        if (!version) throw UnmergeableBackupError("its database is not a Kelvara archive");
        if (std::atoi(version->c_str()) > TreskStore::kFormatVersion)
            throw UnmergeableBackupError("its database was written by a newer version of Kelvara");
        owner = metaValue(s, "owner").value_or("");
        SQLite::Database local = openReadOnly(localDb);
        const std::string localOwner = metaValue(local, "owner").value_or("");
        if (owner != localOwner)
            throw UnmergeableBackupError("its database is the archive of \"" + owner + "\", not of \"" + localOwner +
                                         "\"");
    } catch (const SQLite::Exception& e) {
        throw UnmergeableBackupError(std::string("its database could not be read (") + e.what() + ")");
    }
    SQLite::Database& stored = *storedOpen;

    // Which messages of the backup hold something the local archive lacks, in
    // the order the backup took them in (so replies follow what they answer).
    std::vector<std::string> wanted;
    std::unordered_set<std::string> absent;
    try {
        SQLite::Database local = openReadOnly(localDb);
        SQLite::Statement attach(local, "ATTACH DATABASE ? AS t");
        attach.bind(1, storedDb.string());
        attach.exec();
        SQLite::Statement q(local,
                            std::string(sharedRecords ? kStoredMessagesAfter : kEveryStoredMessage) + kWantedSql);
        if (sharedRecords) q.bind(1, sharedRecords);
        while (q.executeStep()) {
            wanted.push_back(q.getColumn(0).getString());
            if (q.getColumn(1).getInt()) absent.insert(wanted.back());
        }
    } catch (const SQLite::Exception& e) {
        throw UnmergeableBackupError(std::string("its database could not be read (") + e.what() + ")");
    }
    MergeResult result;
    if (wanted.empty()) return result;
    const std::string root = localDb.parent_path().parent_path().string();
    std::optional<ArchiveRunLock> lock;
    try {
        lock.emplace(root);
    } catch (const ArchiveRunLock::Busy&) {
        throw Error("an archive run is writing to the archive at " + root + "; back up again once it has finished");
    } catch (const ArchiveRunLock::Unusable& u) {
        throw Error("the archive at " + root + " could not be locked (" + u.reason + ")");
    }
    const stdfs::path attachmentsRoot = ArchiveLayout::besideDatabase(localDb.string()).attachments;
    AttachmentStore objects(attachmentsRoot);
    std::unordered_map<std::string, bool> fetched; // attachment key -> its bytes are in the local store
    auto haveBytes = [&](const std::string& key) {
        if (auto it = fetched.find(key); it != fetched.end()) return it->second;
        bool ok = false;
        if (AttachmentStore::isValidKey(key)) {
            if (objects.contains(key)) {
                ok = true;
            } else {
                const std::string rel = std::string(ArchiveLayout::kAttachmentsFolder) + "/" +
                                        objects.objectPath(key).lexically_relative(attachmentsRoot).generic_string();
                const stdfs::path file = scratch / ("attachment-" + key);
                if (fetch(rel, file)) {
                    ok = objects.put(file) == key;
                    if (ok) ++result.attachmentsAdded;
                }
                std::error_code ec;
                stdfs::remove(file, ec);
            }
        }
        return fetched[key] = ok;
    };

    // One read transaction for all the reads, rather than a lock and a look at the file for each.
    SQLite::Transaction reading(stored, SQLite::TransactionBehavior::DEFERRED);
    StoredMessages reader(stored);
    const Date now = std::chrono::system_clock::now();
    std::unique_ptr<TreskStoreWriter> writer = TreskStoreWriter::open(localDb.string(), owner, now);
    std::unordered_map<std::string, int64_t> sourceRows;
    std::set<std::string> chatsAnnounced;
    {
        SQLite::Database local = openReadOnly(localDb);
        SQLite::Statement q(local, "SELECT guid FROM chats");
        while (q.executeStep()) chatsAnnounced.insert(q.getColumn(0).getString());
        // Sources this archive knows keep the details it holds for them.
        SQLite::Statement r(local, "SELECT source_id, id FROM sources");
        while (r.executeStep()) sourceRows[r.getColumn(0).getString()] = r.getColumn(1).getInt64();
    }
    writer->begin();
    try {
        for (const std::string& guid : wanted) {
            std::optional<StoredMessages::Message> m = reader.read(guid, owner);
            if (!m) continue;
            // Chats this archive does not know yet are announced as a reader would;
            // known ones keep the names this archive gave them.
            if (!m->chatGuid.empty() && !chatsAnnounced.count(m->chatGuid))
                for (ChatRecord& chat : chatsOf(stored, m->conversationKey))
                    if (chatsAnnounced.insert(chat.guid).second) writer->addChat(chat);
            std::unordered_map<std::string, std::string> keys;
            for (const auto& [attachment, key] : m->objectKeys) {
                if (haveBytes(key)) keys[attachment] = key;
                else result.attachmentsMissing.push_back(attachment);
            }
            for (const auto& sighting : m->sightings) {
                auto row = sourceRows.find(sighting.source.id);
                if (row == sourceRows.end())
                    row = sourceRows.emplace(sighting.source.id, writer->sourceRow(sighting.source, now)).first;
                writer->addMessage(sighting.message, row->second, now, keys);
            }
            if (absent.count(guid)) ++result.messagesAdded;
            else ++result.messagesGrown;
        }
        if (beforeCommit) beforeCommit();
        writer->commit();
    } catch (...) {
        writer->rollback();
        throw;
    }
    return result;
}

} // namespace kx
