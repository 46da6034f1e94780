#include "core/backup/backup_lease.h"

#include "core/platform/hex.h"
#include "core/platform/sha256.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <optional>
#include <set>
#include <unistd.h>

namespace kx {

using nlohmann::json;

namespace {

struct Held {
    std::string holder, machine;
    long long pid = 0;
    std::string startedAt;
    Date expiresAt;
};

std::optional<Held> parseLease(const std::optional<std::string>& bytes) {
    if (!bytes) return std::nullopt;
    json j = json::parse(*bytes, nullptr, false);
    if (!j.is_object()) return std::nullopt; // unreadable: nobody can be said to hold it
    Held h;
    h.holder = j.value("holder", "");
    h.machine = j.value("machine", "");
    h.pid = j.value("pid", 0LL);
    h.startedAt = j.value("startedAt", "");
    auto expires = parseISO8601(j.value("expiresAt", ""));
    if (h.holder.empty() || !expires) return std::nullopt;
    h.expiresAt = *expires;
    return h;
}

// Leases this process holds now.
std::mutex heldHereMutex;
std::set<std::string> heldHere;

// True when the holder was a run on this computer, since its last start, that
// is over: its process is gone, or it is this process and no longer holds it
// (a run that could not give the lease back when the destination went away).
bool holderIsGoneHere(const Held& h) {
    if (h.machine != bootIdentity() || h.pid <= 0) return false;
    if (h.pid == static_cast<long long>(::getpid())) {
        std::lock_guard<std::mutex> lock(heldHereMutex);
        return heldHere.count(h.holder) == 0;
    }
    return ::kill(static_cast<pid_t>(h.pid), 0) != 0 && errno == ESRCH;
}

std::string randomId() {
    unsigned char b[16];
    randombytes_buf(b, sizeof b);
    return lowerHex(b, sizeof b);
}

} // namespace

std::string bootIdentity() {
    static const std::string id = [] {
        std::string boot;
        std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        return Sha256::hexOf("kelvara-boot:" + boot + ":" + host).substr(0, 32);
    }();
    return id;
}

BackupLease::BackupLease(std::shared_ptr<BackupDestination> dest, std::string name, LeaseOptions options)
    : dest_(std::move(dest)), name_(std::move(name)), options_(std::move(options)), holder_(randomId()) {
    {
        std::lock_guard<std::mutex> lock(heldHereMutex);
        heldHere.insert(holder_);
    }
    struct Forget {
        BackupLease* lease;
        bool keep = false;
        ~Forget() {
            if (keep) return;
            std::lock_guard<std::mutex> lock(heldHereMutex);
            heldHere.erase(lease->holder_);
        }
    } forget{this};
    startedAt_ = now();
    expiresAt_ = startedAt_ + options_.ttl;
    const std::string mine = content(expiresAt_);

    std::optional<Held> other;
    auto busy = [&](const Held& h) {
        return BackupBusyError("another backup of this archive to " + dest_->label() + " is under way (started " +
                               h.startedAt + "); wait for it to finish. If that run was stopped, its claim lapses at " +
                               formatISO8601(h.expiresAt));
    };
    const auto asked = std::chrono::steady_clock::now();
    bool wrote = dest_->updateControl(name_, [&](const std::optional<std::string>& current) {
        other = parseLease(current);
        if (other && other->holder != holder_ && other->expiresAt > startedAt_ && !holderIsGoneHere(*other))
            return std::optional<std::string>();
        other.reset();
        return std::optional<std::string>(mine);
    });
    if (!wrote) throw busy(*other);
    if (!dest_->exclusiveUpdates()) {
        // A run that read the lease before this one wrote it writes within a
        // moment; whichever lease is there after the pause goes on.
        const auto roundTrip = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                     asked);
        std::this_thread::sleep_for(std::min(options_.settle, std::max(kSettleFloor, kSettleRoundTrips * roundTrip)));
        std::optional<Held> now;
        dest_->updateControl(name_, [&](const std::optional<std::string>& current) {
            now = parseLease(current);
            return std::optional<std::string>();
        });
        if (!now || now->holder != holder_) {
            if (now) throw busy(*now);
            throw BackupBusyError("another backup of this archive to " + dest_->label() +
                                  " started at the same moment; wait for it to finish");
        }
    }
    renewer_ = std::thread([this] { renewLoop(); });
    forget.keep = true;
}

BackupLease::~BackupLease() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (renewer_.joinable()) renewer_.join();
    {
        std::lock_guard<std::mutex> lock(heldHereMutex);
        heldHere.erase(holder_);
    }
    try {
        dest_->updateControl(name_, [&](const std::optional<std::string>& current) {
            auto h = parseLease(current);
            return h && h->holder == holder_ ? std::optional<std::string>(std::string()) : std::optional<std::string>();
        });
    } catch (...) {
        // An unreachable destination keeps the lease until it expires.
    }
}

Date BackupLease::now() const { return options_.now ? options_.now() : std::chrono::system_clock::now(); }

std::string BackupLease::content(Date expires) const {
    return json{{"format", 1},
                {"holder", holder_},
                {"machine", bootIdentity()},
                {"pid", static_cast<long long>(::getpid())},
                {"startedAt", formatISO8601(startedAt_)},
                {"expiresAt", formatISO8601(expires)}}
        .dump();
}

void BackupLease::renewLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (wake_.wait_for(lock, options_.ttl / 4, [this] { return stopping_; })) return;
        lock.unlock();
        const Date expires = now() + options_.ttl;
        bool ours = false;
        try {
            dest_->updateControl(name_, [&](const std::optional<std::string>& current) {
                auto h = parseLease(current);
                ours = h && h->holder == holder_;
                return ours ? std::optional<std::string>(content(expires)) : std::optional<std::string>();
            });
        } catch (...) {
            ours = true; // not reachable just now; confirm() reads it again
        }
        lock.lock();
        if (!ours) lost_ = true;
    }
}

void BackupLease::confirm() {
    bool ours = false;
    dest_->updateControl(name_, [&](const std::optional<std::string>& current) {
        auto h = parseLease(current);
        ours = h && h->holder == holder_;
        return std::optional<std::string>();
    });
    std::lock_guard<std::mutex> lock(mutex_);
    if (lost_ || !ours)
        throw BackupBusyError("this backup was paused for longer than its claim on " + dest_->label() +
                              " lasts and another run took over; nothing more was written by this one");
}

} // namespace kx
