#pragma once
// Texts made from analysis results for the user to keep or read.
#include "core/archive/deletion_safety.h"
#include "core/platform/time.h"

#include <string>

namespace kx {

struct ReportFormatter {
    // A bash script that only shows what deleting the verified-redundant sources
    // would do. As written it deletes nothing: every delete line is commented out,
    // and the lines that do run only print. Every path is written with bash's
    // $'...' quoting, with quotes, backslashes, control characters and newlines
    // escaped, so no path can end a comment, break out of its quotes or become a
    // command — not even when the user uncomments a delete line. Sources that are
    // not verified redundant are listed for information with their reasons, never
    // with a delete line.
    static std::string deletionDryRunScript(const DeletionSafetyReport& report, Date now);
    static std::string deletionDryRunScript(const DeletionSafetyReport& report);

    // `text` as one bash $'...' word.
    static std::string shellQuote(const std::string& text);
    // `text` made safe for one comment line: control characters become spaces.
    static std::string commentText(const std::string& text);
};

} // namespace kx
