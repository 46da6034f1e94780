#pragma once
// OnboardingModel: the state of the first-run flow. AppModel creates it on first
// use (AppModel::onboarding) and the main window presents the onboarding sheet
// while shouldShow() is true. It reads the rest of the application only through
// the Inputs its creator hands it, so it does not depend on AppModel.
//
// This holds what decides whether the flow is shown: the two stored flags
// ("onboardingCompleted", "onboardingSkipped" in the user defaults), whether the
// flow was reopened from the Help menu, and whether it has finished. The steps
// themselves (welcome, Full Disk Access, archive choice, first scan) build on it.
#include <QObject>

#include <functional>

class OnboardingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool explicitlyOpened READ explicitlyOpened WRITE setExplicitlyOpened NOTIFY explicitlyOpenedChanged)
    Q_PROPERTY(bool isFinished READ isFinished WRITE setIsFinished NOTIFY isFinishedChanged)
    Q_PROPERTY(bool completedFlag READ completedFlag WRITE setCompletedFlag NOTIFY completedFlagChanged)
    Q_PROPERTY(bool skippedFlag READ skippedFlag WRITE setSkippedFlag NOTIFY skippedFlagChanged)
    Q_PROPERTY(bool shouldShow READ shouldShow NOTIFY shouldShowChanged)

public:
    // What the flow reads from the rest of the application.
    struct Inputs {
        // Whether any source is registered. Whoever changes the registry calls
        // sourcesChanged() afterwards. Empty: none is.
        std::function<bool()> hasSources;
    };

    // Starts not finished and not explicitly opened.
    explicit OnboardingModel(Inputs inputs, QObject* parent = nullptr);

    // The source registry changed: shouldShow() may have changed with it.
    void sourcesChanged();

    // The flow was reopened from "Set Up Kelvara…", so it shows even after it
    // was completed or skipped and while sources exist.
    bool explicitlyOpened() const { return explicitlyOpened_; }
    // The flow ended (completed, set up later, or the sheet was closed).
    bool isFinished() const { return isFinished_; }
    // Bound to the user default "onboardingCompleted" (false when unset).
    bool completedFlag() const;
    // Bound to the user default "onboardingSkipped" (false when unset).
    bool skippedFlag() const;
    void setExplicitlyOpened(bool v);
    void setIsFinished(bool v);
    void setCompletedFlag(bool v);
    void setSkippedFlag(bool v);

    // False once finished; true when explicitly opened; otherwise true exactly
    // when no source is registered and onboarding was neither completed nor skipped.
    bool shouldShow() const;
    // Restarts the flow from the welcome step, shown even after it was completed
    // or skipped. The stored flags keep their values.
    void reopen();

signals:
    void explicitlyOpenedChanged();
    void isFinishedChanged();
    void completedFlagChanged();
    void skippedFlagChanged();
    // After anything shouldShow() reads may have changed (including the source
    // registry); observers read shouldShow() again.
    void shouldShowChanged();
    // The flow was restarted by reopen().
    void reopened();

private:
    Inputs inputs_;
    bool explicitlyOpened_ = false;
    bool isFinished_ = false;
};
