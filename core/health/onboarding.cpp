#include "core/health/onboarding.h"

#include "core/archive/source_db.h"
#include "core/health/read_only_database.h"

namespace kx {

namespace {

using Verdict = FullDiskAccessProbe::Verdict;
using Setting = RetentionPolicy::Setting;

// "1,234,567": the summary lines are plain text, so the digits are grouped here.
std::string grouped(std::int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
    return n < 0 ? "-" + digits : digits;
}

std::string messagesNoun(std::int64_t n) { return grouped(n) + (n == 1 ? " message" : " messages"); }

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

Onboarding::StepGate accessGate(const Verdict& verdict) {
    using Gate = Onboarding::StepGate;
    switch (verdict.kind) {
    case Verdict::Case::allGranted: return Gate::open();
    case Verdict::Case::scheduledBlocked:
        return Gate::warning("Kelvara can read your messages, but the daily job cannot yet. Add the second path too, "
                             "or the nightly archive will read nothing.");
    case Verdict::Case::appBlocked:
        return Gate::blocked("Allow access to Messages first. Until Kelvara can read the database there is nothing "
                             "to archive.");
    case Verdict::Case::notChecked: return Gate::blocked("Wait for the access check to finish, or press Check again.");
    case Verdict::Case::noDatabase:
        return Gate::warning("There is no Messages database on this computer, so nothing of its own can be "
                             "archived. You can still join an archive on another computer.");
    }
    return Gate::blocked("Wait for the access check to finish, or press Check again.");
}

Onboarding::StepGate archiveGate(const Onboarding::State& state) {
    using Gate = Onboarding::StepGate;
    if (!state.archiveChoice) return Gate::blocked("Choose whether to start a new archive or join one that exists.");
    if (*state.archiveChoice == Onboarding::ArchiveChoice::join) {
        if (state.joinCompleted) return Gate::open();
        return Gate::blocked("Paste the link code and join, or choose to start a new archive.");
    }
    if (state.ownerProblem) return Gate::blocked(*state.ownerProblem + " Change the archive name.");
    return Gate::open();
}

Onboarding::StepGate scanGate(const Onboarding::ScanOutcome& scan) {
    using Gate = Onboarding::StepGate;
    using Kind = Onboarding::ScanOutcome::Kind;
    switch (scan.kind) {
    case Kind::running: return Gate::blocked("Wait for the first archive to finish.");
    case Kind::notRun:
        return Gate::warning("Nothing is archived yet. You can finish now and run an archive later from Sources.");
    case Kind::failed:
        return Gate::warning("The first archive failed. You can finish now and try again later from Sources.");
    case Kind::archived:
        if (scan.messages > 0) return Gate::open();
        return Gate::warning("The first archive found no messages. Check the Health screen after finishing.");
    }
    return Gate::open();
}

} // namespace

std::optional<Onboarding::Step> Onboarding::next(Step step) {
    switch (step) {
    case Step::welcome: return Step::fullDiskAccess;
    case Step::fullDiskAccess: return Step::archiveChoice;
    case Step::archiveChoice: return Step::firstScan;
    case Step::firstScan: return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Onboarding::Step> Onboarding::previous(Step step) {
    switch (step) {
    case Step::welcome: return std::nullopt;
    case Step::fullDiskAccess: return Step::welcome;
    case Step::archiveChoice: return Step::fullDiskAccess;
    case Step::firstScan: return Step::archiveChoice;
    }
    return std::nullopt;
}

int Onboarding::position(Step step) { return static_cast<int>(step) + 1; }

Onboarding::StepGate Onboarding::gate(const State& state) {
    switch (state.step) {
    case Step::welcome:
        if (state.retention.deletesMessages())
            return StepGate::warning("Messages deletes anything older than " + state.retention.appleLabel() +
                                     " on this computer. Finish setting up soon: what it deletes before the first "
                                     "archive is gone for good.");
        return StepGate::open();
    case Step::fullDiskAccess: return accessGate(state.fdaVerdict);
    case Step::archiveChoice: return archiveGate(state);
    case Step::firstScan: return scanGate(state.scan);
    }
    return StepGate::open();
}

std::string Onboarding::advanceLabel(const State& state) {
    if (state.step != Step::firstScan) return "Continue";
    if (state.scan.kind == ScanOutcome::Kind::archived && state.scan.messages > 0) return "Done";
    return "Finish Without Archiving";
}

std::string Onboarding::welcomeHeadline(const Setting& retention) {
    switch (retention.kind) {
    case Setting::Kind::days:
        if (retention.deletesMessages())
            return "Messages deletes your messages after " + retention.appleLabel() + ". Kelvara keeps them.";
        return "Messages keeps your history on this computer. Kelvara keeps a copy of its own.";
    case Setting::Kind::keepForever:
        return "Messages keeps your history on this computer. Kelvara keeps a copy of its own.";
    case Setting::Kind::unreadable: return "Kelvara keeps a copy of your Messages history.";
    }
    return "Kelvara keeps a copy of your Messages history.";
}

std::string Onboarding::welcomeBody(const Setting& retention) {
    const std::string archive = "Kelvara copies every message and attachment into an archive of your own, checks "
                                "what it copied, and adds what is new every day.";
    switch (retention.kind) {
    case Setting::Kind::days:
        if (retention.deletesMessages())
            return "Keep messages is set to " + retention.appleLabel() +
                   ", so Messages removes older conversations from this computer, and from your other devices when "
                   "Messages in iCloud is on. " +
                   archive + " What is archived stays archived after Messages deletes it.";
        [[fallthrough]];
    case Setting::Kind::keepForever:
        return "Keep messages is set to Forever, so nothing is deleted on purpose. A lost or replaced computer, a "
               "reset phone or a full disk can still take your history with it. " +
               archive;
    case Setting::Kind::unreadable:
        return "Kelvara could not read how long Messages keeps your messages (" + retention.reason + "). " + archive;
    }
    return archive;
}

std::string Onboarding::scanResultText(const ScanOutcome& scan) {
    switch (scan.kind) {
    case ScanOutcome::Kind::notRun: return "Nothing has been archived yet.";
    case ScanOutcome::Kind::running: return "Archiving your messages…";
    case ScanOutcome::Kind::failed: return "The first archive failed: " + scan.text;
    case ScanOutcome::Kind::archived:
        if (scan.messages > 0) return "Archived. Your archive now holds " + messagesNoun(scan.messages) + ".";
        return "The run finished, but your archive holds no messages. Check that this computer's Messages has "
               "any, and look at the Health screen.";
    }
    return "Nothing has been archived yet.";
}

std::vector<std::string> Onboarding::summary(const State& state) {
    std::vector<std::string> lines;
    const ScanOutcome& scan = state.scan;
    if (scan.kind == ScanOutcome::Kind::archived && scan.messages > 0)
        lines.push_back(messagesNoun(scan.messages) + " are in the archive " + quoted(state.resolvedOwner) + ".");
    else if (scan.kind == ScanOutcome::Kind::failed)
        lines.push_back("WARNING: The first archive failed, so nothing from this computer is archived yet.");
    else lines.push_back("WARNING: Nothing from this computer is archived yet.");

    if (state.archiveChoice == ArchiveChoice::join && state.joinCompleted)
        lines.push_back("This computer archives into the shared archive " + quoted(state.resolvedOwner) + ".");

    switch (state.fdaVerdict.kind) {
    case Verdict::Case::allGranted: lines.push_back("Kelvara and its daily job can both read Messages."); break;
    case Verdict::Case::scheduledBlocked:
        lines.push_back("WARNING: The daily job cannot read Messages yet, so scheduled runs archive nothing. Grant "
                        "it access in Settings, Permissions.");
        break;
    case Verdict::Case::appBlocked: lines.push_back("WARNING: Kelvara cannot read Messages on this computer."); break;
    case Verdict::Case::notChecked:
        lines.push_back("WARNING: Whether the daily job can read Messages has not been checked.");
        break;
    case Verdict::Case::noDatabase: break;
    }

    if (state.retention.deletesMessages())
        lines.push_back("WARNING: Messages still deletes messages older than " + state.retention.appleLabel() +
                        ". Keep the daily archive on so each one is copied before it goes.");
    lines.push_back("The archive stays on this computer until you add a backup destination under Backups.");
    return lines;
}

LiveMessagesProbe::Summary LiveMessagesProbe::summarize(const ReadOnlyDatabase& db) {
    Summary summary;
    if (!db.hasTable("message")) return summary;
    summary.messages = db.scalar("SELECT count(*) FROM message");
    if (summary.messages > 0) {
        // Dates of 0 are "no date"; the index on date makes this a single lookup.
        const std::int64_t oldest = db.scalar("SELECT coalesce(min(date), 0) FROM message WHERE date > 0");
        if (oldest > 0) summary.oldest = sourcedb::appleDate(oldest);
    }
    return summary;
}

} // namespace kx
