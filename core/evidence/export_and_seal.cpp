#include "core/evidence/export_and_seal.h"

#include "core/archive/archive_layout.h"
#include "core/archive/archive_records.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/conversation_exporter.h"
#include "core/evidence/export_destination.h"
#include "core/evidence/manifest_pin.h"
#include "core/evidence/sealer.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace kx {

namespace {

using Status = TreskManifest::Status;

// Why the archive's state cannot be vouched for, or nothing when it can.
std::optional<std::string> whyNotSealable(const TreskManifest::VerificationResult& r) {
    switch (static_cast<Status>(r.status)) {
    case Status::intact:
    case Status::grown: return std::nullopt;
    case Status::broken: {
        std::string why = "the archive has changed since its manifest was made";
        if (r.firstDifference) {
            why += " (first difference at record " + std::to_string(r.firstDifference->position);
            if (!r.firstDifference->guid.empty())
                why += ", " + r.firstDifference->subject + " " + r.firstDifference->guid;
            why += ")";
        }
        return why + "; check it under Tamper-evidence";
    }
    case Status::shortened:
        return "records the archive's manifest covers are missing from the end of the archive; check it under "
               "Tamper-evidence";
    default:
        return "the archive's manifest was made by an earlier version of Kelvara and cannot be checked by this one; "
               "generate a new manifest under Tamper-evidence, then export again";
    }
}

} // namespace

SealFile exportAndSeal(const ExportRequest& request, const ContactResolver& resolver) {
    if (auto problem = exportDestinationProblem(request.destinationPath, request.archiveRoot, request.configDir))
        throw Error(*problem);
    // Throws for an owner that cannot name a folder inside the root.
    const OwnerPaths paths = ArchiveLayout(request.archiveRoot).owner(request.owner);
    if (!fs::isRegularFile(paths.database)) throw Error("there is no archive at " + paths.database);
    const TreskStore store(paths.database);

    // The state a seal may vouch for: the archive checked against its manifest.
    std::optional<TreskManifest::File> manifest;
    std::optional<std::string> unsealable;
    bool intact = false;
    // The latest head Kelvara made, pinned outside the archive folder; a keyring
    // that cannot be read leaves the check to the chain.
    std::optional<PinnedHead> pinned;
    if (request.keyring) {
        try {
            pinned = ManifestPins(request.keyring).pinned(request.owner);
        } catch (const Error&) {
        }
    }
    try {
        manifest = TreskManifest::read(paths.manifest);
        unsealable = pinnedHeadProblem(manifest, pinned);
        if (manifest && !unsealable) {
            // The attachments the export lists are re-hashed as it is written.
            const auto r = TreskManifest::verify(store, *manifest, TreskManifest::AttachmentBytes::notChecked);
            unsealable = whyNotSealable(r);
            intact = r.status == static_cast<std::uint8_t>(Status::intact);
        }
    } catch (const Error& e) {
        unsealable = "the archive could not be checked against its manifest (" + std::string(e.what()) + ")";
    }

    const ConversationExporter exporter(store, request.owner, paths.attachments, resolver, ExportTimeZone::current(),
                                        ConversationExporter::kDefaultPageSize);
    const auto written = exporter.write(request.conversationKey, request.format, request.destinationPath, request.now,
                                        request.appVersion);
    if (unsealable) throw UnsealedExport(*unsealable);
    if (written.attachmentProblem) throw UnsealedExport(written.attachmentProblem->what());

    // The head must cover every record the export shows. Records are only ever
    // appended, so a manifest made now (after the export was read) covers them.
    bool covered = false;
    if (manifest && manifest->version >= TreskManifest::kVersion) {
        const auto last = records::lastRecordOfConversation(paths.database, request.conversationKey);
        covered = last ? *last <= manifest->recordCount : intact;
    }
    if (!covered) {
        try {
            manifest = TreskManifest::generate(store, request.owner, request.now, 1000);
            TreskManifest::write(*manifest, paths.manifest);
        } catch (const Error& e) {
            throw UnsealedExport("no manifest could be made for the archive (" + std::string(e.what()) + ")");
        }
        if (request.keyring) {
            try {
                ManifestPins(request.keyring).pin(request.owner, *manifest);
            } catch (const Error&) {
                // Not pinned: the next check still accepts this manifest, whose
                // chain passes through the head pinned before it.
            }
        }
    }
    return Sealer::seal(request.destinationPath, written.sha256, written.size, request.format, written.description,
                        manifest->chainHead, request.appVersion, request.now);
}

} // namespace kx
