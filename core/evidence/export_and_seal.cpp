#include "core/evidence/export_and_seal.h"

#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/conversation_exporter.h"
#include "core/evidence/sealer.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace kx {

SealFile exportAndSeal(const ExportRequest& request, const ContactResolver& resolver) {
    const std::string folder = fs::appendComponent(request.archiveRoot, ownerFolderName(request.owner));
    const std::string database = fs::appendComponent(folder, "tresk.db");
    if (!fs::isRegularFile(database)) throw Error("there is no archive at " + database);
    const TreskStore store(database);
    const ConversationExporter exporter(store, request.owner, fs::appendComponent(folder, "attachments"), resolver,
                                        ExportTimeZone::current(), ConversationExporter::kDefaultPageSize);
    const auto written = exporter.write(request.conversationKey, request.format, request.destinationPath,
                                        request.now, request.appVersion);
    const auto head = Sealer::manifestHead(request.archiveRoot, request.owner);
    return Sealer::seal(request.destinationPath, written.bytes, request.format, written.description, head,
                        request.appVersion, request.now);
}

} // namespace kx
