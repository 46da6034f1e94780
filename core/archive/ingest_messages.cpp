#include "core/archive/ingest_messages.h"

#include "core/archive/page_digests.h"
#include "core/archive/snapshot.h"
#include "core/archive/source_db.h"
#include "core/archive/typedstream.h"
#include "core/platform/error.h"

#include <plist/plist.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace kx {

namespace stdfs = std::filesystem;
using sourcedb::Statement;
using sourcedb::TableColumns;

// ---------------------------------------------------------------------------
// Attachment paths inside a Messages folder.

FolderAttachmentLocator::FolderAttachmentLocator(stdfs::path root) : root_(std::move(root)) {
    std::error_code ec;
    canonicalRoot_ = stdfs::canonical(root_, ec);
    if (ec) canonicalRoot_ = root_.lexically_normal();
}

namespace {

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// True when `inner` is `outer` or lies below it (both canonical).
bool isInside(const stdfs::path& inner, const stdfs::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i)
        if (i == inner.end() || *i != *o) return false;
    return true;
}

// The relative path below the Messages folder, or a refusal reason.
struct Relative {
    std::optional<std::string> path;
    std::string refusal;
};

Relative messagesRelative(const std::string& recorded) {
    static constexpr std::string_view kHomePrefix = "~/Library/Messages/";
    Relative r;
    std::string rest;
    if (startsWith(recorded, kHomePrefix)) {
        rest = recorded.substr(kHomePrefix.size());
    } else if (!recorded.empty() && recorded[0] == '/') {
        // "/Users/<name>/Library/Messages/<rest>" (or /home/<name>/...): the writer's home.
        static constexpr std::string_view kLib = "/Library/Messages/";
        std::size_t second = recorded.find('/', 1);
        std::size_t third = second == std::string::npos ? std::string::npos : recorded.find('/', second + 1);
        const std::string top = second == std::string::npos ? "" : recorded.substr(1, second - 1);
        if ((top == "Users" || top == "home") && third != std::string::npos &&
            recorded.compare(third, kLib.size(), kLib) == 0) {
            rest = recorded.substr(third + kLib.size());
        } else {
            r.refusal = "its recorded path lies outside the Messages folder";
            return r;
        }
    } else if (startsWith(recorded, "~")) {
        r.refusal = "its recorded path lies outside the Messages folder";
        return r;
    } else {
        rest = recorded;
    }
    // Refuse any parent step, even one that would stay inside: a well-formed
    // database never records one.
    std::string clean;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        const std::string part = rest.substr(start, end - start);
        if (part == "..") {
            r.refusal = "its recorded path leads out of the Messages folder";
            return r;
        }
        if (!part.empty() && part != ".") {
            if (!clean.empty()) clean += '/';
            clean += part;
        }
        start = end + 1;
    }
    if (clean.empty()) {
        r.refusal = "its recorded path names no file";
        return r;
    }
    r.path = clean;
    return r;
}

std::string lastComponent(const std::string& p) {
    std::size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

} // namespace

void FolderAttachmentLocator::locate(AttachmentRecord& rec) const {
    if (!rec.recordedPath || rec.recordedPath->empty()) {
        rec.state = AttachmentFileState::notRecorded;
        return;
    }
    Relative rel = messagesRelative(*rec.recordedPath);
    if (!rel.path) {
        rec.state = AttachmentFileState::refused;
        rec.problem = rel.refusal;
        return;
    }
    const stdfs::path full = root_ / *rel.path;
    std::error_code ec;
    const auto linkStatus = stdfs::symlink_status(full, ec);
    if (ec || !stdfs::exists(linkStatus)) {
        // A parent folder may itself be a link leading out; that still counts as
        // missing here because nothing is read.
        rec.state = AttachmentFileState::missing;
        rec.problem = "the file is not in the source folder";
        return;
    }
    const stdfs::path real = stdfs::weakly_canonical(full, ec);
    if (ec || !isInside(real, canonicalRoot_)) {
        rec.state = AttachmentFileState::refused;
        rec.problem = "its file is a link that leads out of the source folder";
        return;
    }
    if (!stdfs::is_regular_file(real, ec)) {
        rec.state = AttachmentFileState::missing;
        rec.problem = stdfs::exists(real, ec) ? "the recorded path is not a regular file"
                                              : "the file is a link to nothing";
        return;
    }
    rec.state = AttachmentFileState::present;
    rec.resolvedPath = real;
}

namespace {

// The value of "<key>=" in a cursor's extra text ("a=1;b=2"), empty when absent.
std::string extraField(const std::string& extra, std::string_view key) {
    std::size_t at = extra.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    const std::size_t end = extra.find(';', at);
    return extra.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

} // namespace

std::string filesFingerprint(const std::string& extra) { return extraField(extra, "files="); }

std::string pagesToken(const std::string& extra) { return extraField(extra, "pages="); }

std::vector<std::pair<std::int64_t, std::string>> cursorAnchors(const std::string& extra) {
    std::vector<std::pair<std::int64_t, std::string>> anchors;
    static constexpr std::string_view kKey = "anchors=";
    std::size_t at = extra.find(kKey);
    if (at == std::string::npos) return anchors;
    at += kKey.size();
    const std::size_t end = std::min(extra.find(';', at), extra.size());
    while (at < end) {
        std::size_t comma = std::min(extra.find(',', at), end);
        const std::string item = extra.substr(at, comma - at);
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos && colon > 0) {
            char* stop = nullptr;
            const long long row = std::strtoll(item.c_str(), &stop, 10);
            if (stop == item.c_str() + colon && row > 0) anchors.emplace_back(row, item.substr(colon + 1));
        }
        at = comma + 1;
    }
    return anchors;
}

namespace {

// The rows read without their conversation link, kept in the cursor as
// "unlinked=3-9,14": ascending rows and ranges of rows.
std::set<std::int64_t> unlinkedRows(const std::string& extra) {
    std::set<std::int64_t> rows;
    const std::string list = extraField(extra, "unlinked=");
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        char* stop = nullptr;
        const long long first = std::strtoll(item.c_str(), &stop, 10);
        long long last = first;
        if (*stop == '-') last = std::strtoll(stop + 1, &stop, 10);
        if (*stop == '\0' && first > 0 && last >= first && last - first < 10000000)
            for (long long r = first; r <= last; ++r) rows.insert(r);
        at = comma + 1;
    }
    return rows;
}

