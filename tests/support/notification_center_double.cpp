#include "tests/support/notification_center_double.h"

QStringList FakeNotificationCenter::shownIdentifiers() const { return shown_; }

void FakeNotificationCenter::removeNotifications(const QStringList& identifiers) {
    removals.push_back(identifiers);
    for (const auto& id : identifiers) shown_.removeAll(id);
}

void FakeNotificationCenter::add(const NotificationRequest& request, std::function<void(std::optional<QString>)> done) {
    added.push_back(request);
    if (refuseTitles.contains(request.title)) {
        done(refusal);
        return;
    }
    shown_.removeAll(request.identifier);
    shown_.push_back(request.identifier);
    done(std::nullopt);
}
