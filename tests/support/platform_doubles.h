#pragma once
// Test doubles for the platform seams: the scheduler, the process runner and the
// facts about the user and the machine, the clock.
#include "core/platform/process.h"
#include "core/platform/scheduler.h"
#include "core/platform/system.h"
#include "core/platform/time.h"

#include <string>
#include <vector>

namespace kx {

// Records each call and answers from the configured results.
class FakeScheduler final : public Scheduler {
public:
    struct Call {
        std::string action; // "register" or "unregister"
        std::string label;
        ScheduledJob job; // for "register"
    };
    std::vector<Call> calls;
    SchedulerResult registerResult;
    SchedulerResult unregisterResult{3, "not loaded"};
    SchedulerResult registerJob(const ScheduledJob& job) override;
    SchedulerResult unregisterJob(const std::string& label) override;
};

// Records every request and answers from a queue (or a default).
class FakeProcessRunner final : public ProcessRunner {
public:
    std::vector<ProcessRequest> requests;
    std::vector<ProcessResult> answers; // consumed front to back
    ProcessResult defaultAnswer = [] {
        ProcessResult r;
        r.started = true;
        r.exitCode = 0;
        return r;
    }();
    ProcessResult run(const ProcessRequest& request) override;
};

// Plain fields.
class FakeSystemInfo final : public SystemInfo {
public:
    std::string home = "/home/test";
    std::string appSupport = "/home/test/.local/share";
    std::string shortName = "test";
    std::string fullName = "Test User";
    std::string computer = "Test Computer";
    unsigned uid = 1000;
    std::string homeDirectory() const override { return home; }
    std::string applicationSupportDirectory() const override { return appSupport; }
    std::string shortUserName() const override { return shortName; }
    std::string fullUserName() const override { return fullName; }
    std::string computerName() const override { return computer; }
    unsigned userId() const override { return uid; }
};

// Returns whatever time it was set to.
class FixedClock final : public Clock {
public:
    explicit FixedClock(Date t) : t_(t) {}
    Date now() const override { return t_; }
    void set(Date t) { t_ = t; }
    void advance(std::chrono::seconds s) { t_ += s; }

private:
    Date t_;
};

} // namespace kx
