#pragma once
// Posts health alerts as desktop notifications and tracks whether Kelvara may.
#include "core/health/health_alert.h"

#include <QDateTime>
#include <QObject>
#include <QString>

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

    explicit HealthNotifier(QObject* parent = nullptr);

    Authorization authorization() const { return authorization_; }
    // Empty when the last delivery had no problem.
    QString lastPostError() const { return lastPostError_; }
    // Invalid when nothing was posted yet.
    QDateTime lastPostedAt() const { return lastPostedAt_; }

    // Re-reads whether notifications are allowed.
    void refreshAuthorization();
    // Posts one notification per alert; returns how many were posted.
    int deliver(const std::vector<kx::HealthAlert>& alerts);

signals:
    void authorizationChanged();
    void lastPostErrorChanged();
    void lastPostedAtChanged();

protected:
    void setAuthorization(Authorization a);
    void setLastPostError(const QString& e);
    void setLastPostedAt(const QDateTime& t);

private:
    Authorization authorization_ = Authorization::notDetermined;
    QString lastPostError_;
    QDateTime lastPostedAt_;
};
