#pragma once
// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus).
//
//  - Authorization: the service answers GetServerInformation -> authorized (2);
//    no session bus, or no service on it -> unavailable (-1). The desktop has no
//    permission prompt of its own.
//  - add: Notify, with replaces_id = the id of the notification currently shown
//    under the same identifier, so a newer alert of one kind takes the place of
//    the older one instead of stacking up.
//  - removeNotifications: CloseNotification for each identifier's shown id.
// Ids are known only for notifications this process posted; the server's
// NotificationClosed signal drops those the user dismissed.
#include "app/platform/notification_center.h"

#include <QDBusConnection>
#include <QObject>

#include <map>

class DBusNotificationCenter final : public QObject, public NotificationCenter {
    Q_OBJECT

public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";

    explicit DBusNotificationCenter(QDBusConnection connection, QObject* parent = nullptr);

    void readAuthorizationStatus(std::function<void(int)> done) override;
    void removeNotifications(const QStringList& identifiers) override;
    void add(const NotificationRequest& request, std::function<void(std::optional<QString>)> done) override;

private slots:
    void onNotificationClosed(uint id, uint reason);

private:
    QDBusConnection connection_;
    std::map<QString, uint> shown_; // identifier -> server id
};
