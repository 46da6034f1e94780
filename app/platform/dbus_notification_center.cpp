#include "app/platform/dbus_notification_center.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

constexpr int kCallTimeoutMs = 5000;

QDBusMessage call(const char* method) {
    return QDBusMessage::createMethodCall(DBusNotificationCenter::kService, DBusNotificationCenter::kPath,
                                          DBusNotificationCenter::kInterface, method);
}

} // namespace

DBusNotificationCenter::DBusNotificationCenter(QDBusConnection connection, QObject* parent)
    : QObject(parent), connection_(std::move(connection)) {
    if (connection_.isConnected())
        connection_.connect(kService, kPath, kInterface, "NotificationClosed", this,
                            SLOT(onNotificationClosed(uint, uint)));
}

void DBusNotificationCenter::readAuthorizationStatus(std::function<void(int)> done) {
    if (!connection_.isConnected()) {
        done(-1);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call("GetServerInformation"), kCallTimeoutMs),
                                                this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        done(w->isError() ? -1 : 2);
    });
}

void DBusNotificationCenter::removeNotifications(const QStringList& identifiers) {
    for (const auto& identifier : identifiers) {
        const auto it = shown_.find(identifier);
        if (it == shown_.end()) continue;
        if (connection_.isConnected()) {
            QDBusMessage m = call("CloseNotification");
            m << it->second;
            connection_.asyncCall(m, kCallTimeoutMs);
        }
        shown_.erase(it);
    }
}

void DBusNotificationCenter::add(const NotificationRequest& request, std::function<void(std::optional<QString>)> done) {
    if (!connection_.isConnected()) {
        done(QStringLiteral("There is no session bus to reach the desktop notification service."));
        return;
    }
    const auto it = shown_.find(request.identifier);
    const uint replaces = it == shown_.end() ? 0u : it->second;
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kelvara"));
    if (request.defaultSound) hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    QDBusMessage m = call("Notify");
    m << QStringLiteral("Kelvara") << replaces << QString() << request.title << request.body << QStringList() << hints
      << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(m, kCallTimeoutMs), this);
    const QString identifier = request.identifier;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier, done = std::move(done)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    const QString message = reply.error().message();
                    done(message.isEmpty() ? reply.error().name() : message);
                    return;
                }
                // A notification shown under another identifier with the same id
                // was replaced by the server: forget it there.
                const uint id = reply.value();
                for (auto i = shown_.begin(); i != shown_.end();)
                    i = (i->second == id && i->first != identifier) ? shown_.erase(i) : std::next(i);
                shown_[identifier] = id;
                done(std::nullopt);
            });
}

void DBusNotificationCenter::onNotificationClosed(uint id, uint) {
    for (auto i = shown_.begin(); i != shown_.end();) i = i->second == id ? shown_.erase(i) : std::next(i);
}
