#include "core/archive/report_formatter.h"

#include "core/platform/escape.h"

#include <chrono>
#include <cstdio>

namespace kx {

std::string ReportFormatter::shellQuote(const std::string& text) {
    std::string out = "$'";
    for (unsigned char c : text) {
        if (c == '\'') out += "\\'";
        else appendBackslashEscaped(out, c);
    }
    return out + "'";
}

std::string ReportFormatter::commentText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
    return out;
}

namespace {

std::string counts(const SourceDeletionReport& s) {
    return std::to_string(s.messagesRead) + " messages read, " + std::to_string(s.messagesInArchive) +
           " in the archive, " + std::to_string(s.uniqueMessages) + " found only here; " +
           std::to_string(s.attachments) + " attachments, " + std::to_string(s.hashVerifiedAttachments) +
           " hash-verified";
}

std::string sourceName(const SourceDeletionReport& s) {
    std::string name = "\"" + s.sourceId + "\"";
    if (!s.label.empty()) name += " (" + s.label + ")";
    return ReportFormatter::commentText(name);
}

} // namespace

std::string ReportFormatter::deletionDryRunScript(const DeletionSafetyReport& report) {
    return deletionDryRunScript(report, std::chrono::system_clock::now());
}

std::string ReportFormatter::deletionDryRunScript(const DeletionSafetyReport& report, Date now) {
    std::string out;
    out += "#!/bin/bash\n";
    out += "# Kelvara deletion dry run, written " + formatISO8601(now) + ".\n";
    out += "#\n";
    out += "# This script deletes nothing as written: every delete line is commented out,\n";
    out += "# and the lines that run only print what deleting would do.\n";
    out += "# Only sources Kelvara verified as redundant (every message and every attachment\n";
    out += "# already safely in the archive) have a delete line. Read each one before you\n";
    out += "# decide; deleting a source cannot be undone.\n";
    out += "set -eu\n\n";

    int64_t redundant = 0;
    for (const auto& s : report.sources) {
        const bool safe = s.verdict == SourceDeletionReport::Verdict::verifiedRedundant;
        out += "# Source " + sourceName(s) + ": " +
               (safe                                                      ? "verified redundant"
                : s.verdict == SourceDeletionReport::Verdict::doNotDelete ? "do not delete"
                                                                          : "not known to be safe") +
               ".\n";
        out += "#   " + counts(s) + ".\n";
        for (const auto& reason : s.reasons) out += "#   " + commentText(reason) + "\n";
        if (safe && !s.path.empty()) {
            ++redundant;
            out += "printf 'Would delete: %s\\n' " + shellQuote(s.path) + "\n";
            out += "# rm -rf -- " + shellQuote(s.path) + "\n";
        } else {
            out += "printf 'Keeping: %s\\n' " + shellQuote(s.path.empty() ? s.sourceId : s.path) + "\n";
        }
        out += "\n";
    }
    out += "printf '%s\\n' " +
           shellQuote(std::to_string(redundant) + " of " + std::to_string(report.sources.size()) +
                      " sources verified redundant. Nothing was deleted.") +
           "\n";
    return out;
}

} // namespace kx
