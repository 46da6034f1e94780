#include "core/evidence/pending_anchor_store.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/json_file.h"
#include "core/platform/posix_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace {

constexpr const char* kLockName = "pending-anchors.lock";

struct Entry {
    std::string sealPath;
    std::string sealDigest;
    Date queuedAt{};
    int attempts = 0;
    std::string lastProblem;
};

struct Queue {
    std::optional<Date> lastPassAt;
    std::vector<Entry> pending;
};

// Holds an exclusive flock on the lock file for as long as it lives.
class FileLock {
public:
    explicit FileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (!fd_) throw Error("could not open the lock file " + path + ": " + fs::errnoText(errno));
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            throw Error("could not lock " + path + ": " + fs::errnoText(errno));
        }
    }
    ~FileLock() { ::flock(fd_.get(), LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    UniqueFd fd_;
};

std::vector<Entry> parseEntries(const nlohmann::json& pending) {
    std::vector<Entry> out;
    for (const auto& item : pending) {
        if (!item.is_object() || !item.contains("sealPath") || !item["sealPath"].is_string() ||
            !item.contains("sealDigest") || !item["sealDigest"].is_string())
            throw Error("one of its entries is damaged");
        Entry e;
        e.sealPath = item["sealPath"].get<std::string>();
        e.sealDigest = item["sealDigest"].get<std::string>();
        if (item.contains("queuedAt") && item["queuedAt"].is_string())
            e.queuedAt = parseISO8601(item["queuedAt"].get<std::string>()).value_or(Date{});
        if (item.contains("attempts") && item["attempts"].is_number_integer()) e.attempts = item["attempts"].get<int>();
        if (item.contains("lastProblem") && item["lastProblem"].is_string())
            e.lastProblem = item["lastProblem"].get<std::string>();
        out.push_back(std::move(e));
    }
    return out;
}

Queue parseQueue(const nlohmann::json& j) {
    if (!j.is_object()) throw Error("it is not a JSON object");
    auto version = j.find("version");
    if (version == j.end() || !version->is_number_integer() || version->get<int>() != 1)
        throw Error("it was written by a newer version of Kelvara");
    Queue q;
    auto last = j.find("lastPassAt");
    if (last != j.end() && last->is_string()) q.lastPassAt = parseISO8601(last->get<std::string>());
    auto pending = j.find("pending");
    if (pending == j.end() || !pending->is_array()) throw Error("it has no list of pending seals");
    q.pending = parseEntries(*pending);
    return q;
}

nlohmann::json entriesJson(const std::vector<Entry>& entries) {
    nlohmann::json pending = nlohmann::json::array();
    for (const auto& e : entries)
        pending.push_back({{"sealPath", e.sealPath},
                           {"sealDigest", e.sealDigest},
                           {"queuedAt", formatISO8601(e.queuedAt)},
                           {"attempts", e.attempts},
                           {"lastProblem", e.lastProblem}});
    return pending;
}

nlohmann::json queueJson(const Queue& q) {
    return {{"version", 1},
            {"lastPassAt", q.lastPassAt ? nlohmann::json(formatISO8601(*q.lastPassAt)) : nlohmann::json(nullptr)},
            {"pending", entriesJson(q.pending)}};
}

} // namespace

struct PendingAnchorStore::Impl {
    std::string dir;
    std::string file;
    std::string lockFile;
    NowFunction now;
    mutable std::mutex mutex;           // queue changes within this process
    std::mutex passMutex;               // one retry pass at a time
    std::optional<std::string> damaged; // set once the file failed to load

    Date currentTime() const { return now ? now() : std::chrono::system_clock::now(); }

    // Reads the queue; a missing file is an empty queue. Throws when damaged.
    Queue load() const {
        JsonLoad l = loadJsonFile(file);
        if (l.state == JsonLoad::State::missing) return {};
        if (l.state == JsonLoad::State::damaged) throw Error(l.problem);
        try {
            return parseQueue(l.value);
        } catch (const nlohmann::json::exception&) {
            throw Error("one of its entries is damaged");
        }
    }

    void save(const Queue& q) const {
        fs::createPrivateDirectories(dir);
        fs::writeFileAtomic(file, queueJson(q).dump(2) + "\n");
    }

