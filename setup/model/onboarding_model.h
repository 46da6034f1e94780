#pragma once
// The first-run flow: which step is showing and whether the main window presents
// the onboarding sheet at all.
#include <QObject>

class AppModel;

class OnboardingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool explicitlyOpened READ explicitlyOpened WRITE setExplicitlyOpened NOTIFY explicitlyOpenedChanged)
    Q_PROPERTY(bool isFinished READ isFinished WRITE setIsFinished NOTIFY isFinishedChanged)
    Q_PROPERTY(bool skippedFlag READ skippedFlag WRITE setSkippedFlag NOTIFY skippedFlagChanged)

public:
    explicit OnboardingModel(AppModel& model, QObject* parent = nullptr);

    bool explicitlyOpened() const { return explicitlyOpened_; }
    bool isFinished() const { return isFinished_; }
    // Bound to the user default "onboardingSkipped".
    bool skippedFlag() const;
    void setExplicitlyOpened(bool v);
    void setIsFinished(bool v);
    void setSkippedFlag(bool v);

    // False once finished; true when explicitly opened; otherwise true exactly
    // when no source is registered and onboarding was neither completed nor skipped.
    bool shouldShow() const;
    // Restarts the flow from the welcome step, shown even after it was completed.
    void reopen();

signals:
    void explicitlyOpenedChanged();
    void isFinishedChanged();
    void skippedFlagChanged();

private:
    AppModel& model_;
    bool explicitlyOpened_ = false;
    bool isFinished_ = false;
};
