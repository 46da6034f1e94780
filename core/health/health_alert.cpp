#include "core/health/health_alert.h"

namespace kx {

std::string notificationIdentifier(HealthAlert::Kind kind) {
    switch (kind) {
    case HealthAlert::Kind::neverRan: return "kx.alert.neverRan";
    case HealthAlert::Kind::runFailed: return "kx.alert.runFailed";
    case HealthAlert::Kind::stale: return "kx.alert.stale";
    case HealthAlert::Kind::sourceUnreachable: return "kx.alert.sourceUnreachable";
    case HealthAlert::Kind::destinationUnreachable: return "kx.alert.destinationUnreachable";
    }
    return "kx.alert.neverRan";
}

} // namespace kx
