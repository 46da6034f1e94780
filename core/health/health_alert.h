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

    // The title and the body as one text: "Archive drive not found. Kelvara cannot…"
    std::string sentence() const { return title + ". " + body; }

    bool operator==(const HealthAlert&) const = default;
};

// The notification identifier of a kind: "kx.alert.neverRan", "kx.alert.runFailed",
// "kx.alert.stale", "kx.alert.sourceUnreachable", "kx.alert.destinationUnreachable".
std::string notificationIdentifier(HealthAlert::Kind kind);

} // namespace kx
