#pragma once
// BackupView: the Backup screen. Top to bottom: what backups are for, where the
// archive lives today, the key steps in their fixed order (the recovery-key
// panel while a phrase is pending, else the create-key card while there is no
// key, else the save-recovery card until the phrase is confirmed), the notice
// about an older shared key, the model's last result and last error, the
// progress of a running backup, and the destinations with their rows.
//
// Everything shown is BackupModel's published state, redrawn when it changes;
// every button calls a model operation or opens one of the two sheets, each
// made afresh with empty fields whenever it opens.
//
// While the last read of the keyring failed, the create-key card's button is
// disabled and the card says why: whether a key exists is unknown, and a second
// key would leave everything already backed up unreadable.
#include <QString>
#include <QWidget>

class AddDestinationView;
class AppModel;
class BackupModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class RestoreKeyView;
class WhereMyArchiveLivesPanel;

class BackupView : public QWidget {
    Q_OBJECT
public:
    BackupView(AppModel& model, BackupModel& backup, QWidget* parent = nullptr);

    // Which of the key area's parts shows.
    enum class KeyArea { none, recoveryPanel, createCard, saveCard };
    KeyArea keyArea() const { return keyArea_; }

    void presentAddDestination();
    void presentRestoreKey();
    AddDestinationView* addSheet() const { return addSheet_; }
    RestoreKeyView* restoreSheet() const { return restoreSheet_; }

    QPushButton* addDestinationButton() const { return addDestination_; }

private:
    void refreshKeyArea();
    void refreshLegacyNotice();
    void refreshMessages();
    void refreshProgress();
    void rebuildDestinations();
    QWidget* buildCreateKeyCard();
    QWidget* buildSaveRecoveryCard();
    QWidget* buildLegacyNotice();

    AppModel& model_;
    BackupModel& backup_;
    KeyArea keyArea_ = KeyArea::none;
    bool keyAreaBuilt_ = false;
    QString keyAreaShownFor_; // owner and phrase the key area was built for
    QVBoxLayout* keySlot_;
    QVBoxLayout* legacySlot_;
    QWidget* resultBox_;
    QLabel* resultText_;
    QWidget* errorBox_;
    QLabel* errorText_;
    QWidget* progressBox_;
    QLabel* progressText_;
    QProgressBar* progressBar_;
    QPushButton* addDestination_;
    QLabel* noDestinations_;
    QVBoxLayout* rows_;
    AddDestinationView* addSheet_ = nullptr;
    RestoreKeyView* restoreSheet_ = nullptr;
};
