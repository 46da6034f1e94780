#include "core/archive/tresk_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/attachment_store.h"
#include "core/archive/machine_run_report.h"
#include "core/archive/run_lock.h"
#include "core/archive/search_index.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
#include "core/platform/private_files.h"
#include "core/platform/system.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <kelvara/version.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace kx {

int applyOutcomes(SourceRegistry& registry, const CoverageReport& report) {
    int changed = 0;
    for (const auto& o : report.sources) {
        const Source* found = registry.find(o.sourceId);
        if (!found) continue;
        // A report older than the scan already recorded (read again at start-up,
        // or a run that ended before another one was recorded) changes nothing.
        if (found->lastScanned && o.scannedAt < *found->lastScanned) continue;
        Source s = *found;
        if (o.succeeded) {
            s.lastScanned = o.scannedAt;
            s.lastError.reset();
        } else {
            s.lastError = o.error.value_or("The source could not be read.");
        }
        if (!(s == *found)) {
            registry.update(s);
            ++changed;
        }
    }
    return changed;
}

namespace {

// Several threads use SQLite at once during a run (reader, writer, search
// indexer). SQLite's memory statistics take a process-wide lock on every
// allocation; nothing here reads them, so they are switched off before SQLite
// starts (this has no effect when SQLite was already started).
[[maybe_unused]] const int kSqliteSetup = [] { return sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); }();

constexpr size_t kMaxWarningsPerSource = 20;

std::string sourceName(const Source& s) {
    if (s.label && !s.label->empty()) return "\"" + *s.label + "\"";
    return s.path.empty() ? "\"" + s.id + "\"" : s.path;
}

std::string sentence(std::string text) {
    if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') text += '.';
    return text;
}

// During a first load, copying the store's write-ahead log into the database
// (a checkpoint, with its disk flushes) happens on a thread of its own, on its
// own connection, instead of inside the writer's commits. A passive checkpoint
// never blocks the writer and SQLite keeps it safe at any moment: a run killed
// mid-checkpoint finds the log still holding every committed page.
//
// The log starts over from its beginning only when a write transaction begins
// with all of it copied (and nobody reading from it), which a writer that
// begins its next batch at once never sees: so every few batches the writer
// waits for the copy of what it just committed (waitUntilCopied) before going
// on, and the log stays at a few batches instead of growing to the size of the
// store.
class Checkpointer {
public:
    explicit Checkpointer(const std::string& path) : path_(path), thread_([this] { loop(); }) {}
    ~Checkpointer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // A batch was committed.
    void notify() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++pending_;
        }
        cv_.notify_one();
    }

    // Returns once every batch notified so far has been checkpointed (or tried).
    void waitUntilCopied() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return stop_ || stopped_ || (pending_ == 0 && !copying_); });
    }

private:
    void loop() {
        try {
            SQLite::Database db(path_, SQLite::OPEN_READWRITE | SQLite::OPEN_NOMUTEX);
            db.setBusyTimeout(0);
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    copying_ = false;
                    done_.notify_all();
                    cv_.wait(lock, [&] { return stop_ || pending_ > 0; });
                    if (stop_) break;
                    pending_ = 0;
                    copying_ = true;
                }
                try {
                    db.exec("PRAGMA wal_checkpoint(PASSIVE)");
                } catch (const std::exception&) {
                    // busy or failed: the next batch tries again, the writer's own
                    // checkpoint at the end does the rest
                }
            }
        } catch (const std::exception&) {
            // without it the log is checkpointed when the writer closes the store
        }
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        done_.notify_all();
    }

    std::string path_;
    std::mutex mutex_;
    std::condition_variable cv_, done_;
    int64_t pending_ = 0;
    bool copying_ = false;
    bool stop_ = false;
    bool stopped_ = false; // the thread has ended (or could not open the store)
    std::thread thread_;
};

// Receives one source's records and writes them to the owner's store in batches.
class EngineSink final : public IngestSink {
public:
    EngineSink(TreskStoreWriter& store, AttachmentStore& objects, SearchIndexer& indexer, int64_t sourceRow,
               const FilterSet* filters, const TreskEngine::RunOptions& options, int64_t batchSize, Date now,
               SourceOutcome& outcome)
        : store_(store), objects_(objects), indexer_(indexer), sourceRow_(sourceRow), filters_(filters),
          options_(options), batchSize_(batchSize), now_(now), outcome_(outcome) {}

