#include "core/archive/tresk_store_writer.h"

#include "core/archive/archive_records.h"
#include "core/archive/tresk_store_detail.h"
#include "core/archive/wal_write_buffer.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/private_files.h"

#include <filesystem>
#include <future>
#include <sqlite3.h>

namespace kx {

using store_detail::toNanos;

namespace {

// The store's tables (format 2: format 1 plus the records table). Changing them
// means a new formatVersion and a migration.
constexpr const char* kSchema = R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE sources(
  id INTEGER PRIMARY KEY,
  source_id TEXT NOT NULL UNIQUE,
  format TEXT NOT NULL,
  label TEXT,
  path TEXT NOT NULL,
  cursor_row_id INTEGER NOT NULL DEFAULT 0,
  cursor_guid TEXT NOT NULL DEFAULT '',
  cursor_extra TEXT NOT NULL DEFAULT '',
  first_read INTEGER,
  last_read INTEGER);
CREATE TABLE conversations(
  id INTEGER PRIMARY KEY,
  key TEXT NOT NULL UNIQUE,
  display_name TEXT,
  is_group INTEGER NOT NULL DEFAULT 0,
  service TEXT);
CREATE TABLE chats(
  guid TEXT PRIMARY KEY,
  conversation_id INTEGER NOT NULL REFERENCES conversations(id),
  service TEXT) WITHOUT ROWID;
CREATE TABLE handles(id INTEGER PRIMARY KEY, handle TEXT NOT NULL UNIQUE, name TEXT);
CREATE TABLE conversation_handles(
  conversation_id INTEGER NOT NULL REFERENCES conversations(id),
  handle_id INTEGER NOT NULL REFERENCES handles(id),
  PRIMARY KEY(conversation_id, handle_id)) WITHOUT ROWID;
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  guid TEXT NOT NULL UNIQUE,
  conversation_id INTEGER NOT NULL REFERENCES conversations(id),
  handle_id INTEGER REFERENCES handles(id),
  service TEXT,
  text TEXT,
  date INTEGER,
  date_read INTEGER,
  date_delivered INTEGER,
  is_from_me INTEGER NOT NULL DEFAULT 0,
  associated_guid TEXT,
  associated_type INTEGER NOT NULL DEFAULT 0,
  thread_originator_guid TEXT,
  date_edited INTEGER,
  date_retracted INTEGER,
  is_reaction INTEGER NOT NULL DEFAULT 0,
  first_archived INTEGER NOT NULL);
%CONVERSATION_INDEX%;
CREATE INDEX messages_by_associated ON messages(associated_guid) WHERE associated_guid IS NOT NULL;
CREATE TABLE message_versions(
  message_id INTEGER NOT NULL REFERENCES messages(id),
  text TEXT NOT NULL,
  date INTEGER,
  first_seen INTEGER NOT NULL,
  UNIQUE(message_id, text));
CREATE TABLE message_sources(
  message_id INTEGER NOT NULL REFERENCES messages(id),
  source_id INTEGER NOT NULL REFERENCES sources(id),
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  PRIMARY KEY(message_id, source_id)) WITHOUT ROWID;
CREATE TABLE attachments(
  id INTEGER PRIMARY KEY,
  guid TEXT NOT NULL UNIQUE,
  file_name TEXT,
  mime_type TEXT,
  uti TEXT,
  total_bytes INTEGER NOT NULL DEFAULT 0,
  recorded_path TEXT,
  has_file INTEGER,
  object_key TEXT,
  is_sticker INTEGER NOT NULL DEFAULT 0);
CREATE TABLE message_attachments(
  message_id INTEGER NOT NULL REFERENCES messages(id),
  attachment_id INTEGER NOT NULL REFERENCES attachments(id),
  position INTEGER NOT NULL,
  PRIMARY KEY(message_id, attachment_id)) WITHOUT ROWID;
CREATE TABLE attachment_sources(
  attachment_id INTEGER NOT NULL REFERENCES attachments(id),
  source_id INTEGER NOT NULL REFERENCES sources(id),
  path TEXT,
  state TEXT NOT NULL,
  PRIMARY KEY(attachment_id, source_id)) WITHOUT ROWID;
CREATE TABLE search_pending(message_id INTEGER PRIMARY KEY REFERENCES messages(id));
)SQL";

// Messages filed without their conversation because a source could not read
// their link to it (filed under the sender's handle, else under "unknown"): a
// later sighting that names the conversation moves them there. Bookkeeping
// beside the views, like search_pending; the move itself is a record.
constexpr const char* kConversationPendingSchema =
    "CREATE TABLE IF NOT EXISTS conversation_pending(message_id INTEGER PRIMARY KEY REFERENCES messages(id))";

// The real messages of each day and of each source (tresk_store_detail.h),
// kept as messages are added so that the coverage of a large archive is read
// without going through its messages.
constexpr const char* kActivitySchema =
    "CREATE TABLE IF NOT EXISTS activity_days(day INTEGER PRIMARY KEY, messages INTEGER NOT NULL, "
    "first INTEGER NOT NULL, last INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS source_activity(source INTEGER PRIMARY KEY REFERENCES sources(id), "
    "messages INTEGER NOT NULL, first INTEGER NOT NULL, last INTEGER NOT NULL)";

// The running totals in the meta table (see TreskStoreWriter::totals).
constexpr const char* kMessagesKey = store_detail::kMessageTotalKey;
constexpr const char* kCorroboratedKey = "corroboratedTotal";
constexpr const char* kDuplicatesKey = "duplicateCopiesTotal";
constexpr const char* kConversationTotalsKey = "conversationTotalsUpTo";

// What format 2 added: the append-only records (archive_records.h).
constexpr const char* kRecordsSchema = R"SQL(
CREATE TABLE records(
  seq INTEGER PRIMARY KEY,
  family INTEGER NOT NULL,
  subject INTEGER NOT NULL,
  body BLOB NOT NULL);
CREATE INDEX records_by_subject ON records(family, subject, seq);
)SQL";

// The thread pages' index: messages of a conversation in date order. A first
// load into an empty store goes without it (one page per conversation would be
// dirtied by every batch) and builds it once at the end.
constexpr const char* kConversationIndex =
    "CREATE INDEX IF NOT EXISTS messages_by_conversation ON messages(conversation_id, is_reaction, date, id)";
// Search results newest first: a word found in a large share of the messages is
// answered by walking this index instead of sorting every match. Like the
// conversation index, built once at the end of a first load (sorting every
// entry once costs less than placing them one by one); added to older stores
// when they are first opened for writing.
constexpr const char* kDateIndex =
    "CREATE INDEX IF NOT EXISTS messages_by_date ON messages(date, id) WHERE is_reaction = 0";

// The writer's page cache: 32 MB.
constexpr const char* kPageCache = "PRAGMA cache_size = -32768";
// A new store's pages are 16 KiB: with them a first load of a million messages
// took 10-15% less time than with SQLite's default of 4 KiB (fewer pages to
// split, log and copy back per message, and fewer for the index builds at its
// end to write). Set before anything is written; a store made with other pages
// is read and written as it is.
constexpr const char* kNewStorePageSize = "PRAGMA page_size = 16384";

std::string schemaText() {
    std::string s = kSchema;
    const std::string mark = "%CONVERSATION_INDEX%";
    s.replace(s.find(mark), mark.size(), std::string(kConversationIndex) + ";\n" + kDateIndex);
    return s;
}

bool isReactionType(int64_t t) { return t >= 2000 && t < 4000; }

// What `PRAGMA foreign_key_check` finds in the store, as the end of a sentence
// about the archive ("holds 2 rows that refer to missing rows (...)"); nothing
// when every reference holds.
std::optional<std::string> danglingReferences(const std::string& path) {
    try {
        SQLite::Database db(path, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX);
        db.setBusyTimeout(10000);
        SQLite::Statement q(db, "PRAGMA foreign_key_check");
        int64_t count = 0;
        std::string first;
        while (q.executeStep()) {
            if (++count == 1)
                first = "row " + std::to_string(q.getColumn(1).getInt64()) + " of " + q.getColumn(0).getString() +
                        " refers to a missing row of " + q.getColumn(2).getString();
        }
        if (count == 0) return std::nullopt;
        return "holds " + std::to_string(count) + (count == 1 ? " row that refers" : " rows that refer") +
               " to missing rows (" + first + ")";
    } catch (const std::exception& e) {
        return std::string("could not be checked for rows that refer to missing rows (") + e.what() + ")";
    }
}

