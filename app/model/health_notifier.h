#pragma once
// Posts health alerts as desktop notifications and tracks whether Kelvara may.
//
// All members are used on the GUI thread. deliver, sendTest and
// refreshAuthorization finish asynchronously: their `done` callbacks run once
// the notification center has answered (never after the notifier is gone).
// At most one notification per alert kind is on screen: a kind's identifier
// ("kx.alert.stale", ...) depends on the kind only.
#include "app/platform/notification_center.h"
#include "core/health/health_alert.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class HealthNotifier : public QObject {
    Q_OBJECT
    Q_PROPERTY(Authorization authorization READ authorization NOTIFY authorizationChanged)
    Q_PROPERTY(QString lastPostError READ lastPostError NOTIFY lastPostErrorChanged)
    Q_PROPERTY(QDateTime lastPostedAt READ lastPostedAt NOTIFY lastPostedAtChanged)

public:
    enum class Authorization { notDetermined, authorized, provisional, denied, unavailable };
    Q_ENUM(Authorization)

    static constexpr const char* kTestIdentifier = "kx.alert.test";
    static constexpr const char* kTestTitle = "Kelvara notifications are working";
    static constexpr const char* kTestBody =
        "You will only be alerted when a run fails or the archive goes stale, never when everything is fine.";

    // Uses the process-wide notification center.
    explicit HealthNotifier(QObject* parent = nullptr);
    HealthNotifier(std::shared_ptr<NotificationCenter> center, QObject* parent = nullptr);

    Authorization authorization() const { return authorization_; }
    // Null when the last delivery or test had no problem.
    QString lastPostError() const { return lastPostError_; }
    // Invalid when nothing was posted yet.
    QDateTime lastPostedAt() const { return lastPostedAt_; }
    NotificationCenter& center() const { return *center_; }

    // The platform status (0-3) as an Authorization; anything else is unavailable.
    static Authorization authorizationFromStatus(int status);
    static bool allowsPosting(Authorization a) {
        return a == Authorization::authorized || a == Authorization::provisional;
    }

    // Re-reads whether notifications are allowed; `done` runs afterwards.
    void refreshAuthorization(std::function<void()> done = {});
    // Asks for permission to notify. The desktop notification service has no
    // permission prompt: this reads the answer it already has.
    void requestAuthorization(std::function<void()> done = {}) { refreshAuthorization(std::move(done)); }
    // Posts one notification per alert, one after another, after withdrawing
    // those shown for the same kinds; `done` gets how many were posted.
    void deliver(const std::vector<kx::HealthAlert>& alerts, std::function<void(int)> done = {});
    // Posts the test notification; `done` gets whether it was posted.
    void sendTest(std::function<void(bool)> done = {});
    // Withdraws the notifications of every alert kind that is not in
    // `stillActive`, so a problem that went away does not stay on screen.
    void withdrawCleared(const std::vector<kx::HealthAlert>& stillActive);

    // Written by the settings window when asking for permission fails.
    void setLastPostError(const QString& e);

signals:
    void authorizationChanged();
    void lastPostErrorChanged();
    void lastPostedAtChanged();

protected:
    void setAuthorization(Authorization a);
    void setLastPostedAt(const QDateTime& t);

private:
    struct Delivery;
    void postNext(std::shared_ptr<Delivery> d);

    std::shared_ptr<NotificationCenter> center_;
    Authorization authorization_ = Authorization::notDetermined;
    QString lastPostError_;
    QDateTime lastPostedAt_;
};