    // Runs a read-modify-write of the queue under both locks. Throws when the
    // queue file is damaged (it is then never written) or cannot be saved.
    template <typename F>
    void change(F&& f) {
        std::lock_guard<std::mutex> guard(mutex);
        if (damaged) throw Error("the list of seals waiting for an anchor (" + file + ") cannot be read: " + *damaged);
        fs::createPrivateDirectories(dir);
        FileLock lock(lockFile);
        Queue q;
        try {
            q = load();
        } catch (const Error& e) {
            damaged = e.what();
            throw Error("the list of seals waiting for an anchor (" + file + ") cannot be read: " + *damaged);
        }
        if (f(q)) save(q);
    }
};

PendingAnchorStore::PendingAnchorStore(std::string applicationSupportDir, NowFunction now)
    : impl_(std::make_unique<Impl>()) {
    impl_->dir = std::move(applicationSupportDir);
    impl_->file = fs::appendComponent(impl_->dir, kFileName);
    impl_->lockFile = fs::appendComponent(impl_->dir, kLockName);
    impl_->now = std::move(now);
    try {
        (void)impl_->load();
    } catch (const Error& e) {
        impl_->damaged = e.what();
    }
}

PendingAnchorStore::~PendingAnchorStore() = default;

int PendingAnchorStore::count() const {
    // The file is replaced by rename, so an unlocked read sees one whole version.
    try {
        return static_cast<int>(impl_->load().pending.size());
    } catch (const Error&) {
        return 0;
    }
}

std::optional<std::string> PendingAnchorStore::loadProblem() const {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->damaged;
}

std::string PendingAnchorStore::filePath() const { return impl_->file; }

PendingAnchorStore::AnchorResult PendingAnchorStore::anchorOrDefer(const std::string& sealPath, const SealFile& seal,
                                                                   const SealAnchorClient& client) {
    // The seal goes to disk first, unanchored; a failure here is the caller's error.
    SealFile written = seal;
    written.write(sealPath);
    const std::string digest = written.sealDigest();
    const Date now = impl_->currentTime();

    // Queued before the attempt, so a seal is never lost from the queue if the
    // process ends while the authority is being asked.
    std::optional<std::string> queueProblem;
    try {
        impl_->change([&](Queue& q) {
            std::erase_if(q.pending, [&](const Entry& e) { return e.sealPath == sealPath; }); // re-exported
            q.pending.push_back(Entry{sealPath, digest, now, 0, {}});
            return true;
        });
    } catch (const Error& e) {
        queueProblem = e.what();
    }
    auto dequeue = [&] {
        try {
            impl_->change([&](Queue& q) {
                return std::erase_if(q.pending, [&](const Entry& e) {
                           return e.sealPath == sealPath && e.sealDigest == digest;
                       }) > 0;
            });
        } catch (const Error&) {
            // Left queued: the next pass finds the seal anchored and settles it.
        }
    };

    std::string problem;
    try {
        SealAnchor anchor = client.anchor(written);
        SealFile anchored = written;
        anchored.anchor = std::move(anchor);
        try {
            anchored.write(sealPath);
            if (!queueProblem) dequeue();
            return {std::move(anchored), std::nullopt};
        } catch (const Error& e) {
            problem = std::string("The seal was anchored, but the receipt could not be saved in the seal file (") +
                      e.what() + ").";
        }
    } catch (const Error& e) {
        problem = e.what();
    }

    if (queueProblem) {
        problem += " It could not be queued for a later attempt (" + *queueProblem +
                   "); export the conversation again to retry.";
    } else {
        try {
            impl_->change([&](Queue& q) {
                for (auto& e : q.pending)
                    if (e.sealPath == sealPath && e.sealDigest == digest) {
                        e.attempts += 1;
                        e.lastProblem = problem;
                    }
                return true;
            });
        } catch (const Error&) {
            // The seal stays queued; only the note of this attempt is lost.
        }
    }
    return {std::move(written), problem};
}

