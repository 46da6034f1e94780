#include "setup/model/onboarding_model.h"

#include "app/platform/user_defaults.h"

OnboardingModel::OnboardingModel(Inputs inputs, QObject* parent) : QObject(parent), inputs_(std::move(inputs)) {
    for (auto sig : {&OnboardingModel::isFinishedChanged, &OnboardingModel::explicitlyOpenedChanged,
                     &OnboardingModel::completedFlagChanged, &OnboardingModel::skippedFlagChanged})
        connect(this, sig, this, &OnboardingModel::shouldShowChanged);
}

void OnboardingModel::sourcesChanged() { emit shouldShowChanged(); }

bool OnboardingModel::completedFlag() const { return userDefaults().flag(DefaultsKey::onboardingCompleted); }

bool OnboardingModel::skippedFlag() const { return userDefaults().flag(DefaultsKey::onboardingSkipped); }

void OnboardingModel::setCompletedFlag(bool v) {
    if (v == completedFlag()) return;
    userDefaults().setFlag(DefaultsKey::onboardingCompleted, v);
    emit completedFlagChanged();
}

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
    const bool hasSources = inputs_.hasSources && inputs_.hasSources();
    return !hasSources && !completedFlag() && !skippedFlag();
}

void OnboardingModel::reopen() {
    setIsFinished(false);
    setExplicitlyOpened(true);
    emit reopened();
}
