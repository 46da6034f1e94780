#include "household/model/health_notifier.h"

HealthNotifier::HealthNotifier(QObject* parent) : QObject(parent) {}

void HealthNotifier::refreshAuthorization() {}

int HealthNotifier::deliver(const std::vector<kx::HealthAlert>& alerts) {
    (void)alerts;
    return 0;
}

void HealthNotifier::setAuthorization(Authorization a) {
    if (a == authorization_) return;
    authorization_ = a;
    emit authorizationChanged();
}

void HealthNotifier::setLastPostError(const QString& e) {
    if (e == lastPostError_) return;
    lastPostError_ = e;
    emit lastPostErrorChanged();
}

void HealthNotifier::setLastPostedAt(const QDateTime& t) {
    if (t == lastPostedAt_) return;
    lastPostedAt_ = t;
    emit lastPostedAtChanged();
}
