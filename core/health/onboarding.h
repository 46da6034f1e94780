#pragma once
// The first-run flow's decisions and words: which step follows which, whether a
// step may be left (its gate), what the advance button says, what the welcome
// step tells about Messages' own keep-messages setting, how the first archive's
// outcome reads, and the "where this leaves you" lines at the end.
//
// The application keeps the flow's state; it hands a snapshot (State) here and
// shows what comes back. Nothing here reads files or the clock.
//
// Rules (ours):
//  - Steps run welcome, Full Disk Access, archive choice, first scan; positions
//    count from 1.
//  - A gate is blocked only where leaving the step would make the next one
//    useless: access the application itself lacks (or has not checked yet), no
//    archive chosen, a join chosen but not done, an archive name that cannot
//    name a folder, and a first archive still running. Everything the user may
//    knowingly accept (Messages deleting old messages, the scheduled job lacking
//    access, no Messages database, a first archive that failed or was not run)
//    is a warning that lets the step be left.
//  - A summary line meant as a warning begins with "WARNING".
#include "core/health/full_disk_access_probe.h"
#include "core/health/retention.h"
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct Onboarding {
    Onboarding() = delete;

    enum class Step { welcome, fullDiskAccess, archiveChoice, firstScan };
    static constexpr int count = 4;
    // The neighbouring steps; none past either end.
    static std::optional<Step> next(Step step);
    static std::optional<Step> previous(Step step);
    // 1 for the welcome step up to count for the first scan.
    static int position(Step step);

    struct StepGate {
        enum class Kind { warning, blocked, open };
        Kind kind = Kind::open;
        std::string text; // for warning and blocked

        static StepGate warning(std::string text) { return {Kind::warning, std::move(text)}; }
        static StepGate blocked(std::string text) { return {Kind::blocked, std::move(text)}; }
        static StepGate open() { return {}; }
        bool isBlocked() const { return kind == Kind::blocked; }
        bool operator==(const StepGate&) const = default;
    };

    struct ScanOutcome {
        enum class Kind { archived, failed, notRun, running };
        Kind kind = Kind::notRun;
        std::int64_t messages = 0; // archived: the owner's archive's message count
        std::string text;          // failed: why, one sentence

        static ScanOutcome archived(std::int64_t messages) { return {Kind::archived, messages, {}}; }
        static ScanOutcome failed(std::string text) { return {Kind::failed, 0, std::move(text)}; }
        static ScanOutcome notRun() { return {}; }
        static ScanOutcome running() { return {Kind::running, 0, {}}; }
        bool operator==(const ScanOutcome&) const = default;
    };

    enum class ArchiveChoice { startNew, join };

    // A snapshot of everything the gates, labels and summary depend on.
    struct State {
        Step step = Step::welcome;
        FullDiskAccessProbe::Verdict fdaVerdict = FullDiskAccessProbe::Verdict::notRunYet();
        RetentionPolicy::Setting retention = RetentionPolicy::Setting::unreadable("not read yet");
        std::optional<ArchiveChoice> archiveChoice;
        bool joinCompleted = false;
        std::string resolvedOwner;
        // Why resolvedOwner cannot name an archive here (ArchiveIdentity::problem); none when it
        // can. Only the archive-choice gate of a new archive reads it.
        std::optional<std::string> ownerProblem;
        ScanOutcome scan;
    };

    static StepGate gate(const State& state);
    static std::string advanceLabel(const State& state);
    static std::string welcomeHeadline(const RetentionPolicy::Setting& retention);
    static std::string welcomeBody(const RetentionPolicy::Setting& retention);
    static std::string scanResultText(const ScanOutcome& scan);
    // The lines of "Where this leaves you", in display order.
    static std::vector<std::string> summary(const State& state);
};

// What the live Messages database holds, for the welcome step.
struct LiveMessagesProbe {
    LiveMessagesProbe() = delete;

    struct Summary {
        std::int64_t messages = 0;
        std::optional<Date> oldest; // the oldest dated message; none without one
    };
    // Counts the rows of the database's message table (none: 0). Reads only.
    // Throws kx::Error when the database cannot be read.
    static Summary summarize(const class ReadOnlyDatabase& db);
};

} // namespace kx
