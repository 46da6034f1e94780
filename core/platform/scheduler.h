#pragma once
// Registering a per-user job that the system runs once a day, while no
// application is open.
//
// Two implementations:
//
//  * LaunchctlScheduler (macOS): the job is described by a LaunchAgent property
//    list that the caller has already written; registering runs
//    "/bin/launchctl bootstrap gui/<uid> <plist>", unregistering
//    "/bin/launchctl bootout gui/<uid>/<label>".
//
//  * SystemdUserScheduler (Linux): the same job becomes a systemd user service and
//    timer in the user's unit folder ($XDG_CONFIG_HOME/systemd/user, else
//    ~/.config/systemd/user), named after the label:
//
//      <label>.service   Type=oneshot; ExecStart= the program arguments, each
//                        quoted; Environment= the given variables; standard output
//                        and error appended to the two log files; Nice=10,
//                        CPUSchedulingPolicy=batch (background priority) and
//                        IOSchedulingClass=idle (low-priority I/O).
//      <label>.timer     OnCalendar=*-*-* HH:MM:00 (local time); Persistent=true,
//                        so a run missed while the computer was off or the user
//                        logged out happens at the next login; WantedBy=timers.target.
//
//    Registering writes both files atomically, then runs
//    "systemctl --user daemon-reload" and "systemctl --user enable --now
//    <label>.timer". When either fails, the unit files are removed again so no
//    half-registered job is left. Unregistering runs
//    "systemctl --user disable --now <label>.timer" (a run in progress is left to
//    finish), removes both files and reloads.
//
// A value that a unit file cannot express (a line break in a path or argument) is
// refused with a readable reason instead of being written.
#include "core/platform/process.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kx {

struct ScheduledJob {
    std::string label;                              // e.g. "com.dunholt.kelvara"
    std::vector<std::string> programArguments;      // program first
    std::map<std::string, std::string> environment; // e.g. PATH only
    int hour = 3;
    int minute = 30;
    std::string standardOutPath;
    std::string standardErrorPath;
    bool background = true;
    bool lowPriorityIO = true;
    std::string definitionPath; // the LaunchAgent property list describing the job
};

// What a registration step gave: a status (0 = success; -1 = the tool could not
// be started) and the tool's combined output or a sentence saying what failed.
struct SchedulerResult {
    int status = 0;
    std::string output;
    bool ok() const { return status == 0; }
};

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Registers the job (replacing nothing: callers unregister first).
    virtual SchedulerResult registerJob(const ScheduledJob& job) = 0;
    // Unregisters the job with this label; failing when nothing is registered is normal.
    virtual SchedulerResult unregisterJob(const std::string& label) = 0;
};

class LaunchctlScheduler final : public Scheduler {
public:
    LaunchctlScheduler(std::shared_ptr<ProcessRunner> runner, unsigned userId,
                       std::string launchctlPath = "/bin/launchctl");
    SchedulerResult registerJob(const ScheduledJob& job) override;
    SchedulerResult unregisterJob(const std::string& label) override;
    // Runs launchctl with these arguments and this process's environment. The
    // output is standard output followed by standard error.
    SchedulerResult runLaunchctl(const std::vector<std::string>& arguments);
    // "gui/<uid>"
    std::string domain() const;

private:
    std::shared_ptr<ProcessRunner> runner_;
    unsigned userId_;
    std::string launchctl_;
};

class SystemdUserScheduler final : public Scheduler {
public:
    // systemctl is looked up on PATH unless a path is given.
    SystemdUserScheduler(std::shared_ptr<ProcessRunner> runner, std::string unitDirectory,
                         std::string systemctl = "systemctl");
    SchedulerResult registerJob(const ScheduledJob& job) override;
    SchedulerResult unregisterJob(const std::string& label) override;

    // The user's unit folder: $XDG_CONFIG_HOME/systemd/user when XDG_CONFIG_HOME is
    // an absolute path, else <home>/.config/systemd/user.
    static std::string userUnitDirectory(const std::string& home);
    // The unit texts for a job. Throw kx::Error when a value cannot be expressed.
    static std::string serviceUnit(const ScheduledJob& job);
    static std::string timerUnit(const ScheduledJob& job);
    // One ExecStart= word: quoted, with \ " and control characters escaped and
    // % doubled (and $ doubled in arguments after the program) so systemd takes
    // the text literally.
    static std::string quoteArgument(const std::string& argument, bool isProgram = false);

    std::string servicePath(const std::string& label) const;
    std::string timerPath(const std::string& label) const;

private:
    SchedulerResult systemctl(const std::vector<std::string>& arguments);
    void removeUnitFiles(const std::string& label);

    std::shared_ptr<ProcessRunner> runner_;
    std::string unitDirectory_;
    std::string systemctl_;
};

// The scheduler of the platform this was built for: launchctl on macOS, systemd
// user units on Linux.
std::shared_ptr<Scheduler> makePlatformScheduler();

} // namespace kx
