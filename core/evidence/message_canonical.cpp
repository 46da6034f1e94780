#include "core/evidence/message_canonical.h"

#include "core/archive/tresk_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <cstdio>
#include <unordered_map>

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

namespace {

// Appends one column's value as a canonical field, straight from SQLite's
// buffer; NULL is the absent value.
void putColumn(std::string& out, sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) {
        putLength(out, 0xFFFFFFFFu);
        return;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
    const int n = sqlite3_column_bytes(st, col);
    put(out, std::string_view(text ? text : "", static_cast<std::size_t>(n)));
}

void putDecimal(std::string& out, std::int64_t v) {
    char buf[24];
    const int n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    put(out, std::string_view(buf, static_cast<std::size_t>(n)));
}

std::unordered_map<std::int64_t, std::string> textById(SQLite::Database& db, const char* sql) {
    std::unordered_map<std::int64_t, std::string> map;
    SQLite::Statement q(db, sql);
    while (q.executeStep())
        if (!q.getColumn(1).isNull()) map.emplace(q.getColumn(0).getInt64(), q.getColumn(1).getString());
    return map;
}

// A prepared statement stepped through SQLite's own interface, so columns can
// be read without copying them first.
struct Rows {
    Rows(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            throw Error(std::string("the archive's tables are not as expected (") + sqlite3_errmsg(db) + ")");
        handle = db;
    }
    ~Rows() { sqlite3_finalize(st); }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    bool step() {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw Error(std::string("the archive could not be read (") + sqlite3_errmsg(handle) + ")");
    }
    sqlite3* handle = nullptr;
    sqlite3_stmt* st = nullptr;
};

// The walk itself: encodes each message's canonical bytes directly from the
// rows. Both public walks go through here, so they cannot disagree.
void walkRows(const std::string& databasePath, const std::function<bool(std::string_view, std::string_view)>& visit) {
    if (!fs::isRegularFile(databasePath)) throw Error("there is no archive at " + databasePath);
    try {
        SQLite::Database db(databasePath, SQLite::OPEN_READONLY);
        db.exec("PRAGMA query_only = ON");
        db.exec("PRAGMA mmap_size = " + std::to_string(TreskStore::kWalkMapBytes));
        SQLite::Transaction snapshot(db); // every query reads the same state
        const auto conversations = textById(db, "SELECT id, key FROM conversations");
        const auto handles = textById(db, "SELECT id, handle FROM handles");
        Rows messages(db.getHandle(), "SELECT id, guid, conversation_id, handle_id, service, date, is_from_me, text, "
                                      "associated_guid, associated_type, thread_originator_guid, is_reaction "
                                      "FROM messages ORDER BY id");
        Rows attachments(db.getHandle(), "SELECT ma.message_id, a.guid, a.file_name, a.mime_type "
                                         "FROM message_attachments ma JOIN attachments a ON a.id = ma.attachment_id "
                                         "ORDER BY ma.message_id, ma.position, a.id");
        sqlite3_stmt* m = messages.st;
        sqlite3_stmt* a = attachments.st;
        bool attachmentRow = attachments.step();
        std::string out, list;
        auto lookup = [](const std::unordered_map<std::int64_t, std::string>& map, sqlite3_stmt* st, int col,
                         std::string& dst) {
            if (sqlite3_column_type(st, col) == SQLITE_NULL) return false;
            auto it = map.find(sqlite3_column_int64(st, col));
            if (it == map.end()) return false;
            dst = it->second;
            return true;
        };
        std::string key, handle;
        while (messages.step()) {
            const std::int64_t id = sqlite3_column_int64(m, 0);
            out.clear();
            out.append("KXM1", 4);
            putColumn(out, m, 1); // guid
            if (!lookup(conversations, m, 2, key)) key.clear();
            put(out, std::string_view(key));                                       // conversation key
            if (lookup(handles, m, 3, handle)) put(out, std::string_view(handle)); // sender handle
            else putLength(out, 0xFFFFFFFFu);
            putColumn(out, m, 4); // service
            if (sqlite3_column_type(m, 5) == SQLITE_NULL) putLength(out, 0xFFFFFFFFu);
            else putDecimal(out, sqlite3_column_int64(m, 5));                         // date
            put(out, std::string_view(sqlite3_column_int64(m, 6) != 0 ? "1" : "0"));  // from me
            putColumn(out, m, 7);                                                     // text
            putColumn(out, m, 8);                                                     // associated guid
            putDecimal(out, sqlite3_column_int64(m, 9));                              // associated type
            putColumn(out, m, 10);                                                    // thread originator
            put(out, std::string_view(sqlite3_column_int64(m, 11) != 0 ? "1" : "0")); // reaction
            while (attachmentRow && sqlite3_column_int64(a, 0) < id) attachmentRow = attachments.step();
            list.clear();
            std::int64_t count = 0;
            while (attachmentRow && sqlite3_column_int64(a, 0) == id) {
                putColumn(list, a, 1);
                putColumn(list, a, 2);
                putColumn(list, a, 3);
                ++count;
                attachmentRow = attachments.step();
            }
            putDecimal(out, count);
            out += list;
            const auto* guid = reinterpret_cast<const char*>(sqlite3_column_text(m, 1));
            const std::string_view guidView(guid ? guid : "", static_cast<std::size_t>(sqlite3_column_bytes(m, 1)));
            if (!visit(guidView, out)) break;
        }
    } catch (const SQLite::Exception& e) {
        throw Error("the archive " + databasePath + " could not be read: " + e.what());
    }
}

// Reads a canonical field back (used to hand records to the slower walk).
bool take(std::string_view& in, std::optional<std::string>& value) {
    if (in.size() < 4) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::uint32_t n = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
                            p[3];
    in.remove_prefix(4);
    if (n == 0xFFFFFFFFu) {
        value.reset();
        return true;
    }
    if (in.size() < n) return false;
    value = std::string(in.substr(0, n));
    in.remove_prefix(n);
    return true;
}

CanonicalMessage decode(std::string_view in) {
    CanonicalMessage m;
    in.remove_prefix(4);
    std::optional<std::string> v;
    take(in, v), m.guid = v.value_or("");
    take(in, v), m.conversationKey = v.value_or("");
    take(in, m.senderHandle);
    take(in, m.service);
    take(in, v), m.dateNanos = v ? std::optional<std::int64_t>(std::stoll(*v)) : std::nullopt;
    take(in, v), m.isFromMe = v == "1";
    take(in, m.text);
    take(in, m.associatedGuid);
    take(in, v), m.associatedType = v ? std::stoll(*v) : 0;
    take(in, m.threadOriginatorGuid);
    take(in, v), m.isReaction = v == "1";
    take(in, v);
    const long long count = v ? std::stoll(*v) : 0;
    for (long long i = 0; i < count; ++i) {
        CanonicalAttachment a;
        take(in, v), a.guid = v.value_or("");
        take(in, a.fileName);
        take(in, a.mimeType);
        m.attachments.push_back(std::move(a));
    }
    return m;
}

} // namespace

void walkArchiveInInsertionOrder(const std::string& databasePath,
                                 const std::function<bool(const CanonicalMessage&)>& visit) {
    walkRows(databasePath, [&](std::string_view, std::string_view canonical) { return visit(decode(canonical)); });
}

MessageWalk archiveWalk(const TreskStore& store) {
    const std::string path = store.path();
    return [path](const MessageVisitor& visitor) {
        std::string guid;
        walkRows(path, [&](std::string_view g, std::string_view canonical) {
            guid.assign(g);
            return visitor(guid, canonical);
        });
    };
}

} // namespace kx
