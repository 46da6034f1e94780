#include "app/model/permissions_notifications.h"

std::optional<bool> notificationsAllowed(HealthNotifier::Authorization authorization) {
    switch (authorization) {
        case HealthNotifier::Authorization::authorized:
        case HealthNotifier::Authorization::provisional: return true;
        case HealthNotifier::Authorization::denied: return false;
        case HealthNotifier::Authorization::notDetermined:
        case HealthNotifier::Authorization::unavailable: return std::nullopt;
    }
    return std::nullopt;
}
