#pragma once
// Whether notifications are allowed, as the permission summary records it:
// authorized and provisional are yes, denied is no, and "not determined" and
// "unavailable" are no answer.
#include "household/model/health_notifier.h"

#include <optional>

std::optional<bool> notificationsAllowed(HealthNotifier::Authorization authorization);
