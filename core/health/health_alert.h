#pragma once
// One current health problem, as the health screen lists it and the notifier
// posts it.
#include <string>

namespace kx {

struct HealthAlert {
    enum class Kind { neverRan, runFailed, stale, sourceUnreachable, destinationUnreachable };
    Kind kind = Kind::neverRan;
    std::string title; // short heading ("Archiving has never run")
    std::string body;  // what is wrong and what to do, as whole sentences

    bool operator==(const HealthAlert&) const = default;
};

// The notification identifier of a kind: "kx.alert.neverRan", "kx.alert.runFailed",
// "kx.alert.stale", "kx.alert.sourceUnreachable", "kx.alert.destinationUnreachable".
std::string notificationIdentifier(HealthAlert::Kind kind);

} // namespace kx
