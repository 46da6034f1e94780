#include "core/archive/tresk_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/attachment_store.h"
#include "core/archive/machine_run_report.h"
#include "core/archive/search_index.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
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
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace kx {

int applyOutcomes(SourceRegistry& registry, const CoverageReport& report) {
    int changed = 0;
    for (const auto& o : report.sources) {
        const Source* found = registry.find(o.sourceId);
        if (!found) continue;
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

// The run lock: an flock on a file in the archive root, released when the
// process ends in any way, so a killed run never leaves a stale lock behind.
class RunLock {
public:
    explicit RunLock(const std::string& root) {
        const std::string path = ArchiveLayout(root).runLock();
        fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd_)
            throw Error("The archive run could not start because the lock file " + path + " could not be opened (" +
                        fs::errnoText(errno) + ").");
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            fd_.reset();
            if (err == EWOULDBLOCK)
                throw Error("Another archive run is already writing to " + root +
                            ", so this run did not start. Nothing was changed; try again when it has finished.");
            throw Error("The archive run could not start because the archive at " + root + " could not be locked (" +
                        fs::errnoText(err) + ").");
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_.get(), 0) == 0) {
            [[maybe_unused]] auto n = ::pwrite(fd_.get(), pid.data(), pid.size(), 0);
        }
    }
    ~RunLock() {
        if (fd_) ::flock(fd_.get(), LOCK_UN);
    }
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    UniqueFd fd_;
};

std::string sourceName(const Source& s) {
    if (s.label && !s.label->empty()) return "\"" + *s.label + "\"";
    return s.path.empty() ? "\"" + s.id + "\"" : s.path;
}

std::string sentence(std::string text) {
    if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?') text += '.';
    return text;
}

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
                FilterSubject subject {conv.key, conv.isGroup ? std::nullopt : m.handle, conv.displayName, conv.isGroup};
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
        indexer_.notify();
        store_.begin();
        pending_ = 0;
    }

    const std::optional<std::string>& fatal() const { return fatal_; }

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
    size_t warningCount_ = 0;
    std::optional<std::string> fatal_;
};

// Runs a reader on a thread of its own while the calling thread writes what it
// delivers: records travel in order, in chunks, through a small bounded queue.
// The writer side decides when to stop (a limit reached, a store failure); the
// reader then sees shouldStop() and anything it still delivers is dropped.
class Pipe final : public IngestSink {
public:
    struct Item {
        enum class Kind { chat, message, checkpoint } kind;
        ChatRecord chat;
        MessageRecord message;
        IngestCursor cursor;
    };
    using Chunk = std::vector<Item>;

    // Reader side.
    void chat(const ChatRecord& c) override { push(Item {Item::Kind::chat, c, {}, {}}); }
    void message(MessageRecord&& m) override { push(Item {Item::Kind::message, {}, std::move(m), {}}); }
    void checkpoint(const IngestCursor& c) override { push(Item {Item::Kind::checkpoint, {}, {}, c}); }
    bool shouldStop() const override { return stop_.load(); }
    void flush() {
        if (local_.empty()) return;
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return chunks_.size() < kMaxChunks || stop_.load(); });
        if (!stop_.load()) chunks_.push_back(std::move(local_));
        local_.clear();
        notEmpty_.notify_one();
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
    void requestStop() {
        stop_.store(true);
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.clear();
        notFull_.notify_all();
    }

private:
    static constexpr size_t kChunkSize = 256;
    static constexpr size_t kMaxChunks = 16;
    void push(Item&& item) {
        if (stop_.load()) return;
        local_.push_back(std::move(item));
        if (local_.size() >= kChunkSize) flush();
    }
    std::vector<Item> local_;  // reader thread only
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<Chunk> chunks_;
    bool closed_ = false;
    std::atomic<bool> stop_ {false};
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
                if (item.kind == Pipe::Item::Kind::message) {
                    // Stop at the first message after the writer asked to stop; the
                    // checkpoints before it still count.
                    if (writer.shouldStop()) {
                        stopped = true;
                        pipe.requestStop();
                        break;
                    }
                    writer.message(std::move(item.message));
                } else if (item.kind == Pipe::Item::Kind::chat) {
                    writer.chat(item.chat);
                } else {
                    writer.checkpoint(item.cursor);
                }
            } catch (...) {
                // The writer has recorded why (EngineSink::fatal); stop the reader.
                stopped = true;
                pipe.requestStop();
                break;
            }
        }
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

