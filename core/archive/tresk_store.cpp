#include "core/archive/tresk_store.h"

#include "core/archive/search_index.h"
#include "core/archive/tresk_store_detail.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <sqlite3.h>
#include <tuple>
#include <unordered_map>

namespace kx {

namespace store_detail {

int64_t toNanos(Date d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d.time_since_epoch()).count(); }
Date fromNanos(int64_t n) { return Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(n))); }
std::optional<Date> optDate(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return fromNanos(c.getInt64());
}
std::optional<std::string> optText(const SQLite::Column& c) {
    if (c.isNull()) return std::nullopt;
    return c.getString();
}

// Splits a user's search text into literal words and quotes each one for FTS5,
// so no character of the text can act as query syntax. Empty when there is no word.
std::string literalMatchExpression(const std::string& query) {
    std::string out;
    size_t i = 0;
    while (i < query.size()) {
        while (i < query.size() && std::isspace(static_cast<unsigned char>(query[i]))) ++i;
        if (i >= query.size()) break;
        std::string word;
        while (i < query.size() && !std::isspace(static_cast<unsigned char>(query[i]))) {
            if (query[i] == '"') word += "\"\"";
            else if (query[i] != '\0') word += query[i];
            ++i;
        }
        if (word.empty()) continue;
        if (!out.empty()) out += ' ';
        out += '"' + word + '"';
    }
    return out;
}

bool hasVisibleText(const std::optional<std::string>& text) {
    if (!text) return false;
    const std::string& t = *text;
    for (size_t i = 0; i < t.size();) {
        const char c = t[i];
        if (c == '\0') {
            return false; // SQLite's length() ends a text at its first NUL
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
        } else if (t.compare(i, 3, "\xEF\xBF\xBC") == 0) {
            i += 3;
        } else {
            return true;
        }
    }
    return false;
}

bool activityCurrent(SQLite::Database& db) {
    if (!db.tableExists("activity_days") || !db.tableExists("source_activity") || !db.tableExists("records"))
        return false;
    const auto same = db.execAndGet(std::string("SELECT (SELECT value FROM meta WHERE key = '") + kActivityMark +
                                    "') = CAST((SELECT coalesce(max(seq), 0) FROM records) AS TEXT)");
    return !same.isNull() && same.getInt() == 1;
}

std::string storeError(const std::string& path, const std::exception& e) {
    return "the archive " + path + " could not be read (" + e.what() + ")";
}

} // namespace store_detail

using namespace store_detail;

