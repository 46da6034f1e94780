#include "core/evidence/export_and_seal.h"

#include "core/archive/archive_layout.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/conversation_exporter.h"
#include "core/evidence/sealer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace kx {

SealFile exportAndSeal(const ExportRequest& request, const ContactResolver& resolver) {
    // Throws for an owner that cannot name a folder inside the root.
    const OwnerPaths paths = ArchiveLayout(request.archiveRoot).owner(request.owner);
    if (!fs::isRegularFile(paths.database)) throw Error("there is no archive at " + paths.database);
    const TreskStore store(paths.database);
    const ConversationExporter exporter(store, request.owner, paths.attachments, resolver, ExportTimeZone::current(),
                                        ConversationExporter::kDefaultPageSize);
    const auto written = exporter.write(request.conversationKey, request.format, request.destinationPath, request.now,
                                        request.appVersion);
    const auto head = Sealer::manifestHead(request.archiveRoot, request.owner);
    return Sealer::seal(request.destinationPath, written.sha256, written.size, request.format, written.description,
                        head, request.appVersion, request.now);
}

} // namespace kx
