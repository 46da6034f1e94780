#pragma once
// The desktop's notification service, behind a small interface so that the
// health notifier can be tested without a desktop.
//
// Every call is asynchronous in the platform's way: `done` runs later on the GUI
// thread (or at once, for a double that answers synchronously). A center that
// is destroyed before answering never calls `done`.
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

struct NotificationRequest {
    QString identifier; // "kx.alert.stale": a later request with the same identifier replaces it
    QString title;
    QString body;
    bool defaultSound = true;
};

class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;

    // The platform's permission status: 0 not determined, 1 denied, 2 authorized,
    // 3 provisional; any other value means notifications are unavailable.
    virtual void readAuthorizationStatus(std::function<void(int status)> done) = 0;
    // Withdraws the waiting and shown notifications posted under these
    // identifiers. Failures are not reported.
    virtual void removeNotifications(const QStringList& identifiers) = 0;
    // Posts a notification at once; `done` gets the reason when it was refused.
    virtual void add(const NotificationRequest& request, std::function<void(std::optional<QString> error)> done) = 0;
};

// The process-wide center: the desktop notification service on the session bus,
// unless a test installed another. Created on first use (needs the Qt application).
std::shared_ptr<NotificationCenter> currentNotificationCenter();
void setNotificationCenterForTesting(std::shared_ptr<NotificationCenter> center);
