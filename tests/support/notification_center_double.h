#pragma once
// A notification center that answers at once and records what was asked.
#include "app/platform/notification_center.h"

#include <vector>

class FakeNotificationCenter final : public NotificationCenter {
public:
    int status = 2;
    // Requests whose title is in this list are refused with `refusal`.
    QStringList refuseTitles;
    QString refusal = "The notification service refused the request.";

    std::vector<NotificationRequest> added; // in order
    std::vector<QStringList> removals;      // each removeNotifications call
    QStringList shownIdentifiers() const;   // what is on screen now, oldest first
    int statusReads = 0;

    void readAuthorizationStatus(std::function<void(int)> done) override {
        ++statusReads;
        done(status);
    }
    void removeNotifications(const QStringList& identifiers) override;
    void add(const NotificationRequest& request, std::function<void(std::optional<QString>)> done) override;

private:
    QStringList shown_;
};
