#pragma once
// AddSourceView: the sheet in which the user registers a message source by
// hand (a Messages folder, a live Messages database or an iOS device backup).
// It starts empty every time; "Add" stays disabled until identifier, owner and
// path are filled, something exists at the path, the identifier is not
// registered yet and the owner can name an archive. Each refusal other than an
// empty field is said in a sentence under the form. "Add" registers the source,
// saves the registry and closes the sheet; it does not scan.
#include "core/sources/source.h"

#include <QDialog>

class AppModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace sources {

class AddSourceView : public QDialog {
    Q_OBJECT
public:
    explicit AddSourceView(AppModel& model, QWidget* parent = nullptr);

    bool canAdd() const;
    // Registers the source (as typed) and closes; does nothing while !canAdd().
    void add();

    QLineEdit* identifierField() const { return id_; }
    QLineEdit* ownerField() const { return owner_; }
    QLineEdit* labelField() const { return label_; }
    QLineEdit* pathField() const { return path_; }
    QComboBox* formatPicker() const { return format_; }
    QPushButton* chooseButton() const { return choose_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* cancelButton() const { return cancel_; }
    kx::SourceFormat format() const;
    // The sentences currently shown under the form (path, identifier, owner).
    QStringList problems() const;

private:
    void revalidate();
    void chooseFolder();

    AppModel& model_;
    QLineEdit* id_;
    QLineEdit* owner_;
    QLineEdit* label_;
    QComboBox* format_;
    QLineEdit* path_;
    QPushButton* choose_;
    QWidget* pathWarning_;
    QLabel* idProblem_;
    QLabel* ownerProblem_;
    QPushButton* cancel_;
    QPushButton* add_;
    bool pathExists_ = false;
    QString ownerProblemText_;
};

} // namespace sources
