#pragma once
// JoinArchiveView: the sheet in which this Mac joins an archive that already
// lives on shared storage. It follows a JoinModel's stage: the code editor
// (entry, and failed with the failure below it), what will happen (confirming,
// with the new-archive warning and the folder row when they apply), the step
// under way (working: nothing can be pressed and the sheet cannot be closed),
// and the result (joined). After a join it installs the daily schedule when
// asked to.
//
// The pasted code is emptied when the sheet closes, however it closes.
#include <QDialog>

class AppModel;
class DestinationList;
class JoinModel;
class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;

class JoinArchiveView : public QDialog {
    Q_OBJECT
public:
    JoinArchiveView(JoinModel& join, AppModel& model, DestinationList& destinations, bool installSchedule,
                    QWidget* parent = nullptr);

    void checkThisCode();
    void chooseFolder();
    void performJoin();
    // "Done": refreshes the household, then closes.
    void finishJoin();

    QPlainTextEdit* codeEditor() const { return editor_; }
    QPushButton* button(const QString& objectName) const;
    QCheckBox* scheduleToggle() const { return schedule_; }

    // Closes the sheet, except while a join is under way.
    void reject() override;

private:
    void rebuild();
    void refreshCheckEnabled();
    QWidget* buildEntry();
    QWidget* buildConfirming();
    QWidget* buildJoined();

    JoinModel& join_;
    AppModel& model_;
    DestinationList& destinationList_;
    bool installSchedule_;
    bool scheduleAfterJoin_ = false; // a join started here is under way
    QVBoxLayout* slot_;
    QWidget* page_ = nullptr;
    QVBoxLayout* content_ = nullptr;
    QPlainTextEdit* editor_ = nullptr;
    QCheckBox* schedule_ = nullptr;
    QPushButton* check_ = nullptr;
    QPushButton* joinButton_ = nullptr;
};
