#pragma once
// OnboardingView: the first-run sheet. A header (the step's title, "Step n of
// 4", its subtitle and a progress bar), the current step's view with the step's
// gate and the flow's last error below it in a scrolling column, and a footer
// with "Set this up later", "Back" and the advance button.
//
// Everything shown comes from the OnboardingModel; the gate and the advance
// button's title and state are asked of the core afresh on every change of the
// model's state. Return presses the advance button unless its gate blocks it.
//
// "Set this up later" records the flow as skipped and finished; the main
// window closes the sheet when the flow finishes (and does the same three
// writes when the sheet is closed from outside: Escape, the close button).
// Each step's view is made when the step is entered and dropped when it is
// left, so what a step keeps for itself (the archive choice's join flow and
// name editor) starts afresh on the next visit.
#include "core/health/onboarding.h"
#include "setup/onboarding/join_flow.h"

#include <QWidget>

class AppModel;
class OnboardingModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace setup {

class SymbolLine;

class OnboardingView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 620;
    static constexpr int kHeight = 580;

    // `joinFlows` makes the archive choice's join flow each time that step is entered.
    OnboardingView(AppModel& model, JoinFlowFactory joinFlows, OnboardingModel& onboarding, QWidget* parent = nullptr);

    static QString title(kx::Onboarding::Step step);
    static QString subtitle(kx::Onboarding::Step step);

    // The view of the step on screen (replaced when the step changes).
    QWidget* stepView() const { return stepView_; }
    QPushButton* laterButton() const { return later_; }
    QPushButton* backButton() const { return back_; }
    QPushButton* advanceButton() const { return advance_; }

    // "Set this up later".
    void setUpLater();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildFooter();
    void showStep();
    void refreshState();
    void refreshError();

    AppModel& model_;
    JoinFlowFactory joinFlows_;
    OnboardingModel& onboarding_;
    bool appeared_ = false;
    QLabel* title_ = nullptr;
    QLabel* counter_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QWidget* header_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* content_ = nullptr;
    QWidget* stepView_ = nullptr;
    SymbolLine* gate_ = nullptr;
    SymbolLine* error_ = nullptr;
    QPushButton* later_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* advance_ = nullptr;
};

} // namespace setup
