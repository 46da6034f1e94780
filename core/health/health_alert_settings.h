#pragma once
// The user's health-alert settings: whether to be told when archiving stops
// working, and after how many days without a run.
//
// File: "alerts.json" in the configuration directory, written atomically, mode
// 0600:   { "enabled": true, "warnAfterDays": 7 }
// Both keys are optional (a missing key keeps its default); unknown keys are
// ignored. A file that is not such an object, has a key of the wrong type, or a
// day count outside 1...3650 is damaged: load returns the defaults with the
// reason in loadProblem, and every save to that path is refused for the rest of
// the process, so the user's file is never written over.
#include <optional>
#include <string>

namespace kx {

struct HealthAlertSettings {
    bool enabled = true;   // "Tell me when archiving stops working"
    int warnAfterDays = 7; // "Warn me after"

    // Set when the file exists but could not be read; save refuses while set.
    std::optional<std::string> loadProblem;

    static constexpr int kDefaultWarnAfterDays = 7;
    static constexpr int kMaxWarnAfterDays = 3650;

    // Never fails: a missing file gives the defaults and no problem; a damaged
    // or unreadable one gives the defaults and a problem text.
    static HealthAlertSettings load(const std::string& path);

    // Writes the two settings. Throws kx::Error when the write fails (the old
    // file stays), when loadProblem is set, or when this path failed to load
    // earlier in this process.
    void save(const std::string& path) const;

    // Field-wise equality of the two settings (the load problem is not compared).
    bool sameSettings(const HealthAlertSettings& other) const {
        return enabled == other.enabled && warnAfterDays == other.warnAfterDays;
    }
};

} // namespace kx
