#pragma once
// The full-text search index of an owner's store, kept in its own file beside
// the store so that it can be built on another thread while the engine writes
// messages (SQLite allows one writer per file).
//
// File: <owner folder>/search.db (SQLite, WAL). Tables:
//   meta(key, value)   "formatVersion" (1), "indexedThrough": the highest messages.id
//                      of tresk.db that has been looked at
//   search             FTS5 (unicode61, diacritics removed) over message texts; rowid =
//                      messages.id; reactions and messages without text are not indexed
// The index is derived data: it can always be rebuilt from tresk.db (a missing or
// lagging index is caught up by the next run). Messages whose text changed after
// they were indexed are listed in tresk.db's search_pending table until the
// indexer has replaced their entry.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kx {

// "<folder of the store>/search.db".
std::string searchIndexPath(const std::string& storePath);

// Brings the index up to date with what is committed in the store, on its own
// thread, until finish() is called.
class SearchIndexer {
public:
    explicit SearchIndexer(std::string storePath);
    ~SearchIndexer();
    SearchIndexer(const SearchIndexer&) = delete;
    SearchIndexer& operator=(const SearchIndexer&) = delete;

    // More rows were committed to the store.
    void notify();

    struct Result {
        std::vector<int64_t> reindexed;     // search_pending ids whose entry was replaced
        std::optional<std::string> problem; // why the index could not be brought up to date
        int64_t indexed = 0;                // messages added to the index in this run
    };
    // Indexes everything committed so far, stops the thread and says how it went.
    Result finish();

    // Indexes everything committed in the store, on the calling thread.
    static Result catchUp(const std::string& storePath);

private:
    void loop();

    std::string storePath_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool finishing_ = false;
    uint64_t generation_ = 0;
    Result result_;
    std::thread thread_;
};

} // namespace kx
