#include "core/platform/scheduler.h"

#include "core/platform/error.h"
#include "core/platform/escape.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kx {
namespace {

constexpr std::chrono::seconds kToolTimeout{60};

SchedulerResult fromProcess(const ProcessResult& r, const std::string& tool) {
    SchedulerResult out;
    if (!r.started) {
        out.status = -1;
        out.output = r.startError;
        return out;
    }
    out.output = r.standardOutput + r.standardError;
    if (r.timedOut) {
        out.status = -1;
        if (out.output.empty())
            out.output = tool + " did not finish within " + std::to_string(kToolTimeout.count()) + " seconds";
        return out;
    }
    out.status = r.signal != 0 ? 128 + r.signal : r.exitCode;
    return out;
}

bool hasControlCharacter(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// A value placed after "Key=" in a unit file: one line, specifiers escaped.
std::string unitValue(const std::string& value, const char* what) {
    if (hasControlCharacter(value))
        throw Error(std::string("the ") + what +
                    " holds a line break or control character, which a systemd unit cannot hold");
    std::string out;
    for (char c : value) {
        if (c == '%') out += "%%";
        else out += c;
    }
    return out;
}

// One Environment= assignment: quoted, with \\ and " escaped and % doubled ($ is
// not special there).
std::string quoteAssignment(const std::string& assignment) {
    if (hasControlCharacter(assignment))
        throw Error("an environment value holds a line break or control character, which a systemd unit cannot hold");
    std::string out = "\"";
    for (char c : assignment) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

void checkLabel(const std::string& label) {
    if (label.empty()) throw Error("the job has no label");
    for (char c : label) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == ':';
        if (!ok) throw Error("the job label \"" + label + "\" is not a valid systemd unit name");
    }
}

std::string twoDigits(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

} // namespace

// ---- launchctl ---------------------------------------------------------------

LaunchctlScheduler::LaunchctlScheduler(std::shared_ptr<ProcessRunner> runner, unsigned userId,
                                       std::string launchctlPath)
    : runner_(std::move(runner)), userId_(userId), launchctl_(std::move(launchctlPath)) {}

std::string LaunchctlScheduler::domain() const { return "gui/" + std::to_string(userId_); }

SchedulerResult LaunchctlScheduler::runLaunchctl(const std::vector<std::string>& arguments) {
    ProcessRequest req;
    req.program = launchctl_;
    req.arguments = arguments;
    req.timeout = kToolTimeout;
    return fromProcess(runner_->run(req), "launchctl");
}

SchedulerResult LaunchctlScheduler::registerJob(const ScheduledJob& job) {
    return runLaunchctl({"bootstrap", domain(), job.definitionPath});
}

SchedulerResult LaunchctlScheduler::unregisterJob(const std::string& label) {
    return runLaunchctl({"bootout", domain() + "/" + label});
}

// ---- systemd -----------------------------------------------------------------

SystemdUserScheduler::SystemdUserScheduler(std::shared_ptr<ProcessRunner> runner, std::string unitDirectory,
                                           std::string systemctl)
    : runner_(std::move(runner)), unitDirectory_(std::move(unitDirectory)), systemctl_(std::move(systemctl)) {}

std::string SystemdUserScheduler::userUnitDirectory(const std::string& home) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string config = (xdg && *xdg == '/') ? std::string(xdg) : fs::appendComponent(home, ".config");
    return fs::appendComponent(config, "systemd/user");
}

std::string SystemdUserScheduler::quoteArgument(const std::string& argument, bool isProgram) {
    std::string out = "\"";
    for (unsigned char c : argument) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '%': out += "%%"; break;
        // systemd expands variables in the arguments but not in the program's path.
        case '$': out += isProgram ? "$" : "$$"; break;
        default: appendBackslashEscaped(out, c);
        }
    }
    return out + "\"";
}

std::string SystemdUserScheduler::servicePath(const std::string& label) const {
    return fs::appendComponent(unitDirectory_, label + ".service");
}

std::string SystemdUserScheduler::timerPath(const std::string& label) const {
    return fs::appendComponent(unitDirectory_, label + ".timer");
}

