#pragma once
// The report of one engine run, and its file form "STATUS.json" in the archive root.
//
// STATUS.json (UTF-8 JSON object, written atomically by every run that got past
// the run lock, successful or not, so a failure never leaves an old success on
// show). Keys, in this order:
//   "formatVersion"       1
//   "status"              "succeeded" | "failed"
//   "failure"             text, present only for a failed run: what went wrong
//   "runDate"             ISO 8601 UTC, when the run started
//   "finishedAt"          ISO 8601 UTC
//   "lastSuccessAt"       ISO 8601 UTC of the newest successful run known (this one when it
//                         succeeded, else carried over from the previous STATUS.json); absent if none
//   "engineVersion"       text
//   "machineID"           text, absent when the run had none
//   "uniqueMessages"      integer: messages held in the stores of the owners this run touched
//   "newMessages"         integer: messages this run added
//   "duplicatesCollapsed" integer: extra copies (same message in more sources) folded into one
//   "corroborated"        integer: messages held by two or more sources
//   "attachments"         object: "verified", "missingBytes", "hashed", "storedObjects",
//                         "fullSweep" (bool), "sampleSize" (integer, 0 for a full sweep),
//                         "copiedThisRun", "missingInSources", "refusedInSources"
//   "owners"              array of {"owner", "folder", "uniqueMessages", "newMessages"}
//   "sources"             array of SourceOutcome objects (keys as the struct's fields)
//   "gaps"                array of {"kind" (0-3), "owner", "name", "start", "end", "days", "detail"?}: the
//                         gaps of every owner's archive after the run, by the coverage analysis's rule
//   "errors"              array of texts
// Unknown keys are ignored on reading; a file that is not such an object reads as no report.
#include "core/platform/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

// A stretch of time the archive does not hold. Filled by the coverage analysis.
struct CoverageGap {
    enum class Kind : int {
        missing = 0,    // "Not archived anywhere"
        quiet = 1,      // "Likely a quiet period"
        notScanned = 2, // "Not yet scanned"
        trailing = 3,   // "Nothing archived since"
    };
    Kind kind = Kind::missing;
    std::string owner;
    std::string name; // what the gap is about (a source label, a conversation, an owner)
    Date start{};
    Date end{};
    int64_t days = 0;
    std::optional<std::string> detail;

    // A quiet period is evidence that nothing was sent, not a loss; every
    // other kind is a coverage gap to attend to. Every count of gaps shown
    // (menu-bar panel, health screen, coverage screen) counts by this.
    bool needsAttention() const { return kind != Kind::quiet; }

    bool operator==(const CoverageGap&) const = default;
};

// What happened to one registered source in a run.
struct SourceOutcome {
    std::string sourceId;
    std::string owner;
    std::string format; // SourceFormat case name
    std::optional<std::string> label;
    Date scannedAt{};
    bool succeeded = false;           // the source was read (messages or not)
    std::optional<std::string> error; // why it was not read, a sentence
    bool noMessages = false;          // a format that holds no messages
    bool restartedFromBeginning = false;
    int64_t messagesRead = 0;
    int64_t messagesNew = 0;
    int64_t messagesFiltered = 0; // left out by the filter rules
    int64_t attachmentsRecorded = 0;
    int64_t attachmentsCopied = 0;
    int64_t attachmentsMissing = 0; // recorded by the source, file not there
    int64_t attachmentsRefused = 0; // path outside the source's folder: not read
    std::vector<std::string> warnings;

    bool operator==(const SourceOutcome&) const = default;
};

struct OwnerRunCount {
    std::string owner;
    std::string folder;
    int64_t uniqueMessages = 0;
    int64_t newMessages = 0;
    bool operator==(const OwnerRunCount&) const = default;
};

// The attachment-object check of a run: a spot check of `sampleSize` stored
// objects, or every object on a full sweep.
struct AttachmentVerification {
    int64_t verified = 0;      // objects whose bytes hash to their key
    int64_t missingBytes = 0;  // objects referenced by a store whose file is absent or does not hash to its key
    int64_t hashed = 0;        // objects re-hashed in this run
    int64_t storedObjects = 0; // distinct objects referenced by the stores, in all
    bool fullSweep = false;
    int64_t sampleSize = 0; // 0 on a full sweep
    int64_t copiedThisRun = 0;
    int64_t missingInSources = 0;
    int64_t refusedInSources = 0;
    bool operator==(const AttachmentVerification&) const = default;
};

struct CoverageReport {
    enum class Status { succeeded, failed };

    Status status = Status::succeeded;
    std::optional<std::string> failure; // set for a failed run
    Date runDate{};                     // when the run started
    Date finishedAt{};
    std::optional<Date> lastSuccessAt; // newest successful run known
    std::string engineVersion;
    std::optional<std::string> machineID;

    int64_t uniqueMessages = 0; // "unique messages archived"
    int64_t newMessages = 0;    // "new this run"
    int64_t duplicatesCollapsed = 0;
    int64_t corroborated = 0;
    AttachmentVerification attachments;
    std::vector<OwnerRunCount> owners;
    std::vector<SourceOutcome> sources;
    std::vector<CoverageGap> gaps;
    std::vector<std::string> errors;

    bool succeeded() const { return status == Status::succeeded; }
    bool operator==(const CoverageReport&) const = default;

    std::string toJson() const;                                             // the STATUS.json text
    static std::optional<CoverageReport> fromJson(const std::string& text); // none when it is not a report
};

} // namespace kx
