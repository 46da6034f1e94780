#include "core/archive/archive_records.h"

#include "core/platform/error.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>

#include <charconv>
#include <limits>
#include <map>
#include <unordered_set>

namespace kx::records {

namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

void putLength(std::string& out, std::uint32_t n) {
    const char b[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
    out.append(b, 4);
}

const char* fieldNoun(int index) {
    static constexpr std::array<const char*, 13> nouns = {"GUID",          "conversation",
                                                          "sender",        "service",
                                                          "date",          "from-me flag",
                                                          "text",          "reaction target",
                                                          "reaction type", "thread",
                                                          "edited date",   "unsent date",
                                                          "reaction flag"};
    return index >= 0 && index < static_cast<int>(nouns.size()) ? nouns[static_cast<std::size_t>(index)] : "value";
}

// A prepared statement stepped through SQLite's own interface, so columns are
// read without copies.
struct Rows {
    Rows(SQLite::Database& db, const char* sql) : handle(db.getHandle()) {
        if (sqlite3_prepare_v2(handle, sql, -1, &st, nullptr) != SQLITE_OK)
            throw Error(std::string("the archive's tables are not as expected (") + sqlite3_errmsg(handle) + ")");
    }
    ~Rows() { sqlite3_finalize(st); }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    bool step() {
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) return live = true;
        if (rc == SQLITE_DONE) return live = false;
        throw Error(std::string("the archive could not be read (") + sqlite3_errmsg(handle) + ")");
    }
    std::int64_t integer(int col) const { return sqlite3_column_int64(st, col); }
    bool null(int col) const { return sqlite3_column_type(st, col) == SQLITE_NULL; }
    // The column as text (numbers in decimal), nothing for NULL. A number's
    // text lives in this object until the next call for the same column.
    std::optional<std::string_view> text(int col) const {
        const int type = sqlite3_column_type(st, col);
        if (type == SQLITE_NULL) return std::nullopt;
        if (type == SQLITE_INTEGER && col < kScratch) {
            auto& buf = scratch[static_cast<std::size_t>(col)];
            const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), sqlite3_column_int64(st, col));
            return std::string_view(buf.data(), static_cast<std::size_t>(r.ptr - buf.data()));
        }
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
        return std::string_view(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(st, col)));
    }
    std::optional<std::string> owned(int col) const {
        auto v = text(col);
        return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
    }
    std::string_view blob(int col) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st, col));
        return std::string_view(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(st, col)));
    }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(st, i, v); }
    static constexpr int kScratch = 16;
    sqlite3* handle;
    sqlite3_stmt* st = nullptr;
    bool live = false;
    mutable std::array<std::array<char, 24>, kScratch> scratch{};
};

} // namespace

int familyOf(char kind) {
    switch (kind) {
    case kConversation: return conversations;
    case kAttachment:
    case kObject: return attachments;
    default: return messages;
    }
}

int messageFieldIndex(std::string_view name) {
    for (std::size_t i = 0; i < kMessageFields.size(); ++i)
        if (name == kMessageFields[i]) return static_cast<int>(i);
    return -1;
}

Encoder::Encoder(char kind) {
    // Room for a message record with a text of a few hundred bytes, which
    // then grows no more.
    out_.reserve(512);
    out_.append("KXR1", 4);
    out_.push_back(kind);
}

Encoder& Encoder::text(std::string_view value) {
    putLength(out_, static_cast<std::uint32_t>(value.size()));
    out_.append(value);
    return *this;
}

Encoder& Encoder::text(const std::optional<std::string>& value) {
    return value ? text(std::string_view(*value)) : absent();
}

Encoder& Encoder::absent() {
    putLength(out_, kAbsent);
    return *this;
}

