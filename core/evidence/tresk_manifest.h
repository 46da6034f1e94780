#pragma once
// The tamper-evidence manifest: a SHA-256 hash chain over every record of an
// owner's archive (archive_records.h), in the order the archive took them in.
//
// Chain (version 2). genesis = SHA-256("kelvara-manifest-v2" 0x00 owner). For
// the i-th record (1-based), link[i] = SHA-256(link[i-1] || u64be(len) || bytes),
// where bytes are the record exactly as stored, and link[0] = genesis. The head
// is link[N] for N records.
// Records are only ever appended: a run that takes in new messages, a newer edit,
// a detail the first source lacked, another source holding a message or the bytes
// of an attachment adds records after the sealed ones, so the archive reads as
// "grown". A changed, removed, inserted or reordered record changes every link
// from its position on and reads as "broken"; so does a table the screens and
// exports read that no longer shows what the records hold.
//
// File: "tresk.manifest.json" in the owner's archive folder, beside "tresk.db",
// written atomically (0600):
//   { "kind": "kelvara-manifest", "version": 2, "hash": "sha256",
//     "owner": "...", "generatedAt": "...Z", "messageCount": M, "recordCount": N,
//     "checkpointInterval": 1000, "genesis": "<hex>", "chainHead": "<hex>",
//     "checkpoints": [ { "position": 1000, "link": "<hex of link[1000]>",
//                        "fingerprints": "<base64>" }, ... ] }
// messageCount is the number of message records ("M") among the N. There is one
// checkpoint every checkpointInterval records and a last one at N (whose link is
// the head). A checkpoint's fingerprints are the first 8 bytes of every link in
// its block (positions after the previous checkpoint up to its own), so a check
// can name the first record that differs without a full hash per record.
//
// Version 1 manifests (made before the records table) chained one canonical
// message per link (message_canonical.h) with the genesis seed
// "kelvara-manifest-v1"; they have no recordCount. They are checked with that
// form; a difference it finds cannot be told apart from details filled in by
// later runs, so it is reported as a result this version cannot judge.
//
// Verification walks the archive in the same order inside one read transaction,
// compares each link with its fingerprint and each checkpoint with its full link,
// compares the tables with the records, flags every gap in the record numbering
// (records removed after the manifest too), and re-hashes the stored attachment
// files. Outcomes: intact (0), broken (1, with the first difference), grown (2:
// every sealed record unchanged and more after them), shortened (3: every record
// still present matches but the archive ends early) and 4 (a version-1 manifest
// that found a difference). A chain kept beside the archive cannot stop someone
// who rewrites tables, records and manifest together; manifest_pin.h keeps the
// latest head outside the folder, and an anchored seal is the evidence that
// leaves the machine.
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

    static constexpr int kVersion = 2;

    struct File {
        int version = kVersion;
        std::string owner;
        Date generatedAt{};
        std::int64_t messageCount = 0;
        std::int64_t recordCount = 0; // the chain's length (version 1: one per message)
        std::string chainHead;        // lowercase hex; the genesis when there are no messages
        int checkpointInterval = 1000;
        std::string genesis;
        std::vector<Checkpoint> checkpoints;

        bool operator==(const File&) const = default;
    };

    enum class Status : std::uint8_t { intact = 0, broken = 1, grown = 2, shortened = 3, cannotJudge = 4 };

    struct FirstDifference {
        std::int64_t position = 0; // 1-based record position in insertion order
        std::string guid;          // what that record is about (see subject); empty when it cannot be known
        std::string expectedHash;  // what the manifest holds for that position (hex)
        std::string foundHash;     // what the archive gives now (hex), or why there is nothing to hash
        // What `guid` names: "message", "conversation" (a conversation key) or
        // "attachment" (an attachment GUID).
        std::string subject = "message";
    };

    struct VerificationResult {
        std::uint8_t status = 0;         // a Status value
        std::int64_t unchangedCount = 0; // messages found unchanged
        std::int64_t manifestCount = 0;  // messages the manifest covers
        std::int64_t archiveCount = 0;   // messages the archive holds now
        std::optional<FirstDifference> firstDifference;
        std::optional<std::string> note;
    };

    // One record handed to the chain: its sequence number (1, 2, 3, ... in the
    // records table) and its bytes. Return false to stop the walk early.
    using RecordVisitor = std::function<bool(std::int64_t seq, std::string_view bytes)>;
    // Calls the visitor for every record in insertion order. Throws kx::Error.
    using RecordWalk = std::function<void(const RecordVisitor&)>;

    // <root>/<owner folder>/tresk.manifest.json (ArchiveLayout). Throws kx::Error
    // for an owner that cannot name a folder inside the root ("", ".", "..", NUL).
    static std::string path(const std::string& destinationRoot, const std::string& owner);

    // Nothing when no manifest exists; throws kx::Error when it exists but
    // cannot be read or is damaged.
    static std::optional<File> read(const std::string& path);

    // Reads the archive inside one read transaction. Throws kx::Error when it
    // cannot be read, or when its tables no longer show what its records hold (a
    // manifest would vouch for records nobody sees).
    static File generate(const TreskStore& store, const std::string& owner, Date at, int checkpointInterval);
    // The chain alone, over any records.
    static File generate(const RecordWalk& walk, const std::string& owner, Date at, int checkpointInterval);

    // Writes atomically, keeping a superseded manifest as described above.
    // Throws kx::Error.
    static void write(const File& file, const std::string& path);
    // The same, but the manifest it replaces is kept beside it even when the
    // new one extends it (a person asked for a new manifest and was told so).
    static void writeKeepingPrevious(const File& file, const std::string& path);

    // Whether a check also re-hashes every stored attachment file.
    enum class AttachmentBytes : std::uint8_t { checked, notChecked };

    // Reads the archive inside one read transaction. A manifest whose own
    // fingerprint of a record is wrong while the archive gives the full link of
    // the checkpoint after it is damaged: kx::Error says so. With attachment bytes
    // checked, a stored attachment file that no longer holds the bytes its record
    // names (changed, removed, unreadable) makes the archive broken at that
    // record, naming the attachment and its message. Throws kx::Error when the
    // archive cannot be read.
    static VerificationResult verify(const TreskStore& store, const File& manifest,
                                     AttachmentBytes bytes = AttachmentBytes::checked);
    // The chain alone, over any records (version 2 manifests only).
    static VerificationResult verify(const RecordWalk& walk, const File& manifest);
};

} // namespace kx
