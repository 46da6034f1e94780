#pragma once
// One backup of an archive to a destination at a time.
//
// A run holds a lease: a small control object beside the backup ("<prefix>/<remote
// name>.lease"; on a folder destination a file, changed under an advisory lock)
// holding, as JSON, {"format": 1, "holder": random id, "machine": a hash naming
// this computer's current boot, "pid", "startedAt", "expiresAt"}. No secret and
// nothing readable about the owner is in it. The holder renews it while it runs
// and removes it when done. Another run finding an unexpired lease of another
// holder is refused with a sentence; a lease that has expired, or whose holder
// was a process on this computer that no longer exists (a killed run), is taken
// over. So is a lease of this process that no run here holds any more (a run
// that could not give it back because the destination went away). Object stores offer no atomic replace, so there the
// new holder waits a moment and reads the lease back: of two runs that started together, the one whose lease was
// written last goes on. The moment covers the time another run takes from reading the lease to having written its
// own: kSettleRoundTrips times as long as this run's own read and write of the lease took, at least kSettleFloor and
// at most LeaseOptions::settle, so that a store on a fast network is not waited on for a whole second while a slow
// one still gets the full pause. Whatever the pause, the run confirms the lease again before it writes its manifest.
#include "core/backup/destination.h"
#include "core/platform/time.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kx {

// Another run of the same backup holds the lease.
class BackupBusyError : public BackupError {
public:
    using BackupError::BackupError;
};

inline constexpr int kSettleRoundTrips = 10;
inline constexpr std::chrono::milliseconds kSettleFloor{250};

struct LeaseOptions {
    std::chrono::seconds ttl{120};          // how long a lease holds without renewal
    std::chrono::milliseconds settle{1000}; // object stores: the longest pause before reading the lease back
    NowFunction now;                        // the clock (none: the system clock)
};

class BackupLease {
public:
    // Takes the lease `name` at dest; throws BackupBusyError with a sentence
    // fragment when another run holds it, BackupError when it cannot be written.
    BackupLease(std::shared_ptr<BackupDestination> dest, std::string name, LeaseOptions options = {});
    // Stops renewing and removes the lease when it is still this run's.
    ~BackupLease();
    BackupLease(const BackupLease&) = delete;
    BackupLease& operator=(const BackupLease&) = delete;

    // Throws BackupBusyError when the lease is no longer this run's (the run
    // stalled past its expiry and another run took over).
    void confirm();

    const std::string& holder() const { return holder_; }

private:
    Date now() const;
    std::string content(Date expires) const;
    void renewLoop();

    std::shared_ptr<BackupDestination> dest_;
    std::string name_;
    LeaseOptions options_;
    std::string holder_;
    Date startedAt_;
    Date expiresAt_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool lost_ = false;
    std::thread renewer_;
};

// A name for this computer's current boot, the same in every process.
std::string bootIdentity();

} // namespace kx