namespace {

// Reads that must agree with each other run in one read transaction, unless
// the caller already holds one (a writer in the middle of its own, or a
// readSnapshot).
class ConsistentReads {
public:
    explicit ConsistentReads(SQLite::Database& db) : db_(db), own_(sqlite3_get_autocommit(db.getHandle()) != 0) {
        if (own_) db_.exec("BEGIN");
    }
    ~ConsistentReads() {
        if (!own_) return;
        try {
            db_.exec("COMMIT");
        } catch (...) {
        }
    }
    ConsistentReads(const ConsistentReads&) = delete;
    ConsistentReads& operator=(const ConsistentReads&) = delete;

private:
    SQLite::Database& db_;
    bool own_;
};

// The columns readHit reads; `sources` gives the registry ids of the message's
// sources, joined by char(31).
std::string hitColumns(const std::string& sources) {
    return "m.guid, m.text, m.date, h.handle, c.display_name, " + sources +
           ", m.is_from_me, c.key, m.service, m.date_edited, m.date_retracted, m.thread_originator_guid";
}
const std::string kHitColumns = hitColumns(
    "(SELECT group_concat(s.source_id, char(31)) FROM message_sources ms JOIN sources s ON s.id = "
    "ms.source_id WHERE ms.message_id = m.id)");
// The page cache of each file of a store that searches, in KiB.
constexpr int kSearchCacheKiB = 16 * 1024;

constexpr const char* kHitJoins =
    " FROM messages m LEFT JOIN handles h ON h.id = m.handle_id LEFT JOIN conversations c ON c.id = m.conversation_id ";

TreskStore::SearchHit readHit(SQLite::Statement& q, int base = 0) {
    TreskStore::SearchHit hit;
    hit.id = q.getColumn(base + 0).getString();
    hit.text = optText(q.getColumn(base + 1));
    hit.date = optDate(q.getColumn(base + 2));
    hit.senderHandle = optText(q.getColumn(base + 3));
    hit.chatDisplayName = optText(q.getColumn(base + 4));
    if (!q.getColumn(base + 5).isNull()) {
        const std::string all = q.getColumn(base + 5).getString();
        size_t start = 0;
        while (start <= all.size()) {
            const size_t end = all.find('\x1f', start);
            hit.sourceIds.push_back(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        std::sort(hit.sourceIds.begin(), hit.sourceIds.end());
    }
    hit.isFromMe = q.getColumn(base + 6).getInt() != 0;
    hit.conversationKey = q.getColumn(base + 7).isNull() ? std::string() : q.getColumn(base + 7).getString();
    hit.service = optText(q.getColumn(base + 8));
    hit.dateEdited = optDate(q.getColumn(base + 9));
    hit.dateRetracted = optDate(q.getColumn(base + 10));
    hit.threadOriginatorGuid = optText(q.getColumn(base + 11));
    return hit;
}

} // namespace

// The statements of the store's search, prepared once for the store's
// connection (preparing them costs more than a search of a rare word) and
// reset for each use.
struct TreskStore::SearchMatches {
    std::map<std::string, std::unique_ptr<SQLite::Statement>> statements;
    bool dateIndex = false; // once there, the index stays

    SQLite::Statement& prepared(SQLite::Database& db, const std::string& sql) {
        auto& q = statements[sql];
        if (!q) q = std::make_unique<SQLite::Statement>(db, sql);
        q->reset();
        q->clearBindings();
        return *q;
    }

    // The ids of at most `most` matches, in the index's order (ascending).
    std::vector<int64_t> matchIds(SQLite::Database& db, const std::string& match, int64_t most) {
        auto& q = prepared(db, "SELECT rowid FROM idx.search WHERE search MATCH ?");
        q.bind(1, match);
        std::vector<int64_t> ids;
        while (static_cast<int64_t>(ids.size()) < most && q.executeStep()) ids.push_back(q.getColumn(0).getInt64());
        q.reset();
        return ids;
    }

    int64_t count(SQLite::Database& db, const std::string& match) {
        auto& q = prepared(db, "SELECT count(*) FROM idx.search WHERE search MATCH ?");
        q.bind(1, match);
        q.executeStep();
        const int64_t n = q.getColumn(0).getInt64();
        q.reset();
        return n;
    }

    // The ids of the newest `limit` matches by date.
    std::vector<int64_t> newestIds(SQLite::Database& db, const std::string& match,
                                   const std::optional<std::string>& handle, const std::optional<Date>& from,
                                   const std::optional<Date>& to, int64_t limit) {
        std::string sql = "SELECT m.id" + std::string(kHitJoins) +
                          "WHERE m.id IN (SELECT rowid FROM idx.search WHERE search MATCH ?) AND m.is_reaction = 0";
        if (handle) sql += " AND h.handle = ?";
        if (from) sql += " AND m.date >= ?";
        if (to) sql += " AND m.date <= ?";
        sql += " ORDER BY m.date DESC, m.id DESC LIMIT ?";
        auto& q = prepared(db, sql);
        int i = 1;
        q.bind(i++, match);
        if (handle) q.bind(i++, *handle);
        if (from) q.bind(i++, toNanos(*from));
        if (to) q.bind(i++, toNanos(*to));
        q.bind(i++, limit);
        std::vector<int64_t> ids;
        while (q.executeStep()) ids.push_back(q.getColumn(0).getInt64());
        q.reset();
        return ids;
    }

    // The newest `limit` matches of a word in `count` messages, found by
    // walking the messages newest first: each run of the walk is tested
    // against the matches the index holds between the run's smallest and
    // largest id, a short stretch of the index while ids follow dates.
    std::vector<int64_t> walkedByDate(SQLite::Database& db, const std::string& match, const std::optional<Date>& from,
                                      const std::optional<Date>& to, int64_t limit, int64_t count) {
        auto& last = prepared(db, "SELECT coalesce(max(id), 0) FROM messages");
        last.executeStep();
        const int64_t messages = last.getColumn(0).getInt64();
        last.reset();
        std::string sql = "SELECT id FROM messages INDEXED BY messages_by_date WHERE is_reaction = 0";
        if (from) sql += " AND date >= ?";
        if (to) sql += " AND date <= ?";
        sql += " ORDER BY date DESC, id DESC";
        auto& newest = prepared(db, sql);
        int i = 1;
        if (from) newest.bind(i++, toNanos(*from));
        if (to) newest.bind(i++, toNanos(*to));
        auto& inRange =
            prepared(db, "SELECT rowid FROM idx.search WHERE search MATCH ? AND rowid BETWEEN ? AND ? ORDER BY rowid");
        // The first run holds `limit` matches at the word's share of all
        // messages, and a quarter more; each further run is twice as long.
        auto run = static_cast<size_t>(static_cast<double>(limit) *
                                       static_cast<double>(std::max<int64_t>(messages, 1)) /
                                       static_cast<double>(count) * 1.25) +
                   64;
        std::vector<int64_t> ids, walked, found;
        bool more = true;
        while (more && static_cast<int64_t>(ids.size()) < limit) {
            walked.clear();
            while (walked.size() < run && (more = newest.executeStep()))
                walked.push_back(newest.getColumn(0).getInt64());
            if (walked.empty()) break;
            const auto [lo, hi] = std::minmax_element(walked.begin(), walked.end());
            inRange.reset();
            inRange.bind(1, match);
            inRange.bind(2, *lo);
            inRange.bind(3, *hi);
            found.clear();
            while (inRange.executeStep()) found.push_back(inRange.getColumn(0).getInt64());
            for (const int64_t id : walked) {
                if (!std::binary_search(found.begin(), found.end(), id)) continue;
                ids.push_back(id);
                if (static_cast<int64_t>(ids.size()) == limit) break;
            }
            run *= 2;
        }
        newest.reset();
        inRange.reset();
        return ids;
    }

    // The ids as a JSON array, for json_each().
    static std::string idList(const std::vector<int64_t>& ids) {
        std::string list = "[";
        for (const int64_t id : ids) {
            if (list.size() > 1) list += ',';
            list += std::to_string(id);
        }
        return list + ']';
    }

    // The records of the messages `ids` with their sources: in the order of
    // `ids`, or newest first by (date, id) as SQL orders them (undated last)
    // when `byDate`. Read without their sources, then the sources of all of
    // them in one statement: a subquery for each record costs nearly what
    // reading the record does.
    std::vector<TreskStore::SearchHit> records(SQLite::Database& db, const std::vector<int64_t>& ids, bool byDate) {
        const std::string list = idList(ids);
        auto& q = prepared(db, "SELECT m.id, m.date, " + hitColumns("NULL") + kHitJoins +
                                   "WHERE m.id IN (SELECT value FROM json_each(?)) AND m.is_reaction = 0");
        q.bind(1, list);
        struct Key {
            int64_t id;
            std::optional<int64_t> date;
            size_t at;
        };
        std::vector<Key> keys;
        std::vector<TreskStore::SearchHit> read;
        read.reserve(ids.size());
        keys.reserve(ids.size());
        while (q.executeStep()) {
            std::optional<int64_t> date;
            if (!q.getColumn(1).isNull()) date = q.getColumn(1).getInt64();
            keys.push_back({q.getColumn(0).getInt64(), date, read.size()});
            read.push_back(readHit(q, 2));
        }
        q.reset();
        auto& s = prepared(db, "SELECT ms.message_id, s.source_id FROM message_sources ms JOIN sources s ON s.id = "
                               "ms.source_id WHERE ms.message_id IN (SELECT value FROM json_each(?))");
        s.bind(1, list);
        std::unordered_map<int64_t, size_t> at;
        at.reserve(keys.size());
        for (const auto& k : keys) at.emplace(k.id, k.at);
        while (s.executeStep()) {
            const auto found = at.find(s.getColumn(0).getInt64());
            if (found != at.end()) read[found->second].sourceIds.push_back(s.getColumn(1).getString());
        }
        s.reset();
        if (byDate) {
            std::sort(keys.begin(), keys.end(),
                      [](const Key& x, const Key& y) { return std::tie(x.date, x.id) > std::tie(y.date, y.id); });
        } else {
            std::unordered_map<int64_t, size_t> order;
            order.reserve(ids.size());
            for (size_t i = 0; i < ids.size(); ++i) order.emplace(ids[i], i);
            std::sort(keys.begin(), keys.end(),
                      [&](const Key& x, const Key& y) { return order.at(x.id) < order.at(y.id); });
        }
        std::vector<TreskStore::SearchHit> out;
        out.reserve(keys.size());
        for (const auto& k : keys) {
            auto& hit = read[k.at];
            std::sort(hit.sourceIds.begin(), hit.sourceIds.end());
            out.push_back(std::move(hit));
        }
        return out;
    }
};

TreskStore::TreskStore(const std::string& path) : TreskStore(path, SQLite::OPEN_READONLY) {}

TreskStore::TreskStore(const std::string& path, OneThreadAtATime)
    : TreskStore(path, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX) {}

TreskStore::TreskStore(const std::string& path, int flags) : path_(path) {
    if (!fs::isRegularFile(path)) throw Error("there is no archive at " + path);
    try {
        db_ = std::make_unique<SQLite::Database>(path, flags);
        db_->setBusyTimeout(5000);
        db_->exec("PRAGMA query_only = 1");
        if (!db_->tableExists("meta") || !db_->tableExists("messages")) throw Error(path + " is not a Kelvara archive");
        SQLite::Statement q(*db_, "SELECT value FROM meta WHERE key = 'formatVersion'");
        if (!q.executeStep()) throw Error(path + " is not a Kelvara archive");
        const int version = std::atoi(q.getColumn(0).getString().c_str());
        if (version < 1 || version > kFormatVersion)
            throw Error(path + " was written by a newer Kelvara (format " + std::to_string(version) + ")");
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error("the archive " + path + " could not be opened (" + e.what() + ")");
    }
}

TreskStore::TreskStore(const std::string& path, WritableTag) : path_(path) {}

TreskStore::~TreskStore() {
    searchMatches_.reset(); // its statements end before the connection
}

void TreskStore::attachSearchIndex() const {
    if (searchAttached_) return;
    const std::string index = searchIndexPath(path_);
    if (!fs::isRegularFile(index))
        throw Error("the search index of the archive " + path_ + " has not been built yet; the next scan builds it");
    SQLite::Statement attach(*db_, "ATTACH DATABASE ? AS idx");
    attach.bind(1, index);
    attach.exec();
    // One search reads a leaf page for each record it shows and for its
    // sources, beside the inner pages of both trees: SQLite's default cache
    // (2 MB) drops those inner pages before a search is over. Each file gets
    // up to kSearchCacheKiB, allocated as pages are read.
    for (const char* schema : {"main", "idx"})
        db_->exec(std::string("PRAGMA ") + schema + ".cache_size = -" + std::to_string(kSearchCacheKiB));
    if (!searchMatches_) searchMatches_ = std::make_unique<SearchMatches>();
    searchAttached_ = true;
}

TreskStore::ReadSnapshot TreskStore::readSnapshot() const {
    return guarded(path_, [&] {
        // Inside a snapshot already: that one holds the state until it ends.
        if (sqlite3_get_autocommit(db_->getHandle()) == 0) return ReadSnapshot(nullptr);
        db_->exec("BEGIN DEFERRED");
        try {
            // A deferred transaction takes its snapshot at its first read.
            db_->execAndGet("SELECT count(*) FROM meta");
        } catch (...) {
            db_->exec("ROLLBACK");
            throw;
        }
        return ReadSnapshot(this);
    });
}

TreskStore::ReadSnapshot::ReadSnapshot(ReadSnapshot&& other) noexcept : store_(other.store_) { other.store_ = nullptr; }

TreskStore::ReadSnapshot::~ReadSnapshot() {
    if (!store_) return;
    try {
        store_->db_->exec("ROLLBACK");
    } catch (...) {
        // Nothing was written; the connection ends the transaction when it closes.
    }
}

std::string TreskStore::owner() const {
    return guarded(path_, [&] {
        SQLite::Statement q(*db_, "SELECT value FROM meta WHERE key = 'owner'");
        return q.executeStep() ? q.getColumn(0).getString() : std::string();
    });
}

bool TreskStore::conversationTotalsCurrent() const {
    if (!db_->tableExists("conversation_totals")) return false;
    const auto same = db_->execAndGet("SELECT (SELECT value FROM meta WHERE key = 'conversationTotalsUpTo') = "
                                      "CAST((SELECT coalesce(max(id), 0) FROM messages) AS TEXT)");
    return !same.isNull() && same.getInt() == 1;
}

std::vector<TreskStore::ConversationSummary> TreskStore::conversations(const std::string& /*owner*/) const {
    return guarded(path_, [&] {
        std::vector<ConversationSummary> out;
        ConsistentReads snapshot(*db_);
        // The services each conversation was seen on, in one pass over the chats.
        std::unordered_map<int64_t, std::vector<std::string>> services;
        {
            SQLite::Statement q(*db_, "SELECT conversation_id, service FROM chats WHERE service IS NOT NULL AND "
                                      "service != '' ORDER BY guid");
            while (q.executeStep()) {
                auto& list = services[q.getColumn(0).getInt64()];
                std::string service = q.getColumn(1).getString();
                if (std::find(list.begin(), list.end(), service) == list.end()) list.push_back(std::move(service));
            }
        }
        // Counts and dates come from the writer's running totals when they are
        // current (a list of thousands of conversations without counting every
        // message), else they are counted.
        const bool totals = conversationTotalsCurrent();
        const std::string counts =
            totals ? "t.messages, t.last_date "
                   : "(SELECT count(*) FROM messages m WHERE m.conversation_id = c.id AND m.is_reaction = 0), "
                     "(SELECT max(m.date) FROM messages m WHERE m.conversation_id = c.id AND m.is_reaction = 0) ";
        SQLite::Statement q(*db_, "SELECT c.id, c.key, c.display_name, " + counts + "AS last FROM conversations c " +
                                      (totals ? "LEFT JOIN conversation_totals t ON t.conversation_id = c.id " : "") +
                                      "ORDER BY last IS NULL, last DESC, c.key");
        while (q.executeStep()) {
            ConversationSummary s;
            s.handle = q.getColumn(1).getString();
            if (!q.getColumn(2).isNull() && !q.getColumn(2).getString().empty()) {
                s.detail = q.getColumn(2).getString();
                s.name = s.detail;
            } else if (auto it = services.find(q.getColumn(0).getInt64()); it != services.end()) {
                for (const auto& service : it->second) s.detail += (s.detail.empty() ? "" : ", ") + service;
            }
            s.messageCount = q.getColumn(3).isNull() ? 0 : q.getColumn(3).getInt64();
            s.lastDate = optDate(q.getColumn(4));
            out.push_back(std::move(s));
        }
        return out;
    });
}

std::vector<TreskStore::ConversationProfile> TreskStore::conversationProfiles(const std::string& /*owner*/) const {
    return guarded(path_, [&] {
        std::vector<ConversationProfile> out;
        SQLite::Statement q(*db_,
                            "SELECT c.id, c.key, c.display_name, c.is_group, "
                            "(SELECT count(*) FROM messages m WHERE m.conversation_id = c.id AND m.is_reaction = 0), "
                            "(SELECT count(*) FROM messages m WHERE m.conversation_id = c.id AND m.is_reaction = 0 AND "
                            "m.is_from_me = 1), "
                            "(SELECT max(m.date) FROM messages m WHERE m.conversation_id = c.id AND m.is_reaction = 0) "
                            "FROM conversations c ORDER BY c.key");
        SQLite::Statement members(*db_,
                                  "SELECT h.handle FROM conversation_handles ch JOIN handles h ON h.id = ch.handle_id "
                                  "WHERE ch.conversation_id = ? ORDER BY h.handle");
        while (q.executeStep()) {
            ConversationProfile p;
            const int64_t id = q.getColumn(0).getInt64();
            p.key = q.getColumn(1).getString();
            p.displayName = optText(q.getColumn(2));
            p.isGroup = q.getColumn(3).getInt() != 0;
            p.messageCount = q.getColumn(4).getInt64();
            p.fromMeCount = q.getColumn(5).getInt64();
            p.lastDate = optDate(q.getColumn(6));
            members.reset();
            members.bind(1, id);
            while (members.executeStep()) p.participants.push_back(members.getColumn(0).getString());
            out.push_back(std::move(p));
        }
        return out;
    });
}

std::vector<TreskStore::SearchHit> TreskStore::messages(const std::string& /*owner*/,
                                                        const std::string& conversationKey, int64_t limit,
                                                        int64_t offset) const {
    if (limit <= 0) return {};
    if (offset < 0) offset = 0;
    return guarded(path_, [&] {
        std::vector<SearchHit> out;
        SQLite::Statement q(*db_, std::string("SELECT ") + kHitColumns + kHitJoins +
                                      "WHERE m.conversation_id = (SELECT id FROM conversations WHERE key = ?) "
                                      "AND m.is_reaction = 0 ORDER BY m.date, m.id LIMIT ? OFFSET ?");
        q.bind(1, conversationKey);
        q.bind(2, limit);
        q.bind(3, offset);
        while (q.executeStep()) out.push_back(readHit(q));
        return out;
    });
}

int64_t TreskStore::conversationMessageCount(const std::string& conversationKey) const {
    return guarded(path_, [&] {
        ConsistentReads snapshot(*db_);
        SQLite::Statement q(*db_, conversationTotalsCurrent()
                                      ? "SELECT coalesce((SELECT messages FROM conversation_totals WHERE "
                                        "conversation_id = (SELECT id FROM conversations WHERE key = ?)), 0)"
                                      : "SELECT count(*) FROM messages WHERE conversation_id = "
                                        "(SELECT id FROM conversations WHERE key = ?) AND is_reaction = 0");
        q.bind(1, conversationKey);
        const int64_t n = q.executeStep() ? q.getColumn(0).getInt64() : int64_t{0};
        q.reset();
        return n;
    });
}

std::vector<TreskStore::SearchHit> TreskStore::seekFrom(int64_t conversation, const std::string& conversationKey,
                                                        const std::optional<std::string>& anchorId, bool later,
                                                        int64_t limit) const {
    // In the conversation's order (date, undated first, then storage order):
    // every query below seeks through the conversation's index, so a page deep
    // in a long conversation costs what the first one does.
    std::vector<SearchHit> out;
    const std::string select = std::string("SELECT ") + kHitColumns + kHitJoins +
                               "WHERE m.conversation_id = ? AND m.is_reaction = 0 ";
    const std::string order = later ? " ORDER BY m.date, m.id LIMIT ?" : " ORDER BY m.date DESC, m.id DESC LIMIT ?";
    auto run = [&](const std::string& where, const std::function<void(SQLite::Statement&)>& bind) {
        if (static_cast<int64_t>(out.size()) >= limit) return;
        SQLite::Statement q(*db_, select + where + order);
        q.bind(1, conversation);
        bind(q);
        q.bind(q.getBindParameterCount(), limit - static_cast<int64_t>(out.size()));
        while (q.executeStep()) out.push_back(readHit(q));
    };
    if (!anchorId) {
        run("", [](SQLite::Statement&) {});
        return out;
    }
    SQLite::Statement a(*db_, "SELECT id, date, conversation_id, is_reaction FROM messages WHERE guid = ?");
    a.bind(1, *anchorId);
    if (!a.executeStep() || a.getColumn(2).getInt64() != conversation || a.getColumn(3).getInt() != 0)
        throw Error("the message " + *anchorId + " is not part of the conversation " + conversationKey);
    const int64_t id = a.getColumn(0).getInt64();
    const std::string side = later ? " > " : " < ";
    if (a.getColumn(1).isNull()) {
        run("AND m.date IS NULL AND m.id" + side + "?", [&](SQLite::Statement& q) { q.bind(2, id); });
        // Every dated message sorts after the undated ones.
        if (later) run("AND m.date IS NOT NULL", [](SQLite::Statement&) {});
    } else {
        const int64_t date = a.getColumn(1).getInt64();
        run("AND (m.date, m.id)" + side + "(?, ?)", [&](SQLite::Statement& q) {
            q.bind(2, date);
            q.bind(3, id);
        });
        if (!later) run("AND m.date IS NULL", [](SQLite::Statement&) {});
    }
    return out;
}

int64_t TreskStore::conversationId(const std::string& conversationKey) const {
    SQLite::Statement q(*db_, "SELECT id FROM conversations WHERE key = ?");
    q.bind(1, conversationKey);
    return q.executeStep() ? q.getColumn(0).getInt64() : 0;
}

TreskStore::ThreadPage TreskStore::threadPage(const std::string& conversationKey,
                                              const std::optional<std::string>& beforeId, int64_t limit,
                                              bool withTotal) const {
    ThreadPage page;
    if (limit <= 0) limit = 0;
    return guarded(path_, [&] {
        // The count and the rows come from one snapshot, so a scan writing in
        // between cannot make them disagree.
        ConsistentReads snapshot(*db_);
        const int64_t conversation = conversationId(conversationKey);
        if (withTotal) {
            SQLite::Statement q(*db_,
                                conversationTotalsCurrent()
                                    ? "SELECT coalesce((SELECT messages FROM conversation_totals WHERE "
                                      "conversation_id = ?), 0)"
                                    : "SELECT count(*) FROM messages WHERE conversation_id = ? AND is_reaction = 0");
            q.bind(1, conversation);
            page.total = q.executeStep() ? q.getColumn(0).getInt64() : 0;
        }
        // One row more than asked tells whether anything lies before the page.
        auto newestFirst = seekFrom(conversation, conversationKey, beforeId, false, limit + 1);
        page.reachesOldest = static_cast<int64_t>(newestFirst.size()) <= limit;
        if (!page.reachesOldest) newestFirst.pop_back();
        page.messages.assign(std::make_move_iterator(newestFirst.rbegin()),
                             std::make_move_iterator(newestFirst.rend()));
        return page;
    });
}

std::vector<TreskStore::SearchHit> TreskStore::messagesAfter(const std::string& conversationKey,
                                                             const std::optional<std::string>& afterId,
                                                             int64_t limit) const {
    if (limit <= 0) return {};
    return guarded(path_, [&] {
        ConsistentReads snapshot(*db_);
        return seekFrom(conversationId(conversationKey), conversationKey, afterId, true, limit);
    });
}

std::map<std::string, std::vector<TreskStore::AttachmentRef>> TreskStore::attachments(
    const std::vector<std::string>& messageIds) const {
    return guarded(path_, [&] {
        std::map<std::string, std::vector<AttachmentRef>> out;
        SQLite::Statement q(
            *db_, "SELECT a.guid, a.file_name, a.mime_type, a.total_bytes, a.has_file, a.object_key "
                  "FROM messages m JOIN message_attachments ma ON ma.message_id = m.id "
                  "JOIN attachments a ON a.id = ma.attachment_id WHERE m.guid = ? ORDER BY ma.position, a.id");
        for (const auto& id : messageIds) {
            if (out.count(id)) continue;
            q.reset();
            q.bind(1, id);
            std::vector<AttachmentRef> refs;
            while (q.executeStep()) {
                AttachmentRef r;
                r.id = q.getColumn(0).getString();
                r.fileName = optText(q.getColumn(1));
                r.mimeType = optText(q.getColumn(2));
                r.totalBytes = q.getColumn(3).getInt64();
                if (!q.getColumn(4).isNull()) r.hasFile = q.getColumn(4).getInt() != 0;
                r.objectKey = optText(q.getColumn(5));
                refs.push_back(std::move(r));
            }
            if (!refs.empty()) out.emplace(id, std::move(refs));
        }
        return out;
    });
}

std::map<std::string, std::vector<TreskStore::Reaction>> TreskStore::reactions(
    const std::vector<std::string>& messageIds) const {
    return guarded(path_, [&] {
        std::map<std::string, std::vector<Reaction>> out;
        // associated_guid keeps the source's prefix ("p:0/GUID", "bp:GUID").
        SQLite::Statement q(*db_, "SELECT m.guid, m.associated_type, h.handle, m.is_from_me, m.date FROM messages m "
                                  "LEFT JOIN handles h ON h.id = m.handle_id WHERE m.is_reaction = 1 AND "
                                  "(m.associated_guid = ? OR m.associated_guid = 'bp:' || ? OR m.associated_guid LIKE "
                                  "'p:%/' || ? ESCAPE '\\') "
                                  "ORDER BY m.date, m.id");
        for (const auto& id : messageIds) {
            if (out.count(id)) continue;
            std::string escaped;
            for (char c : id) {
                if (c == '%' || c == '_' || c == '\\') escaped += '\\';
                escaped += c;
            }
            q.reset();
            q.bind(1, id);
            q.bind(2, id);
            q.bind(3, escaped);
            std::vector<Reaction> list;
            while (q.executeStep()) {
                Reaction r;
                r.id = q.getColumn(0).getString();
                r.targetMessageId = id;
                r.type = q.getColumn(1).getInt64();
                r.senderHandle = optText(q.getColumn(2));
                r.isFromMe = q.getColumn(3).getInt() != 0;
                r.date = optDate(q.getColumn(4));
                list.push_back(std::move(r));
            }
            if (!list.empty()) out.emplace(id, std::move(list));
        }
        return out;
    });
}

TreskStore::VersionReader::VersionReader(const std::string& path, SQLite::Database& db)
    : path_(path), query_(guarded(path, [&] {
          return std::make_unique<SQLite::Statement>(
              db, "SELECT v.text, v.date, v.first_seen FROM message_versions v JOIN messages m ON m.id = "
                  "v.message_id WHERE m.guid = ? ORDER BY v.date IS NULL DESC, v.date, v.first_seen, v.rowid");
      })) {}

TreskStore::VersionReader::~VersionReader() = default;

std::vector<TreskStore::MessageVersion> TreskStore::VersionReader::read(const std::string& messageId) {
    return guarded(path_, [&] {
        std::vector<MessageVersion> out;
        SQLite::Statement& q = *query_;
        q.reset();
        q.bind(1, messageId);
        while (q.executeStep())
            out.push_back({q.getColumn(0).getString(), optDate(q.getColumn(1)), fromNanos(q.getColumn(2).getInt64())});
        q.reset();
        return out;
    });
}

std::unique_ptr<TreskStore::VersionReader> TreskStore::versionReader() const {
    return std::unique_ptr<VersionReader>(new VersionReader(path_, *db_));
}

std::vector<TreskStore::MessageVersion> TreskStore::versions(const std::string& messageId) const {
    return versionReader()->read(messageId);
}

std::vector<std::string> TreskStore::sources(const std::string& messageId) const {
    return guarded(path_, [&] {
        std::vector<std::string> out;
        SQLite::Statement q(*db_, "SELECT s.source_id FROM messages m JOIN message_sources ms ON ms.message_id = m.id "
                                  "JOIN sources s ON s.id = ms.source_id WHERE m.guid = ? ORDER BY s.source_id");
        q.bind(1, messageId);
        while (q.executeStep()) out.push_back(q.getColumn(0).getString());
        return out;
    });
}

std::vector<TreskStore::SearchHit> TreskStore::search(const std::string& query, const std::string& /*owner*/,
                                                      const std::optional<std::string>& handle,
                                                      const std::optional<Date>& from, const std::optional<Date>& to,
                                                      int64_t limit) const {
    const std::string match = literalMatchExpression(query);
    if (match.empty() || limit <= 0) return {};
    return guarded(path_, [&] { return findMatches(match, handle, from, to, limit, nullptr); });
}

TreskStore::SearchResults TreskStore::searchWithTotal(const std::string& query, const std::string& /*owner*/,
                                                      int64_t limit) const {
    const std::string match = literalMatchExpression(query);
    if (match.empty()) return {};
    return guarded(path_, [&] {
        SearchResults out;
        out.hits = findMatches(match, std::nullopt, std::nullopt, std::nullopt, std::max<int64_t>(limit, 0),
                               &out.total);
        return out;
    });
}

std::vector<TreskStore::SearchHit> TreskStore::findMatches(const std::string& match,
                                                           const std::optional<std::string>& handle,
                                                           const std::optional<Date>& from,
                                                           const std::optional<Date>& to, int64_t limit,
                                                           int64_t* total) const {
    attachSearchIndex();
    // The count and the records come from one state of the archive and its index.
    ConsistentReads snapshot(*db_);
    auto& matches = *searchMatches_;
    // The ids of the matches, as many as a look-up takes: all of them, and so
    // their count, unless there are more, when they are counted on their own.
    const int64_t most = kWalkByDateAbove *
                         std::clamp<int64_t>(limit, 0, std::numeric_limits<int64_t>::max() / (2 * kWalkByDateAbove));
    std::vector<int64_t> ids = matches.matchIds(*db_, match, most + 1);
    const int64_t count = static_cast<int64_t>(ids.size()) <= most ? static_cast<int64_t>(ids.size())
                                                                   : matches.count(*db_, match);
    if (total) *total = count;
    if (count == 0 || limit <= 0) return {};
    const bool filtered = handle || from || to;
    // A word in many messages: walk the messages newest first and keep the
    // matching ones, rather than look up and sort every match. A rare word
    // (or a sender filter) is quicker the other way round.
    if (!matches.dateIndex) matches.dateIndex = hasDateIndex();
    const bool walk = !handle && count > most && matches.dateIndex;
    if (walk) return matches.records(*db_, matches.walkedByDate(*db_, match, from, to, limit, count), false);
    // Every match is shown: its records are read by id, and put in order here.
    if (count <= limit && !filtered) return matches.records(*db_, ids, true);
    return matches.records(*db_, matches.newestIds(*db_, match, handle, from, to, limit), false);
}

int64_t TreskStore::searchCount(const std::string& query, const std::string& /*owner*/) const {
    const std::string match = literalMatchExpression(query);
    if (match.empty()) return 0;
    return guarded(path_, [&] {
        attachSearchIndex();
        return searchMatches_->count(*db_, match);
    });
}

bool TreskStore::hasDateIndex() const {
    return db_->execAndGet("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = 'messages_by_date'")
               .getInt() > 0;
}

// The total the writer keeps in meta while it agrees with the largest id (as
// the writer itself trusts it: messages are never deleted, so their ids run
// from 1 without gaps), so that a large archive is not counted on every run;
// otherwise counted. One statement, so both are read from the same state.
int64_t TreskStore::messageCount() const {
    return guarded(path_, [&] {
        SQLite::Statement q(*db_, "SELECT CASE WHEN (SELECT CAST(value AS INTEGER) FROM meta WHERE key = ?1) = "
                                  "(SELECT coalesce(max(id), 0) FROM messages) THEN (SELECT coalesce(max(id), 0) "
                                  "FROM messages) ELSE (SELECT count(*) FROM messages) END");
        q.bind(1, kMessageTotalKey);
        return q.executeStep() ? q.getColumn(0).getInt64() : 0;
    });
}

int64_t TreskStore::corroboratedCount() const {
    return guarded(path_, [&] {
        return db_
            ->execAndGet(
                "SELECT count(*) FROM (SELECT message_id FROM message_sources GROUP BY message_id HAVING count(*) > 1)")
            .getInt64();
    });
}

int64_t TreskStore::duplicateCopies() const {
    return guarded(path_, [&] {
        return db_
            ->execAndGet("SELECT (SELECT count(*) FROM message_sources) - (SELECT count(DISTINCT message_id) FROM "
                         "message_sources)")
            .getInt64();
    });
}

std::vector<std::string> TreskStore::objectKeys() const {
    return guarded(path_, [&] {
        std::vector<std::string> out;
        SQLite::Statement q(
            *db_, "SELECT DISTINCT object_key FROM attachments WHERE object_key IS NOT NULL ORDER BY object_key");
        while (q.executeStep()) out.push_back(q.getColumn(0).getString());
        return out;
    });
}

std::vector<TreskStore::SourceContent> TreskStore::sourceContents() const {
    return guarded(path_, [&] {
        std::vector<SourceContent> out;
        SQLite::Statement q(
            *db_, "SELECT s.source_id, count(ms.message_id), min(m.date), max(m.date), s.last_read FROM sources s "
                  "LEFT JOIN message_sources ms ON ms.source_id = s.id LEFT JOIN messages m ON m.id = ms.message_id "
                  "GROUP BY s.id ORDER BY s.source_id");
        while (q.executeStep())
            out.push_back({q.getColumn(0).getString(), q.getColumn(1).getInt64(), optDate(q.getColumn(2)),
                           optDate(q.getColumn(3)), optDate(q.getColumn(4))});
        return out;
    });
}

std::vector<TreskStore::SourceOverlap> TreskStore::sourceOverlaps() const {
    return guarded(path_, [&] {
        std::vector<SourceOverlap> out;
        SQLite::Statement q(*db_,
                            "SELECT sa.source_id, sb.source_id, count(*) FROM message_sources a "
                            "JOIN message_sources b ON b.message_id = a.message_id AND b.source_id != a.source_id "
                            "JOIN sources sa ON sa.id = a.source_id JOIN sources sb ON sb.id = b.source_id "
                            "WHERE sa.source_id < sb.source_id GROUP BY a.source_id, b.source_id ORDER BY 1, 2");
        while (q.executeStep())
            out.push_back({q.getColumn(0).getString(), q.getColumn(1).getString(), q.getColumn(2).getInt64()});
        return out;
    });
}

void TreskStore::forEachMessage(const std::function<void(const StoredMessage&)>& visit) const {
    guarded(path_, [&] {
        SQLite::Statement q(*db_, std::string("SELECT ") + kHitColumns +
                                      ", m.associated_guid, m.associated_type, m.is_reaction, m.first_archived" +
                                      kHitJoins + "ORDER BY m.date IS NULL, m.date, m.guid");
        while (q.executeStep()) {
            StoredMessage s;
            s.hit = readHit(q);
            s.associatedGuid = optText(q.getColumn(12));
            s.associatedType = q.getColumn(13).getInt64();
            s.isReaction = q.getColumn(14).getInt() != 0;
            s.firstArchived = fromNanos(q.getColumn(15).getInt64());
            visit(s);
        }
        return 0;
    });
}

} // namespace kx
