#pragma once
// The command line the daily schedule runs.
//
// The scheduled run is `kxctl ingest` with the same registry, archive root,
// filters and machine identity the application uses, so a night's run archives
// exactly what "Scan All Sources" would:
//
//   <engine> ingest --registry <sources.json> --root <archive root>
//            [--filters <filters.json>] [--machine-id <id>] [--copy-attachments]
//
// "--filters" is passed whenever a filters path is given, whether or not the file
// exists yet: the engine reads a missing filters file as "no rules", and rules the
// user saves later then apply to the next night's run without installing the
// schedule again. An empty filters path or machine identity is left out entirely
// (an empty value would be an argument the engine cannot use).
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ScheduleArguments {
    // The only environment variable a scheduled run gets; the access probe runs the
    // engine with the same value so it tests the same context.
    static constexpr const char* kPath = "/usr/bin:/bin:/usr/sbin:/sbin";

    // The complete argument list, the engine's own path first.
    static std::vector<std::string> ingest(const std::string& enginePath, const std::string& registryPath,
                                           const std::string& destinationRoot,
                                           const std::optional<std::string>& filtersPath,
                                           const std::optional<std::string>& machineID, bool copyAttachments);
};

} // namespace kx
