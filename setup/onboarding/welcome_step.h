#pragma once
// WelcomeStep: the first onboarding step. What Messages itself keeps (its
// "Keep messages" setting, with a warning headline when it deletes old
// messages), how many messages the live database holds and how much space the
// attachments take, what Kelvara does with them, and two buttons: "Open
// Messages" and "Re-read this setting".
//
// The count and the size are read in the background; their rows say
// "Measuring…" until the reading is in.
//
// Linux has no Messages application: "Open Messages" opens the folder that
// holds the live Messages database.
#include <QWidget>

class OnboardingModel;
class QLabel;
class QPushButton;

namespace setup {

class SymbolLine;

class WelcomeStep : public QWidget {
    Q_OBJECT
public:
    explicit WelcomeStep(OnboardingModel& onboarding, QWidget* parent = nullptr);

    QPushButton* openMessagesButton() const { return openMessages_; }
    QPushButton* rereadButton() const { return reread_; }

private:
    void refresh();

    OnboardingModel& onboarding_;
    SymbolLine* headline_;
    QLabel* body_;
    QLabel* keep_;
    QLabel* live_;
    QLabel* attachments_;
    QPushButton* openMessages_;
    QPushButton* reread_;
};

} // namespace setup