    void chat(const ChatRecord& chat) override {
        guard([&] { store_.addChat(chat); });
    }

    void message(MessageRecord&& m) override {
        if (fatal_) throw Error(*fatal_);
        guard([&] {
            if (m.guid.empty()) {
                ++outcome_.messagesRead;
                warn("A message without an identifier was skipped");
                return;
            }
            ++outcome_.messagesRead;
            if (filters_ && !filters_->rules.empty()) {
                const auto& conv = store_.conversationFor(m);
                FilterSubject subject{conv.key, conv.isGroup ? std::nullopt : m.handle, conv.displayName, conv.isGroup};
                if (filters_->excludes(subject)) {
                    ++outcome_.messagesFiltered;
                    return;
                }
            }
            std::unordered_map<std::string, std::string> keys;
            for (const auto& a : m.attachments) {
                ++outcome_.attachmentsRecorded;
                switch (a.state) {
                case AttachmentFileState::missing: ++outcome_.attachmentsMissing; break;
                case AttachmentFileState::refused:
                    ++outcome_.attachmentsRefused;
                    warn("An attachment of message " + m.guid + " points outside the source (" +
                         a.problem.value_or(a.recordedPath.value_or("no path")) + ") and was not read");
                    break;
                case AttachmentFileState::present:
                    if (options_.copyAttachments && a.resolvedPath) copyObject(a, keys);
                    break;
                case AttachmentFileState::notRecorded: break;
                }
            }
            const auto r = store_.addMessage(m, sourceRow_, now_, keys);
            if (r.inserted) ++outcome_.messagesNew;
            if (++pending_ >= batchSize_) commitBatch();
        });
    }

    void checkpoint(const IngestCursor& cursor) override {
        cursor_ = cursor;
        hasCursor_ = true;
    }

    bool shouldStop() const override {
        return fatal_.has_value() || (options_.limit && outcome_.messagesNew >= *options_.limit);
    }

    // Commits what was delivered, with the newest checkpoint the reader gave.
    void commitBatch() {
        if (hasCursor_) store_.setCursor(sourceRow_, cursor_, now_);
        store_.commit();
        if (checkpointer_) {
            checkpointer_->notify();
            // The search indexer is told after this wait, so that it does not
            // begin a read of the log just before the log could start over.
            if (++commits_ % kBatchesPerLog == 0) checkpointer_->waitUntilCopied();
        }
        indexer_.notify();
        store_.begin();
        pending_ = 0;
    }

    const std::optional<std::string>& fatal() const { return fatal_; }
    void setCheckpointer(Checkpointer* c) { checkpointer_ = c; }

private:
    template <typename F>
    void guard(F&& f) {
        try {
            f();
        } catch (const AttachmentStore::WriteError& e) {
            fatal_ = std::string("attachment bytes could not be stored: ") + e.what();
            throw;
        } catch (const Error& e) {
            if (!fatal_) fatal_ = e.what();
            throw;
        } catch (const std::exception& e) {
            fatal_ = std::string("the archive could not be written (") + e.what() + ")";
            throw Error(*fatal_);
        }
    }

    void copyObject(const AttachmentRecord& a, std::unordered_map<std::string, std::string>& keys) {
        try {
            keys[a.guid] = objects_.put(*a.resolvedPath);
            ++outcome_.attachmentsCopied;
        } catch (const AttachmentStore::WriteError&) {
            throw;
        } catch (const Error& e) {
            ++outcome_.attachmentsMissing;
            warn(std::string("An attachment could not be copied: ") + e.what());
        }
    }

    void warn(const std::string& text) {
        ++warningCount_;
        if (outcome_.warnings.size() < kMaxWarningsPerSource) outcome_.warnings.push_back(sentence(text));
    }

    TreskStoreWriter& store_;
    AttachmentStore& objects_;
    SearchIndexer& indexer_;
    int64_t sourceRow_;
    const FilterSet* filters_;
    const TreskEngine::RunOptions& options_;
    int64_t batchSize_;
    Date now_;
    SourceOutcome& outcome_;
    IngestCursor cursor_;
    bool hasCursor_ = false;
    int64_t pending_ = 0;
    // During a first load: the log starts over every this many batches (see Checkpointer).
    static constexpr int64_t kBatchesPerLog = 8;
    int64_t commits_ = 0;
    size_t warningCount_ = 0;
    std::optional<std::string> fatal_;
    Checkpointer* checkpointer_ = nullptr;
};

