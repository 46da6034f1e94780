#pragma once
// ArchiveChoiceStep: the third onboarding step. Two cards: start a new archive
// (with the name this Mac's messages are archived under, which can be changed,
// and a warning when the archive root already holds other people's archives),
// or join an archive that already exists, through the household's join sheet
// on a join flow of this step's own (made by the factory it is given).
//
// The choice and whether a join happened live in the OnboardingModel; the step
// keeps only its join flow and the name editor, both of which start afresh
// when the step is left and entered again.
#include "core/health/onboarding.h"
#include "setup/onboarding/join_flow.h"

#include <QFrame>
#include <QPointer>

class AppModel;
class OnboardingModel;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace setup {

class SymbolLine;

// One of the two choices: a radio mark, a titled symbol, a line of detail and,
// when selected, the choice's details below. A click anywhere on it chooses it.
class ChoiceCard : public QFrame {
    Q_OBJECT
public:
    ChoiceCard(const QString& title, const QString& symbol, const QString& name, QWidget* parent = nullptr);
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    void setDetail(const QString& detail);
    QLabel* detailLabel() const { return detail_; }
    QString radioSymbol() const;
    // Where the details go; shown only while the card is selected.
    QVBoxLayout* details() const { return details_; }

signals:
    void chosen();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refreshAccessibility();

    QString title_;
    bool selected_ = false;
    QLabel* radio_;
    QLabel* detail_;
    QWidget* detailsBox_;
    QVBoxLayout* details_;
};

class ArchiveChoiceStep : public QWidget {
    Q_OBJECT
public:
    ArchiveChoiceStep(AppModel& model, const JoinFlowFactory& joinFlows, OnboardingModel& onboarding,
                      QWidget* parent = nullptr);
    ~ArchiveChoiceStep() override;

    ChoiceCard* startNewCard() const { return startNew_; }
    ChoiceCard* joinCard() const { return join_; }
    QLineEdit* nameEditor() const { return nameEditor_; }
    QPushButton* changeButton() const { return change_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* pasteCodeButton() const { return pasteCode_; }
    // The join sheet while it is open.
    QDialog* joinSheet() const;

    void chooseOption(kx::Onboarding::ArchiveChoice choice);
    void startEditingName();
    void saveName();
    void openJoinSheet();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void refreshSaveEnabled();
    void joinSheetClosed();

    AppModel& model_;
    OnboardingModel& onboarding_;
    JoinFlow* joinFlow_;
    QPointer<QDialog> joinSheet_;
    bool editingName_ = false;

    ChoiceCard* startNew_;
    ChoiceCard* join_;
    QLabel* owner_;
    QLineEdit* nameEditor_;
    QPushButton* change_;
    QPushButton* save_;
    SymbolLine* separateWarning_;
    SymbolLine* joined_;
    QPushButton* pasteCode_;
    QLabel* pasteHint_;
};

} // namespace setup
