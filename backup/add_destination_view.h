#pragma once
// AddDestinationView: the sheet in which the user adds a backup destination.
// The user picks one of the eight kinds; folder kinds show their warning and
// ask for a folder (typed, pasted or chosen), object stores ask for the
// account or region, the bucket and the keys. What is typed survives a change
// of kind for the life of the sheet. "Add" is enabled once the kind's fields
// hold text and none of the account id, region or bucket is refused by the
// core's checks (the refusal is said under the fields, so a name that cannot be
// used never becomes a request). "Add" hands a new configuration with a fresh
// id, and the keys for object stores, to BackupDestinationsModel::addDestination;
// while the keyring stores them the sheet says so and takes no input and cannot
// be closed, then it closes, and a failure shows on the backup screen. The sheet
// stores and tests nothing itself.
#include "app/model/destination_config.h"
#include "core/keys/owner_keys.h"

#include <QDialog>

class BackupModel;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;

class AddDestinationView : public QDialog {
    Q_OBJECT
public:
    explicit AddDestinationView(BackupModel& backup, QWidget* parent = nullptr);

    DestinationConfig::Kind kind() const;
    void setKind(DestinationConfig::Kind kind);
    bool canAdd() const;
    // The sentence under the fields, or null when nothing is refused.
    QString problem() const;
    // What "Add" hands to the model.
    DestinationConfig configuration() const;
    std::optional<kx::TreskKeychain::DestinationCredentials> credentials() const;
    void add();
    // "Add" was pressed and the model has not answered yet.
    bool isAdding() const { return adding_; }
    // "Choose…": the folder chooser.
    void chooseFolder();
    // The warning shown for a folder kind, or empty text for object stores.
    static QString folderWarning(DestinationConfig::Kind kind);

    QComboBox* kindPicker() const { return kind_; }
    QLineEdit* accountIDField() const { return accountID_; }
    QLineEdit* regionField() const { return region_; }
    QLineEdit* bucketField() const { return bucket_; }
    QLineEdit* accessKeyIDField() const { return accessKeyID_; }
    QLineEdit* secretKeyField() const { return secretKey_; }
    QLineEdit* folderField() const { return localRoot_; }
    QPushButton* chooseButton() const { return choose_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* cancelButton() const { return cancel_; }

    // Closes the sheet, except while adding: the answer is shown after it.
    void reject() override;

private:
    void refresh();

    BackupModel& backup_;
    QComboBox* kind_;
    QWidget* warning_;
    QLabel* warningText_;
    QFormLayout* form_;
    QLineEdit* accountID_;
    QLineEdit* region_;
    QLineEdit* bucket_;
    QLineEdit* accessKeyID_;
    QLineEdit* secretKey_;
    QLabel* keychainNote_;
    QLineEdit* localRoot_;
    QPushButton* choose_;
    QWidget* folderRow_;
    QWidget* problemLine_;
    QLabel* problemText_;
    QWidget* busy_;
    QPushButton* cancel_;
    QPushButton* add_;
    bool adding_ = false;
};
