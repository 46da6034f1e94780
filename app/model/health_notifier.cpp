#include "app/model/health_notifier.h"

#include "core/health/health_alert_policy.h"

#include <QPointer>

namespace {

QString identifierOf(kx::HealthAlert::Kind kind) { return QString::fromStdString(kx::notificationIdentifier(kind)); }

constexpr kx::HealthAlert::Kind kAllKinds[] = {kx::HealthAlert::Kind::neverRan, kx::HealthAlert::Kind::runFailed,
                                               kx::HealthAlert::Kind::stale, kx::HealthAlert::Kind::sourceUnreachable,
                                               kx::HealthAlert::Kind::destinationUnreachable};

} // namespace

struct HealthNotifier::Delivery {
    std::vector<kx::HealthAlert> alerts;
    size_t next = 0;
    int posted = 0;
    QStringList failures;
    std::function<void(int)> done;
};

HealthNotifier::HealthNotifier(QObject* parent) : HealthNotifier(currentNotificationCenter(), parent) {}

HealthNotifier::HealthNotifier(std::shared_ptr<NotificationCenter> center, QObject* parent)
    : QObject(parent), center_(std::move(center)) {}

HealthNotifier::Authorization HealthNotifier::authorizationFromStatus(int status) {
    switch (status) {
    case 0: return Authorization::notDetermined;
    case 1: return Authorization::denied;
    case 2: return Authorization::authorized;
    case 3: return Authorization::provisional;
    default: return Authorization::unavailable;
    }
}

void HealthNotifier::refreshAuthorization(std::function<void()> done) {
    QPointer<HealthNotifier> self(this);
    center_->readAuthorizationStatus([self, done = std::move(done)](int status) {
        if (!self) return;
        self->setAuthorization(authorizationFromStatus(status));
        if (done) done();
    });
}

void HealthNotifier::deliver(const std::vector<kx::HealthAlert>& alerts, std::function<void(int)> done) {
    if (alerts.empty()) {
        if (done) done(0);
        return;
    }
    if (!allowsPosting(authorization_)) {
        setLastPostError("Notifications are not permitted, so " + QString::number(alerts.size()) + " health " +
                         "alert(s) could not be shown. They are still listed in the Health panel.");
        if (done) done(0);
        return;
    }
    QStringList identifiers;
    for (const auto& a : alerts) identifiers << identifierOf(a.kind);
    center_->removeNotifications(identifiers);

    auto d = std::make_shared<Delivery>();
    d->alerts = alerts;
    d->done = std::move(done);
    postNext(std::move(d));
}

void HealthNotifier::postNext(std::shared_ptr<Delivery> d) {
    if (d->next == d->alerts.size()) {
        setLastPostError(d->failures.isEmpty() ? QString() : d->failures.join("; "));
        if (d->posted > 0) setLastPostedAt(QDateTime::currentDateTimeUtc());
        if (d->done) d->done(d->posted);
        return;
    }
    const auto& alert = d->alerts[d->next++];
    NotificationRequest request;
    request.identifier = identifierOf(alert.kind);
    request.title = QString::fromStdString(kx::HealthAlertPolicy::title(alert.kind));
    request.body = QString::fromStdString(alert.body);
    QPointer<HealthNotifier> self(this);
    center_->add(request, [self, d, title = request.title](std::optional<QString> error) {
        if (!self) return;
        if (error) d->failures << title + ": " + *error;
        else ++d->posted;
        self->postNext(d);
    });
}

void HealthNotifier::sendTest(std::function<void(bool)> done) {
    if (!allowsPosting(authorization_)) {
        setLastPostError("Notifications are not permitted, so the test could not be sent.");
        if (done) done(false);
        return;
    }
    NotificationRequest request{kTestIdentifier, kTestTitle, kTestBody, true};
    QPointer<HealthNotifier> self(this);
    center_->add(request, [self, done = std::move(done)](std::optional<QString> error) {
        if (!self) return;
        if (error) {
            self->setLastPostError(*error);
        } else {
            self->setLastPostError(QString());
            self->setLastPostedAt(QDateTime::currentDateTimeUtc());
        }
        if (done) done(!error);
    });
}

void HealthNotifier::withdrawCleared(const std::vector<kx::HealthAlert>& stillActive) {
    QStringList cleared;
    for (auto kind : kAllKinds) {
        bool active = false;
        for (const auto& a : stillActive) active = active || a.kind == kind;
        if (!active) cleared << identifierOf(kind);
    }
    if (!cleared.isEmpty()) center_->removeNotifications(cleared);
}

void HealthNotifier::setAuthorization(Authorization a) {
    if (a == authorization_) return;
    authorization_ = a;
    emit authorizationChanged();
}

void HealthNotifier::setLastPostError(const QString& e) {
    if (e == lastPostError_ && e.isNull() == lastPostError_.isNull()) return;
    lastPostError_ = e;
    emit lastPostErrorChanged();
}

void HealthNotifier::setLastPostedAt(const QDateTime& t) {
    if (t == lastPostedAt_) return;
    lastPostedAt_ = t;
    emit lastPostedAtChanged();
}
