#pragma once
// RestoreKeyView: the sheet in which the owner types a recovery phrase saved
// earlier. "Restore" (enabled once the phrase holds more than white space)
// hands it, exactly as typed, to BackupKeysModel::restoreKey and closes the sheet;
// the outcome shows on the backup screen. "Cancel" closes it and changes nothing.
#include <QDialog>

class BackupModel;
class QPlainTextEdit;
class QPushButton;

class RestoreKeyView : public QDialog {
    Q_OBJECT
public:
    explicit RestoreKeyView(BackupModel& backup, QWidget* parent = nullptr);

    bool canRestore() const;
    void restore();

    QPlainTextEdit* phraseEditor() const { return phrase_; }
    QPushButton* restoreButton() const { return restore_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    BackupModel& backup_;
    QPlainTextEdit* phrase_;
    QPushButton* cancel_;
    QPushButton* restore_;
};