// Runs a reader on a thread of its own while the calling thread writes what it
// delivers: records travel in order, in chunks, through a small bounded queue.
// The writer side decides when to stop (a limit reached, a store failure); the
// reader then sees shouldStop() and anything it still delivers is dropped.
class Pipe final : public IngestSink {
public:
    // A message, a chat or a checkpoint, made in its place in the chunk.
    using Item = std::variant<MessageRecord, ChatRecord, IngestCursor>;
    using Chunk = std::vector<Item>;

    // Reader side.
    void chat(const ChatRecord& c) override { push(std::in_place_type<ChatRecord>, c); }
    void message(MessageRecord&& m) override { push(std::in_place_type<MessageRecord>, std::move(m)); }
    void checkpoint(const IngestCursor& c) override { push(std::in_place_type<IngestCursor>, c); }
    bool shouldStop() const override { return stop_.load(); }
    void flush() {
        if (local_.empty()) return;
        std::vector<Chunk> spent; // freed after the lock is let go
        {
            std::unique_lock<std::mutex> lock(mutex_);
            spent.swap(spent_);
            notFull_.wait(lock, [&] { return chunks_.size() < kMaxChunks || stop_.load(); });
            if (!stop_.load()) chunks_.push_back(std::move(local_));
            notEmpty_.notify_one();
        }
        // The next chunk is filled in a spent one's room, so it never grows item by item.
        local_.clear();
        if (!spent.empty()) {
            local_.swap(spent.back());
            local_.clear();
        }
        local_.reserve(kChunkSize);
    }
    void close() {
        flush();
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notEmpty_.notify_one();
    }

    // Writer side: the next chunk, or none once the reader is done.
    std::optional<Chunk> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !chunks_.empty() || closed_; });
        if (chunks_.empty()) return std::nullopt;
        Chunk c = std::move(chunks_.front());
        chunks_.pop_front();
        notFull_.notify_one();
        return c;
    }
    // A chunk the writer is done with: freed by the reader, whose allocations
    // its records are (freeing them on the writer costs the busier thread time,
    // and the allocator's locks).
    void recycle(Chunk&& chunk) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_) spent_.push_back(std::move(chunk));
    }
    void requestStop() {
        stop_.store(true);
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.clear();
        notFull_.notify_all();
    }

private:
    static constexpr size_t kChunkSize = 256;
    static constexpr size_t kMaxChunks = 16;
    template <typename T, typename V>
    void push(std::in_place_type_t<T> type, V&& value) {
        if (stop_.load()) return;
        local_.emplace_back(type, std::forward<V>(value));
        if (local_.size() >= kChunkSize) flush();
    }
    std::vector<Item> local_; // reader thread only
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<Chunk> chunks_;
    std::vector<Chunk> spent_; // written, to be freed by the reader
    bool closed_ = false;
    std::atomic<bool> stop_{false};
};

IngestOutcome readPipelined(Ingester& ingester, const Source& source, const IngestCursor& from, IngestSink& writer) {
    Pipe pipe;
    IngestOutcome outcome;
    std::exception_ptr readFailure;
    std::thread reader([&] {
        try {
            outcome = ingester.ingest(source, from, pipe);
        } catch (...) {
            readFailure = std::current_exception();
        }
        pipe.close();
    });
    bool stopped = false;
    while (auto chunk = pipe.pop()) {
        if (stopped) continue;
        for (auto& item : *chunk) {
            try {
                if (auto* message = std::get_if<MessageRecord>(&item)) {
                    // Stop at the first message after the writer asked to stop; the
                    // checkpoints before it still count.
                    if (writer.shouldStop()) {
                        stopped = true;
                        pipe.requestStop();
                        break;
                    }
                    writer.message(std::move(*message));
                } else if (auto* chat = std::get_if<ChatRecord>(&item)) {
                    writer.chat(*chat);
                } else {
                    writer.checkpoint(std::get<IngestCursor>(item));
                }
            } catch (...) {
                // The writer has recorded why (EngineSink::fatal); stop the reader.
                stopped = true;
                pipe.requestStop();
                break;
            }
        }
        pipe.recycle(std::move(*chunk));
    }
    reader.join();
    if (readFailure) std::rethrow_exception(readFailure);
    return outcome;
}

