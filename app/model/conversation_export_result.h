#pragma once
// ConversationExportResult: what a conversation export produced, as
// EvidenceModel hands it back (EvidenceModel::ExportResult).
#include "core/evidence/seal_file.h"

#include <optional>
#include <string>

struct ConversationExportResult {
    std::string exportPath;                   // the written export
    kx::SealFile seal;                        // the seal after the anchoring attempt
    std::optional<std::string> anchorProblem; // why the seal waits; nothing when anchored
};
