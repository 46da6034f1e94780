#include "setup/model/onboarding_model.h"

#include "app/model/app_model.h"
#include "app/platform/user_defaults.h"

OnboardingModel::OnboardingModel(AppModel& model, QObject* parent) : QObject(parent), model_(model) {}

bool OnboardingModel::skippedFlag() const { return userDefaults().flag(DefaultsKey::onboardingSkipped); }

void OnboardingModel::setSkippedFlag(bool v) {
    if (v == skippedFlag()) return;
    userDefaults().setFlag(DefaultsKey::onboardingSkipped, v);
    emit skippedFlagChanged();
}

void OnboardingModel::setExplicitlyOpened(bool v) {
    if (v == explicitlyOpened_) return;
    explicitlyOpened_ = v;
    emit explicitlyOpenedChanged();
}

void OnboardingModel::setIsFinished(bool v) {
    if (v == isFinished_) return;
    isFinished_ = v;
    emit isFinishedChanged();
}

bool OnboardingModel::shouldShow() const {
    if (isFinished_) return false;
    if (explicitlyOpened_) return true;
    return model_.registry().sources().empty() && !userDefaults().flag(DefaultsKey::onboardingCompleted) &&
           !userDefaults().flag(DefaultsKey::onboardingSkipped);
}

void OnboardingModel::reopen() {
    setIsFinished(false);
    setExplicitlyOpened(true);
}
