#pragma once
// RecoveryKeyPanel: a freshly created or revealed recovery phrase, what it is
// for, Copy and Save to a File, and the box to tick before Continue records
// that the phrase was saved. The backup screen shows it while the model holds
// a pending phrase.
//
// The panel is made for one owner and that owner's phrase, both fixed when it
// is built: it never shows one owner's name beside another's phrase, the file
// it saves names the owner the phrase is for, and Continue confirms nothing
// once the model no longer holds this phrase for this owner.
#include "app/ui/screen_widgets.h"

#include <QString>

class BackupModel;
class QCheckBox;
class QPushButton;

class RecoveryKeyPanel : public TintedBox {
    Q_OBJECT
public:
    RecoveryKeyPanel(BackupModel& backup, const QString& phrase, QWidget* parent = nullptr);

    QString owner() const { return owner_; }
    QString phrase() const { return phrase_; }
    bool copied() const { return copied_; }

    // Puts the phrase on the clipboard (marked as a secret).
    void copyPhrase();
    // Asks for a file and writes the recovery-key text file (0600, atomically).
    void saveToFile();
    // Records the confirmation (BackupKeysModel::confirmRecoverySaved).
    void continueAction();

    // The text file's content for this owner and phrase, created `created`.
    static QString fileText(const QString& owner, const QString& phrase, const QString& created);

    QPushButton* copyButton() const { return copy_; }
    QPushButton* saveButton() const { return save_; }
    QCheckBox* confirmBox() const { return confirm_; }
    QPushButton* continueButton() const { return continue_; }

private:
    BackupModel& backup_;
    QString owner_;
    QString phrase_;
    bool copied_ = false;
    QPushButton* copy_;
    QPushButton* save_;
    QCheckBox* confirm_;
    QPushButton* continue_;
};