void bindOpt(SQLite::Statement& s, int i, const std::optional<std::string>& v) {
    if (v) s.bind(i, *v);
    else s.bind(i);
}
// For values that stay in place until the statement has run (and a statement
// whose bindings are all set again before each run): SQLite reads them where
// they are instead of copying them.
void bindOptInPlace(SQLite::Statement& s, int i, const std::optional<std::string>& v) {
    if (v) s.bindNoCopy(i, *v);
    else s.bind(i);
}
void bindOpt(SQLite::Statement& s, int i, const std::optional<Date>& v) {
    if (v) s.bind(i, static_cast<int64_t>(toNanos(*v)));
    else s.bind(i);
}

std::optional<std::string> optColumn(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return c.getString();
}
std::optional<int64_t> optInt(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return c.getInt64();
}
std::optional<int64_t> optNanos(const std::optional<Date>& d) {
    if (!d) return std::nullopt;
    return toNanos(*d);
}
void bindOpt(SQLite::Statement& s, int i, const std::optional<int64_t>& v) {
    if (v) s.bind(i, *v);
    else s.bind(i);
}

std::string stateName(AttachmentFileState s) {
    switch (s) {
    case AttachmentFileState::present: return "present";
    case AttachmentFileState::missing: return "missing";
    case AttachmentFileState::refused: return "refused";
    case AttachmentFileState::notRecorded: return "notRecorded";
    }
    return "notRecorded";
}

} // namespace

std::string conversationKeyFromChatGuid(const std::string& chatGuid) {
    for (const char* sep : {";-;", ";+;"}) {
        const auto pos = chatGuid.find(sep);
        if (pos != std::string::npos && pos + 3 < chatGuid.size()) return chatGuid.substr(pos + 3);
    }
    return chatGuid;
}

struct TreskStoreWriter::Statements {
    SQLite::Statement insertMessage, findMessage, updateMessage, markSearchPending, insertVersion, fillVersionDate,
        insertProvenance, touchProvenance, countProvenance, findAttachment, insertAttachment, updateAttachment,
        linkAttachment, attachmentSource, insertHandle, findConversation, insertConversation, updateConversation,
        insertChat, insertMember, appendRecord, bumpConversation, appendRecords, insertSightings;
    explicit Statements(SQLite::Database& db)
        : insertMessage(
              db,
              "INSERT INTO messages(guid, conversation_id, handle_id, service, text, date, date_read, date_delivered, "
              "is_from_me, associated_guid, associated_type, thread_originator_guid, date_edited, date_retracted, "
              "is_reaction, first_archived) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT(guid) DO NOTHING"),
          findMessage(db, "SELECT id, text, date_edited, handle_id, service, date, date_read, date_delivered, "
                          "associated_guid, thread_originator_guid, date_retracted FROM messages WHERE guid = ?"),
          updateMessage(db, "UPDATE messages SET text = ?2, date_edited = ?3, handle_id = ?4, service = ?5, "
                            "date = ?6, date_read = ?7, date_delivered = ?8, associated_guid = ?9, "
                            "thread_originator_guid = ?10, date_retracted = ?11 WHERE id = ?1"),
          markSearchPending(db, "INSERT INTO search_pending(message_id) VALUES (?) ON CONFLICT DO NOTHING"),
          insertVersion(db, "INSERT INTO message_versions(message_id, text, date, first_seen) VALUES (?,?,?,?) "
                            "ON CONFLICT(message_id, text) DO NOTHING"),
          fillVersionDate(db,
                          "UPDATE message_versions SET date = ? WHERE message_id = ? AND text = ? AND date IS NULL"),
          insertProvenance(db,
                           "INSERT INTO message_sources(message_id, source_id, first_seen, last_seen) VALUES (?,?,?,?) "
                           "ON CONFLICT(message_id, source_id) DO NOTHING"),
          touchProvenance(db, "UPDATE message_sources SET last_seen = ? WHERE message_id = ? AND source_id = ?"),
          countProvenance(db, "SELECT count(*) FROM message_sources WHERE message_id = ?"),
          findAttachment(db, "SELECT id, file_name, mime_type, uti, total_bytes, recorded_path, has_file, object_key "
                             "FROM attachments WHERE guid = ?"),
          insertAttachment(db, "INSERT INTO attachments(guid, file_name, mime_type, uti, total_bytes, recorded_path, "
                               "has_file, object_key, is_sticker) VALUES (?,?,?,?,?,?,?,?,?)"),
          updateAttachment(db, "UPDATE attachments SET file_name = ?2, mime_type = ?3, uti = ?4, total_bytes = ?5, "
                               "recorded_path = ?6, has_file = ?7, object_key = ?8 WHERE id = ?1"),
          linkAttachment(db, "INSERT INTO message_attachments(message_id, attachment_id, position) VALUES (?,?,?) "
                             "ON CONFLICT DO NOTHING"),
          attachmentSource(
              db, "INSERT INTO attachment_sources(attachment_id, source_id, path, state) VALUES (?,?,?,?) "
                  "ON CONFLICT(attachment_id, source_id) DO UPDATE SET path = excluded.path, state = excluded.state"),
          insertHandle(db, "INSERT INTO handles(handle, name) VALUES (?, ?) ON CONFLICT(handle) DO UPDATE SET "
                           "name = coalesce(excluded.name, name) RETURNING id"),
          findConversation(db, "SELECT id, display_name, is_group, service FROM conversations WHERE key = ?"),
          insertConversation(db, "INSERT INTO conversations(key, display_name, is_group, service) VALUES (?,?,?,?)"),
          updateConversation(db,
                             "UPDATE conversations SET display_name = ?2, is_group = ?3, service = ?4 WHERE id = ?1"),
          insertChat(db,
                     "INSERT INTO chats(guid, conversation_id, service) VALUES (?,?,?) ON CONFLICT(guid) DO NOTHING"),
          insertMember(
              db, "INSERT INTO conversation_handles(conversation_id, handle_id) VALUES (?,?) ON CONFLICT DO NOTHING"),
          appendRecord(db, "INSERT INTO records(family, subject, body) VALUES (?,?,?)"),
          bumpConversation(db,
                           "INSERT INTO conversation_totals(conversation_id, messages, last_date) VALUES (?1, ?2, ?3) "
                           "ON CONFLICT(conversation_id) DO UPDATE SET messages = messages + excluded.messages, "
                           "last_date = CASE WHEN excluded.last_date IS NULL THEN last_date "
                           "WHEN last_date IS NULL OR excluded.last_date > last_date THEN excluded.last_date "
                           "ELSE last_date END"),
          // The statements that insert many rows stop at a failing row instead of
          // undoing the rows before it (a failure fails the transaction, which is
          // then rolled back whole): SQLite then keeps no copy of the pages they
          // change to undo them with.
          appendRecords(db, "INSERT OR FAIL INTO records(family, subject, body) VALUES " + rows("(?,?,?)")),
          insertSightings(db, "INSERT OR FAIL INTO message_sources(message_id, source_id, first_seen, last_seen) "
                              "SELECT id, ?3, ?4, ?4 FROM messages WHERE id BETWEEN ?1 AND ?2") {}
    // `kRowsPerInsert` copies of one row's placeholders.
    static std::string rows(const std::string& row) {
        std::string out = row;
        for (int i = 1; i < kRowsPerInsert; ++i) out += "," + row;
        return out;
    }
};

