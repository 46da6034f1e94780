#pragma once
// RenameContactView: the sheet in which the user gives a handle a name of their
// own. The name is kept among the typed names (contacts-overrides.json) and
// shown instead of the handle wherever names are resolved; the archive is never
// changed.
//
// The field starts with the name the handle resolves to (empty when none is
// known). "Save" (or Return) stores the name trimmed of white space and line
// breaks and closes the sheet; a blank name is never stored. "Cancel" closes it
// and changes nothing.
#include <QDialog>

class AppModel;
class QLineEdit;
class QPushButton;

class RenameContactView : public QDialog {
    Q_OBJECT
public:
    RenameContactView(AppModel& model, const QString& handle, QWidget* parent = nullptr);

    QString handle() const { return handle_; }
    QLineEdit* nameField() const { return name_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* cancelButton() const { return cancel_; }

    void save();

private:
    void updateSaveEnabled();

    AppModel& model_;
    const QString handle_;
    QLineEdit* name_;
    QPushButton* save_;
    QPushButton* cancel_;
};
