#pragma once
// The texts of the export sheet, the tamper-evidence panel and the
// sealed-exports panel, worked out in one place from the model's values.
#include "app/model/owner_manifest_state.h"
#include "app/ui/style.h"
#include "core/evidence/export_format.h"

#include <QString>

#include <optional>

namespace reading {

// The file name the save dialog suggests for an export: the conversation's
// name with "/" and ":" turned into "-", control characters and line breaks
// dropped, white space trimmed, leading dots turned into "-", at most 200
// bytes of UTF-8 (never cutting a character), "Conversation" when nothing is
// left; then "." and the format's extension.
QString suggestedExportFileName(const QString& conversationName, kx::ExportFormat format);
// What an export in a format holds, as the sheet says under its picker.
QString exportFormatDescription(kx::ExportFormat format);
// The line under "Not anchored yet": the reason (or that the seal server could
// not be reached) and that the anchor is retried at the next launch.
QString deferredAnchorText(const std::optional<std::string>& anchorProblem);

// One state of the tamper-evidence panel: a label with a symbol and colour,
// and the line under it (empty: none).
struct ManifestStateText {
    QString label;
    QString symbol;
    std::optional<Tone> tone; // none: secondary text colour; for `present`, the text colour
    QString detail;
    // A broken result with a first difference: its two lines.
    QString differenceLine;
    QString hashesLine;
};
ManifestStateText manifestStateText(const OwnerManifestState& state);
// "Dec 9, 2026, 3:41 PM" of a manifest's generation time.
QString manifestDate(kx::Date generatedAt);
// The first 16 characters of a chain head followed by "…".
QString shortHead(const std::string& chainHead);
// The question asked before a new manifest replaces the one sealed then.
QString replaceManifestQuestion(kx::Date generatedAt);

// "2 seals waiting to be anchored".
QString waitingSealsText(int count);

} // namespace reading