Encoder& Encoder::number(std::int64_t value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return text(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
}

Encoder& Encoder::number(const std::optional<std::int64_t>& value) { return value ? number(*value) : absent(); }

Encoder& Encoder::flag(bool value) { return text(std::string_view(value ? "1" : "0")); }

bool decode(std::string_view in, Decoded& out) {
    out.fields.clear();
    if (in.size() < 5 || in.substr(0, 4) != "KXR1") return false;
    out.kind = in[4];
    in.remove_prefix(5);
    while (!in.empty()) {
        if (in.size() < 4) return false;
        const auto* p = reinterpret_cast<const unsigned char*>(in.data());
        const std::uint32_t n = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
                                p[3];
        in.remove_prefix(4);
        if (n == kAbsent) {
            out.fields.emplace_back();
            continue;
        }
        if (in.size() < n) return false;
        out.fields.emplace_back(std::string(in.substr(0, n)));
        in.remove_prefix(n);
    }
    return true;
}

std::string subjectGuid(std::string_view bytes) {
    Decoded d;
    if (!decode(bytes, d) || d.fields.empty() || !d.fields[0]) return {};
    return *d.fields[0];
}

std::string describe(std::string_view bytes) {
    Decoded d;
    if (!decode(bytes, d) || d.fields.empty()) return "a record this version cannot read";
    const std::string g = d.fields[0].value_or("");
    switch (d.kind) {
    case kConversation: return "the conversation " + g;
    case kMessage: return "the first archived form of message " + g;
    case kField: {
        const int i = d.fields.size() > 1 && d.fields[1] ? messageFieldIndex(*d.fields[1]) : -1;
        return std::string("the ") + fieldNoun(i) + " filled in later for message " + g;
    }
    case kVersion: return "a version of message " + g;
    case kSource: return "a corroborating source of message " + g;
    case kAttachment: return "the attachment " + g;
    case kLink: return "an attachment of message " + g;
    case kObject: return "the stored bytes of attachment " + g;
    default: return "a record this version cannot read";
    }
}

bool hasRecordsTable(SQLite::Database& db) { return db.tableExists("records"); }

void fromTables(SQLite::Database& db, const Emit& emit) {
    try {
        std::unordered_set<std::int64_t> conversationsDone, attachmentsDone;
        SQLite::Statement conv(db, "SELECT key, display_name, is_group, service FROM conversations WHERE id = ?");
        auto conversation = [&](std::int64_t id) {
            if (!conversationsDone.insert(id).second) return;
            conv.reset();
            conv.bind(1, id);
            if (!conv.executeStep()) return;
            Encoder e(kConversation);
            e.text(std::string_view(conv.getColumn(0).getString()));
            e.text(conv.getColumn(1).isNull() ? std::nullopt
                                              : std::optional<std::string>(conv.getColumn(1).getString()));
            e.flag(conv.getColumn(2).getInt() != 0);
            e.text(conv.getColumn(3).isNull() ? std::nullopt
                                              : std::optional<std::string>(conv.getColumn(3).getString()));
            emit(conversations, id, e.bytes());
        };
        SQLite::Statement att(db, "SELECT guid, file_name, mime_type, total_bytes, object_key FROM attachments "
                                  "WHERE id = ?");
        auto attachment = [&](std::int64_t id) {
            if (!attachmentsDone.insert(id).second) return;
            att.reset();
            att.bind(1, id);
            if (!att.executeStep()) return;
            auto opt = [&](int c) {
                return att.getColumn(c).isNull() ? std::nullopt
                                                 : std::optional<std::string>(att.getColumn(c).getString());
            };
            const std::string guid = att.getColumn(0).getString();
            Encoder a(kAttachment);
            a.text(std::string_view(guid)).text(opt(1)).text(opt(2)).number(att.getColumn(3).getInt64());
            emit(attachments, id, a.bytes());
            if (auto key = opt(4)) {
                Encoder o(kObject);
                o.text(std::string_view(guid)).text(key);
                emit(attachments, id, o.bytes());
            }
        };

        Rows m(db, "SELECT m.id, m.guid, c.key, h.handle, m.service, m.date, m.is_from_me, m.text, "
                   "m.associated_guid, m.associated_type, m.thread_originator_guid, m.date_edited, "
                   "m.date_retracted, m.is_reaction, m.conversation_id FROM messages m "
                   "LEFT JOIN conversations c ON c.id = m.conversation_id LEFT JOIN handles h ON h.id = m.handle_id "
                   "ORDER BY m.id");
        Rows v(db, "SELECT message_id, text, date FROM message_versions ORDER BY message_id, rowid");
        // The first source to hold a message is named in its message record.
        Rows s(db, "SELECT ms.message_id, s.source_id FROM message_sources ms JOIN sources s ON s.id = ms.source_id "
                   "ORDER BY ms.message_id, ms.first_seen, ms.source_id");
        Rows l(db, "SELECT ma.message_id, a.guid, ma.position, a.id FROM message_attachments ma "
                   "JOIN attachments a ON a.id = ma.attachment_id ORDER BY ma.message_id, ma.position, a.id");
        v.step();
        s.step();
        l.step();
        std::vector<std::string> held;
        while (m.step()) {
            const std::int64_t id = m.integer(0);
            conversation(m.integer(14));
            const auto guid = m.owned(1).value_or("");
            held.clear();
            while (s.live && s.integer(0) < id) s.step();
            for (; s.live && s.integer(0) == id; s.step()) held.push_back(s.owned(1).value_or(""));
            Encoder e(kMessage);
            e.text(std::string_view(guid))
                .text(std::string_view(m.owned(2).value_or("")))
                .text(m.owned(3))
                .text(m.owned(4));
            e.text(m.owned(5)).flag(m.integer(6) != 0).text(m.owned(7)).text(m.owned(8));
            e.number(m.integer(9)).text(m.owned(10)).text(m.owned(11)).text(m.owned(12)).flag(m.integer(13) != 0);
            if (held.empty()) e.absent();
            else e.text(held.front());
            emit(messages, id, e.bytes());
            while (v.live && v.integer(0) < id) v.step();
            for (; v.live && v.integer(0) == id; v.step()) {
                Encoder r(kVersion);
                r.text(std::string_view(guid)).text(std::string_view(v.owned(1).value_or(""))).text(v.owned(2));
                emit(messages, id, r.bytes());
            }
            for (std::size_t i = 1; i < held.size(); ++i) {
                Encoder r(kSource);
                r.text(std::string_view(guid)).text(held[i]);
                emit(messages, id, r.bytes());
            }
            while (l.live && l.integer(0) < id) l.step();
            for (; l.live && l.integer(0) == id; l.step()) {
                attachment(l.integer(3));
                Encoder r(kLink);
                r.text(std::string_view(guid)).text(std::string_view(l.owned(1).value_or(""))).number(l.integer(2));
                emit(messages, id, r.bytes());
            }
        }
        SQLite::Statement restC(db, "SELECT id FROM conversations ORDER BY id");
        while (restC.executeStep()) conversation(restC.getColumn(0).getInt64());
        SQLite::Statement restA(db, "SELECT id FROM attachments ORDER BY id");
        while (restA.executeStep()) attachment(restA.getColumn(0).getInt64());
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(std::string("the archive's tables could not be read (") + e.what() + ")");
    }
}

void walk(SQLite::Database& db, const Visitor& visit) {
    if (!hasRecordsTable(db)) {
        std::int64_t seq = 0;
        bool go = true;
        fromTables(db, [&](int, std::int64_t, std::string_view bytes) {
            if (go) go = visit(++seq, bytes);
        });
        return;
    }
    Rows r(db, "SELECT seq, body FROM records ORDER BY seq");
    while (r.step())
        if (!visit(r.integer(0), r.blob(1))) break;
}

namespace {

// The first difference found so far, by record position (none last).
class Differences {
public:
    void note(std::int64_t position, std::string guid, std::string what) {
        const auto key = position > 0 ? position : std::numeric_limits<std::int64_t>::max();
        if (best_ && key >= bestKey_) return;
        bestKey_ = key;
        best_ = TableDifference{position, std::move(guid), std::move(what)};
        bestIsAttachment_ = inAttachments_;
    }
    std::optional<TableDifference> result() { return std::move(best_); }
    bool bestIsAttachment() const { return bestIsAttachment_; }
    void attachmentsFollow() { inAttachments_ = true; }

private:
    std::optional<TableDifference> best_;
    std::int64_t bestKey_ = 0;
    bool inAttachments_ = false, bestIsAttachment_ = false;
};

using Text = std::optional<std::string_view>;

bool same(const Text& a, const Text& b) {
    if (!a || !b) return !a && !b;
    return *a == *b;
}

std::string str(const Text& t) { return t ? std::string(*t) : std::string(); }

// One record decoded in place: its fields point into `body`.
struct Rec {
    std::int64_t seq = 0;
    char kind = 0; // 0: not a readable record
    std::size_t count = 0;
    std::array<Text, kMessageFields.size() + 1> f;
    std::string body;
    Text operator[](std::size_t i) const { return i < count ? f[i] : Text(); }

    bool decode() {
        std::string_view in(body);
        count = 0;
        kind = 0;
        if (in.size() < 5 || in.substr(0, 4) != "KXR1") return false;
        const char k = in[4];
        in.remove_prefix(5);
        while (!in.empty()) {
            if (count == f.size() || in.size() < 4) return false;
            const auto* p = reinterpret_cast<const unsigned char*>(in.data());
            const std::uint32_t n = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                                    (std::uint32_t(p[2]) << 8) | p[3];
            in.remove_prefix(4);
            if (n == kAbsent) {
                f[count++] = std::nullopt;
                continue;
            }
            if (in.size() < n) return false;
            f[count++] = in.substr(0, n);
            in.remove_prefix(n);
        }
        kind = k;
        return true;
    }
};

struct Val {
    Text value;
    std::int64_t seq = 0;
};

struct Entry {
    std::string_view key;
    Text value;
    std::int64_t seq = 0;
    bool seen = false;
};

void upsert(std::vector<Entry>& list, std::string_view key, Text value, std::int64_t seq) {
    for (auto& e : list)
        if (e.key == key) {
            e.value = value;
            e.seq = seq;
            return;
        }
    list.push_back({key, value, seq, false});
}

Entry* find(std::vector<Entry>& list, std::string_view key) {
    for (auto& e : list)
        if (e.key == key) return &e;
    return nullptr;
}

// The records of one family in subject order, handed out one subject at a time.
struct RecordGroups {
    RecordGroups(SQLite::Database& db, int family, std::int64_t from = std::numeric_limits<std::int64_t>::min(),
                 std::int64_t to = std::numeric_limits<std::int64_t>::max())
        : rows(db, "SELECT subject, seq, body FROM records WHERE family = ?3 AND subject BETWEEN ?1 AND ?2 "
                   "ORDER BY subject, seq") {
        rows.bind(1, from);
        rows.bind(2, to);
        rows.bind(3, family);
        rows.step();
    }
    bool live() const { return rows.live; }
    std::int64_t subject() const { return rows.integer(0); }
    // The records of `id`, decoded; valid until the next call.
    const std::vector<Rec>& take(std::int64_t id) {
        used = 0;
        while (rows.live && rows.integer(0) < id) rows.step();
        for (; rows.live && rows.integer(0) == id; rows.step()) {
            if (used == pool.size()) pool.emplace_back();
            Rec& r = pool[used++];
            r.seq = rows.integer(1);
            const auto b = rows.blob(2);
            r.body.assign(b.data(), b.size());
        }
        out.clear();
        for (std::size_t i = 0; i < used; ++i) {
            pool[i].decode(); // the pool no longer moves: views stay valid
            out.push_back(pool[i]);
        }
        return out;
    }
    Rows rows;
    std::vector<Rec> pool, out;
    std::size_t used = 0;
};

std::int64_t nextId(RecordGroups& groups, const Rows& view) {
    if (!view.live) return groups.subject();
    if (!groups.live()) return view.integer(0);
    return std::min(groups.subject(), view.integer(0));
}

// Calls visit(id, records, hasRow) for every id that has records or a view row,
// in id order; the view row is the current one while hasRow.
template <typename Visit>
void mergeWithView(RecordGroups& groups, Rows& view, Visit&& visit) {
    view.step();
    while (groups.live() || view.live) {
        const std::int64_t id = nextId(groups, view);
        const auto& recs = groups.take(id);
        const bool hasRow = view.live && view.integer(0) == id;
        visit(id, recs, hasRow);
        if (hasRow) view.step();
    }
}

std::unordered_map<std::int64_t, std::string> idMap(SQLite::Database& db, const char* sql) {
    std::unordered_map<std::int64_t, std::string> map;
    Rows q(db, sql);
    while (q.step())
        if (auto t = q.text(1)) map.emplace(q.integer(0), std::string(*t));
    return map;
}

Text lookup(const std::unordered_map<std::int64_t, std::string>& map, const Rows& rows, int col) {
    if (rows.null(col)) return std::nullopt;
    auto it = map.find(rows.integer(col));
    if (it == map.end()) return std::nullopt;
    return std::string_view(it->second);
}

void checkConversations(SQLite::Database& db, Differences& diff) {
    RecordGroups groups(db, conversations);
    Rows view(db, "SELECT id, key, display_name, CAST(is_group <> 0 AS TEXT), service FROM conversations "
                  "ORDER BY id");
    static constexpr std::array<const char*, 4> nouns = {"key", "name", "group flag", "service"};
    mergeWithView(groups, view, [&](std::int64_t, const std::vector<Rec>& recs, bool hasRow) {
        std::array<Val, 4> expected;
        std::int64_t first = 0;
        for (const auto& r : recs) {
            if (r.kind != kConversation || r.count != 4) {
                diff.note(r.seq, "", "a conversation record cannot be read");
                continue;
            }
            if (first && !same(r[0], expected[0].value))
                diff.note(r.seq, str(expected[0].value),
                          "a record of the conversation " + str(expected[0].value) + " names another conversation");
            if (!first) first = r.seq;
            for (std::size_t i = 0; i < 4; ++i) expected[i] = {r[i], r.seq};
        }
        const std::string key = first ? str(expected[0].value) : str(view.live ? view.text(1) : Text());
        if (hasRow) {
            if (!first) {
                diff.note(0, key, "the conversation " + key + " has no record of being archived");
            } else {
                for (std::size_t i = 0; i < 4; ++i)
                    if (!same(expected[i].value, view.text(static_cast<int>(i) + 1)))
                        diff.note(expected[i].seq, key,
                                  std::string("the ") + nouns[i] + " of the conversation " + key +
                                      " differs from what was archived");
            }
        } else if (first) {
            diff.note(first, key, "the conversation " + key + " is missing from the archive's tables");
        }
    });
}

void checkAttachments(SQLite::Database& db, Differences& diff) {
    RecordGroups groups(db, attachments);
    Rows view(db, "SELECT id, guid, file_name, mime_type, total_bytes, object_key FROM attachments ORDER BY id");
    static constexpr std::array<const char*, 5> nouns = {"GUID", "file name", "type", "size", "stored bytes' key"};
    mergeWithView(groups, view, [&](std::int64_t, const std::vector<Rec>& recs, bool hasRow) {
        std::array<Val, 5> expected;
        std::int64_t first = 0;
        Text guid;
        for (const auto& r : recs) {
            const bool ok = (r.kind == kAttachment && r.count == 4) || (r.kind == kObject && r.count == 2);
            if (!ok) {
                diff.note(r.seq, str(guid), "an attachment record cannot be read");
                continue;
            }
            if (!first) {
                first = r.seq;
                guid = r[0];
            }
            if (!same(r[0], guid))
                diff.note(r.seq, str(guid), "a record of the attachment " + str(guid) + " names another attachment");
            if (r.kind == kAttachment)
                for (std::size_t i = 0; i < 4; ++i) expected[i] = {r[i], r.seq};
            else expected[4] = {r[1], r.seq};
        }
        if (hasRow) {
            const std::string rowGuid = str(view.text(1));
            if (!first) {
                diff.note(0, rowGuid, "the attachment " + rowGuid + " has no record of being archived");
            } else {
                for (std::size_t i = 0; i < 5; ++i)
                    if (!same(expected[i].value, view.text(static_cast<int>(i) + 1)))
                        diff.note(expected[i].seq, str(guid),
                                  std::string("the ") + nouns[i] + " of the attachment " + str(guid) +
                                      " differs from what was archived");
            }
        } else if (first) {
            diff.note(first, str(guid), "the attachment " + str(guid) + " is missing from the archive's tables");
        }
    });
}

void checkMessages(SQLite::Database& db, Differences& diff, std::int64_t from, std::int64_t to) {
    const auto keys = idMap(db, "SELECT id, key FROM conversations");
    const auto handles = idMap(db, "SELECT id, handle FROM handles");
    const auto sourceIds = idMap(db, "SELECT id, source_id FROM sources");
    RecordGroups groups(db, messages, from, to);
    Rows view(db, "SELECT id, guid, conversation_id, handle_id, service, date, is_from_me, text, associated_guid, "
                  "associated_type, thread_originator_guid, date_edited, date_retracted, is_reaction "
                  "FROM messages WHERE id BETWEEN ?1 AND ?2 ORDER BY id");
    Rows versions(db, "SELECT message_id, text, date FROM message_versions WHERE message_id BETWEEN ?1 AND ?2 "
                      "ORDER BY message_id");
    Rows sources(db, "SELECT message_id, source_id FROM message_sources WHERE message_id BETWEEN ?1 AND ?2 "
                     "ORDER BY message_id");
    Rows links(db, "SELECT ma.message_id, a.guid, ma.position FROM message_attachments ma LEFT JOIN attachments a "
                   "ON a.id = ma.attachment_id WHERE ma.message_id BETWEEN ?1 AND ?2 ORDER BY ma.message_id");
    for (Rows* r : {&view, &versions, &sources, &links}) {
        r->bind(1, from);
        r->bind(2, to);
    }
    versions.step();
    sources.step();
    links.step();
    std::vector<Entry> expVersions, expSources, expLinks;
    constexpr std::size_t kFields = kMessageFields.size();
    std::array<Text, kFields> shown;
    mergeWithView(groups, view, [&](std::int64_t id, const std::vector<Rec>& recs, bool hasRow) {
        std::array<Val, kFields> expected;
        expVersions.clear();
        expSources.clear();
        expLinks.clear();
        std::int64_t first = 0;
        Text guid;
        for (const auto& r : recs)
            if (r.kind == kMessage && r.count == kFields + 1) {
                first = r.seq;
                guid = r[0];
                for (std::size_t i = 0; i < kFields; ++i) expected[i] = {r[i], r.seq};
                if (r[kFields]) upsert(expSources, *r[kFields], std::nullopt, r.seq); // the source that brought it
                break;
            }
        if (!first && !recs.empty()) guid = recs.front()[0]; // its first archived form is gone
        for (const auto& r : recs) {
            if (r.seq == first) continue;
            bool ok = false;
            switch (r.kind) {
            case kField:
                if (r.count == 3 && r[1]) {
                    const int i = messageFieldIndex(*r[1]);
                    if ((ok = i > 0)) expected[static_cast<std::size_t>(i)] = {r[2], r.seq};
                }
                break;
            case kVersion:
                if ((ok = r.count == 3 && r[1].has_value())) upsert(expVersions, *r[1], r[2], r.seq);
                break;
            case kSource:
                if ((ok = r.count == 2 && r[1].has_value())) upsert(expSources, *r[1], std::nullopt, r.seq);
                break;
            case kLink:
                if ((ok = r.count == 3 && r[1].has_value())) upsert(expLinks, *r[1], r[2], r.seq);
                break;
            default: break;
            }
            if (!ok) diff.note(r.seq, str(guid), "a record of message " + str(guid) + " cannot be read");
            else if (!same(r[0], guid))
                diff.note(r.seq, str(guid), "a record of message " + str(guid) + " names another message");
        }
        if (!hasRow) {
            if (first) diff.note(first, str(guid), "message " + str(guid) + " is missing from the archive's tables");
            else if (!recs.empty())
                diff.note(0, str(guid), "records remain of a message whose first archived form is missing");
            return;
        }
        const std::string_view rowGuid = view.text(1).value_or("");
        const std::string name(guid ? *guid : rowGuid);
        if (!first) {
            diff.note(0, name, "message " + name + " has no record of being archived");
        } else {
            shown[0] = view.text(1);
            shown[1] = lookup(keys, view, 2);
            shown[2] = lookup(handles, view, 3);
            for (std::size_t i = 3; i < kFields; ++i) shown[i] = view.text(static_cast<int>(i) + 1);
            for (std::size_t i = 0; i < kFields; ++i)
                if (!same(expected[i].value, shown[i]))
                    diff.note(expected[i].seq, name,
                              std::string("the ") + fieldNoun(static_cast<int>(i)) + " of message " + name +
                                  " differs from what was archived");
        }
        auto compare = [&](Rows& rows, std::vector<Entry>& exp, bool hasValue, const char* what,
                           const std::unordered_map<std::int64_t, std::string>* names) {
            while (rows.live && rows.integer(0) < id) rows.step();
            for (; rows.live && rows.integer(0) == id; rows.step()) {
                const Text key = names ? lookup(*names, rows, 1) : rows.text(1);
                Entry* e = key ? find(exp, *key) : nullptr;
                if (!e || (hasValue && !same(e->value, rows.text(2)))) {
                    // Something no record holds has no position of its own.
                    diff.note(e ? e->seq : 0, name,
                              "message " + name + " shows " + what + " that differs from what was archived");
                }
                if (e) e->seen = true;
            }
            for (const auto& e : exp)
                if (!e.seen)
                    diff.note(e.seq, name, "message " + name + " no longer shows " + what + " that was archived");
        };
        compare(versions, expVersions, true, "a version", nullptr);
        compare(sources, expSources, false, "a corroborating source", &sourceIds);
        compare(links, expLinks, true, "an attachment", nullptr);
    });
}

} // namespace

std::optional<TableDifference> checkTables(SQLite::Database& db, const CheckPart& part) {
    if (!hasRecordsTable(db)) return std::nullopt; // the records are derived from the tables themselves
    try {
        Differences diff;
        if (part.conversationsAndAttachments) checkConversations(db, diff);
        checkMessages(db, diff, part.fromMessage, part.toMessage);
        if (part.conversationsAndAttachments) {
            diff.attachmentsFollow();
            checkAttachments(db, diff);
        }
        const bool attachment = diff.bestIsAttachment();
        auto r = diff.result();
        if (r && attachment && !r->guid.empty()) {
            // Name the message the attachment belongs to.
            SQLite::Statement q(db, "SELECT m.guid FROM attachments a JOIN message_attachments ma ON "
                                    "ma.attachment_id = a.id JOIN messages m ON m.id = ma.message_id "
                                    "WHERE a.guid = ? ORDER BY m.id LIMIT 1");
            q.bind(1, r->guid);
            if (q.executeStep()) r->guid = q.getColumn(0).getString();
        }
        return r;
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(std::string("the archive's tables could not be read (") + e.what() + ")");
    }
}

std::optional<std::int64_t> lastRecordOfConversation(const std::string& databasePath,
                                                     const std::string& conversationKey) {
    try {
        SQLite::Database db(databasePath, SQLite::OPEN_READONLY);
        db.setBusyTimeout(5000);
        if (!hasRecordsTable(db)) return std::nullopt;
        SQLite::Statement q(
            db, "WITH c AS (SELECT id FROM conversations WHERE key = ?1), "
                "m AS (SELECT id FROM messages WHERE conversation_id IN (SELECT id FROM c)), "
                "a AS (SELECT attachment_id AS id FROM message_attachments WHERE message_id IN (SELECT id FROM m)) "
                "SELECT max(coalesce((SELECT max(seq) FROM records WHERE family = 0 AND subject IN (SELECT id FROM "
                "c)), 0), "
                "coalesce((SELECT max(seq) FROM records WHERE family = 1 AND subject IN (SELECT id FROM m)), 0), "
                "coalesce((SELECT max(seq) FROM records WHERE family = 2 AND subject IN (SELECT id FROM a)), 0))");
        q.bind(1, conversationKey);
        q.executeStep();
        return q.getColumn(0).getInt64();
    } catch (const std::exception& e) {
        throw Error("the archive " + databasePath + " could not be read (" + e.what() + ")");
    }
}

std::vector<CheckPart> splitCheck(SQLite::Database& db, int parts) {
    std::int64_t last = 0;
    try {
        if (hasRecordsTable(db))
            last = db.execAndGet("SELECT max(coalesce((SELECT max(id) FROM messages), 0), coalesce((SELECT "
                                 "max(subject) FROM records WHERE family = 1), 0))")
                       .getInt64();
    } catch (const std::exception& e) {
        throw Error(std::string("the archive's tables could not be read (") + e.what() + ")");
    }
    parts = std::max(1, parts);
    std::vector<CheckPart> out;
    const std::int64_t step = last / parts + 1;
    for (int i = 0; i < parts; ++i) {
        CheckPart p;
        p.conversationsAndAttachments = i == 0;
        p.fromMessage = i == 0 ? std::numeric_limits<std::int64_t>::min() : step * i + 1;
        p.toMessage = i == parts - 1 ? std::numeric_limits<std::int64_t>::max() : step * (i + 1);
        out.push_back(p);
    }
    return out;
}

std::optional<TableDifference> firstOf(std::vector<std::optional<TableDifference>> found) {
    std::optional<TableDifference> best;
    auto key = [](const TableDifference& d) {
        return d.position > 0 ? d.position : std::numeric_limits<std::int64_t>::max();
    };
    for (auto& d : found)
        if (d && (!best || key(*d) < key(*best))) best = std::move(d);
    return best;
}

} // namespace kx::records