bool pathInside(const std::filesystem::path& child, const std::filesystem::path& root) {
    std::error_code ec;
    const auto c = std::filesystem::weakly_canonical(child, ec);
    if (ec) return false;
    const auto r = std::filesystem::weakly_canonical(root, ec);
    if (ec) return false;
    auto ci = c.begin();
    for (auto ri = r.begin(); ri != r.end(); ++ri, ++ci) {
        if (ri->empty()) continue;
        if (ci == c.end() || *ci != *ri) return false;
    }
    return true;
}

} // namespace

TreskEngine::TreskEngine(SourceRegistry registry, std::string root, IngesterRegistry ingesters,
                         std::shared_ptr<const ContactResolver> resolver, FilterSet filters,
                         std::shared_ptr<const Clock> clock)
    : registry_(std::move(registry)), root_(std::move(root)), ingesters_(std::move(ingesters)),
      resolver_(std::move(resolver)), filters_(std::move(filters)), clock_(std::move(clock)) {
    if (!clock_) clock_ = std::make_shared<SystemClock>();
}

std::optional<CoverageReport> TreskEngine::readStatus(const std::string& path) {
    try {
        const auto bytes = fs::readFileIfExists(path);
        if (!bytes) return std::nullopt;
        return CoverageReport::fromJson(*bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// One run, step by step. Every step adds to the report; a failure that makes
// the run fail goes through fail(), the first one becoming the report's failure.
class TreskEngine::Run {
public:
    Run(const TreskEngine& engine, const RunOptions& options)
        : engine_(engine), options_(options), layout_(engine.root_) {}

    CoverageReport execute() {
        startReport();
        prepareRoot();
        // Taken before anything is written.
        std::optional<ArchiveRunLock> lock;
        try {
            lock.emplace(engine_.root_);
        } catch (const ArchiveRunLock::Busy&) {
            throw Error("Another archive run is already writing to " + engine_.root_ +
                        ", so this run did not start. Nothing was changed; try again when it has finished.");
        } catch (const ArchiveRunLock::Unusable& u) {
            throw Error(u.opening ? "The archive run could not start because the lock file " + u.path +
                                        " could not be opened (" + u.reason + ")."
                                  : "The archive run could not start because the archive at " + engine_.root_ +
                                        " could not be locked (" + u.reason + ").");
        }
        lock->recordHolder();
        if (auto previous = readStatus(layout_.statusFile())) report_.lastSuccessAt = previous->lastSuccessAt;
        checkFilters();
        groupSourcesByOwner();
        for (const auto& group : owners_) archiveOwner(group);
        findGaps();
        finishReport();
        if (options_.writeStatus) writeStatus();
        if (!report_.succeeded()) throw Error("The archive run failed: " + *report_.failure);
        return std::move(report_);
    }

private:
    // The sources of one owner, in registry order, with the owner's folder or
    // the reason it cannot have one.
    struct OwnerGroup {
        std::string owner;
        std::vector<const Source*> sources;
        OwnerPaths paths;
        std::optional<std::string> problem;
    };

    // What one owner's part of the run holds while it goes.
    struct OwnerRun {
        explicit OwnerRun(const OwnerGroup& g) : group(g) {}
        const OwnerGroup& group;
        std::unique_ptr<TreskStoreWriter> store;
        std::unique_ptr<SearchIndexer> indexer; // builds the search index beside the store on its own thread
        std::unique_ptr<AttachmentStore> objects;
        std::unique_ptr<Checkpointer> checkpointer; // during a first load
        OwnerRunCount counts;
        bool broken = false; // the store could not be written: stop
        bool bulk = false;   // a first load: larger batches, the conversation and date indexes built at the end
        std::vector<std::pair<int64_t, const Source*>> readSources; // (source row, source) read in full
    };

    void startReport() {
        report_.runDate = engine_.clock_->now();
        report_.engineVersion = KELVARA_VERSION_STRING;
        report_.machineID = options_.machineID && !options_.machineID->empty() ? options_.machineID : std::nullopt;
        report_.attachments.fullSweep = options_.fullSweep;
        report_.attachments.sampleSize = options_.fullSweep ? 0 : std::max<int64_t>(0, options_.verificationSample);
    }

    void prepareRoot() const {
        const std::string& root = engine_.root_;
        if (root.empty()) throw Error("No archive folder was given, so nothing was archived.");
        try {
            fs::createPrivateDirectories(root);
        } catch (const Error& e) {
            throw Error("The archive folder " + root + " could not be created (" + std::string(e.what()) +
                        "), so nothing was archived.");
        }
    }

    // Unreadable filter rules stop the run: archiving without them would copy the
    // conversations the user chose to leave out, and a copy cannot be taken back.
    void checkFilters() {
        const auto& problem = engine_.filters_.loadProblem();
        if (!problem) return;
        fatal_.push_back("The filter rules could not be read (" + *problem +
                         "), so nothing was archived: without them Kelvara could copy conversations you chose to "
                         "leave out. Repair or move the filters file, then scan again.");
    }

    // Groups the sources by owner, in registry order, and refuses owners that
    // cannot have a folder of their own. Nothing is read when the filters are not.
    void groupSourcesByOwner() {
        if (engine_.filters_.loadProblem()) return;
        sources_ = engine_.registry_.sources();
        std::map<std::string, size_t> index;            // owner -> position in owners_
        std::map<std::string, std::string> folderOwner; // folder -> first owner that claimed it
        for (const auto& s : sources_) {
            auto [at, fresh] = index.emplace(s.owner, owners_.size());
            if (fresh) {
                OwnerGroup g;
                g.owner = s.owner;
                try {
                    g.paths = layout_.owner(s.owner);
                    auto [it, first] = folderOwner.emplace(g.paths.folderName, s.owner);
                    if (!first)
                        g.problem = "the owner \"" + s.owner + "\" would share the archive folder \"" +
                                    g.paths.folderName + "\" with the owner \"" + it->second + "\"";
                } catch (const Error& e) {
                    g.problem = e.what();
                }
                owners_.push_back(std::move(g));
            }
            owners_[at->second].sources.push_back(&s);
        }
    }

    void archiveOwner(const OwnerGroup& group) {
        if (group.problem) {
            report_.errors.push_back(
                sentence("The sources of the owner \"" + group.owner + "\" were not archived: " + *group.problem));
            refuseSources(group, *group.problem);
            return;
        }
        OwnerRun o(group);
        if (!openStore(o)) return;
        startBulkLoad(o);
        for (const Source* src : group.sources) archiveSource(o, *src);
        if (options_.copyAttachments && !o.broken) storeAwaitedAttachmentBytes(o);
        finishBulkLoad(o);
        finishSearchIndex(o);
        countMessages(o);
        report_.owners.push_back(std::move(o.counts));
        checkStoredObjects(o);
    }

    // A first load into an empty store commits in larger batches, builds the
    // conversation and date indexes once at the end and checks every reference
    // there (a store referring to rows that are not there fails the run). Each
    // batch still commits with the source's cursor, so a run stopped at any
    // point keeps what it committed; the next run finds the indexes missing and
    // builds them (and checks) at its own end.
    void startBulkLoad(OwnerRun& o) {
        try {
            o.bulk = o.store->beginBulkLoad();
            if (o.bulk) {
                o.checkpointer = std::make_unique<Checkpointer>(o.group.paths.database);
                o.store->setAutoCheckpoint(false);
            }
        } catch (const std::exception&) {
            o.bulk = false; // an ordinary run then
        }
    }

    void finishBulkLoad(OwnerRun& o) {
        if (!o.bulk) return;
        // The checkpointer copies the last batches into the database while the
        // index is built; what the index adds is copied when the store closes.
        try {
            if (const auto dangling = o.store->finishBulkLoad())
                fail("the archive of \"" + o.group.owner + "\" " + *dangling);
        } catch (const std::exception& e) {
            o.store->rollback();
            report_.errors.push_back(sentence("The conversation index of \"" + o.group.owner +
                                              "\" could not be built (" + e.what() +
                                              "); conversations open slowly until the next scan builds it"));
        }
        o.checkpointer.reset();
        try {
            o.store->setAutoCheckpoint(true);
        } catch (const std::exception&) {
        }
    }

    // A failure that makes the run fail, also listed among the report's errors.
    void fail(const std::string& why) {
        fatal_.push_back(sentence(why));
        report_.errors.push_back(sentence(why));
    }

    // The owner's store could not take what a source gave: what was not committed
    // is dropped (earlier batches stay), the run fails, the source's outcome says
    // why (after `lead`), and the owner's remaining sources are not read.
    void storeFailed(OwnerRun& o, SourceOutcome& outcome, const std::string& lead, const std::string& detail) {
        o.store->rollback();
        const std::string why = "the archive of \"" + o.group.owner + "\" could not be written (" + detail + ")";
        fail(why);
        outcome.error = sentence(lead + why);
        o.broken = true;
    }

    SourceOutcome outcomeFor(const Source& s) const {
        SourceOutcome o;
        o.sourceId = s.id;
        o.owner = s.owner;
        o.format = toString(s.format);
        o.label = s.label;
        o.scannedAt = engine_.clock_->now();
        return o;
    }

    // Every source of the owner gets an outcome saying it was not archived.
    void refuseSources(const OwnerGroup& group, const std::string& why) {
        for (const Source* s : group.sources) {
            SourceOutcome o = outcomeFor(*s);
            o.error = sentence("Not archived: " + why);
            report_.sources.push_back(std::move(o));
        }
    }

    bool openStore(OwnerRun& o) {
        try {
            o.store = TreskStoreWriter::open(o.group.paths.database, o.group.owner, engine_.clock_->now());
        } catch (const Error& e) {
            fail(std::string("the archive of \"") + o.group.owner + "\" could not be opened: " + e.what());
            refuseSources(o.group, e.what());
            return false;
        }
        o.store->setNameLookup([resolver = engine_.resolver_](const std::string& handle) -> std::optional<std::string> {
            if (!resolver) return std::nullopt;
            const auto r = resolver->resolve(handle, std::nullopt);
            if (r.kind == ResolvedName::handleOnly || r.displayName.empty()) return std::nullopt;
            return r.displayName;
        });
        o.indexer = std::make_unique<SearchIndexer>(o.group.paths.database);
        o.objects = std::make_unique<AttachmentStore>(o.group.paths.attachments);
        // Folders an earlier version left readable by others are narrowed too.
        fs::narrowToPrivate(o.group.paths.folder);
        fs::narrowToPrivate(o.group.paths.attachments);
        o.counts.owner = o.group.owner;
        o.counts.folder = o.group.paths.folderName;
        return true;
    }

    void archiveSource(OwnerRun& o, const Source& src) {
        SourceOutcome outcome = outcomeFor(src);
        if (o.broken) {
            outcome.error = "Not archived because the owner's archive could not be written in this run.";
            report_.sources.push_back(std::move(outcome));
            return;
        }
        const auto ingester = engine_.ingesters_.find(src.format);
        if (!ingester) {
            outcome.error = "Kelvara has no reader for sources of the kind \"" + toString(src.format) + "\".";
            report_.errors.push_back(
                sentence("The source " + sourceName(src) + " was not read: no reader for its kind"));
            report_.sources.push_back(std::move(outcome));
            return;
        }
        int64_t row = 0;
        IngestCursor from;
        try {
            o.store->begin();
            row = o.store->sourceRow(src, outcome.scannedAt);
            if (!options_.fullRescan) from = o.store->cursor(row);
        } catch (const std::exception& e) {
            storeFailed(o, outcome, "Not archived: ", e.what());
            report_.sources.push_back(std::move(outcome));
            return;
        }
        readSource(o, src, *ingester, row, from, outcome);
        o.counts.newMessages += outcome.messagesNew;
        report_.attachments.copiedThisRun += outcome.attachmentsCopied;
        report_.attachments.missingInSources += outcome.attachmentsMissing;
        report_.attachments.refusedInSources += outcome.attachmentsRefused;
        report_.newMessages += outcome.messagesNew;
        report_.sources.push_back(std::move(outcome));
    }

    // Reads one source into the owner's store from `from` and commits what it gave.
    void readSource(OwnerRun& o, const Source& src, Ingester& ingester, int64_t row, const IngestCursor& from,
                    SourceOutcome& outcome) {
        const FilterSet* filters = engine_.filters_.loadProblem() ? nullptr : &engine_.filters_;
        EngineSink sink(*o.store, *o.objects, *o.indexer, row, filters, options_, o.bulk ? kBulkBatchSize : kBatchSize,
                        outcome.scannedAt, outcome);
        sink.setCheckpointer(o.checkpointer.get());
        std::optional<std::string> readError;
        try {
            const IngestOutcome io = readPipelined(ingester, src, from, sink);
            outcome.restartedFromBeginning = io.restartedFromBeginning;
            outcome.noMessages = io.noMessages;
            for (const auto& w : io.warnings)
                if (outcome.warnings.size() < kMaxWarningsPerSource) outcome.warnings.push_back(sentence(w));
        } catch (const std::exception& e) {
            if (!sink.fatal()) readError = e.what();
        }
        if (sink.fatal()) {
            // The store could not take what was read: stop writing this owner's archive.
            storeFailed(o, outcome, "Stopped while archiving: ", *sink.fatal());
            return;
        }
        try {
            // Messages read before a read error are kept; the cursor stays at the
            // last checkpoint the reader reached.
            sink.commitBatch();
            o.store->commit();
        } catch (const std::exception& e) {
            storeFailed(o, outcome, "Stopped while archiving: ", e.what());
            return;
        }
        if (readError) {
            outcome.error = sentence(*readError);
            report_.errors.push_back(sentence("The source " + sourceName(src) + " could not be read: " + *readError));
        } else {
            outcome.succeeded = true;
            o.readSources.emplace_back(row, &src);
        }
    }

    // Bytes of attachments archived earlier without them (a run that did not
    // copy, a file that was briefly unreadable), from the sources read now.
    void storeAwaitedAttachmentBytes(OwnerRun& o) {
        for (const auto& [row, src] : o.readSources) {
            try {
                const auto waiting = o.store->attachmentsAwaitingBytes(row);
                if (waiting.empty()) continue;
                o.store->begin();
                int64_t n = 0;
                for (const auto& [guid, path] : waiting) {
                    if (!pathInside(path, src->path)) continue;
                    try {
                        o.store->setObjectKey(guid, o.objects->put(path));
                        ++report_.attachments.copiedThisRun;
                        if (++n % 500 == 0) {
                            o.store->commit();
                            o.store->begin();
                        }
                    } catch (const AttachmentStore::WriteError&) {
                        throw;
                    } catch (const Error&) {
                        // still unreadable: stays waiting for a later run
                    }
                }
                o.store->commit();
            } catch (const std::exception& e) {
                o.store->rollback();
                fail("attachment bytes for \"" + o.group.owner + "\" could not be stored (" + e.what() + ")");
                return;
            }
        }
    }

    void finishSearchIndex(OwnerRun& o) {
        const auto indexed = o.indexer->finish();
        if (indexed.problem)
            report_.errors.push_back(sentence("The search index of \"" + o.group.owner +
                                              "\" could not be brought up to date (" + *indexed.problem +
                                              "); searches may miss messages until the next scan"));
        try {
            o.store->clearSearchPending(indexed.reindexed);
        } catch (const std::exception&) {
            // they are simply indexed again by the next run
        }
    }

    // The store keeps its totals as it is written, so they cost nothing here
    // whatever the archive's size.
    void countMessages(OwnerRun& o) {
        const auto t = o.store->totals();
        o.counts.uniqueMessages = t.messages;
        report_.uniqueMessages += t.messages;
        report_.corroborated += t.corroborated;
        report_.duplicatesCollapsed += t.duplicateCopies;
    }

    // Every stored object must exist, and a sample (or all, on a full sweep) must
    // still hash to its key. The sample is shared by the owners of the run.
    void checkStoredObjects(OwnerRun& o) {
        auto& a = report_.attachments;
        try {
            const auto keys = o.store->objectKeys();
            a.storedObjects += static_cast<int64_t>(keys.size());
            std::vector<std::string> toHash;
            if (options_.fullSweep) {
                toHash = keys;
            } else if (a.sampleSize > 0) {
                const int64_t budget = a.sampleSize - a.hashed;
                if (budget > 0) {
                    std::mt19937_64 rng(std::random_device{}());
                    std::sample(keys.begin(), keys.end(), std::back_inserter(toHash),
                                std::min<int64_t>(budget, static_cast<int64_t>(keys.size())), rng);
                }
            }
            std::set<std::string> hashedSet(toHash.begin(), toHash.end());
            int64_t bad = 0;
            for (const auto& key : toHash) {
                ++a.hashed;
                if (o.objects->verify(key) == AttachmentStore::Check::verified) ++a.verified;
                else ++bad;
            }
            for (const auto& key : keys)
                if (!hashedSet.count(key) && !o.objects->contains(key)) ++bad;
            a.missingBytes += bad;
            if (bad > 0)
                report_.errors.push_back(sentence(std::to_string(bad) + " stored attachment object" +
                                                  (bad == 1 ? " of \"" : "s of \"") + o.group.owner + "\" " +
                                                  (bad == 1 ? "is" : "are") + " missing or damaged"));
        } catch (const std::exception& e) {
            report_.errors.push_back(sentence(std::string("The attachments of \"") + o.group.owner +
                                              "\" could not be checked: " + e.what()));
        }
    }

    // The gaps of every owner's archive as it stands after this run, by the
    // rule of the coverage screen (TreskEngine::coverage), with this run's
    // outcomes taken as the sources' last scans.
    void findGaps() {
        if (engine_.filters_.loadProblem()) return; // nothing was read
        SourceRegistry registry = engine_.registry_;
        applyOutcomes(registry, report_);
        try {
            const TreskEngine after(std::move(registry), engine_.root_, IngesterRegistry(), nullptr, FilterSet(),
                                    engine_.clock_);
            for (auto& owner : after.coverage(engine_.clock_->now()))
                for (auto& gap : owner.gaps) report_.gaps.push_back(std::move(gap));
        } catch (const std::exception& e) {
            report_.errors.push_back(
                sentence(std::string("The coverage gaps could not be worked out (") + e.what() + ")"));
        }
    }

    // A run in which sources were registered but none of them could be read has
    // archived nothing: it fails (so the last success stays where it was), and
    // its failure carries each source's sentence. Some sources read and others
    // not is still a success that lists the errors; so is a source that stopped
    // part way, after messages read from it were kept. A run with no sources at
    // all is not a failure: nothing was asked of it, and there is nothing to
    // repair (the sources screen asks the user to add one).
    void failWhenNoSourceWasRead() {
        if (!fatal_.empty() || report_.sources.empty()) return;
        std::string why = report_.sources.size() == 1
                              ? "The only registered source could not be read, so nothing was archived:"
                              : "None of the " + std::to_string(report_.sources.size()) +
                                    " registered sources could be read, so nothing was archived:";
        for (const auto& s : report_.sources) {
            if (s.succeeded || s.messagesRead > 0) return;
            why += " " + sourceLabel(s) + ": " + sentence(s.error.value_or("it was not read"));
        }
        fatal_.push_back(why);
    }

    static std::string sourceLabel(const SourceOutcome& s) {
        return "\"" + (s.label && !s.label->empty() ? *s.label : s.sourceId) + "\"";
    }

    void finishReport() {
        report_.finishedAt = engine_.clock_->now();
        failWhenNoSourceWasRead();
        if (!fatal_.empty()) {
            report_.status = CoverageReport::Status::failed;
            report_.failure = fatal_.front();
        } else {
            report_.lastSuccessAt = report_.runDate;
        }
    }

    // The machine run report (with a machine identity) and STATUS.json.
    void writeStatus() {
        if (report_.machineID) {
            MachineRunReport m;
            m.machineID = *report_.machineID;
            m.computerName = systemInfo().computerName();
            m.runAt = report_.runDate;
            m.succeeded = report_.succeeded();
            m.messageCount = report_.uniqueMessages;
            for (const auto& o : report_.owners) m.owners.push_back({o.owner, o.uniqueMessages});
            try {
                m.write(engine_.root_);
            } catch (const Error& e) {
                report_.errors.push_back(
                    sentence(std::string("This machine's run report could not be saved: ") + e.what()));
            }
        }
        const std::string statusPath = layout_.statusFile();
        try {
            fs::writeFileAtomic(statusPath, report_.toJson());
        } catch (const Error& e) {
            if (fatal_.empty())
                throw Error("The archive run finished, but its status could not be saved in " + statusPath + " (" +
                            e.what() + ").");
        }
    }

    const TreskEngine& engine_;
    const RunOptions& options_;
    const ArchiveLayout layout_;
    CoverageReport report_;
    std::vector<std::string> fatal_; // why the run failed, first reason first
    std::vector<Source> sources_;
    std::vector<OwnerGroup> owners_;
};

CoverageReport TreskEngine::run(const RunOptions& options) { return Run(*this, options).execute(); }

} // namespace kx