std::string SystemdUserScheduler::serviceUnit(const ScheduledJob& job) {
    checkLabel(job.label);
    if (job.programArguments.empty() || job.programArguments.front().empty() || job.programArguments.front()[0] != '/')
        throw Error("the scheduled program must be given by its full path");
    // systemd refuses to run a program whose own path holds a quote or backslash.
    if (job.programArguments.front().find_first_of("\"'\\") != std::string::npos ||
        hasControlCharacter(job.programArguments.front()))
        throw Error("the path of " + job.programArguments.front() +
                    " holds a quote, backslash or control character, which systemd cannot start; move it to a folder "
                    "whose name has none");
    std::string exec;
    for (size_t i = 0; i < job.programArguments.size(); ++i) {
        if (i > 0) exec += ' ';
        exec += quoteArgument(job.programArguments[i], i == 0);
    }
    std::string text;
    text += "# Written by Kelvara for its daily archive run";
    if (!job.definitionPath.empty()) text += ", from " + unitValue(job.definitionPath, "job description path");
    text += ".\n# Removed again when the daily schedule is turned off.\n";
    text += "[Unit]\nDescription=Kelvara daily archive run\n\n[Service]\nType=oneshot\n";
    // A oneshot service's start limit covers the whole run; an archive run may take hours.
    text += "TimeoutStartSec=infinity\n";
    text += "ExecStart=" + exec + "\n";
    for (const auto& [name, value] : job.environment) {
        if (name.empty() || name.find('=') != std::string::npos)
            throw Error("an environment variable has no valid name");
        text += "Environment=" + quoteAssignment(name + "=" + value) + "\n";
    }
    if (!job.standardOutPath.empty())
        text += "StandardOutput=append:" + unitValue(job.standardOutPath, "log path") + "\n";
    if (!job.standardErrorPath.empty())
        text += "StandardError=append:" + unitValue(job.standardErrorPath, "log path") + "\n";
    if (job.background) text += "Nice=10\nCPUSchedulingPolicy=batch\n";
    if (job.lowPriorityIO) text += "IOSchedulingClass=idle\n";
    return text;
}

std::string SystemdUserScheduler::timerUnit(const ScheduledJob& job) {
    checkLabel(job.label);
    if (job.hour < 0 || job.hour > 23 || job.minute < 0 || job.minute > 59)
        throw Error("the time " + std::to_string(job.hour) + ":" + std::to_string(job.minute) +
                    " is not a time of day");
    std::string text;
    text += "# Written by Kelvara: starts " + job.label + ".service every day at " + twoDigits(job.hour) + ":" +
            twoDigits(job.minute) + " local time.\n";
    text += "[Unit]\nDescription=Kelvara daily archive run at " + twoDigits(job.hour) + ":" + twoDigits(job.minute) +
            "\n\n";
    text += "[Timer]\nOnCalendar=*-*-* " + twoDigits(job.hour) + ":" + twoDigits(job.minute) + ":00\n";
    text += "Persistent=true\nUnit=" + job.label + ".service\n\n";
    text += "[Install]\nWantedBy=timers.target\n";
    return text;
}

SchedulerResult SystemdUserScheduler::systemctl(const std::vector<std::string>& arguments) {
    ProcessRequest req;
    req.program = systemctl_;
    req.arguments = {"--user"};
    req.arguments.insert(req.arguments.end(), arguments.begin(), arguments.end());
    req.timeout = kToolTimeout;
    return fromProcess(runner_->run(req), "systemctl");
}

void SystemdUserScheduler::removeUnitFiles(const std::string& label) {
    std::error_code ec;
    std::filesystem::remove(servicePath(label), ec);
    std::filesystem::remove(timerPath(label), ec);
}

SchedulerResult SystemdUserScheduler::registerJob(const ScheduledJob& job) {
    std::string service, timer;
    try {
        service = serviceUnit(job);
        timer = timerUnit(job);
        fs::createPrivateDirectories(unitDirectory_);
        fs::writeFileAtomic(servicePath(job.label), service, 0644);
        fs::writeFileAtomic(timerPath(job.label), timer, 0644);
    } catch (const Error& e) {
        removeUnitFiles(job.label);
        return {1, e.what()};
    }
    SchedulerResult r = systemctl({"daemon-reload"});
    if (r.ok()) r = systemctl({"enable", "--now", job.label + ".timer"});
    if (!r.ok()) {
        // Leave nothing half-registered behind.
        removeUnitFiles(job.label);
        systemctl({"daemon-reload"});
        if (r.output.empty()) r.output = "systemctl exited " + std::to_string(r.status);
    }
    return r;
}

SchedulerResult SystemdUserScheduler::unregisterJob(const std::string& label) {
    SchedulerResult r = systemctl({"disable", "--now", label + ".timer"});
    const bool hadFiles = fs::exists(servicePath(label)) || fs::exists(timerPath(label));
    removeUnitFiles(label);
    if (hadFiles) systemctl({"daemon-reload"});
    return r;
}

// ---- fake --------------------------------------------------------------------

std::shared_ptr<Scheduler> makePlatformScheduler() {
#ifdef __APPLE__
    return std::make_shared<LaunchctlScheduler>(std::make_shared<PosixProcessRunner>(), systemInfo().userId());
#else
    return std::make_shared<SystemdUserScheduler>(std::make_shared<PosixProcessRunner>(),
                                                  SystemdUserScheduler::userUnitDirectory(
                                                      systemInfo().homeDirectory()));
#endif
}

} // namespace kx
