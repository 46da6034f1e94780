#pragma once
// Whether a source's files could be deleted without losing anything: every
// message and attachment it holds must already be safely in the archive.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct SourceDeletionReport {
    enum class Verdict { verifiedRedundant, doNotDelete, unknown };
    std::string sourceId;
    std::string path;  // the source's folder or file
    std::string label; // how the user named it (may be empty)
    int64_t messagesRead = 0;
    int64_t messagesInArchive = 0;
    int64_t uniqueMessages = 0; // found only in this source
    int64_t attachments = 0;
    int64_t hashVerifiedAttachments = 0;
    Verdict verdict = Verdict::unknown;
    std::vector<std::string> reasons;   // sentences a person understands
    std::optional<int64_t> bytesOnDisk; // size of the source's files, when measured
    bool operator==(const SourceDeletionReport&) const = default;
};

struct DeletionSafetyReport {
    std::vector<SourceDeletionReport> sources; // one per registered source
    // The number of sources whose verdict is verified redundant.
    int64_t safeCount() const {
        int64_t n = 0;
        for (const auto& s : sources) n += s.verdict == SourceDeletionReport::Verdict::verifiedRedundant;
        return n;
    }
    const SourceDeletionReport* find(const std::string& sourceId) const {
        for (const auto& s : sources)
            if (s.sourceId == sourceId) return &s;
        return nullptr;
    }
    bool operator==(const DeletionSafetyReport&) const = default;
};

} // namespace kx
