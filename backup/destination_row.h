#pragma once
// DestinationRow: one destination on the backup screen. Its header says what
// kind of place it is, how independent of this computer, where it points and
// when it was last verified; below it the destination's own caveat, then the
// four actions (Test Connection, Back Up Archive, Shared Status, Disconnect)
// and, while the model holds one, the shared-status list.
//
// The row is built for one configuration and replaced, not updated, when the
// list changes. Its caveat is worked out once, off the GUI thread, when the row
// is built (building the destination reads the keyring; a locked keyring is not
// asked again on every repaint), and shown when it comes. The actions' enabled state follows the model's busy flag and
// the application's archive owners; once "Disconnect" is pressed, no action is
// taken until the model has answered (the row is then normally replaced).
#include "app/model/destination_config.h"
#include "app/ui/screen_widgets.h"

#include <QString>
#include <QStringList>

class AppModel;
class BackupModel;
class QLabel;
class QMenu;
class QPushButton;
class QVBoxLayout;

class DestinationRow : public TintedBox {
    Q_OBJECT
public:
    DestinationRow(AppModel& model, BackupModel& backup, DestinationConfig config, QWidget* parent = nullptr);

    const DestinationConfig& config() const { return config_; }
    // Empty until the destination has been built, and when it has none.
    QString caveat() const { return caveat_; }

    // Backs up this computer's owner's archive to the destination.
    void backUp();
    void showSharedStatus();

    // The "Back Up Archive" menu's line about other owners, or null when
    // every archive owner is this computer's owner.
    static QString otherOwnersLine(const QStringList& archiveOwners, const QString& thisOwner);

    QPushButton* testButton() const { return test_; }
    QPushButton* backUpButton() const { return backUp_; }
    QMenu* backUpMenu() const { return menu_; }
    QPushButton* sharedStatusButton() const { return shared_; }
    QPushButton* disconnectButton() const { return disconnect_; }
    QWidget* sharedStatusBlock() const { return sharedBlock_; }

private:
    void finishRemoving();
    void refreshActions();
    void refreshSharedStatus();
    void fillMenu();
    QStringList archiveOwners() const;

    AppModel& model_;
    BackupModel& backup_;
    const DestinationConfig config_;
    QString caveat_;
    QPushButton* test_;
    QPushButton* backUp_;
    QMenu* menu_;
    QPushButton* shared_;
    QPushButton* disconnect_;
    QWidget* sharedBlock_;
    QVBoxLayout* sharedRows_;
    bool removing_ = false;
};