std::string unlinkedText(const std::set<std::int64_t>& rows) {
    std::string out;
    for (auto it = rows.begin(); it != rows.end();) {
        const std::int64_t first = *it;
        std::int64_t last = first;
        while (++it != rows.end() && *it == last + 1) ++last;
        out += (out.empty() ? "" : ",") + std::to_string(first) + (last > first ? "-" + std::to_string(last) : "");
    }
    return out;
}

} // namespace

std::int64_t editedWatermark(const std::string& extra) {
    static constexpr std::string_view kKey = "edited=";
    std::size_t at = extra.find(kKey);
    if (at == std::string::npos) return 0;
    const char* begin = extra.c_str() + at + kKey.size();
    char* end = nullptr;
    long long v = std::strtoll(begin, &end, 10);
    return end == begin ? 0 : static_cast<std::int64_t>(v);
}

std::vector<EditRecord> earlierBodies(const std::vector<typedstream::BodyPart>& currentParts,
                                      const std::vector<PartHistory>& histories,
                                      const std::optional<std::string>& currentText) {
    std::vector<EditRecord> out;
    std::unordered_set<std::string> seen; // the archive keeps each wording once
    auto keep = [&](EditRecord body) {
        if (!body.text || body.text == currentText || !seen.insert(*body.text).second) return;
        out.push_back(std::move(body));
    };
    // Part number -> its place in the body; -1 for a number found in two places.
    std::unordered_map<std::int64_t, std::ptrdiff_t> slots;
    for (std::size_t i = 0; i < currentParts.size(); ++i) {
        const auto [it, added] = slots.emplace(currentParts[i].index, static_cast<std::ptrdiff_t>(i));
        if (!added) it->second = -1;
    }
    auto partAt = [&](std::int64_t part) {
        const auto it = slots.find(part);
        return it == slots.end() ? std::ptrdiff_t{-1} : it->second;
    };
    bool known = !currentParts.empty();
    for (const auto& h : histories)
        if (partAt(h.part) < 0) known = false;
    if (!known) {
        // Without the current parts there is no whole body to rebuild: keep
        // each part's wordings as they stand, leaving out a part's current
        // wording only where the current body holds it.
        std::vector<EditRecord> pieces;
        for (const auto& h : histories)
            for (std::size_t i = 0; i < h.bodies.size(); ++i) {
                const auto& t = h.bodies[i].text;
                const bool last = i + 1 == h.bodies.size();
                if (last && t && currentText && currentText->find(*t) != std::string::npos) continue;
                pieces.push_back(h.bodies[i]);
            }
        std::stable_sort(pieces.begin(), pieces.end(), [](const EditRecord& a, const EditRecord& b) {
            if (!a.date || !b.date) return a.date.has_value() < b.date.has_value();
            return *a.date < *b.date;
        });
        for (auto& p : pieces) keep(std::move(p));
        return out;
    }

    // The message as first sent: every edited part in its first wording.
    std::vector<std::optional<std::string>> state;
    for (const auto& p : currentParts) state.emplace_back(p.text);
    std::optional<Date> sent;
    struct Event {
        std::optional<Date> date;
        std::ptrdiff_t slot;
        const EditRecord* body;
    };
    std::vector<Event> events;
    for (const auto& h : histories) {
        const std::ptrdiff_t slot = partAt(h.part);
        state[static_cast<std::size_t>(slot)] = h.bodies.front().text;
        if (h.bodies.front().date && (!sent || *h.bodies.front().date < *sent)) sent = h.bodies.front().date;
        std::optional<Date> date = h.bodies.front().date;
        for (std::size_t i = 1; i < h.bodies.size(); ++i) {
            if (h.bodies[i].date) date = h.bodies[i].date; // an undated edit stays after the one before it
            events.push_back({date, slot, &h.bodies[i]});
        }
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        if (!a.date || !b.date) return a.date.has_value() < b.date.has_value();
        return *a.date < *b.date;
    });
    auto whole = [&](std::optional<Date> date) {
        EditRecord r;
        r.date = date;
        std::string text;
        for (const auto& piece : state) {
            if (!piece) return r; // a part that could not be decoded: no whole body
            text += *piece;
        }
        r.text = std::move(text);
        return r;
    };
    keep(whole(sent));
    for (const auto& e : events) {
        state[static_cast<std::size_t>(e.slot)] = e.body->text;
        keep(whole(e.date));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Reading.

namespace {

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

// The part histories of an edited message. Malformed lists give none; a body
// that cannot be decoded is kept as an entry without text.
std::vector<PartHistory> parseEdits(std::string_view blob, bool& undecodable) {
    std::vector<PartHistory> histories;
    if (blob.size() < 8 || blob.compare(0, 6, "bplist") != 0) return histories;
    plist_t root = nullptr;
    plist_from_bin(blob.data(), static_cast<uint32_t>(blob.size()), &root);
    std::unique_ptr<void, PlistDeleter> guard(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) return histories;
    plist_t ec = plist_dict_get_item(root, "ec");
    if (!ec || plist_get_node_type(ec) != PLIST_DICT) return histories;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(ec, &it);
    for (;;) {
        char* key = nullptr;
        plist_t list = nullptr;
        plist_dict_next_item(ec, it, &key, &list);
        PartHistory history;
        history.part = -1; // a key that names no part: the body's parts cannot place it
        if (key) {
            char* stop = nullptr;
            const long long part = std::strtoll(key, &stop, 10);
            if (stop != key && *stop == '\0' && part >= 0) history.part = part;
        }
        std::free(key);
        if (!list) break;
        if (plist_get_node_type(list) != PLIST_ARRAY) continue;
        const uint32_t n = plist_array_get_size(list);
        for (uint32_t i = 0; i < n; ++i) {
            plist_t entry = plist_array_get_item(list, i);
            if (!entry || plist_get_node_type(entry) != PLIST_DICT) continue;
            EditRecord edit;
            if (plist_t d = plist_dict_get_item(entry, "d")) {
                if (plist_get_node_type(d) == PLIST_REAL) {
                    double s = 0;
                    plist_get_real_val(d, &s);
                    edit.date = sourcedb::appleDateFromSeconds(s);
                } else if (plist_get_node_type(d) == PLIST_UINT) {
                    uint64_t s = 0;
                    plist_get_uint_val(d, &s);
                    edit.date = sourcedb::appleDateFromSeconds(static_cast<double>(s));
                }
            }
            if (plist_t t = plist_dict_get_item(entry, "t"); t && plist_get_node_type(t) == PLIST_DATA) {
                char* data = nullptr;
                uint64_t len = 0;
                plist_get_data_val(t, &data, &len);
                if (data) {
                    auto decoded = typedstream::decodeAttributedBody(std::string_view(data, len));
                    if (decoded.body) edit.text = decoded.body->text;
                    else undecodable = true;
                    std::free(data);
                }
            }
            history.bodies.push_back(std::move(edit));
        }
        if (!history.bodies.empty()) histories.push_back(std::move(history));
    }
    std::free(it);
    std::sort(histories.begin(), histories.end(),
              [](const PartHistory& a, const PartHistory& b) { return a.part < b.part; });
    return histories;
}

// A number for one reading of a database, never given twice in the process.
std::int64_t nextRowSpace() {
    static std::atomic<std::int64_t> next{0};
    return ++next;
}

bool hasIndexOn(sqlite3* db, const std::string& table, const std::string& column) {
    Statement list(db, "SELECT name FROM pragma_index_list(?)");
    list.bind(1, table);
    std::vector<std::string> names;
    while (list.step())
        if (auto n = list.text(0)) names.push_back(*n);
    for (const auto& name : names) {
        Statement info(db, "SELECT name FROM pragma_index_info(?) WHERE seqno = 0");
        info.bind(1, name);
        if (info.step() && info.text(0) == column) return true;
    }
    return false;
}

// The copy is ours, so an index that speeds up per-message lookups may be added
// to it; the source is never touched.
void ensureIndex(sqlite3* db, const std::string& table, const std::string& column) {
    if (!sourcedb::hasTable(db, table) || hasIndexOn(db, table, column)) return;
    const std::string sql = "CREATE INDEX kelvara_reader_" + table + "_" + column + " ON " + table + "(" + column + ")";
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw Error(sourcedb::describe(db, rc));
}

// The link table walked in message order beside a scan of the messages in row
// order, so that each message's conversation costs a step of this walk instead
// of a look-up of its own (those look-ups were a fifth of reading a large
// database). Needs an index on chat_message_join(message_id), else every walk
// would sort the table.
class LinkWalk {
public:
    LinkWalk(sqlite3* db, std::int64_t after)
        : st_(db, "SELECT message_id, chat_id FROM chat_message_join WHERE message_id > ?1 ORDER BY message_id") {
        st_.bind(1, after);
        advance();
    }
    // The smallest chat linked to message `row`, as min(chat_id) over its links
    // would give; rows must be asked for in increasing order. Throws kx::Error
    // when the table cannot be read.
    std::optional<std::int64_t> chatOf(std::int64_t row) {
        while (has_ && message_ < row) advance();
        std::optional<std::int64_t> chat;
        for (; has_ && message_ == row; advance())
            if (chat_ && (!chat || *chat_ < *chat)) chat = chat_;
        return chat;
    }

private:
    void advance() {
        has_ = st_.step();
        if (!has_) return;
        message_ = st_.integer(0);
        chat_ = st_.isNull(1) ? std::nullopt : std::optional(st_.integer(1));
    }
    Statement st_;
    bool has_ = false;
    std::int64_t message_ = 0;
    std::optional<std::int64_t> chat_;
};

class Reader {
public:
    Reader(sqlite3* db, const AttachmentLocator& locator, IngestSink& sink) : db_(db), locator_(locator), sink_(sink) {}

    IngestOutcome run(const IngestCursor& from) {
        // No single value larger than this is ever loaded into memory: a larger
        // text makes SQLite refuse the row (SQLITE_TOOBIG) instead, and that row
        // is then delivered without its text. Blobs are guarded by length().
        sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, static_cast<int>(kMaxBodyBytes + 4096));
        checkSchema();
        // Before anything is written to the copy (the reader's own indexes below).
        digestPages();
        try {
            readChats();
        } catch (const Error&) {
            // A damaged conversation table costs the conversations, not the messages.
            chats_.clear();
            chatsDamaged_ = true;
            outcome_.warnings.push_back(
                "The conversations could not be read from the damaged database; its messages were kept without them.");
        }
        for (const char* table : {"chat_message_join", "message_attachment_join"}) {
            try {
                ensureIndex(db_, table, "message_id");
            } catch (const Error&) {
                // Only slower without it (e.g. no room for the index in the copy).
            }
        }
        try {
            prepareAttachments();
        } catch (const Error&) {
            attStmt_.reset();
            outcome_.warnings.push_back("The attachments could not be read from the damaged database.");
        }
        prepareChatLinks();
        loadHandles();

        IngestCursor cursor = from;
        std::int64_t watermark = editedWatermark(from.extra);
        anchors_ = cursorAnchors(from.extra);
        unlinked_ = unlinkedRows(from.extra);
        if (!from.empty() && !cursorFits(from)) {
            outcome_.restartedFromBeginning = true;
            cursor = IngestCursor{};
            watermark = 0;
            anchors_.clear();
            unlinked_.clear();
        }
        // The watermark moves up with every edited row delivered, but only when the
        // rows to deliver again were all read (else they are tried next time).
        watermark_ = watermark;
        editedMax_ = watermark;
        const std::string changed = changedSince();
        if (cursor.lastRowId > 0 && !changed.empty()) {
            // Messages already delivered but edited or unsent since: deliver again.
            // Only rows on pages that changed since the last complete read can be
            // among them, when that can be told; else every earlier row is looked at.
            const auto rows = rowsToRecheck(from.extra, cursor.lastRowId);
            bool read = false;
            if (rows && loadRecheckRows(*rows)) {
                outcome_.rowsRechecked = static_cast<std::int64_t>(rows->size());
                read = scan("m.ROWID IN (SELECT r FROM temp.kelvara_recheck) AND m.ROWID <= ?1 AND " + changed,
                            cursor.lastRowId, watermark, cursor, false);
            } else {
                outcome_.rowsRechecked = cursor.lastRowId;
                read = scan("m.ROWID <= ?1 AND " + changed, cursor.lastRowId, watermark, cursor, false);
            }
            if (!read) freezeWatermark_ = true;
        }
        // Messages read earlier without their conversation link: read again, so
        // that those whose link can be read now are filed in their conversation.
        if (!unlinked_.empty() && linkStmt_) relinkRows(cursor);

        scan("m.ROWID > ?1", cursor.lastRowId, 0, cursor, true);
        // The digests the cursor named before are replaced by this read's.
        if (!savedPages_.empty() && pagesToken(from.extra) != savedPages_)
            PageDigests::remove(PageDigests::defaultFolder(), pagesToken(from.extra));
        finishWarnings();
        return outcome_;
    }

private:
    void checkSchema() {
        msg_ = TableColumns(db_, "message");
        if (!msg_.exists()) throw Error("the database holds no messages table; it is not a Messages database");
        if (!msg_.has("handle_id") && (msg_.has("address") || msg_.has("madrid_handle") || msg_.has("is_madrid")))
            throw Error("the database comes from iOS 5 or earlier, whose layout Kelvara cannot read");
        if (!msg_.has("guid") || !msg_.has("handle_id"))
            throw Error("the database's messages table has a layout Kelvara does not know");
        // The other tables are optional: one that cannot even be described is
        // treated as absent (its problem shows when it is read).
        auto optional = [&](const char* table) {
            try {
                return TableColumns(db_, table);
            } catch (const Error&) {
                outcome_.warnings.push_back(std::string("The table \"") + table +
                                            "\" of the database is damaged and was left out.");
                if (std::string_view(table) == "chat") chatsDamaged_ = true;
                return TableColumns();
            }
        };
        handle_ = optional("handle");
        chat_ = optional("chat");
        att_ = optional("attachment");
    }

    void readChats() {
        if (!chat_.exists() || !chat_.has("guid")) return;
        std::unordered_map<std::int64_t, std::vector<std::string>> members;
        if (sourcedb::hasTable(db_, "chat_handle_join") && handle_.has("id")) {
            Statement st(db_, "SELECT j.chat_id, h.id FROM chat_handle_join j JOIN handle h ON h.ROWID = j.handle_id "
                              "ORDER BY j.chat_id, j.rowid");
            while (st.step())
                if (auto id = st.text(1)) members[st.integer(0)].push_back(*id);
        }
        Statement st(db_, "SELECT c.ROWID, c.guid, " + chat_.orNull("c", "chat_identifier") + ", " +
                              chat_.orNull("c", "display_name") + ", " + chat_.orNull("c", "service_name") + ", " +
                              chat_.orNull("c", "style") + " FROM chat c ORDER BY c.ROWID");
        while (st.step()) {
            auto guid = st.text(1);
            if (!guid || guid->empty()) continue;
            ChatRecord c;
            c.guid = typedstream::sanitizeUtf8(*guid);
            c.identifier = typedstream::sanitizeUtf8(st.text(2).value_or(""));
            if (auto name = st.text(3); name && !name->empty()) c.displayName = typedstream::sanitizeUtf8(*name);
            c.service = st.text(4);
            c.isGroup = st.isNull(5) ? c.guid.find(";+;") != std::string::npos : st.integer(5) == 43;
            if (auto m = members.find(st.integer(0)); m != members.end()) c.participants = m->second;
            chats_.emplace(st.integer(0), c.guid);
            sink_.chat(c);
        }
    }

    // The handles, read once, so that messages need not be joined with them row
    // by row. A table too large to hold, or one that cannot be read whole,
    // is joined instead (and its damage then costs only the rows it touches).
    void loadHandles() {
        constexpr std::int64_t kMaxHandles = 200000;
        if (!handle_.has("id") || !msg_.has("handle_id")) return;
        try {
            if (sourcedb::scalar(db_, "SELECT count(*) FROM handle").value_or(kMaxHandles + 1) > kMaxHandles) return;
            std::unordered_map<std::int64_t, std::string> ids;
            Statement st(db_, "SELECT ROWID, id FROM handle");
            while (st.step())
                if (auto id = st.textView(1); id && !id->empty())
                    ids.emplace(st.integer(0), typedstream::sanitizeUtf8(*id));
            handleIds_ = std::move(ids);
        } catch (const Error&) {
            handleIds_.reset();
        }
    }

    void prepareAttachments() {
        if (!att_.exists() || !att_.has("guid") || !sourcedb::hasTable(db_, "message_attachment_join")) return;
        attStmt_ = std::make_unique<Statement>(
            db_, "SELECT a.guid, " + att_.orNull("a", "filename") + ", " + att_.orNull("a", "transfer_name") + ", " +
                     att_.orNull("a", "mime_type") + ", " + att_.orNull("a", "uti") + ", " +
                     att_.orNull("a", "total_bytes") + ", " + att_.orNull("a", "is_sticker") +
                     " FROM message_attachment_join j JOIN attachment a ON a.ROWID = j.attachment_id"
                     " WHERE j.message_id = ?1 ORDER BY j.rowid");
    }

    // Reads again the rows an earlier read could not link to their conversation;
    // rows no longer in the database are forgotten.
    void relinkRows(IngestCursor& cursor) {
        const std::vector<std::int64_t> rows(unlinked_.begin(), unlinked_.end());
        if (!loadRecheckRows(rows)) return;
        try {
            std::set<std::int64_t> present;
            Statement q(db_, "SELECT ROWID FROM message WHERE ROWID IN (SELECT r FROM temp.kelvara_recheck)");
            while (q.step()) present.insert(q.integer(0));
            for (const auto r : rows)
                if (!present.count(r)) unlinked_.erase(r);
        } catch (const Error&) {
            // kept: they are looked for again next time
        }
        // Their links failed before: looked up one by one from the start.
        const bool apart = linksApart_;
        linksApart_ = true;
        scan("m.ROWID IN (SELECT r FROM temp.kelvara_recheck) AND m.ROWID <= ?1", cursor.lastRowId, 0, cursor, false);
        linksApart_ = apart;
    }

    // Each message's conversation comes with it from the link table, unless a
    // read fails: the links are then looked up one by one (linksApart_), so
    // that a damaged link table costs the link, never the message.
    void prepareChatLinks() {
        if (!sourcedb::hasTable(db_, "chat_message_join")) return;
        try {
            linkStmt_ = std::make_unique<Statement>(db_,
                                                    "SELECT min(chat_id) FROM chat_message_join WHERE message_id = ?1");
        } catch (const Error&) {
            linkStmt_.reset();
            linksDamaged_ = true;
        }
        linksApart_ = linksDamaged_;
        try {
            linksWalkable_ = linkStmt_ && hasIndexOn(db_, "chat_message_join", "message_id");
        } catch (const Error&) {
            linksWalkable_ = false;
        }
    }

    // The GUID of the chat of message `row`; empty when it has none or when its
    // link cannot be read (the row is then remembered, to be read again).
    std::string chatOf(std::int64_t row) {
        if (!linkStmt_) {
            if (linksDamaged_) unlinked_.insert(row);
            return {};
        }
        std::optional<std::int64_t> chat;
        try {
            Statement& st = *linkStmt_;
            st.reset();
            st.bind(1, row);
            if (st.step() && !st.isNull(0)) chat = st.integer(0);
        } catch (const Error&) {
            unlinked_.insert(row);
            return {};
        }
        return chatOfLink(row, chat);
    }

    // The GUID of chat `chat`, the link of message `row` as read.
    std::string chatOfLink(std::int64_t row, std::optional<std::int64_t> chat) {
        const auto c = chat ? chats_.find(*chat) : chats_.end();
        if (chat && c == chats_.end() && chatsDamaged_) {
            unlinked_.insert(row);
            return {};
        }
        unlinked_.erase(row);
        return c == chats_.end() ? std::string() : c->second;
    }

    // Whether the cursor still describes this database. The row it names must
    // hold the same GUID. When that row is gone (the user deleted the message),
    // the earlier rows kept as anchors decide: at least one must still be there
    // with its GUID and none may hold another one. A different database (another
    // copy, a rebuilt file) fails this and is read from the beginning.
    bool cursorFits(const IngestCursor& c) {
        if (c.lastRowId <= 0) return c.lastGuid.empty();
        Statement st(db_, "SELECT guid FROM message WHERE ROWID = ?1");
        auto guidAt = [&](std::int64_t row) {
            st.reset();
            st.bind(1, row);
            return st.step() ? std::optional<std::string>(st.text(0).value_or("")) : std::nullopt;
        };
        if (auto g = guidAt(c.lastRowId)) return *g == c.lastGuid;
        // An older copy never reached that row: its row counter (the AUTOINCREMENT
        // sequence, else the largest row id) stays below it. It may hold messages
        // deleted later from the newer one, so it is read from the beginning.
        std::optional<std::int64_t> reached;
        try {
            reached = sourcedb::scalar(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'message'");
        } catch (const Error&) {
        }
        if (!reached) reached = sourcedb::scalar(db_, "SELECT max(ROWID) FROM message");
        if (!reached || *reached < c.lastRowId) return false;
        int matches = 0;
        for (const auto& [row, guid] : cursorAnchors(c.extra)) {
            if (row >= c.lastRowId) continue;
            if (auto g = guidAt(row)) {
                if (*g != guid) return false;
                ++matches;
            }
        }
        return matches > 0;
    }

    // Remembers the cursor's row as an anchor for a later cursorFits.
    void addAnchor(const IngestCursor& c) {
        if (c.lastRowId <= 0 || c.lastGuid.empty() || c.lastGuid.find_first_of(",:;=") != std::string::npos) return;
        if (!anchors_.empty() && anchors_.back().first == c.lastRowId) return;
        anchors_.emplace_back(c.lastRowId, c.lastGuid);
        constexpr std::size_t kKeep = 8;
        if (anchors_.size() > kKeep) anchors_.erase(anchors_.begin(), anchors_.end() - kKeep);
    }

    // With `linksWalked`, the conversation column is left NULL: the caller walks
    // the links beside the rows (LinkWalk).
    std::string messageQuery(const std::string& where, bool withoutText = false, bool linksWalked = false) const {
        const std::string limit = std::to_string(kMaxBodyBytes);
        auto guardedBlob = [&](const std::string& col) {
            if (!msg_.has(col)) return std::string("NULL, NULL");
            return "CASE WHEN length(m." + col + ") <= " + limit + " THEN m." + col + " END, length(m." + col + ")";
        };
        std::string sql = "SELECT m.ROWID, m.guid, " + (withoutText ? std::string("NULL") : msg_.orNull("m", "text")) +
                          ", " + guardedBlob("attributedBody") + ", " +
                          (handleIds_          ? std::string("m.handle_id")
                           : handle_.has("id") ? std::string("h.id")
                                               : std::string("NULL")) +
                          ", " + msg_.orNull("m", "service") + ", " + msg_.orNull("m", "date") + ", " +
                          msg_.orNull("m", "date_read") + ", " + msg_.orNull("m", "date_delivered") + ", " +
                          msg_.orNull("m", "is_from_me") + ", " + msg_.orNull("m", "associated_message_guid") + ", " +
                          msg_.orNull("m", "associated_message_type") + ", " +
                          msg_.orNull("m", "thread_originator_guid") + ", " + msg_.orNull("m", "date_edited") + ", " +
                          msg_.orNull("m", "date_retracted") + ", " + guardedBlob("message_summary_info") + ", " +
                          (linkStmt_ && !linksApart_ && !linksWalked
                               ? "(SELECT min(j.chat_id) FROM chat_message_join j WHERE j.message_id = m.ROWID)"
                               : "NULL") +
                          ", " + msg_.orNull("m", "cache_has_attachments") + " FROM message m";
        if (!handleIds_ && handle_.has("id")) sql += " LEFT JOIN handle h ON h.ROWID = m.handle_id";
        sql += " WHERE " + where + " ORDER BY m.ROWID";
        return sql;
    }

    // Columns of messageQuery.
    enum Col {
        cRow,
        cGuid,
        cText,
        cBody,
        cBodyLen,
        cHandle,
        cService,
        cDate,
        cDateRead,
        cDateDelivered,
        cFromMe,
        cAssocGuid,
        cAssocType,
        cThread,
        cEdited,
        cRetracted,
        cSummary,
        cSummaryLen,
        cChat,
        cHasAttachments
    };

    // Delivers the rows matching `where` in row order. A damaged stretch of the
    // table does not end the read: the rows before it are checkpointed, the
    // first readable row after it is searched for, reading goes on from there,
    // and the damage is reported when the scan is done.
    // Returns false when damage cut the scan short.
    bool scan(const std::string& where, std::int64_t a, std::int64_t b, IngestCursor& cursor, bool advances) {
        // A scan that advances reads every row after `a`: the links are walked
        // beside it, until they have to be looked up one by one.
        const auto walking = [&] { return advances && linksWalkable_ && !linksApart_; };
        std::string sql = messageQuery(where, false, walking());
        std::int64_t from = a;
        int sinceCheckpoint = 0;
        std::int64_t lastSeen = from;
        std::optional<std::int64_t> after; // a scan that does not advance goes on after this row
        bool stop = false;
        // Hands one row to the sink and moves the cursor; sets `stop` when the
        // sink asks to stop at a checkpoint.
        // `links`: the walk beside `st`, else its conversation column holds the link.
        auto deliver = [&](const Statement& st, LinkWalk* links) {
            const std::int64_t row = st.integer(cRow);
            // Before the row counts as seen: when the walk fails, the row is
            // read again with its link looked up on its own.
            std::optional<std::optional<std::int64_t>> walked;
            if (links) walked = links->chatOf(row);
            lastSeen = row;
            if (!advances) after = row;
            const auto guid = st.textView(cGuid);
            if (!guid || guid->empty()) {
                ++outcome_.rowsSkipped;
            } else {
                sink_.message(buildMessage(st, row, *guid, walked ? &*walked : nullptr));
                ++outcome_.messagesRead;
            }
            if (advances) {
                cursor.lastRowId = row;
                cursor.lastGuid = guid.value_or(std::string_view());
                if (anchors_.empty()) addAnchor(cursor); // the first row read gives small sources an anchor too
                if (++sinceCheckpoint >= 1000) {
                    sinceCheckpoint = 0;
                    addAnchor(cursor);
                    checkpoint(cursor);
                    stop = sink_.shouldStop();
                }
            }
        };
        for (;;) {
            std::optional<std::string> failure;
            bool tooLarge = false;
            lastSeen = from;
            try {
                Statement st(db_, sql);
                st.bind(1, from);
                if (where.find("?2") != std::string::npos) st.bind(2, b);
                if (after && sql.find("?3") != std::string::npos) st.bind(3, *after);
                std::optional<LinkWalk> links;
                if (walking()) links.emplace(db_, from);
                while (!stop && st.step()) deliver(st, links ? &*links : nullptr);
            } catch (const sourcedb::ValueTooLarge& e) {
                tooLarge = advances;
                failure = e.what();
            } catch (const Error& e) {
                failure = e.what();
            }
            if (stop) return true;
            if (!failure) break;
            if (tooLarge) {
                // The next row holds a text too large to load (the connection's
                // length limit stopped it): deliver that row without its text.
                try {
                    Statement next(db_, "SELECT ROWID FROM message WHERE ROWID > ?1 ORDER BY ROWID LIMIT 1");
                    next.bind(1, lastSeen);
                    if (next.step()) {
                        Statement one(db_, messageQuery("m.ROWID = ?1", true));
                        one.bind(1, next.integer(0));
                        if (one.step()) {
                            textWithheld_ = true;
                            deliver(one, nullptr);
                            textWithheld_ = false;
                            if (stop) return true;
                            from = lastSeen;
                            continue;
                        }
                    }
                } catch (const Error& e) {
                    failure = e.what();
                }
            }
            if (!linksApart_ && linkStmt_ && !tooLarge) {
                // The links may be what is damaged: look each one up on its
                // own from here on, and try the rows again.
                linksApart_ = true;
                if (advances) {
                    from = lastSeen;
                    sql = messageQuery(where);
                } else {
                    after = after.value_or(0);
                    sql = messageQuery("(" + where + ") AND m.ROWID > ?3");
                }
                continue;
            }
            if (!damage_) damage_ = *failure;
            if (!advances) return false; // the rows to deliver again are read again next time
            checkpoint(cursor);
            auto next = nextReadableRow(lastSeen);
            if (!next) {
                checkpoint(cursor);
                return false;
            }
            ++damagedStretches_;
            // Deliver the row found on its own, so reading goes on past it even
            // when a scan starting there would fail again before reaching it.
            try {
                Statement one(db_, messageQuery("m.ROWID = ?1"));
                one.bind(1, *next);
                if (one.step()) deliver(one, nullptr);
            } catch (const Error&) {
            }
            if (stop) return true;
            from = *next;
        }
        if (advances) {
            complete_ = !damage_ && !freezeWatermark_;
            if (complete_) saveDigests();
            addAnchor(cursor);
            checkpoint(cursor);
        }
        return !damage_;
    }

    void checkpoint(IngestCursor& cursor) {
        cursor.extra = currentExtra();
        sink_.checkpoint(cursor);
    }

    // "date_edited > ?2 OR date_retracted > ?2" over the columns this layout has.
    std::string changedSince() const {
        std::string cond;
        for (const char* col : {"date_edited", "date_retracted"})
            if (msg_.has(col)) cond += std::string(cond.empty() ? "" : " OR ") + "m." + col + " > ?2";
        return cond.empty() ? cond : "(" + cond + ")";
    }

    std::string currentExtra() const {
        std::string extra = "edited=" + std::to_string(freezeWatermark_ ? watermark_ : editedMax_);
        if (!anchors_.empty()) {
            extra += ";anchors=";
            for (std::size_t k = 0; k < anchors_.size(); ++k)
                extra += (k ? "," : "") + std::to_string(anchors_[k].first) + ":" + anchors_[k].second;
        }
        // The fingerprint stands for "everything in these files was delivered";
        // it is written only once the whole scan got through without damage.
        if (!fingerprint_.empty() && complete_) extra += ";files=" + fingerprint_;
        if (complete_ && !savedPages_.empty()) extra += ";pages=" + savedPages_;
        if (!unlinked_.empty()) extra += ";unlinked=" + unlinkedText(unlinked_);
        return extra;
    }

    // The page digests of the copy as it is before this reader writes to it.
    // Only a snapshot that held still while it was copied (it has a
    // fingerprint) is digested; without them every earlier row is looked at.
    void digestPages() {
        if (fingerprint_.empty() || !snapshot_) return;
        try {
            pages_ = PageDigests::ofDatabase(snapshot_->pagesFile(), walFile());
            if (!snapshot_->unchanged()) pages_.reset();
        } catch (const Error&) {
            pages_.reset();
        }
    }
    std::filesystem::path walFile() const { return snapshot_->copyPath().string() + "-wal"; }

    // The earlier rows that may have changed since the read that left `extra`;
    // none when that cannot be told.
    std::optional<std::vector<std::int64_t>> rowsToRecheck(const std::string& extra, std::int64_t upTo) {
        previousPages_ = pagesToken(extra);
        if (!pages_ || previousPages_.empty()) return std::nullopt;
        const auto before = PageDigests::load(PageDigests::defaultFolder(), previousPages_);
        if (!before) return std::nullopt;
        auto rows = pages_->changedRows(*before, snapshot_->pagesFile(), upTo, walFile());
        if (!snapshot_->unchanged()) return std::nullopt;
        return rows;
    }

    bool loadRecheckRows(const std::vector<std::int64_t>& rows) {
        try {
            sourcedb::Statement(db_, "PRAGMA temp_store = MEMORY").step();
            sourcedb::Statement(db_, "CREATE TEMP TABLE IF NOT EXISTS kelvara_recheck(r INTEGER PRIMARY KEY)").step();
            sourcedb::Statement(db_, "DELETE FROM temp.kelvara_recheck").step();
            Statement ins(db_, "INSERT OR IGNORE INTO temp.kelvara_recheck(r) VALUES (?1)");
            for (const auto r : rows) {
                ins.reset();
                ins.bind(1, r);
                ins.step();
            }
            return true;
        } catch (const Error&) {
            return false;
        }
    }

    // Keeps this copy's digests for the next read, which the final checkpoint
    // then names. Not kept, the next read looks at every earlier row.
    void saveDigests() {
        if (!pages_ || !savedPages_.empty()) return;
        try {
            savedPages_ = pages_->save(PageDigests::defaultFolder());
        } catch (const Error&) {
            savedPages_.clear();
        }
    }

public:
    std::string fingerprint_;
    const DatabaseSnapshot* snapshot_ = nullptr;
    bool complete_ = false;

private:
    // Whether row `row` can be read on its own.
    bool rowReadable(std::int64_t row) {
        try {
            Statement one(db_, messageQuery("m.ROWID = ?1"));
            one.bind(1, row);
            return one.step();
        } catch (const Error&) {
            return false;
        }
    }

    // The first readable row in (lo, hi), or none. The key search finds the
    // next row where the table's structure around it is sound; where it fails,
    // the range is halved, and short ranges are tried one ROWID at a time, so a
    // readable row between damaged ones is never stepped over.
    std::optional<std::int64_t> firstReadableBetween(std::int64_t lo, std::int64_t hi) {
        for (;;) {
            if (hi - lo <= 1) return std::nullopt;
            try {
                Statement q(db_, "SELECT ROWID FROM message WHERE ROWID > ?1 ORDER BY ROWID LIMIT 1");
                q.bind(1, lo);
                if (!q.step() || q.integer(0) >= hi) return std::nullopt;
                const std::int64_t key = q.integer(0);
                if (rowReadable(key)) return key;
                lo = key; // the key is known but its row cannot be read: go on after it
                continue;
            } catch (const Error&) {
            }
            break;
        }
        if (hi - lo <= 64) {
            for (std::int64_t row = lo + 1; row < hi; ++row)
                if (rowReadable(row)) return row;
            return std::nullopt;
        }
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (auto found = firstReadableBetween(lo, mid + 1)) return found;
        return firstReadableBetween(mid, hi);
    }

    // The first readable row after `after`; none when nothing further can be
    // read. Probing 1, 2, 4... rows ahead finds a readable row past the damage;
    // the rows between `after` and that one are then searched, since the probes
    // alone step over all but one row in each of their gaps.
    std::optional<std::int64_t> nextReadableRow(std::int64_t after) {
        std::int64_t step = 1;
        for (int probe = 0; probe < 48 && after < INT64_MAX - step; ++probe, step *= 2) {
            std::int64_t found = 0;
            try {
                Statement q(db_, "SELECT ROWID FROM message WHERE ROWID > ?1 ORDER BY ROWID LIMIT 1");
                q.bind(1, after + step - 1);
                if (!q.step()) {
                    // Nothing after the probe; rows before it may still be readable.
                    if (auto earlier = firstReadableBetween(after, after + step)) return earlier;
                    return std::nullopt;
                }
                found = q.integer(0);
            } catch (const Error&) {
                continue;
            }
            if (!rowReadable(found)) continue;
            if (auto earlier = firstReadableBetween(after, found)) return earlier;
            return found;
        }
        return std::nullopt;
    }

    // `walkedChat`: the row's link as a LinkWalk found it; else the row's own
    // conversation column (or, with linksApart_, a look-up of its own).
    MessageRecord buildMessage(const Statement& st, std::int64_t row, std::string_view guid,
                               const std::optional<std::int64_t>* walkedChat = nullptr) {
        MessageRecord m;
        m.sourceRowId = row;
        m.rowSpace = rowSpace_;
        m.guid = typedstream::sanitizeUtf8(guid);
        if (linksApart_) {
            m.chatGuid = chatOf(row);
        } else {
            const auto chat = walkedChat         ? *walkedChat
                              : st.isNull(cChat) ? std::nullopt
                                                 : std::optional(st.integer(cChat));
            m.chatGuid = chatOfLink(row, chat);
            if (chat && !m.chatGuid.empty()) m.sourceChatRow = *chat;
        }
        if (handleIds_) {
            if (!st.isNull(cHandle))
                if (auto h = handleIds_->find(st.integer(cHandle)); h != handleIds_->end()) {
                    m.handle = h->second;
                    m.sourceHandleRow = h->first;
                }
        } else if (auto h = st.textView(cHandle); h && !h->empty()) {
            m.handle = typedstream::sanitizeUtf8(*h);
        }
        m.service = st.text(cService);
        if (auto t = st.textView(cText); t && !t->empty()) m.text = typedstream::sanitizeUtf8(*t);
        std::optional<std::vector<typedstream::BodyPart>> bodyParts; // set once attributedBody was decoded
        if (!m.text && !st.isNull(cBodyLen) && st.integer(cBodyLen) > 0) {
            if (st.isNull(cBody)) {
                ++bodiesTooLarge_;
            } else {
                auto decoded = typedstream::decodeAttributedBody(st.blob(cBody));
                if (decoded.body) {
                    if (decoded.body->declaredLengthTooLong) ++bodiesShortened_;
                    m.text = std::move(decoded.body->text);
                    bodyParts = std::move(decoded.body->parts);
                } else {
                    ++bodiesUndecodable_;
                }
            }
        }
        if (textWithheld_ && !m.text) ++bodiesTooLarge_; // the text was too large and there is no other body
        m.date = sourcedb::appleDate(st.integer(cDate));
        m.dateRead = sourcedb::appleDate(st.integer(cDateRead));
        m.dateDelivered = sourcedb::appleDate(st.integer(cDateDelivered));
        m.isFromMe = st.integer(cFromMe) != 0;
        if (auto a = st.textView(cAssocGuid); a && !a->empty()) m.associatedMessageGuid = typedstream::sanitizeUtf8(*a);
        m.associatedMessageType = st.integer(cAssocType);
        if (auto t = st.textView(cThread); t && !t->empty()) m.threadOriginatorGuid = typedstream::sanitizeUtf8(*t);
        editedMax_ = std::max({editedMax_, st.integer(cEdited), st.integer(cRetracted)});
        m.dateEdited = sourcedb::appleDate(st.integer(cEdited));
        m.dateRetracted = sourcedb::appleDate(st.integer(cRetracted));
        if (!st.isNull(cSummary)) {
            bool undecodable = false;
            const auto histories = parseEdits(st.blob(cSummary), undecodable);
            if (undecodable) ++editsUndecodable_;
            if (!histories.empty()) {
                // The current body's parts, from the same attributedBody the text
                // came from (or that stands beside a plain `text`).
                if (!bodyParts && !st.isNull(cBody)) {
                    auto decoded = typedstream::decodeAttributedBody(st.blob(cBody));
                    if (decoded.body) bodyParts = std::move(decoded.body->parts);
                }
                std::vector<typedstream::BodyPart> parts = bodyParts.value_or(std::vector<typedstream::BodyPart>{});
                // A `text` column that disagrees with the decoded body wins; its
                // parts are then unknown.
                std::string joined;
                for (const auto& p : parts) joined += p.text;
                if (m.text != joined) parts.clear();
                m.edits = earlierBodies(parts, histories, m.text);
            }
        }
        const bool mayHaveAttachments = st.isNull(cHasAttachments) || st.integer(cHasAttachments) != 0;
        if (attStmt_ && mayHaveAttachments) {
            try {
                readAttachments(row, m.attachments);
            } catch (const Error&) {
                // A damaged attachment table loses the attachment records of this
                // message, not the message.
                m.attachments.clear();
                ++attachmentsUnreadable_;
            }
        }
        return m;
    }

    void readAttachments(std::int64_t row, std::vector<AttachmentRecord>& out) {
        Statement& st = *attStmt_;
        st.reset();
        st.bind(1, row);
        while (st.step()) {
            AttachmentRecord a;
            a.guid = typedstream::sanitizeUtf8(st.text(0).value_or(""));
            a.recordedPath = st.text(1);
            if (auto name = st.text(2); name && !name->empty()) a.fileName = typedstream::sanitizeUtf8(*name);
            else if (a.recordedPath && !a.recordedPath->empty())
                a.fileName = typedstream::sanitizeUtf8(lastComponent(*a.recordedPath));
            a.mimeType = st.text(3);
            a.uti = st.text(4);
            a.totalBytes = st.integer(5);
            a.isSticker = st.integer(6) != 0;
            locator_.locate(a);
            out.push_back(std::move(a));
        }
    }

    void finishWarnings() {
        auto plural = [](std::int64_t n, const char* one, const char* many) {
            return std::to_string(n) + " " + (n == 1 ? one : many);
        };
        if (bodiesUndecodable_ > 0)
            outcome_.warnings.push_back(plural(bodiesUndecodable_, "message body", "message bodies") +
                                        " could not be decoded; those messages were kept without their text.");
        if (bodiesShortened_ > 0)
            outcome_.warnings.push_back(plural(bodiesShortened_, "message body declares", "message bodies declare") +
                                        " a longer text than is stored; the text that is stored was kept.");
        if (bodiesTooLarge_ > 0)
            outcome_.warnings.push_back(plural(bodiesTooLarge_, "message body is", "message bodies are") +
                                        " too large to read; those messages were kept without their text.");
        if (editsUndecodable_ > 0)
            outcome_.warnings.push_back(plural(editsUndecodable_, "edit history", "edit histories") +
                                        " could not be fully decoded.");
        if (attachmentsUnreadable_ > 0)
            outcome_.warnings.push_back("The attachments of " + plural(attachmentsUnreadable_, "message", "messages") +
                                        " could not be read from the damaged database.");
        if (const auto n = static_cast<std::int64_t>(unlinked_.size()); n > 0)
            outcome_.warnings.push_back(
                n == 1 ? std::string("1 message is archived without its conversation, whose link cannot be read from "
                                     "the damaged database; it is filed under its sender (or an unknown "
                                     "conversation) until a later scan can read the link.")
                       : std::to_string(n) +
                             " messages are archived without their conversations, whose links cannot be read from "
                             "the damaged database; they are filed under their senders (or an unknown "
                             "conversation) until a later scan can read the links.");
        if (outcome_.rowsSkipped > 0)
            outcome_.warnings.push_back(plural(outcome_.rowsSkipped, "message row has", "message rows have") +
                                        " no identifier and could not be archived.");
    }

    sqlite3* db_;
    const AttachmentLocator& locator_;
    IngestSink& sink_;
    TableColumns msg_, handle_, chat_, att_;
    std::unordered_map<std::int64_t, std::string> chats_;
    // Names the numbering of chats_ and handleIds_ in the records (MessageRecord::rowSpace).
    const std::int64_t rowSpace_ = nextRowSpace();
    std::optional<std::unordered_map<std::int64_t, std::string>> handleIds_; // by ROWID, when read whole
    std::unique_ptr<Statement> attStmt_;
    std::unique_ptr<Statement> linkStmt_;
    std::set<std::int64_t> unlinked_; // rows whose conversation link could not be read
    bool chatsDamaged_ = false;       // the conversation table could not be read
    bool linksDamaged_ = false;       // the link table could not even be prepared
    bool linksApart_ = false;         // links are looked up message by message (chatOf)
    bool linksWalkable_ = false;      // links can be walked beside a scan (LinkWalk)
    std::int64_t watermark_ = 0;
    std::int64_t editedMax_ = 0;
    bool freezeWatermark_ = false;
    bool textWithheld_ = false;
    std::vector<std::pair<std::int64_t, std::string>> anchors_; // (row, GUID), oldest first
    std::optional<PageDigests> pages_;                          // its page digests, before any write
    std::string previousPages_;                                 // the digests the cursor named
    std::string savedPages_;                                    // the digests kept for the next read
    IngestOutcome outcome_;
    std::int64_t bodiesUndecodable_ = 0;
    std::int64_t bodiesTooLarge_ = 0;
    std::int64_t bodiesShortened_ = 0;
    std::int64_t editsUndecodable_ = 0;
    std::int64_t attachmentsUnreadable_ = 0;
    std::int64_t damagedStretches_ = 0;

public:
    // Set when part of the messages table could not be read.
    std::optional<std::string> damage_;
    std::int64_t damagedStretches() const { return damagedStretches_; }
    const IngestOutcome& outcome() const { return outcome_; }
};

} // namespace

IngestOutcome readMessageDatabase(sqlite3* db, const AttachmentLocator& locator, const IngestCursor& from,
                                  IngestSink& sink, const DatabaseSnapshot* snapshot) {
    Reader reader(db, locator, sink);
    if (snapshot) {
        reader.fingerprint_ = snapshot->fingerprint();
        reader.snapshot_ = snapshot;
    }
    IngestOutcome outcome = reader.run(from);
    if (reader.damage_)
        throw Error(*reader.damage_ + "; " + std::to_string(outcome.messagesRead) +
                    " messages were read, and rows in damaged parts of the database were skipped");
    return outcome;
}

} // namespace kx
