#include "core/archive/machine_run_report.h"

#include "core/archive/archive_layout.h"
#include "core/household/machine_report.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace kx {

std::string MachineRunReport::toJson() const {
    nlohmann::ordered_json doc;
    doc["formatVersion"] = 1;
    doc["machineID"] = machineID;
    doc["computerName"] = computerName;
    doc["runAt"] = formatISO8601(runAt);
    doc["succeeded"] = succeeded;
    doc["messageCount"] = messageCount;
    auto arr = nlohmann::ordered_json::array();
    for (const auto& o : owners) arr.push_back({{"owner", o.owner}, {"messageCount", o.messageCount}});
    doc["owners"] = std::move(arr);
    return doc.dump(2) + "\n";
}

std::optional<MachineRunReport> MachineRunReport::fromJson(const std::string& text) {
    try {
        const auto doc = nlohmann::json::parse(text);
        if (!doc.is_object()) return std::nullopt;
        if (doc.contains("formatVersion") &&
            (!doc["formatVersion"].is_number_integer() || doc["formatVersion"].get<int>() > 1))
            return std::nullopt;
        MachineRunReport r;
        if (!doc.contains("machineID") || !doc["machineID"].is_string()) return std::nullopt;
        r.machineID = doc["machineID"].get<std::string>();
        if (!isValidMachineID(r.machineID)) return std::nullopt;
        if (doc.contains("computerName") && doc["computerName"].is_string())
            r.computerName = doc["computerName"].get<std::string>();
        if (!doc.contains("runAt") || !doc["runAt"].is_string()) return std::nullopt;
        const auto at = parseISO8601(doc["runAt"].get<std::string>());
        if (!at) return std::nullopt;
        r.runAt = *at;
        if (doc.contains("succeeded")) {
            if (!doc["succeeded"].is_boolean()) return std::nullopt;
            r.succeeded = doc["succeeded"].get<bool>();
        }
        if (!doc.contains("messageCount") || !doc["messageCount"].is_number_integer()) return std::nullopt;
        r.messageCount = doc["messageCount"].get<int64_t>();
        if (doc.contains("owners")) {
            if (!doc["owners"].is_array()) return std::nullopt;
            for (const auto& o : doc["owners"]) {
                if (!o.is_object() || !o.contains("owner") || !o["owner"].is_string() || !o.contains("messageCount") ||
                    !o["messageCount"].is_number_integer())
                    return std::nullopt;
                r.owners.push_back({o["owner"].get<std::string>(), o["messageCount"].get<int64_t>()});
            }
        }
        return r;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void MachineRunReport::write(const std::string& root) const {
    fs::writeFileAtomic(ArchiveLayout(root).machineReport(machineID), toJson());
}

std::vector<MachineRunReport> MachineRunReport::readAll(const std::string& root) {
    std::vector<MachineRunReport> out;
    std::error_code ec;
    std::filesystem::directory_iterator it(root, ec), end;
    if (ec) return out;
    const std::string suffix = ArchiveLayout::kMachineReportSuffix;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const std::string name = it->path().filename().string();
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        try {
            const auto bytes = fs::readFileIfExists(it->path());
            if (!bytes || bytes->size() > (1 << 20)) continue;
            auto r = fromJson(*bytes);
            // The file must be the report of the machine it is named after.
            if (r && name == r->machineID + suffix) out.push_back(std::move(*r));
        } catch (const Error&) {
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.machineID < b.machineID; });
    return out;
}

} // namespace kx
