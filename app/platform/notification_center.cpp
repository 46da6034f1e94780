#include "app/platform/notification_center.h"

#include "app/platform/dbus_notification_center.h"

#include <QCoreApplication>

#include <mutex>

namespace {

std::mutex gMutex;
std::shared_ptr<NotificationCenter> gCenter;

void releaseCenter() {
    std::lock_guard lock(gMutex);
    gCenter.reset();
}

} // namespace

std::shared_ptr<NotificationCenter> currentNotificationCenter() {
    std::lock_guard lock(gMutex);
    if (!gCenter) {
        gCenter = std::make_shared<DBusNotificationCenter>(QDBusConnection::sessionBus());
        // The bus connection must go before the application object does, not
        // with the other statics at exit.
        qAddPostRoutine(releaseCenter);
    }
    return gCenter;
}

void setNotificationCenterForTesting(std::shared_ptr<NotificationCenter> center) {
    std::lock_guard lock(gMutex);
    gCenter = std::move(center);
}