namespace {

// Inserts `rows` in order, `perStatement` to a run of `many` and the rest one
// to a run of `one`; bind(statement, offset, row) sets the values of a row
// whose first value goes to parameter offset + 1 (`columns` values a row).
template <typename Row, typename Bind>
void insertRows(SQLite::Statement& many, SQLite::Statement& one, const std::vector<Row>& rows, int columns,
                int perStatement, Bind bind) {
    size_t i = 0;
    for (; i + perStatement <= rows.size(); i += perStatement) {
        many.reset();
        for (int k = 0; k < perStatement; ++k) bind(many, columns * k, rows[i + k]);
        many.exec();
    }
    for (; i < rows.size(); ++i) {
        one.reset();
        bind(one, 0, rows[i]);
        one.exec();
    }
    many.clearBindings();
    one.clearBindings();
}

} // namespace

// Records wait in order and are inserted kRowsPerInsert to a statement (one
// statement per record costs more than the row): their seq numbers are those
// they would have had one by one.
void TreskStoreWriter::append(int64_t subject, records::Encoder& record) {
    std::string bytes = record.take();
    const int family = records::familyOf(bytes[4]);
    recordsToWrite_.push_back({family, subject, std::move(bytes)});
    if (recordsToWrite_.size() >= kRowsPerInsert) writeRecords();
}

void TreskStoreWriter::writeRecords() {
    insertRows(st_->appendRecords, st_->appendRecord, recordsToWrite_, 3, kRowsPerInsert,
               [](SQLite::Statement& s, int at, const PendingRecord& r) {
                   s.bind(at + 1, r.family);
                   s.bind(at + 2, r.subject);
                   s.bindNoCopy(at + 3, r.bytes.data(), static_cast<int>(r.bytes.size()));
               });
    recordsToWrite_.clear();
}

// The first source of a message stored just now: its row cannot exist yet, so
// it waits and goes in with others (a row that did exist fails the insert).
// Messages stored one after the other have consecutive ids and, from one
// source in one run, the same sighting: they wait as one run of ids, which one
// statement inserts, taking the ids from the messages themselves.
void TreskStoreWriter::addFirstSighting(int64_t messageId, int64_t sourceRow, int64_t nowNs) {
    auto& run = sightingsToWrite_;
    if (run.count > 0 && messageId == run.firstId + run.count && sourceRow == run.sourceRow && nowNs == run.nowNs) {
        ++run.count;
        return;
    }
    writeSightings();
    run = PendingSightings{messageId, 1, sourceRow, nowNs};
}

void TreskStoreWriter::writeSightings() {
    auto& run = sightingsToWrite_;
    if (run.count == 0) return;
    auto& s = st_->insertSightings;
    s.reset();
    s.bind(1, run.firstId);
    s.bind(2, run.firstId + run.count - 1);
    s.bind(3, run.sourceRow);
    s.bind(4, run.nowNs);
    if (s.exec() != run.count)
        throw Error("the archive's sources of messages " + std::to_string(run.firstId) + " to " +
                    std::to_string(run.firstId + run.count - 1) + " could not be recorded");
    run = PendingSightings{};
}

TreskStoreWriter::TreskStoreWriter(const std::string& path) : TreskStore(path, WritableTag{}) {}

TreskStoreWriter::~TreskStoreWriter() {
    st_.reset();
    rollback();
}

std::unique_ptr<TreskStoreWriter> TreskStoreWriter::open(const std::string& path, const std::string& owner, Date now) {
    std::unique_ptr<TreskStoreWriter> w(new TreskStoreWriter(path));
    try {
        fs::createPrivateDirectories(std::filesystem::path(path).parent_path());
        const bool existed = fs::exists(path);
        fs::preparePrivateDatabase(path);
        // The writer is used by one thread at a time: no per-call locking. Its
        // writes to the -wal are gathered into large ones (wal_write_buffer.h).
        w->db_ = std::make_unique<SQLite::Database>(path.c_str(),
                                                    SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOMUTEX,
                                                    0, walWriteBufferVfsName());
        w->db_->setBusyTimeout(10000);
        // Decide whether this is our store before anything is written to the file
        // (even switching the journal mode rewrites its header).
        const bool hasMeta = w->db_->tableExists("meta") && w->db_->tableExists("messages");
        const bool empty = w->db_->execAndGet("SELECT count(*) FROM sqlite_master").getInt() == 0;
        if (!hasMeta && existed && !empty) throw Error(path + " is not a Kelvara archive, so it was left as it is");
        w->db_->exec("PRAGMA foreign_keys = ON");
        if (empty) w->db_->exec(kNewStorePageSize);
        const std::string mode = w->db_->execAndGet("PRAGMA journal_mode = WAL").getString();
        if (mode != "wal") throw Error("the archive " + path + " could not be switched to write-ahead logging");
        w->db_->exec("PRAGMA synchronous = NORMAL");
        w->db_->exec(kPageCache);
        if (!hasMeta) {
            w->createSchema(owner, now);
        } else {
            SQLite::Statement q(*w->db_, "SELECT key, value FROM meta WHERE key IN ('formatVersion', 'owner')");
            std::string version, recorded;
            while (q.executeStep())
                (q.getColumn(0).getString() == "owner" ? recorded : version) = q.getColumn(1).getString();
            const int v = std::atoi(version.c_str());
            if (v < 1 || v > kFormatVersion)
                throw Error(path + " was written by a newer Kelvara (format " + version + "), so it was left as it is");
            if (recorded != owner)
                throw Error("the archive " + path + " belongs to the owner \"" + recorded + "\", not \"" + owner +
                            "\"; nothing was written to it");
            if (v < 2) w->addRecordsTable();
            // A store from before the date index gets it now, unless a first
            // load was cut short: that load's end builds both.
            if (w->db_
                    ->execAndGet("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = "
                                 "'messages_by_conversation'")
                    .getInt() > 0)
                w->db_->exec(kDateIndex);
        }
        w->loadConversationTotals();
        w->db_->exec(kConversationPendingSchema);
        w->loadActivity();
        w->loadPendingConversations();
        w->st_ = std::make_unique<Statements>(*w->db_);
        w->loadTotals();
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error("the archive " + path + " could not be opened for writing (" + e.what() + ")");
    }
    return w;
}

void TreskStoreWriter::createSchema(const std::string& owner, Date now) {
    SQLite::Transaction t(*db_);
    db_->exec(schemaText());
    db_->exec(kRecordsSchema);
    SQLite::Statement m(*db_, "INSERT INTO meta(key, value) VALUES (?, ?)");
    for (const auto& [k, v] : {std::pair<std::string, std::string>{"formatVersion", std::to_string(kFormatVersion)},
                               {"owner", owner},
                               {"createdAt", formatISO8601(now)},
                               {kMessagesKey, "0"},
                               {kCorroboratedKey, "0"},
                               {kDuplicatesKey, "0"}}) {
        m.reset();
        m.bind(1, k);
        m.bind(2, v);
        m.exec();
    }
    t.commit();
}

// The totals kept in meta are trusted while they still agree with the
// messages table: messages are never deleted, so their ids run from 1 without
// gaps and the largest id is their number (read from the key's index, not by
// counting). A store written before totals were kept, or one that a program
// not keeping them has added to since, is counted once in full.
void TreskStoreWriter::loadTotals() {
    if (readSavedTotals() && db_->execAndGet("SELECT coalesce(max(id), 0) FROM messages").getInt64() == saved_.messages)
        return;
    Totals counted;
    counted.messages = db_->execAndGet("SELECT count(*) FROM messages").getInt64();
    SQLite::Statement c(*db_, "SELECT coalesce(sum(n > 1), 0), coalesce(sum(n - 1), 0) FROM "
                              "(SELECT count(*) AS n FROM message_sources GROUP BY message_id)");
    if (c.executeStep()) {
        counted.corroborated = c.getColumn(0).getInt64();
        counted.duplicateCopies = c.getColumn(1).getInt64();
    }
    SQLite::Transaction t(*db_);
    saved_ = Totals{};
    pending_ = counted;
    saveTotals();
    t.commit();
}

