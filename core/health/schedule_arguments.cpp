#include "core/health/schedule_arguments.h"

namespace kx {

std::vector<std::string> ScheduleArguments::ingest(const std::string& enginePath, const std::string& registryPath,
                                                   const std::string& destinationRoot,
                                                   const std::optional<std::string>& filtersPath,
                                                   const std::optional<std::string>& machineID, bool copyAttachments) {
    std::vector<std::string> args{enginePath, "ingest", "--registry", registryPath, "--root", destinationRoot};
    if (filtersPath && !filtersPath->empty()) {
        args.push_back("--filters");
        args.push_back(*filtersPath);
    }
    if (machineID && !machineID->empty()) {
        args.push_back("--machine-id");
        args.push_back(*machineID);
    }
    if (copyAttachments) args.push_back("--copy-attachments");
    return args;
}

} // namespace kx
