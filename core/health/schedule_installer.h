#pragma once
// The daily scheduled archive run: installs and removes it, tells whether it is
// installed, finds the engine tool, and runs the engine's access probe in the
// scheduled context.
//
// The schedule is described by one file, the LaunchAgent property list
// "~/Library/LaunchAgents/com.dunholt.kelvara.plist" (XML property list 1.0, one
// dictionary, keys in this order):
//
//   Label                  "com.dunholt.kelvara"
//   ProgramArguments       ScheduleArguments::ingest(...), engine path first
//   EnvironmentVariables   { PATH = "/usr/bin:/bin:/usr/sbin:/sbin" }
//   StartCalendarInterval  { Hour = <hour>, Minute = <minute> }
//   RunAtLoad              false
//   StandardOutPath        ~/Library/Logs/Kelvara/ingest.log
//   StandardErrorPath      ~/Library/Logs/Kelvara/ingest.error.log
//   ProcessType            "Background"
//   LowPriorityIO          true
//
// The schedule counts as installed exactly when that file exists. On macOS launchd
// runs it ("launchctl bootstrap"); on Linux the platform scheduler turns the same
// description into a systemd user service and timer (core/platform/scheduler.h).
//
// Unlike a bare write-then-register, a registration that fails removes the file
// just written, so "installed" never claims a schedule that does not run.
//
// Every operation is synchronous. install, uninstall and refreshIfInstalled wait
// for the system's scheduler tool; probeScheduledAccess blocks for up to its time
// limit and must not run on the GUI thread.
#include "core/health/full_disk_access_probe.h"
#include "core/platform/error.h"
#include "core/platform/process.h"
#include "core/platform/scheduler.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kx {

class ScheduleInstaller {
public:
    ScheduleInstaller() = delete;

    // what() is the whole sentence shown to the user.
    class InstallError : public Error {
    public:
        enum class Kind { writeFailed, launchctlFailed, engineMissing };
        static InstallError writeFailed(const std::string& description);
        static InstallError launchctlFailed(const std::string& output);
        static InstallError engineMissing();
        Kind kind() const { return kind_; }
        const std::string& payload() const { return payload_; }

    private:
        InstallError(Kind kind, std::string payload, const std::string& description)
            : Error(description), kind_(kind), payload_(std::move(payload)) {}
        Kind kind_;
        std::string payload_;
    };

    static constexpr const char* kLabel = "com.dunholt.kelvara";
    static constexpr int kHour = 3;
    static constexpr int kMinute = 30;

    // Writes the property list and registers it (unregistering any earlier one
    // first). An empty filtersPath or machineID counts as none.
    static void install(const std::string& registryPath, const std::string& destinationRoot,
                        const std::optional<std::string>& filtersPath, const std::optional<std::string>& machineID,
                        int hour = kHour, int minute = kMinute);
    // Unregisters the job and removes the property list; nothing installed is fine.
    // Throws only writeFailed.
    static void uninstall();

    // Installs again when the schedule is installed and the engine, registry, root,
    // filters or machine identity it would run with differ from the installed
    // ones; keeps the installed time of day. Returns whether it installed.
    // Called when the archive root changes or the machine identity is first
    // resolved, so scheduled runs never write to an old root.
    static bool refreshIfInstalled(const std::string& registryPath, const std::string& destinationRoot,
                                   const std::optional<std::string>& filtersPath,
                                   const std::optional<std::string>& machineID);

    // The property list's path (the home folder is asked afresh each time).
    static std::string plistURL();
    static bool isInstalled();
    // Folder of the scheduled run's two log files.
    static std::string logFolder();

    // The engine tool, tried in order: inside a macOS application bundle
    // ("Contents/Frameworks/kxctl", then "Contents/MacOS/kxctl"); beside the
    // application's executable; the install prefix's "libexec/kelvara/kxctl"
    // (prefix = the folder above the executable's "bin"); when run from the build
    // tree (executable in "<build>/app"), "<build>/tools/kxctl/kxctl". The first
    // executable regular file wins.
    static std::optional<std::string> locateEngine();

    // Runs "kxctl fda-probe --json" as the schedule would and returns its outcome.
    static FullDiskAccessProbe::ScheduledOutcome probeScheduledAccess(double timeoutSeconds);

    // The property list's bytes for these arguments and time. Throws
    // InstallError::writeFailed when a value cannot go into a property list.
    static std::string propertyList(const std::vector<std::string>& programArguments, int hour, int minute);
    // What the installed property list holds; nothing when it is missing or unreadable.
    struct InstalledSchedule {
        std::vector<std::string> programArguments;
        int hour = kHour;
        int minute = kMinute;
    };
    static std::optional<InstalledSchedule> readInstalled();

    // Replaceable parts, for tests. A field left empty keeps the real behaviour.
    struct Seams {
        std::function<std::shared_ptr<Scheduler>()> scheduler; // default: makePlatformScheduler
        std::function<std::string()> applicationExecutable;    // default: /proc/self/exe
        std::shared_ptr<ProcessRunner> probeRunner;            // default: a PosixProcessRunner
    };
    static void setSeamsForTesting(Seams seams);
};

} // namespace kx