// Per conversation: its messages (reactions not counted) and its newest date,
// kept as messages are added so the conversation list and a thread's count are
// read without counting. The meta key records the largest message id the
// totals had seen when last committed; a store written before they were kept,
// or added to by a program that does not keep them, is counted afresh.
void TreskStoreWriter::loadConversationTotals() {
    db_->exec("CREATE TABLE IF NOT EXISTS conversation_totals(conversation_id INTEGER PRIMARY KEY, "
              "messages INTEGER NOT NULL, last_date INTEGER)");
    const auto mark = db_->execAndGet("SELECT (SELECT value FROM meta WHERE key = '" +
                                      std::string(kConversationTotalsKey) +
                                      "') = CAST((SELECT coalesce(max(id), 0) FROM messages) AS TEXT)");
    if (!mark.isNull() && mark.getInt() == 1) return;
    SQLite::Transaction t(*db_);
    db_->exec("DELETE FROM conversation_totals");
    db_->exec("INSERT INTO conversation_totals(conversation_id, messages, last_date) "
              "SELECT conversation_id, count(*), max(date) FROM messages "
              "WHERE is_reaction = 0 AND conversation_id IS NOT NULL GROUP BY conversation_id");
    saveConversationTotalsMark();
    t.commit();
}

void TreskStoreWriter::saveConversationTotalsMark() {
    db_->exec("INSERT INTO meta(key, value) VALUES ('" + std::string(kConversationTotalsKey) +
              "', CAST((SELECT coalesce(max(id), 0) FROM messages) AS TEXT)) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    conversationTotalsTouched_ = false;
}

// Counted afresh when the mark does not name the newest record: a store from
// before the tables were kept, one a program not keeping them added to, or one
// whose last writer met a change it could not follow.
void TreskStoreWriter::loadActivity() {
    db_->exec(kActivitySchema);
    if (store_detail::activityCurrent(*db_)) return;
    SQLite::Transaction t(*db_);
    db_->exec("DELETE FROM activity_days");
    db_->exec("DELETE FROM source_activity");
    SQLite::Statement days(*db_, std::string("INSERT INTO activity_days(day, messages, first, last) "
                                             "SELECT (m.date - ((m.date % ?1) + ?1) % ?1) / ?1 AS day, count(*), "
                                             "min(m.date), max(m.date) FROM messages m WHERE ") +
                                     store_detail::kRealMessage + " GROUP BY day");
    days.bind(1, store_detail::kNanosPerDay);
    days.exec();
    db_->exec(std::string("INSERT INTO source_activity(source, messages, first, last) "
                          "SELECT ms.source_id, count(*), min(m.date), max(m.date) FROM message_sources ms "
                          "JOIN messages m ON m.id = ms.message_id WHERE ") +
              store_detail::kRealMessage + " GROUP BY ms.source_id");
    db_->exec(std::string("INSERT INTO meta(key, value) VALUES ('") + store_detail::kActivityMark +
              "', CAST((SELECT coalesce(max(seq), 0) FROM records) AS TEXT)) "
              "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    t.commit();
    activityStale_ = false;
}

void TreskStoreWriter::Activity::add(int64_t dateNs) {
    first = messages == 0 ? dateNs : std::min(first, dateNs);
    last = messages == 0 ? dateNs : std::max(last, dateNs);
    ++messages;
}

// A real message seen in a source: its day counts it when it is new to the store.
void TreskStoreWriter::noteActivity(int64_t sourceRow, int64_t dateNs, bool newMessage) {
    if (activityStale_) return;
    if (newMessage) daysToWrite_[store_detail::dayOf(dateNs)].add(dateNs);
    sourcesToWrite_[sourceRow].add(dateNs);
}

void TreskStoreWriter::writeActivity() {
    if (!activityStale_) {
        auto write = [&](const char* sql, const std::unordered_map<int64_t, Activity>& rows) {
            SQLite::Statement q(*db_, sql);
            for (const auto& [key, a] : rows) {
                q.reset();
                q.bind(1, key);
                q.bind(2, a.messages);
                q.bind(3, a.first);
                q.bind(4, a.last);
                q.exec();
            }
        };
        write("INSERT INTO activity_days(day, messages, first, last) VALUES (?1, ?2, ?3, ?4) ON CONFLICT(day) DO "
              "UPDATE SET messages = messages + excluded.messages, first = min(first, excluded.first), "
              "last = max(last, excluded.last)",
              daysToWrite_);
        write("INSERT INTO source_activity(source, messages, first, last) VALUES (?1, ?2, ?3, ?4) ON "
              "CONFLICT(source) DO UPDATE SET messages = messages + excluded.messages, first = min(first, "
              "excluded.first), last = max(last, excluded.last)",
              sourcesToWrite_);
        // The mark follows the records only while the tables follow them too.
        db_->exec(std::string("UPDATE meta SET value = CAST((SELECT coalesce(max(seq), 0) FROM records) AS TEXT) "
                              "WHERE key = '") +
                  store_detail::kActivityMark + "'");
    }
    daysToWrite_.clear();
    sourcesToWrite_.clear();
}

// The totals as committed; false when the store does not keep them (yet).
bool TreskStoreWriter::readSavedTotals() {
    SQLite::Statement q(*db_, "SELECT key, value FROM meta WHERE key IN (?, ?, ?)");
    q.bind(1, kMessagesKey);
    q.bind(2, kCorroboratedKey);
    q.bind(3, kDuplicatesKey);
    int found = 0;
    saved_ = Totals{};
    while (q.executeStep()) {
        const std::string key = q.getColumn(0).getString();
        const int64_t v = std::atoll(q.getColumn(1).getString().c_str());
        if (key == kMessagesKey) saved_.messages = v;
        else if (key == kCorroboratedKey) saved_.corroborated = v;
        else saved_.duplicateCopies = v;
        ++found;
    }
    return found == 3;
}

// Writes saved + pending into meta (inside the caller's transaction).
void TreskStoreWriter::saveTotals() {
    const Totals t{saved_.messages + pending_.messages, saved_.corroborated + pending_.corroborated,
                   saved_.duplicateCopies + pending_.duplicateCopies};
    SQLite::Statement m(*db_, "INSERT INTO meta(key, value) VALUES (?, ?) ON CONFLICT(key) DO UPDATE SET value = "
                              "excluded.value");
    for (const auto& [k, v] : {std::pair<const char*, int64_t>{kMessagesKey, t.messages},
                               {kCorroboratedKey, t.corroborated},
                               {kDuplicatesKey, t.duplicateCopies}}) {
        m.reset();
        m.bind(1, k);
        m.bind(2, std::to_string(v));
        m.exec();
    }
    saved_ = t;
    pending_ = Totals{};
}

TreskStoreWriter::Totals TreskStoreWriter::totals() const {
    return Totals{saved_.messages + pending_.messages, saved_.corroborated + pending_.corroborated,
                  saved_.duplicateCopies + pending_.duplicateCopies};
}

std::function<void(int64_t)> TreskStoreWriter::migrationProgress;
std::function<bool()> TreskStoreWriter::indexBuildProgress;

// A format-1 store gets the records its tables amount to, in one transaction:
// interrupted, it stays a complete format-1 store and the next open starts over.
void TreskStoreWriter::addRecordsTable() {
    SQLite::Transaction t(*db_);
    db_->exec(kRecordsSchema);
    SQLite::Statement ins(*db_, "INSERT INTO records(family, subject, body) VALUES (?,?,?)");
    int64_t count = 0;
    records::fromTables(*db_, [&](int family, int64_t subject, std::string_view bytes) {
        ins.reset();
        ins.bind(1, family);
        ins.bind(2, subject);
        ins.bind(3, bytes.data(), static_cast<int>(bytes.size()));
        ins.exec();
        if (migrationProgress) migrationProgress(++count);
    });
    db_->exec("UPDATE meta SET value = '2' WHERE key = 'formatVersion'");
    t.commit();
}

bool TreskStoreWriter::beginBulkLoad() {
    if (inTransaction_) return false;
    const bool hasIndex =
        db_->execAndGet("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'messages_by_conversation'")
            .getInt() > 0;
    // A load cut short earlier left the index out: it is still owed.
    if (!hasIndex) {
        db_->exec("PRAGMA foreign_keys = OFF");
        return true;
    }
    if (totals().messages > 0) return false;
    db_->exec("DROP INDEX messages_by_conversation");
    db_->exec("DROP INDEX IF EXISTS messages_by_date");
    // The references of what the load writes are checked once at its end
    // instead of row by row (see finishBulkLoad).
    db_->exec("PRAGMA foreign_keys = OFF");
    return true;
}

void TreskStoreWriter::setAutoCheckpoint(bool on) {
    db_->exec(on ? "PRAGMA wal_autocheckpoint = 1000" : "PRAGMA wal_autocheckpoint = 0");
}

std::optional<std::string> TreskStoreWriter::finishBulkLoad() {
    if (inTransaction_) commit();
    db_->exec("PRAGMA foreign_keys = ON");
    // The check reads what was committed, on a connection of its own, while
    // this one builds the index; every way out of here waits for it.
    auto check = std::async(std::launch::async, [this] { return danglingReferences(path()); });
    if (indexBuildProgress)
        sqlite3_progress_handler(
            db_->getHandle(), 10000, [](void*) { return indexBuildProgress() ? 1 : 0; }, nullptr);
    auto settle = [&] {
        sqlite3_progress_handler(db_->getHandle(), 0, nullptr, nullptr);
        try {
            db_->exec("PRAGMA threads = 0");
            db_->exec(kPageCache);
        } catch (...) {
        }
    };
    try {
        // The indexes' entries are sorted in memory in runs as large as the page
        // cache; runs of a few megabytes stay in the processor's caches and sort
        // faster than one large run, so the cache is small while they are built,
        // and two helper threads sort runs while this one reads the table.
        db_->exec("PRAGMA cache_size = -4096");
        db_->exec("PRAGMA threads = 2");
        // Both in one transaction, the conversation index (whose absence marks
        // a load still owed its end) last: a run stopped here leaves neither.
        begin();
        db_->exec(kDateIndex);
        db_->exec(kConversationIndex);
        db_->exec("COMMIT");
        inTransaction_ = false;
        settle();
    } catch (...) {
        rollback();
        settle();
        throw;
    }
    return check.get();
}

void TreskStoreWriter::setNameLookup(std::function<std::optional<std::string>(const std::string&)> lookup) {
    nameLookup_ = std::move(lookup);
}

// A message that waits for its conversation moves to the one a sighting names:
// the view row changes and a record of the new conversation is appended (the
// first one stays), so the archive's history reads the move as growth.
void TreskStoreWriter::fileInConversation(int64_t messageId, const std::string& guid,
                                          const ConversationInfo& conversation) {
    SQLite::Statement pending(*db_, "DELETE FROM conversation_pending WHERE message_id = ?");
    pending.bind(1, messageId);
    pending.exec();
    pendingConversation_.erase(messageId);
    SQLite::Statement q(*db_, "SELECT conversation_id FROM messages WHERE id = ?");
    q.bind(1, messageId);
    if (!q.executeStep()) return;
    const int64_t from = q.getColumn(0).getInt64();
    q.reset();
    if (from == conversation.id) return;
    SQLite::Statement u(*db_, "UPDATE messages SET conversation_id = ?2 WHERE id = ?1");
    u.bind(1, messageId);
    u.bind(2, conversation.id);
    u.exec();
    records::Encoder r(records::kField);
    r.text(std::string_view(guid)).text("conversation").text(std::string_view(conversation.key));
    append(messageId, r);
    writeConversationTotals(); // what the transaction added so far, before both are counted afresh
    recountConversation(from);
    recountConversation(conversation.id);
    conversationTotalsTouched_ = true;
}

void TreskStoreWriter::loadPendingConversations() {
    pendingConversation_.clear();
    SQLite::Statement q(*db_, "SELECT message_id FROM conversation_pending");
    while (q.executeStep()) pendingConversation_.insert(q.getColumn(0).getInt64());
}

void TreskStoreWriter::recountConversation(int64_t conversationId) {
    SQLite::Statement q(*db_, "INSERT INTO conversation_totals(conversation_id, messages, last_date) "
                              "SELECT ?1, count(*), max(date) FROM messages WHERE conversation_id = ?1 AND "
                              "is_reaction = 0 ON CONFLICT(conversation_id) DO UPDATE SET messages = "
                              "excluded.messages, last_date = excluded.last_date");
    q.bind(1, conversationId);
    q.exec();
}

void TreskStoreWriter::begin() {
    if (inTransaction_) return;
    db_->exec("BEGIN IMMEDIATE");
    inTransaction_ = true;
}

// What the transaction added to each conversation's totals, one write per
// conversation however many of its messages the transaction holds.
void TreskStoreWriter::writeConversationTotals() {
    auto& b = st_->bumpConversation;
    for (const auto& [conversation, t] : totalsToWrite_) {
        b.reset();
        b.bind(1, conversation);
        b.bind(2, t.messages);
        bindOpt(b, 3, t.lastDate);
        b.exec();
    }
    totalsToWrite_.clear();
    last_.totals = nullptr;
}

void TreskStoreWriter::commit() {
    if (!inTransaction_) return;
    writeRecords();
    writeSightings();
    writeConversationTotals();
    writeActivity();
    if (!(pending_ == Totals{})) saveTotals();
    if (conversationTotalsTouched_) saveConversationTotalsMark();
    db_->exec("COMMIT"); // on failure the caller rolls back, which reloads the totals
    inTransaction_ = false;
}

void TreskStoreWriter::rollback() {
    if (!inTransaction_ || !db_) return;
    inTransaction_ = false;
    try {
        db_->exec("ROLLBACK");
    } catch (...) {
    }
    pending_ = Totals{};
    recordsToWrite_.clear();
    sightingsToWrite_ = PendingSightings{};
    totalsToWrite_.clear();
    daysToWrite_.clear();
    sourcesToWrite_.clear();
    conversationTotalsTouched_ = false;
    try {
        readSavedTotals();
        loadPendingConversations();
    } catch (...) {
    }
    // What was cached during the transaction may not exist any more.
    handles_.clear();
    sourceIds_.clear();
    lastSource_ = {};
    chats_.clear();
    conversations_.clear();
    last_ = Last{};
    byRow_ = ByRow{};
}

int64_t TreskStoreWriter::sourceRow(const Source& source, Date now) {
    SQLite::Statement q(
        *db_, "INSERT INTO sources(source_id, format, label, path, first_read, last_read) VALUES (?,?,?,?,?,?) "
              "ON CONFLICT(source_id) DO UPDATE SET format = excluded.format, label = excluded.label, "
              "path = excluded.path RETURNING id");
    q.bind(1, source.id);
    q.bind(2, toString(source.format));
    bindOpt(q, 3, source.label);
    q.bind(4, source.path);
    q.bind(5, static_cast<int64_t>(toNanos(now)));
    q.bind(6);
    q.executeStep();
    const int64_t row = q.getColumn(0).getInt64();
    sourceIds_[row] = source.id;
    return row;
}

const std::string& TreskStoreWriter::sourceIdOf(int64_t sourceRow) {
    if (lastSource_.id && lastSource_.row == sourceRow) return *lastSource_.id;
    if (auto it = sourceIds_.find(sourceRow); it != sourceIds_.end()) {
        lastSource_ = {sourceRow, &it->second};
        return it->second;
    }
    SQLite::Statement q(*db_, "SELECT source_id FROM sources WHERE id = ?");
    q.bind(1, sourceRow);
    if (!q.executeStep()) throw Error("the archive has no source numbered " + std::to_string(sourceRow));
    return sourceIds_[sourceRow] = q.getColumn(0).getString();
}

IngestCursor TreskStoreWriter::cursor(int64_t sourceRow) const {
    SQLite::Statement q(*db_, "SELECT cursor_row_id, cursor_guid, cursor_extra FROM sources WHERE id = ?");
    q.bind(1, sourceRow);
    IngestCursor c;
    if (q.executeStep()) {
        c.lastRowId = q.getColumn(0).getInt64();
        c.lastGuid = q.getColumn(1).getString();
        c.extra = q.getColumn(2).getString();
    }
    return c;
}

void TreskStoreWriter::setCursor(int64_t sourceRow, const IngestCursor& c, Date now) {
    SQLite::Statement q(
        *db_, "UPDATE sources SET cursor_row_id = ?, cursor_guid = ?, cursor_extra = ?, last_read = ? WHERE id = ?");
    q.bind(1, c.lastRowId);
    q.bind(2, c.lastGuid);
    q.bind(3, c.extra);
    q.bind(4, static_cast<int64_t>(toNanos(now)));
    q.bind(5, sourceRow);
    q.exec();
}

int64_t TreskStoreWriter::handleId(const std::string& handle) {
    if (last_.handleId != 0 && handle == last_.handle) return last_.handleId;
    if (auto it = handles_.find(handle); it != handles_.end()) {
        last_.handle = handle;
        return last_.handleId = it->second;
    }
    auto& s = st_->insertHandle;
    s.reset();
    s.bind(1, handle);
    bindOpt(s, 2, nameLookup_ ? nameLookup_(handle) : std::nullopt);
    s.executeStep();
    const int64_t id = s.getColumn(0).getInt64();
    while (s.executeStep()) {
    }
    handles_.emplace(handle, id);
    return id;
}

int64_t TreskStoreWriter::conversationByKey(const std::string& key, const std::optional<std::string>& displayName,
                                            bool isGroup, const std::optional<std::string>& service) {
    const std::optional<std::string> name = displayName && !displayName->empty() ? displayName : std::nullopt;
    auto& f = st_->findConversation;
    f.reset();
    f.bind(1, key);
    ConversationInfo info;
    info.key = key;
    std::optional<std::string> storedName, storedService;
    bool storedGroup = false, exists = false;
    if (f.executeStep()) {
        exists = true;
        info.id = f.getColumn(0).getInt64();
        storedName = optColumn(f.getColumn(1));
        storedGroup = f.getColumn(2).getInt() != 0;
        storedService = optColumn(f.getColumn(3));
    }
    f.reset();
    // A newer name replaces the stored one; a group stays a group; the first service stays.
    info.displayName = name ? name : storedName;
    info.isGroup = storedGroup || isGroup;
    const std::optional<std::string> mergedService = storedService ? storedService : service;
    const bool changed = !exists || info.displayName != storedName || info.isGroup != storedGroup ||
                         mergedService != storedService;
    if (!exists) {
        auto& i = st_->insertConversation;
        i.reset();
        i.bind(1, key);
        bindOpt(i, 2, info.displayName);
        i.bind(3, info.isGroup ? 1 : 0);
        bindOpt(i, 4, mergedService);
        i.exec();
        info.id = db_->getLastInsertRowid();
    } else if (changed) {
        auto& u = st_->updateConversation;
        u.reset();
        u.bind(1, info.id);
        bindOpt(u, 2, info.displayName);
        u.bind(3, info.isGroup ? 1 : 0);
        bindOpt(u, 4, mergedService);
        u.exec();
    }
    if (changed) {
        records::Encoder r(records::kConversation);
        r.text(std::string_view(key)).text(info.displayName).flag(info.isGroup).text(mergedService);
        append(info.id, r);
    }
    conversations_[key] = info;
    return info.id;
}

void TreskStoreWriter::addChat(const ChatRecord& chat) {
    std::string key = chat.identifier.empty() ? conversationKeyFromChatGuid(chat.guid) : chat.identifier;
    if (key.empty()) key = chat.guid;
    const int64_t id = conversationByKey(key, chat.displayName, chat.isGroup, chat.service);
    auto& c = st_->insertChat;
    c.reset();
    c.bind(1, chat.guid);
    c.bind(2, id);
    bindOpt(c, 3, chat.service);
    c.exec();
    for (const auto& p : chat.participants) {
        if (p.empty()) continue;
        auto& m = st_->insertMember;
        m.reset();
        m.bind(1, id);
        m.bind(2, handleId(p));
        m.exec();
    }
    chats_[chat.guid] = conversations_[key];
}

const TreskStoreWriter::ConversationInfo& TreskStoreWriter::conversationFor(const MessageRecord& m) {
    if (!m.chatGuid.empty()) {
        if (last_.conversation && m.chatGuid == last_.chat) return *last_.conversation;
        if (auto it = chats_.find(m.chatGuid); it != chats_.end()) {
            last_.chat = m.chatGuid;
            last_.conversation = &it->second;
            return it->second;
        }
        // A chat this run did not announce: it may be stored already.
        SQLite::Statement q(*db_, "SELECT c.id, c.key, c.display_name, c.is_group FROM chats ch JOIN conversations c "
                                  "ON c.id = ch.conversation_id WHERE ch.guid = ?");
        q.bind(1, m.chatGuid);
        if (q.executeStep()) {
            ConversationInfo info{q.getColumn(0).getInt64(), q.getColumn(1).getString(), std::nullopt,
                                  q.getColumn(3).getInt() != 0};
            if (!q.getColumn(2).isNull()) info.displayName = q.getColumn(2).getString();
            return chats_[m.chatGuid] = info;
        }
        ChatRecord chat;
        chat.guid = m.chatGuid;
        chat.identifier = conversationKeyFromChatGuid(m.chatGuid);
        chat.isGroup = m.chatGuid.find(";+;") != std::string::npos;
        chat.service = m.service;
        addChat(chat);
        return chats_[m.chatGuid];
    }
    // A message outside any chat: filed under its handle, else under "unknown".
    const std::string key = m.handle && !m.handle->empty() ? *m.handle : std::string("unknown");
    if (auto it = conversations_.find(key); it != conversations_.end()) return it->second;
    conversationByKey(key, std::nullopt, false, m.service);
    return conversations_[key];
}

namespace {

// The slot of `row` in a table by row, grown as needed; none for rows too
// large to keep that way.
template <typename T>
T* slotOf(std::vector<T>& table, int64_t row) {
    constexpr int64_t kMaxRow = 1 << 18;
    if (row <= 0 || row >= kMaxRow) return nullptr;
    const auto at = static_cast<size_t>(row);
    if (at >= table.size()) table.resize(std::min(std::max(at + 1, table.size() * 2), size_t(kMaxRow)), T{});
    return &table[at];
}

} // namespace

const TreskStoreWriter::ConversationInfo& TreskStoreWriter::conversationOf(const MessageRecord& m) {
    if (m.rowSpace == 0 || m.sourceChatRow == 0 || m.chatGuid.empty()) return conversationFor(m);
    if (m.rowSpace != byRow_.space) byRow_ = ByRow{m.rowSpace, {}, {}};
    auto* slot = slotOf(byRow_.chats, m.sourceChatRow);
    if (slot && *slot) return **slot;
    const auto& conversation = conversationFor(m);
    if (slot) *slot = &conversation;
    return conversation;
}

int64_t TreskStoreWriter::handleOf(const MessageRecord& m) {
    if (m.rowSpace == 0 || m.sourceHandleRow == 0) return handleId(*m.handle);
    if (m.rowSpace != byRow_.space) byRow_ = ByRow{m.rowSpace, {}, {}};
    auto* slot = slotOf(byRow_.handles, m.sourceHandleRow);
    if (slot && *slot) return *slot;
    const int64_t id = handleId(*m.handle);
    if (slot) *slot = id;
    return id;
}

TreskStoreWriter::AddResult TreskStoreWriter::addMessage(
    const MessageRecord& m, int64_t sourceRow, Date now,
    const std::unordered_map<std::string, std::string>& objectKeys) {
    const auto& conv = conversationOf(m);
    const int64_t nowNs = toNanos(now);
    std::optional<int64_t> handle;
    const bool hasHandle = m.handle && !m.handle->empty();
    if (hasHandle) handle = handleOf(m);
    const bool reaction = isReactionType(m.associatedMessageType);
    // Whether the message is real (tresk_store_detail.h) once this sighting is
    // stored, and its date then: what its source's activity counts.
    bool real = false;
    int64_t realDate = 0;

    // Every parameter is bound afresh (none keeps the previous message's value).
    auto& ins = st_->insertMessage;
    ins.reset();
    ins.bindNoCopy(1, m.guid);
    ins.bind(2, conv.id);
    bindOpt(ins, 3, handle);
    bindOptInPlace(ins, 4, m.service);
    bindOptInPlace(ins, 5, m.text);
    bindOpt(ins, 6, m.date);
    bindOpt(ins, 7, m.dateRead);
    bindOpt(ins, 8, m.dateDelivered);
    ins.bind(9, m.isFromMe ? 1 : 0);
    bindOptInPlace(ins, 10, m.associatedMessageGuid);
    ins.bind(11, m.associatedMessageType);
    bindOptInPlace(ins, 12, m.threadOriginatorGuid);
    bindOpt(ins, 13, m.dateEdited);
    bindOpt(ins, 14, m.dateRetracted);
    ins.bind(15, reaction ? 1 : 0);
    ins.bind(16, nowNs);
    AddResult result;
    bool versionsNeeded = !m.edits.empty();
    // What this sighting changes of its conversation's running totals.
    bool countsInTotals = false;
    std::optional<int64_t> totalsDate;
    if (ins.exec() == 1) {
        result.inserted = true;
        result.messageId = db_->getLastInsertRowid();
        countsInTotals = !reaction;
        if (!reaction) totalsDate = optNanos(m.date);
        records::Encoder r(records::kMessage);
        r.text(std::string_view(m.guid)).text(std::string_view(conv.key));
        if (hasHandle) r.text(std::string_view(*m.handle));
        else r.absent();
        r.text(m.service).number(optNanos(m.date)).flag(m.isFromMe).text(m.text).text(m.associatedMessageGuid);
        r.number(m.associatedMessageType).text(m.threadOriginatorGuid).number(optNanos(m.dateEdited));
        r.number(optNanos(m.dateRetracted)).flag(reaction).text(sourceIdOf(sourceRow));
        append(result.messageId, r);
        if (m.date && !reaction && (store_detail::hasVisibleText(m.text) || !m.attachments.empty())) {
            real = true;
            realDate = toNanos(*m.date);
            noteActivity(sourceRow, realDate, true);
        }
        if (m.chatGuid.empty()) {
            SQLite::Statement p(*db_, "INSERT INTO conversation_pending(message_id) VALUES (?)");
            p.bind(1, result.messageId);
            p.exec();
            pendingConversation_.insert(result.messageId);
        }
    } else {
        // What this message's earlier sightings left waiting is looked at below.
        writeSightings();
        auto& f = st_->findMessage;
        f.reset();
        f.bind(1, m.guid);
        if (!f.executeStep())
            throw Error("the message " + m.guid + " vanished from the archive while it was being stored");
        result.messageId = f.getColumn(0).getInt64();
        const std::optional<std::string> storedText = optColumn(f.getColumn(1));
        const std::optional<int64_t> storedEdited = optInt(f.getColumn(2));
        const std::optional<int64_t> storedHandle = optInt(f.getColumn(3));
        const std::optional<std::string> storedService = optColumn(f.getColumn(4));
        const std::optional<int64_t> storedDate = optInt(f.getColumn(5)), storedRead = optInt(f.getColumn(6)),
                                     storedDelivered = optInt(f.getColumn(7));
        const std::optional<std::string> storedAssociated = optColumn(f.getColumn(8)),
                                         storedThread = optColumn(f.getColumn(9));
        const std::optional<int64_t> storedRetracted = optInt(f.getColumn(10));
        f.reset();

        // A second sighting fills in what the first one lacked and never blanks
        // anything already stored; each value it adds is a record of its own.
        bool changed = false;
        auto fill = [&](const char* name, std::optional<std::string> value) {
            records::Encoder r(records::kField);
            r.text(std::string_view(m.guid)).text(std::string_view(name)).text(value);
            append(result.messageId, r);
            changed = true;
        };
        auto decimal = [](int64_t v) { return std::optional<std::string>(std::to_string(v)); };
        std::optional<int64_t> newHandle = storedHandle;
        if (!storedHandle && handle) {
            newHandle = handle;
            fill("sender", *m.handle);
        }
        std::optional<std::string> newService = storedService;
        if (!storedService && m.service) fill("service", newService = m.service);
        std::optional<int64_t> newDate = storedDate;
        if (!storedDate && m.date) {
            fill("date", decimal(*(newDate = toNanos(*m.date))));
            if (!reaction) totalsDate = newDate; // an undated message gets its date
        }
        const std::optional<int64_t> newRead = storedRead ? storedRead : optNanos(m.dateRead);
        const std::optional<int64_t> newDelivered = storedDelivered ? storedDelivered : optNanos(m.dateDelivered);
        changed = changed || newRead != storedRead || newDelivered != storedDelivered;
        std::optional<std::string> newAssociated = storedAssociated;
        if (!storedAssociated && m.associatedMessageGuid)
            fill("associatedGuid", newAssociated = m.associatedMessageGuid);
        std::optional<std::string> newThread = storedThread;
        if (!storedThread && m.threadOriginatorGuid) fill("thread", newThread = m.threadOriginatorGuid);
        std::optional<int64_t> newEdited = storedEdited;
        if (m.dateEdited && (!storedEdited || toNanos(*m.dateEdited) > *storedEdited))
            fill("edited", decimal(*(newEdited = toNanos(*m.dateEdited))));
        std::optional<int64_t> newRetracted = storedRetracted;
        if (!storedRetracted && m.dateRetracted) fill("unsent", decimal(*(newRetracted = toNanos(*m.dateRetracted))));

        // The shown text follows the newest edit; every body stays in message_versions.
        std::optional<std::string> newText = storedText;
        if (m.text && m.text != storedText) {
            versionsNeeded = true;
            const bool newer = !storedText ||
                               (m.dateEdited && (!storedEdited || toNanos(*m.dateEdited) > *storedEdited));
            if (storedText) addVersion(result.messageId, m.guid, *storedText, std::nullopt, nowNs);
            if (newer) {
                fill("text", newText = m.text);
                auto& sp = st_->markSearchPending;
                sp.reset();
                sp.bind(1, result.messageId);
                sp.exec();
            }
        }
        // A message that becomes real, or stops being so, is past what the
        // running activity can follow.
        if (!reaction) {
            const bool textBefore = store_detail::hasVisibleText(storedText);
            const bool textAfter = store_detail::hasVisibleText(newText);
            bool linked = !m.attachments.empty();
            bool linkedBefore = false;
            if (!textBefore || !textAfter) {
                SQLite::Statement a(*db_, "SELECT EXISTS (SELECT 1 FROM message_attachments WHERE message_id = ?)");
                a.bind(1, result.messageId);
                linkedBefore = a.executeStep() && a.getColumn(0).getInt() != 0;
                linked = linked || linkedBefore;
            }
            const bool wasReal = storedDate && (textBefore || linkedBefore);
            real = newDate && (textAfter || linked);
            if (real != wasReal) activityStale_ = true;
            if (real) realDate = *newDate;
        }
        if (changed) {
            auto& u = st_->updateMessage;
            u.reset();
            u.clearBindings();
            u.bind(1, result.messageId);
            bindOpt(u, 2, newText);
            bindOpt(u, 3, newEdited);
            bindOpt(u, 4, newHandle);
            bindOpt(u, 5, newService);
            bindOpt(u, 6, newDate);
            bindOpt(u, 7, newRead);
            bindOpt(u, 8, newDelivered);
            bindOpt(u, 9, newAssociated);
            bindOpt(u, 10, newThread);
            bindOpt(u, 11, newRetracted);
            u.exec();
        }
        if (!m.chatGuid.empty() && pendingConversation_.count(result.messageId))
            fileInConversation(result.messageId, m.guid, conv);
    }
    if (countsInTotals || totalsDate) {
        if (!last_.totals || last_.totalsId != conv.id) {
            last_.totals = &totalsToWrite_[conv.id];
            last_.totalsId = conv.id;
        }
        auto& t = *last_.totals;
        if (countsInTotals) ++t.messages;
        if (totalsDate && (!t.lastDate || *totalsDate > *t.lastDate)) t.lastDate = totalsDate;
        conversationTotalsTouched_ = true;
    }
    // Versions are kept once a message is known to have more than one body.
    if (versionsNeeded) {
        for (const auto& e : m.edits)
            if (e.text) addVersion(result.messageId, m.guid, *e.text, optNanos(e.date), nowNs);
        if (m.text)
            addVersion(result.messageId, m.guid, *m.text, optNanos(m.dateEdited ? m.dateEdited : m.date), nowNs);
    }

    if (result.inserted) {
        ++pending_.messages;
        addFirstSighting(result.messageId, sourceRow, nowNs);
    } else {
        auto& p = st_->insertProvenance;
        p.reset();
        p.bind(1, result.messageId);
        p.bind(2, sourceRow);
        p.bind(3, nowNs);
        p.bind(4, nowNs);
        if (p.exec() == 1) {
            if (real) noteActivity(sourceRow, realDate, false);
            // The message record names the source that brought it; each further one is a record.
            records::Encoder r(records::kSource);
            r.text(std::string_view(m.guid)).text(std::string_view(sourceIdOf(sourceRow)));
            append(result.messageId, r);
            // One more source holds a message seen before (which the running totals count).
            ++pending_.duplicateCopies;
            auto& c = st_->countProvenance;
            c.reset();
            c.bind(1, result.messageId);
            if (c.executeStep() && c.getColumn(0).getInt64() == 2) ++pending_.corroborated;
            c.reset();
        } else {
            auto& t = st_->touchProvenance;
            t.reset();
            t.bind(1, nowNs);
            t.bind(2, result.messageId);
            t.bind(3, sourceRow);
            t.exec();
        }
    }

    int position = 0;
    for (const auto& a : m.attachments) {
        std::optional<std::string> key;
        if (auto it = objectKeys.find(a.guid); it != objectKeys.end()) key = it->second;
        const int64_t attachmentId = storeAttachment(a, key);
        auto& l = st_->linkAttachment;
        l.reset();
        l.bind(1, result.messageId);
        l.bind(2, attachmentId);
        l.bind(3, position);
        if (l.exec() == 1) {
            records::Encoder r(records::kLink);
            r.text(std::string_view(m.guid)).text(std::string_view(a.guid)).number(position);
            append(result.messageId, r);
        }
        ++position;
        auto& s = st_->attachmentSource;
        s.reset();
        s.bind(1, attachmentId);
        s.bind(2, sourceRow);
        if (a.resolvedPath) s.bind(3, a.resolvedPath->string());
        else s.bind(3);
        s.bind(4, stateName(a.state));
        s.exec();
    }
    return result;
}

void TreskStoreWriter::addVersion(int64_t messageId, const std::string& guid, const std::string& text,
                                  const std::optional<int64_t>& date, int64_t nowNs) {
    auto& v = st_->insertVersion;
    v.reset();
    v.bind(1, messageId);
    v.bind(2, text);
    bindOpt(v, 3, date);
    v.bind(4, nowNs);
    bool recorded = v.exec() == 1;
    if (!recorded && date) {
        // Known already: a later sighting may give the date the first one lacked.
        auto& d = st_->fillVersionDate;
        d.reset();
        d.bind(1, *date);
        d.bind(2, messageId);
        d.bind(3, text);
        recorded = d.exec() == 1;
    }
    if (recorded) {
        records::Encoder r(records::kVersion);
        r.text(std::string_view(guid)).text(std::string_view(text)).number(date);
        append(messageId, r);
    }
}

int64_t TreskStoreWriter::storeAttachment(const AttachmentRecord& a, const std::optional<std::string>& key) {
    auto& f = st_->findAttachment;
    f.reset();
    f.bind(1, a.guid);
    const bool exists = f.executeStep();
    const int64_t hasFile = a.state == AttachmentFileState::notRecorded ? 0 : 1;
    auto recordAttachment = [&](int64_t id, const std::optional<std::string>& name,
                                const std::optional<std::string>& mime, int64_t bytes) {
        records::Encoder r(records::kAttachment);
        r.text(std::string_view(a.guid)).text(name).text(mime).number(bytes);
        append(id, r);
    };
    auto recordObject = [&](int64_t id, const std::string& k) {
        records::Encoder r(records::kObject);
        r.text(std::string_view(a.guid)).text(std::string_view(k));
        append(id, r);
    };
    if (!exists) {
        f.reset();
        auto& i = st_->insertAttachment;
        i.reset();
        i.clearBindings();
        i.bind(1, a.guid);
        bindOpt(i, 2, a.fileName);
        bindOpt(i, 3, a.mimeType);
        bindOpt(i, 4, a.uti);
        i.bind(5, a.totalBytes);
        bindOpt(i, 6, a.recordedPath);
        i.bind(7, hasFile);
        bindOpt(i, 8, key);
        i.bind(9, a.isSticker ? 1 : 0);
        i.exec();
        const int64_t id = db_->getLastInsertRowid();
        recordAttachment(id, a.fileName, a.mimeType, a.totalBytes);
        if (key) recordObject(id, *key);
        return id;
    }
    const int64_t id = f.getColumn(0).getInt64();
    const auto name = optColumn(f.getColumn(1)), mime = optColumn(f.getColumn(2)), uti = optColumn(f.getColumn(3));
    const int64_t bytes = f.getColumn(4).getInt64();
    const auto recorded = optColumn(f.getColumn(5));
    const int64_t storedHasFile = f.getColumn(6).isNull() ? 0 : f.getColumn(6).getInt64();
    const auto storedKey = optColumn(f.getColumn(7));
    const bool hasFileUnknown = f.getColumn(6).isNull();
    f.reset();
    // Fills in what was not known yet; never blanks a stored value.
    const auto newName = name ? name : a.fileName, newMime = mime ? mime : a.mimeType, newUti = uti ? uti : a.uti,
               newRecorded = recorded ? recorded : a.recordedPath, newKey = storedKey ? storedKey : key;
    const int64_t newBytes = std::max(bytes, a.totalBytes), newHasFile = std::max(storedHasFile, hasFile);
    const bool shown = newName != name || newMime != mime || newBytes != bytes;
    if (!shown && newKey == storedKey && newUti == uti && newRecorded == recorded && newHasFile == storedHasFile &&
        !hasFileUnknown)
        return id;
    auto& u = st_->updateAttachment;
    u.reset();
    u.clearBindings();
    u.bind(1, id);
    bindOpt(u, 2, newName);
    bindOpt(u, 3, newMime);
    bindOpt(u, 4, newUti);
    u.bind(5, newBytes);
    bindOpt(u, 6, newRecorded);
    u.bind(7, newHasFile);
    bindOpt(u, 8, newKey);
    u.exec();
    if (shown) recordAttachment(id, newName, newMime, newBytes);
    if (newKey != storedKey) recordObject(id, *newKey);
    return id;
}

std::vector<std::pair<std::string, std::string>> TreskStoreWriter::attachmentsAwaitingBytes(int64_t sourceRow) const {
    std::vector<std::pair<std::string, std::string>> out;
    SQLite::Statement q(*db_,
                        "SELECT a.guid, s.path FROM attachments a JOIN attachment_sources s ON s.attachment_id = a.id "
                        "WHERE a.object_key IS NULL AND s.source_id = ? AND s.state = 'present' AND s.path IS NOT NULL "
                        "ORDER BY a.id");
    q.bind(1, sourceRow);
    while (q.executeStep()) out.emplace_back(q.getColumn(0).getString(), q.getColumn(1).getString());
    return out;
}

void TreskStoreWriter::clearSearchPending(const std::vector<int64_t>& messageIds) {
    if (messageIds.empty()) return;
    SQLite::Transaction t(*db_);
    SQLite::Statement q(*db_, "DELETE FROM search_pending WHERE message_id = ?");
    for (const int64_t id : messageIds) {
        q.reset();
        q.bind(1, id);
        q.exec();
    }
    t.commit();
}

void TreskStoreWriter::setObjectKey(const std::string& attachmentGuid, const std::string& key) {
    SQLite::Statement q(*db_,
                        "UPDATE attachments SET object_key = ? WHERE guid = ? AND object_key IS NULL RETURNING id");
    q.bind(1, key);
    q.bind(2, attachmentGuid);
    if (!q.executeStep()) return;
    const int64_t id = q.getColumn(0).getInt64();
    while (q.executeStep()) {
    }
    records::Encoder r(records::kObject);
    r.text(std::string_view(attachmentGuid)).text(std::string_view(key));
    append(id, r);
}

} // namespace kx
