#include "core/archive/search_index.h"

#include "core/archive/archive_layout.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/private_files.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <chrono>
#include <filesystem>

namespace kx {

std::string searchIndexPath(const std::string& storePath) {
    return ArchiveLayout::besideDatabase(storePath).searchIndex;
}

namespace {

constexpr int kIndexFormat = 1;
constexpr int64_t kChunk = 20000;

// The index's path, made private before SQLite opens it.
std::string privateIndexPath(const std::string& storePath) {
    const std::string path = searchIndexPath(storePath);
    fs::preparePrivateDatabase(path);
    return path;
}

// One open index with its store; does the work of a pass.
class Pass {
public:
    explicit Pass(const std::string& storePath)
        : store_(storePath, SQLite::OPEN_READONLY | SQLite::OPEN_NOMUTEX),
          index_(privateIndexPath(storePath), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOMUTEX) {
        store_.setBusyTimeout(10000);
        index_.setBusyTimeout(10000);
        index_.exec("PRAGMA journal_mode = WAL");
        index_.exec("PRAGMA synchronous = NORMAL");
        if (!index_.tableExists("meta")) {
            SQLite::Transaction t(index_);
            index_.exec("CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID");
            index_.exec("CREATE VIRTUAL TABLE search USING fts5(text, tokenize='unicode61 remove_diacritics 2')");
            index_.exec("INSERT INTO meta(key, value) VALUES ('formatVersion', '1'), ('indexedThrough', '0')");
            t.commit();
        }
        SQLite::Statement v(index_, "SELECT value FROM meta WHERE key = 'formatVersion'");
        if (!v.executeStep() || std::atoi(v.getColumn(0).getString().c_str()) != kIndexFormat)
            throw Error("the search index " + searchIndexPath(storePath) + " has an unknown format");
        SQLite::Statement w(index_, "SELECT value FROM meta WHERE key = 'indexedThrough'");
        if (w.executeStep()) watermark_ = std::atoll(w.getColumn(0).getString().c_str());
    }

    // Indexes the next chunk of committed rows; false when there was none. The
    // chunk is read first and indexed after, so the store is read only briefly
    // (a reader holding on to a state of the store keeps its write-ahead log
    // from starting over).
    bool step(int64_t& indexed) {
        std::vector<std::pair<int64_t, std::string>> texts;
        int64_t last = watermark_;
        {
            SQLite::Statement rows(store_,
                                   "SELECT id, text, is_reaction FROM messages WHERE id > ? ORDER BY id LIMIT ?");
            rows.bind(1, watermark_);
            rows.bind(2, kChunk);
            while (rows.executeStep()) {
                last = rows.getColumn(0).getInt64();
                if (!rows.getColumn(1).isNull() && rows.getColumn(2).getInt() == 0)
                    texts.emplace_back(last, rows.getColumn(1).getString());
            }
        }
        if (last == watermark_) return false;
        SQLite::Transaction t(index_);
        SQLite::Statement ins(index_, "INSERT INTO search(rowid, text) VALUES (?, ?)");
        for (const auto& [id, text] : texts) {
            ins.reset();
            ins.bind(1, id);
            ins.bind(2, text);
            ins.exec();
            ++indexed;
        }
        watermark_ = last;
        SQLite::Statement m(index_, "UPDATE meta SET value = ? WHERE key = 'indexedThrough'");
        m.bind(1, std::to_string(watermark_));
        m.exec();
        t.commit();
        return true;
    }

    // Replaces the entries of messages whose text changed after indexing.
    std::vector<int64_t> reindexPending() {
        std::vector<int64_t> ids;
        if (!store_.tableExists("search_pending")) return ids;
        // CROSS JOIN keeps search_pending as the outer loop: left to itself the
        // planner walks every message up to the watermark even when nothing is pending.
        SQLite::Statement q(store_, "SELECT p.message_id, m.text, m.is_reaction FROM search_pending p "
                                    "CROSS JOIN messages m ON m.id = p.message_id WHERE p.message_id <= ?");
        q.bind(1, watermark_);
        SQLite::Transaction t(index_);
        SQLite::Statement del(index_, "DELETE FROM search WHERE rowid = ?");
        SQLite::Statement ins(index_, "INSERT INTO search(rowid, text) VALUES (?, ?)");
        while (q.executeStep()) {
            const int64_t id = q.getColumn(0).getInt64();
            del.reset();
            del.bind(1, id);
            del.exec();
            if (!q.getColumn(1).isNull() && q.getColumn(2).getInt() == 0) {
                ins.reset();
                ins.bind(1, id);
                ins.bind(2, q.getColumn(1).getText());
                ins.exec();
            }
            ids.push_back(id);
        }
        t.commit();
        return ids;
    }

private:
    SQLite::Database store_;
    SQLite::Database index_;
    int64_t watermark_ = 0;
};

std::string describe(const std::exception& e) { return e.what(); }

} // namespace

SearchIndexer::SearchIndexer(std::string storePath) : storePath_(std::move(storePath)) {
    thread_ = std::thread([this] { loop(); });
}

SearchIndexer::~SearchIndexer() {
    if (thread_.joinable()) finish();
}

void SearchIndexer::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
    }
    cv_.notify_one();
}

void SearchIndexer::loop() {
    try {
        Pass pass(storePath_);
        uint64_t seen = 0;
        for (;;) {
            int64_t indexed = 0;
            while (pass.step(indexed)) {
            }
            bool last = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                result_.indexed += indexed;
                if (indexed == 0) {
                    if (finishing_ && seen == generation_) last = true;
                    else if (seen == generation_)
                        cv_.wait_for(lock, std::chrono::milliseconds(200),
                                     [&] { return finishing_ || generation_ != seen; });
                    seen = generation_;
                }
            }
            if (last) break;
        }
        auto ids = pass.reindexPending();
        std::lock_guard<std::mutex> lock(mutex_);
        result_.reindexed = std::move(ids);
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        result_.problem = describe(e);
    }
}

SearchIndexer::Result SearchIndexer::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        ++generation_;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return result_;
}

SearchIndexer::Result SearchIndexer::catchUp(const std::string& storePath) {
    Result r;
    try {
        Pass pass(storePath);
        while (pass.step(r.indexed)) {
        }
        r.reindexed = pass.reindexPending();
    } catch (const std::exception& e) {
        r.problem = describe(e);
    }
    return r;
}

} // namespace kx
