#pragma once
// Can archiving actually read the Messages database?
//
// Two programs must be able to read it: the application itself, and the engine
// tool when the daily schedule starts it as a program of its own. The application
// tests its own access directly (appContextMessageCount); the engine's access is
// tested by running `kxctl fda-probe --json` in the scheduled context (only the
// schedule's PATH in the environment) and reading its reply (runScheduledProbe).
// `verdict` turns the two findings into one answer for the screens.
//
// On macOS the permission in question is Full Disk Access, granted per program.
// Linux has no such permission; there the same checks answer whether the database
// file can be opened at all by each program and, when not, why (file mode, owner,
// a folder that may not be entered).
#include "core/health/probe_output.h"
#include "core/platform/process.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kx {

struct FullDiskAccessProbe {
    // The one answer shown by the health screen, the settings and onboarding.
    struct Verdict {
        enum class Case {
            allGranted,       // both the application and the scheduled engine read Messages
            scheduledBlocked, // the application reads Messages, the scheduled engine cannot
            appBlocked,       // the application itself cannot read Messages
            notChecked,       // not known (not run yet, or the check itself failed)
            noDatabase,       // there is no Messages database on this computer
        };
        Case kind = Case::notChecked;
        // allGranted, scheduledBlocked, appBlocked and notChecked carry a text: a
        // summary, the detail of what is blocked, or why nothing is known.
        // noDatabase carries none.
        std::string text;

        static Verdict allGranted(std::string text) { return {Case::allGranted, std::move(text)}; }
        static Verdict scheduledBlocked(std::string detail) { return {Case::scheduledBlocked, std::move(detail)}; }
        static Verdict appBlocked(std::string detail) { return {Case::appBlocked, std::move(detail)}; }
        static Verdict notChecked(std::string text) { return {Case::notChecked, std::move(text)}; }
        static Verdict noDatabase() { return {Case::noDatabase, {}}; }
        // The value before any check.
        static Verdict notRunYet() { return notChecked(kNotRunYet); }

        // A one-line headline for every case.
        std::string headline() const;
        bool operator==(const Verdict&) const = default;
    };
    static constexpr const char* kNotRunYet = "not run yet";

    // What the scheduled-context run of the engine gave: its decoded reply, or one
    // sentence saying why there is none.
    struct ScheduledOutcome {
        std::variant<ProbeOutput, std::string> value;
        static ScheduledOutcome reply(ProbeOutput output) { return {std::move(output)}; }
        static ScheduledOutcome failure(std::string sentence) { return {std::move(sentence)}; }
        const ProbeOutput* replyValue() const { return std::get_if<ProbeOutput>(&value); }
        const std::string* failureSentence() const { return std::get_if<std::string>(&value); }
    };

    // The live database: the home folder + "Library/Messages/chat.db".
    static std::string liveMessagesDatabasePath();

    // Whether a database is at path. Only a definite "nothing there" (ENOENT,
    // ENOTDIR) counts as missing: a path this program may not look at (EACCES,
    // EPERM, which is how a missing Full Disk Access shows) counts as present, so a
    // blocked database is never mistaken for "nothing to archive".
    static bool databaseExists(const std::string& path);

    // How many messages this program can read at path; nothing when it cannot open
    // the file read-only or the file holds no message table. Never writes anything
    // beside the database (a database whose tables are still only in its -wal file
    // is read from a private snapshot copy).
    static std::optional<int64_t> appContextMessageCount(const std::string& path);

    // The one answer from the application's own finding and the engine's.
    static Verdict verdict(std::optional<int64_t> appMessages, bool databaseExists, const ScheduledOutcome& scheduled);

    // The programs that need read access, in the order a person should add them:
    // the application, then the engine tool. For a macOS application bundle these
    // are the bundle and its "Contents/Frameworks/kxctl"; for a plain executable,
    // the executable and the "kxctl" beside it.
    static std::vector<std::string> grantPaths(const std::string& appBundlePath);

    // The engine tool's side: checks this process's own access to databasePath.
    static ProbeOutput probeThisProcess(const std::string& databasePath);

    // The application's side: runs `<enginePath> fda-probe --json` with only the
    // schedule's PATH in its environment and reads its reply. The run is bounded
    // by timeoutSeconds: a child still running then is asked to terminate, killed
    // after a short grace and reaped, and the outcome is the time-out sentence.
    // Both output streams are drained while it runs. Never throws.
    static ScheduledOutcome runScheduledProbe(const std::string& enginePath, double timeoutSeconds,
                                              ProcessRunner& runner);
};

} // namespace kx
