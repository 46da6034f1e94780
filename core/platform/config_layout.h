#pragma once
// The files of Kelvara's configuration folder that the application opens by
// path, in one place. Stored settings depend on these names, so they never
// change:
//
//   <config>/sources.json             the source list (source.h)
//   <config>/filters.json             the archiving filters (filter_set.h)
//   <config>/contacts-overrides.json  names typed for handles (contact_overrides.h)
//   <config>/alerts.json              the health alert settings (health_alert_settings.h)
//   <config>/destinations.json        the backup destinations
//   <config>/resume-state.json        a backup's resume state (backup_engine.h)
//
// The stores that find their own file in the folder name it themselves
// (household_store.h, machine_identity.h, pending_anchor_store.h).
#include "core/platform/fs.h"

#include <array>
#include <string>
#include <string_view>

namespace kx {

class ConfigLayout {
public:
    static constexpr const char* kSourcesFile = "sources.json";
    static constexpr const char* kFiltersFile = "filters.json";
    static constexpr const char* kContactOverridesFile = "contacts-overrides.json";
    static constexpr const char* kAlertsFile = "alerts.json";
    static constexpr const char* kDestinationsFile = "destinations.json";
    static constexpr const char* kResumeStateFile = "resume-state.json";
    // Every name above.
    static constexpr std::array<std::string_view, 6> kFileNames = {kSourcesFile,          kFiltersFile,
                                                                   kContactOverridesFile, kAlertsFile,
                                                                   kDestinationsFile,     kResumeStateFile};

    explicit ConfigLayout(std::string folder) : folder_(std::move(folder)) {}

    const std::string& folder() const { return folder_; }
    std::string sources() const { return file(kSourcesFile); }
    std::string filters() const { return file(kFiltersFile); }
    std::string contactOverrides() const { return file(kContactOverridesFile); }
    std::string alerts() const { return file(kAlertsFile); }
    std::string destinations() const { return file(kDestinationsFile); }
    std::string resumeState() const { return file(kResumeStateFile); }

private:
    std::string file(const char* name) const { return fs::appendComponent(folder_, name); }
    std::string folder_;
};

} // namespace kx