CoverageReport TreskEngine::run(const RunOptions& options) {
    CoverageReport report;
    report.runDate = clock_->now();
    report.engineVersion = KELVARA_VERSION_STRING;
    report.machineID = options.machineID && !options.machineID->empty() ? options.machineID : std::nullopt;
    report.attachments.fullSweep = options.fullSweep;
    report.attachments.sampleSize = options.fullSweep ? 0 : std::max<int64_t>(0, options.verificationSample);

    if (root_.empty()) throw Error("No archive folder was given, so nothing was archived.");
    try {
        fs::createPrivateDirectories(root_);
    } catch (const Error& e) {
        throw Error("The archive folder " + root_ + " could not be created (" + std::string(e.what()) +
                    "), so nothing was archived.");
    }
    RunLock lock(root_);  // throws before anything is written

    const ArchiveLayout layout(root_);
    const std::string statusPath = layout.statusFile();
    if (auto previous = readStatus(statusPath)) report.lastSuccessAt = previous->lastSuccessAt;

    std::vector<std::string> fatal;
    const int64_t batchSize = kBatchSize;

    // Unreadable filter rules stop the run: archiving without them would copy the
    // conversations the user chose to leave out, and a copy cannot be taken back.
    if (filters_.loadProblem())
        fatal.push_back("The filter rules could not be read (" + *filters_.loadProblem() +
                        "), so nothing was archived: without them Kelvara could copy conversations you chose to "
                        "leave out. Repair or move the filters file, then scan again.");

    // Group the sources by owner, in registry order, and refuse owners that cannot
    // have a folder of their own.
    const std::vector<Source> sources = filters_.loadProblem() ? std::vector<Source>{} : registry_.sources();
    std::vector<std::string> ownerOrder;
    std::map<std::string, std::vector<const Source*>> byOwner;
    std::map<std::string, std::string> folderOwner;  // folder -> first owner that claimed it
    std::map<std::string, OwnerPaths> ownerPaths;
    std::map<std::string, std::string> ownerProblem;
    for (const auto& s : sources) {
        if (!byOwner.count(s.owner)) {
            ownerOrder.push_back(s.owner);
            try {
                const OwnerPaths paths = layout.owner(s.owner);
                auto [it, fresh] = folderOwner.emplace(paths.folderName, s.owner);
                if (!fresh)
                    ownerProblem[s.owner] = "the owner \"" + s.owner + "\" would share the archive folder \"" +
                                            paths.folderName + "\" with the owner \"" + it->second + "\"";
                ownerPaths[s.owner] = paths;
            } catch (const Error& e) {
                ownerProblem[s.owner] = e.what();
            }
        }
        byOwner[s.owner].push_back(&s);
    }

    std::vector<std::pair<std::string, std::shared_ptr<AttachmentStore>>> objectStores;
    auto nameLookup = [this](const std::string& handle) -> std::optional<std::string> {
        if (!resolver_) return std::nullopt;
        const auto r = resolver_->resolve(handle, std::nullopt);
        if (r.kind == ResolvedName::handleOnly || r.displayName.empty()) return std::nullopt;
        return r.displayName;
    };

    for (const auto& owner : ownerOrder) {
        const auto& ownerSources = byOwner[owner];
        auto failAll = [&](const std::string& why) {
            for (const Source* s : ownerSources) {
                SourceOutcome o;
                o.sourceId = s->id;
                o.owner = s->owner;
                o.format = toString(s->format);
                o.label = s->label;
                o.scannedAt = clock_->now();
                o.error = sentence("Not archived: " + why);
                report.sources.push_back(std::move(o));
            }
        };
        if (auto p = ownerProblem.find(owner); p != ownerProblem.end()) {
            report.errors.push_back(sentence("The sources of the owner \"" + owner + "\" were not archived: " + p->second));
            failAll(p->second);
            continue;
        }
        const OwnerPaths& paths = ownerPaths[owner];
        const std::string& dbPath = paths.database;
        std::unique_ptr<TreskStoreWriter> store;
        try {
            store = TreskStoreWriter::open(dbPath, owner, clock_->now());
        } catch (const Error& e) {
            const std::string why = std::string("the archive of \"") + owner + "\" could not be opened: " + e.what();
            fatal.push_back(sentence(why));
            report.errors.push_back(sentence(why));
            failAll(e.what());
            continue;
        }
        store->setNameLookup(nameLookup);
        // The search index is built beside the store on its own thread.
        SearchIndexer indexer(dbPath);
        auto objects = std::make_shared<AttachmentStore>(paths.attachments);
        objectStores.emplace_back(owner, objects);

        OwnerRunCount counts;
        counts.owner = owner;
        counts.folder = paths.folderName;
        bool ownerBroken = false;
        std::vector<std::pair<int64_t, const Source*>> readSources;

        for (const Source* src : ownerSources) {
            SourceOutcome outcome;
            outcome.sourceId = src->id;
            outcome.owner = owner;
            outcome.format = toString(src->format);
            outcome.label = src->label;
            outcome.scannedAt = clock_->now();
            if (ownerBroken) {
                outcome.error = "Not archived because the owner's archive could not be written in this run.";
                report.sources.push_back(std::move(outcome));
                continue;
            }
            const auto ingester = ingesters_.find(src->format);
            if (!ingester) {
                outcome.error = "Kelvara has no reader for sources of the kind \"" + toString(src->format) + "\".";
                report.errors.push_back(sentence("The source " + sourceName(*src) + " was not read: no reader for its kind"));
                report.sources.push_back(std::move(outcome));
                continue;
            }
            int64_t row = 0;
            IngestCursor from;
            try {
                store->begin();
                row = store->sourceRow(*src, outcome.scannedAt);
                if (!options.fullRescan) from = store->cursor(row);
            } catch (const std::exception& e) {
                store->rollback();
                const std::string why = "the archive of \"" + owner + "\" could not be written (" + e.what() + ")";
                fatal.push_back(sentence(why));
                report.errors.push_back(sentence(why));
                outcome.error = sentence("Not archived: " + why);
                report.sources.push_back(std::move(outcome));
                ownerBroken = true;
                continue;
            }
            EngineSink sink(*store, *objects, indexer, row, filters_.loadProblem() ? nullptr : &filters_, options, batchSize,
                            outcome.scannedAt, outcome);
            std::optional<std::string> readError;
            try {
                const IngestOutcome io = readPipelined(*ingester, *src, from, sink);
                outcome.restartedFromBeginning = io.restartedFromBeginning;
                outcome.noMessages = io.noMessages;
                for (const auto& w : io.warnings)
                    if (outcome.warnings.size() < kMaxWarningsPerSource) outcome.warnings.push_back(sentence(w));
            } catch (const std::exception& e) {
                if (!sink.fatal()) readError = e.what();
            }
            if (sink.fatal()) {
                // The store could not take what was read: drop the open batch (earlier
                // batches stay committed) and stop writing this owner's archive.
                store->rollback();
                const std::string why = "the archive of \"" + owner + "\" could not be written (" + *sink.fatal() + ")";
                fatal.push_back(sentence(why));
                report.errors.push_back(sentence(why));
                outcome.error = sentence("Stopped while archiving: " + why);
                ownerBroken = true;
            } else {
                try {
                    // Messages read before a read error are kept; the cursor stays at
                    // the last checkpoint the reader reached.
                    sink.commitBatch();
                    store->commit();
                } catch (const std::exception& e) {
                    store->rollback();
                    const std::string why = "the archive of \"" + owner + "\" could not be written (" + e.what() + ")";
                    fatal.push_back(sentence(why));
                    report.errors.push_back(sentence(why));
                    outcome.error = sentence("Stopped while archiving: " + why);
                    ownerBroken = true;
                }
                if (readError && !ownerBroken) {
                    outcome.error = sentence(*readError);
                    report.errors.push_back(sentence("The source " + sourceName(*src) + " could not be read: " + *readError));
                } else if (!ownerBroken) {
                    outcome.succeeded = true;
                    readSources.emplace_back(row, src);
                }
            }
            counts.newMessages += outcome.messagesNew;
            report.attachments.copiedThisRun += outcome.attachmentsCopied;
            report.attachments.missingInSources += outcome.attachmentsMissing;
            report.attachments.refusedInSources += outcome.attachmentsRefused;
            report.newMessages += outcome.messagesNew;
            report.sources.push_back(std::move(outcome));
        }

        // Bytes of attachments archived earlier without them (a run that did not
        // copy, a file that was briefly unreadable), from the sources read now.
        if (options.copyAttachments && !ownerBroken) {
            for (const auto& [row, src] : readSources) {
                try {
                    const auto waiting = store->attachmentsAwaitingBytes(row);
                    if (waiting.empty()) continue;
                    store->begin();
                    int64_t n = 0;
                    for (const auto& [guid, path] : waiting) {
                        if (!pathInside(path, src->path)) continue;
                        try {
                            store->setObjectKey(guid, objects->put(path));
                            ++report.attachments.copiedThisRun;
                            if (++n % 500 == 0) {
                                store->commit();
                                store->begin();
                            }
                        } catch (const AttachmentStore::WriteError&) {
                            throw;
                        } catch (const Error&) {
                            // still unreadable: stays waiting for a later run
                        }
                    }
                    store->commit();
                } catch (const std::exception& e) {
                    store->rollback();
                    const std::string why = "attachment bytes for \"" + owner + "\" could not be stored (" + e.what() + ")";
                    fatal.push_back(sentence(why));
                    report.errors.push_back(sentence(why));
                    break;
                }
            }
        }

        {
            const auto indexed = indexer.finish();
            if (indexed.problem)
                report.errors.push_back(sentence("The search index of \"" + owner + "\" could not be brought up to date (" +
                                                 *indexed.problem + "); searches may miss messages until the next scan"));
            try {
                store->clearSearchPending(indexed.reindexed);
            } catch (const std::exception&) {
                // they are simply indexed again by the next run
            }
        }
        try {
            counts.uniqueMessages = store->messageCount();
            report.uniqueMessages += counts.uniqueMessages;
            // One pass over the provenance: messages held by more than one source,
            // and the extra copies folded into them.
            SQLite::Database db(dbPath, SQLite::OPEN_READONLY);
            SQLite::Statement q(db,
                                "SELECT coalesce(sum(n > 1), 0), coalesce(sum(n - 1), 0) FROM "
                                "(SELECT count(*) AS n FROM message_sources GROUP BY message_id)");
            if (q.executeStep()) {
                report.corroborated += q.getColumn(0).getInt64();
                report.duplicatesCollapsed += q.getColumn(1).getInt64();
            }
        } catch (const std::exception& e) {
            report.errors.push_back(sentence(std::string("The archive of \"") + owner + "\" could not be counted: " + e.what()));
        }
        report.owners.push_back(std::move(counts));

        // Check the stored objects: every object must exist, and a sample (or all,
        // on a full sweep) must still hash to its key.
        try {
            const auto keys = store->objectKeys();
            report.attachments.storedObjects += static_cast<int64_t>(keys.size());
            std::vector<std::string> toHash;
            if (options.fullSweep) {
                toHash = keys;
            } else if (report.attachments.sampleSize > 0) {
                const int64_t budget = report.attachments.sampleSize - report.attachments.hashed;
                if (budget > 0) {
                    std::mt19937_64 rng(std::random_device {}());
                    std::sample(keys.begin(), keys.end(), std::back_inserter(toHash),
                                std::min<int64_t>(budget, static_cast<int64_t>(keys.size())), rng);
                }
            }
            std::set<std::string> hashedSet(toHash.begin(), toHash.end());
            int64_t bad = 0;
            for (const auto& key : toHash) {
                ++report.attachments.hashed;
                if (objects->verify(key) == AttachmentStore::Check::verified) ++report.attachments.verified;
                else ++bad;
            }
            for (const auto& key : keys)
                if (!hashedSet.count(key) && !objects->contains(key)) ++bad;
            report.attachments.missingBytes += bad;
            if (bad > 0)
                report.errors.push_back(sentence(std::to_string(bad) + " stored attachment object" + (bad == 1 ? " of \"" : "s of \"") +
                                                 owner + "\" " + (bad == 1 ? "is" : "are") + " missing or damaged"));
        } catch (const std::exception& e) {
            report.errors.push_back(sentence(std::string("The attachments of \"") + owner + "\" could not be checked: " + e.what()));
        }
    }

    report.finishedAt = clock_->now();
    if (!fatal.empty()) {
        report.status = CoverageReport::Status::failed;
        report.failure = fatal.front();
    } else {
        report.lastSuccessAt = report.runDate;
    }

    if (options.writeStatus) {
        if (report.machineID) {
            MachineRunReport m;
            m.machineID = *report.machineID;
            m.computerName = systemInfo().computerName();
            m.runAt = report.runDate;
            m.succeeded = report.succeeded();
            m.messageCount = report.uniqueMessages;
            for (const auto& o : report.owners) m.owners.push_back({o.owner, o.uniqueMessages});
            try {
                m.write(root_);
            } catch (const Error& e) {
                report.errors.push_back(sentence(std::string("This machine's run report could not be saved: ") + e.what()));
            }
        }
        try {
            fs::writeFileAtomic(statusPath, report.toJson(), 0644);
        } catch (const Error& e) {
            if (fatal.empty())
                throw Error("The archive run finished, but its status could not be saved in " + statusPath + " (" +
                            e.what() + ").");
        }
    }
    if (!report.succeeded()) throw Error("The archive run failed: " + *report.failure);
    return report;
}

} // namespace kx
