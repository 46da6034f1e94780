#pragma once
// The tamper-evidence manifest: a SHA-256 hash chain over every message of an
// owner's archive, in the order the archive took them in.
//
// Chain. genesis = SHA-256("kelvara-manifest-v1" 0x00 owner). For the i-th
// message (1-based), link[i] = SHA-256(link[i-1] || u64be(len) || canonical),
// where canonical is the message's canonical bytes (see message_canonical.h)
// and link[0] = genesis. The head is link[N] for N messages.
// Because the chain follows insertion order, messages archived later (from a
// newer source, or an older source imported later) only extend it: such an
// archive reads as "grown". A changed, removed, inserted or reordered message
// changes every link from its position on and reads as "broken".
//
// File: "tresk.manifest.json" in the owner's archive folder, beside "tresk.db",
// written atomically (0600):
//   { "kind": "kelvara-manifest", "version": 1, "hash": "sha256",
//     "owner": "...", "generatedAt": "...Z", "messageCount": N,
//     "checkpointInterval": 1000, "genesis": "<hex>", "chainHead": "<hex>",
//     "checkpoints": [ { "position": 1000, "link": "<hex of link[1000]>",
//                        "fingerprints": "<base64>" }, ... ] }
// There is one checkpoint every checkpointInterval messages and a last one at N
// (whose link is the head). A checkpoint's fingerprints are the first 8 bytes of
// every link in its block (positions after the previous checkpoint up to its
// own), so a check can name the first message that differs without keeping a
// full hash per message (8 bytes per message: 8 MB of fingerprints, about
// 11 MB of text, for a million messages).
//
// Verification walks the archive in the same order and compares each link with
// its fingerprint and each checkpoint with its full link. Outcomes: intact (0),
// broken (1, with the first difference), grown (2: every sealed message
// unchanged and more after them) and shortened (3: every message still present
// matches but the archive ends early).
//
// Replacing a manifest: writing over a manifest whose chain the new one does not
// extend (the archive no longer matches the old evidence) keeps the old file as
// "tresk.manifest.superseded-<old generation time>.json" beside the new one.
#include "core/archive/archive_layout.h"
#include "core/platform/time.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

class TreskStore;

class TreskManifest {
public:
    static constexpr const char* kFileName = ArchiveLayout::kManifestFile;

    struct Checkpoint {
        std::int64_t position = 0; // messages covered up to here
        std::string link;          // link[position], lowercase hex
        std::string fingerprints;  // 8 raw bytes per message of the block

        bool operator==(const Checkpoint&) const = default;
    };

    struct File {
        std::string owner;
        Date generatedAt{};
        std::int64_t messageCount = 0;
        std::string chainHead; // lowercase hex; the genesis when there are no messages
        int checkpointInterval = 1000;
        std::string genesis;
        std::vector<Checkpoint> checkpoints;

        bool operator==(const File&) const = default;
    };

    enum class Status : std::uint8_t { intact = 0, broken = 1, grown = 2, shortened = 3 };

    struct FirstDifference {
        std::int64_t position = 0; // 1-based position in insertion order
        std::string guid;          // the archive's message at that position; empty when there is none
        std::string expectedHash;  // what the manifest holds for that position (hex)
        std::string foundHash;     // what the archive gives now (hex)
    };

    struct VerificationResult {
        std::uint8_t status = 0;         // a Status value
        std::int64_t unchangedCount = 0; // messages found unchanged
        std::int64_t manifestCount = 0;  // messages the manifest covers
        std::int64_t archiveCount = 0;   // messages the archive holds now
        std::optional<FirstDifference> firstDifference;
        std::optional<std::string> note;
    };

    // One message handed to the chain: its guid and canonical bytes. Return
    // false to stop the walk early.
    using MessageVisitor = std::function<bool(const std::string& guid, std::string_view canonical)>;
    // Calls the visitor for every message in insertion order. Throws kx::Error.
    using MessageWalk = std::function<void(const MessageVisitor&)>;

    // <root>/<owner folder>/tresk.manifest.json (ArchiveLayout). Throws kx::Error
    // for an owner that cannot name a folder inside the root ("", ".", "..", NUL).
    static std::string path(const std::string& destinationRoot, const std::string& owner);

    // Nothing when no manifest exists; throws kx::Error when it exists but
    // cannot be read or is damaged.
    static std::optional<File> read(const std::string& path);

    // Throws kx::Error when the archive cannot be read.
    static File generate(const TreskStore& store, const std::string& owner, Date at, int checkpointInterval);
    static File generate(const MessageWalk& walk, const std::string& owner, Date at, int checkpointInterval);

    // Writes atomically, keeping a superseded manifest as described above.
    // Throws kx::Error.
    static void write(const File& file, const std::string& path);

    // Throws kx::Error when the archive cannot be read.
    static VerificationResult verify(const TreskStore& store, const File& manifest);
    static VerificationResult verify(const MessageWalk& walk, const File& manifest);
};

} // namespace kx
