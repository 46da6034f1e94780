#include "core/health/health_alert_settings.h"

#include "core/platform/error.h"
#include "core/platform/json_file.h"

#include <filesystem>

namespace kx {

namespace {

// Paths whose file failed to load in this process; saves to them are refused
// until the next start, even from a settings value made afresh.
DamagedFiles damagedFiles;

} // namespace

HealthAlertSettings HealthAlertSettings::load(const std::string& path) {
    HealthAlertSettings out;
    const JsonLoad loaded = loadJsonFile(path);
    if (loaded.state == JsonLoad::State::missing) {
        damagedFiles.forget(path);
        return out;
    }
    std::string problem;
    if (loaded.state == JsonLoad::State::damaged) {
        problem = loaded.problem;
    } else if (!loaded.value.is_object()) {
        problem = "the file does not hold notification settings";
    } else {
        const auto& j = loaded.value;
        HealthAlertSettings read;
        if (auto it = j.find("enabled"); it != j.end()) {
            if (!it->is_boolean()) problem = "\"enabled\" is not true or false";
            else read.enabled = it->get<bool>();
        }
        if (auto it = j.find("warnAfterDays"); problem.empty() && it != j.end()) {
            if (!it->is_number_integer()) {
                problem = "\"warnAfterDays\" is not a whole number";
            } else {
                const auto days = it->get<long long>();
                if (days < 1 || days > kMaxWarnAfterDays) problem = "\"warnAfterDays\" is not between 1 and 3650";
                else read.warnAfterDays = static_cast<int>(days);
            }
        }
        if (problem.empty()) {
            damagedFiles.forget(path);
            return read;
        }
    }
    out.loadProblem = problem;
    damagedFiles.remember(path, problem);
    return out;
}

void HealthAlertSettings::save(const std::string& path) const {
    if (loadProblem) throw Error(blockedSaveText(path, *loadProblem));
    if (auto problem = damagedFiles.problem(path)) throw Error(blockedSaveText(path, *problem));
    if (warnAfterDays < 1 || warnAfterDays > kMaxWarnAfterDays)
        throw Error("the warning period of " + std::to_string(warnAfterDays) + " days is not between 1 and 3650 days");
    nlohmann::json j;
    j["enabled"] = enabled;
    j["warnAfterDays"] = warnAfterDays;
    saveJsonFile(path, j);
}

} // namespace kx