PendingAnchorStore::RetryOutcome PendingAnchorStore::retry(const SealAnchorClient& client, bool force) {
    std::lock_guard<std::mutex> pass(impl_->passMutex);
    RetryOutcome out;

    Queue snapshot;
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        if (impl_->damaged) return out;
        try {
            FileLock lock(impl_->lockFile);
            snapshot = impl_->load();
        } catch (const Error& e) {
            impl_->damaged = e.what();
            return out;
        }
    }
    if (snapshot.pending.empty()) return out;
    const Date start = impl_->currentTime();
    if (!force && snapshot.lastPassAt && start - *snapshot.lastPassAt < kRecentCheckInterval &&
        start >= *snapshot.lastPassAt) {
        out.skipped = true;
        out.stillWaiting = static_cast<int>(snapshot.pending.size());
        return out;
    }

    struct Result {
        enum class Kind { anchored, failed, settled } kind;
        std::string problem;
        std::optional<SealFile> seal;
    };
    std::vector<std::pair<Entry, Result>> results;
    bool serverUnreachable = false;
    for (const Entry& e : snapshot.pending) {
        // Once the server has not answered, the rest wait for the next pass
        // rather than each waiting out its own timeout.
        if (serverUnreachable) break;
        // A seal whose folder is not there (a drive that is not connected) waits;
        // a seal deleted or damaged in a folder that is there has nothing left
        // to anchor.
        const std::filesystem::path sealFile(e.sealPath);
        std::error_code ec;
        if (!std::filesystem::is_directory(sealFile.parent_path(), ec)) {
            results.push_back({e, {Result::Kind::failed, "The folder of the seal file is not available.", {}}});
            continue;
        }
        SealFile seal;
        try {
            seal = SealFile::read(e.sealPath);
        } catch (const Error& err) {
            const bool gone = !std::filesystem::exists(sealFile, ec) && !ec;
            const bool unreadable = !gone && ::access(e.sealPath.c_str(), R_OK) != 0;
            if (unreadable) {
                results.push_back({e, {Result::Kind::failed, err.what(), {}}});
            } else {
                results.push_back({e, {Result::Kind::settled, {}, {}}});
            }
            continue;
        }
        if (seal.anchor || seal.sealDigest() != e.sealDigest) {
            // Already anchored elsewhere, or replaced by another seal: not ours to anchor.
            results.push_back({e, {Result::Kind::settled, {}, {}}});
            continue;
        }
        ++out.tried;
        try {
            SealAnchor anchor = client.anchor(seal);
            seal.anchor = std::move(anchor);
            results.push_back({e, {Result::Kind::anchored, {}, std::move(seal)}});
        } catch (const SealServerUnreachable& err) {
            results.push_back({e, {Result::Kind::failed, err.what(), {}}});
            serverUnreachable = true;
        } catch (const Error& err) {
            results.push_back({e, {Result::Kind::failed, err.what(), {}}});
        }
    }

    try {
        impl_->change([&](Queue& q) {
            for (auto& settledEntry : results) {
                // Named, not bound: a lambda below uses the entry.
                const Entry& entry = settledEntry.first;
                auto& result = settledEntry.second;
                auto it = std::find_if(q.pending.begin(), q.pending.end(), [&](const Entry& x) {
                    return x.sealPath == entry.sealPath && x.sealDigest == entry.sealDigest;
                });
                if (it == q.pending.end()) continue; // taken care of meanwhile
                if (result.kind == Result::Kind::settled) {
                    ++out.settled;
                    q.pending.erase(it);
                } else if (result.kind == Result::Kind::anchored) {
                    // Write the receipt only when the seal on disk is still the one we anchored.
                    bool saved = false;
                    try {
                        SealFile current = SealFile::read(entry.sealPath);
                        if (!current.anchor && current.sealDigest() == entry.sealDigest) {
                            result.seal->write(entry.sealPath);
                            saved = true;
                        }
                    } catch (const Error& err) {
                        it->lastProblem = err.what();
                        ++it->attempts;
                        continue;
                    }
                    if (saved) ++out.anchored;
                    else ++out.settled;
                    q.pending.erase(it);
                } else {
                    it->lastProblem = result.problem;
                    ++it->attempts;
                }
            }
            q.lastPassAt = impl_->currentTime();
            out.stillWaiting = static_cast<int>(q.pending.size());
            return true;
        });
    } catch (const Error&) {
        out.stillWaiting = count();
    }
    return out;
}

std::string PendingAnchorStore::waitingToCarry() const {
    try {
        return entriesJson(impl_->load().pending).dump();
    } catch (const Error&) {
        return "[]";
    }
}

int PendingAnchorStore::addCarried(const std::string& carried) {
    std::vector<Entry> entries;
    try {
        const nlohmann::json j = nlohmann::json::parse(carried);
        if (!j.is_array()) throw Error("not a list");
        entries = parseEntries(j);
    } catch (const std::exception&) {
        throw Error("the carried list of seals waiting for an anchor is damaged");
    }
    int added = 0;
    impl_->change([&](Queue& q) {
        for (Entry& e : entries) {
            const bool held = std::any_of(q.pending.begin(), q.pending.end(), [&](const Entry& x) {
                return x.sealPath == e.sealPath && x.sealDigest == e.sealDigest;
            });
            if (held) continue;
            q.pending.push_back(std::move(e));
            ++added;
        }
        return added > 0;
    });
    return added;
}

} // namespace kx
