#pragma once
// WhichArchivePanel: shown above the sources screen's content while this
// machine's archive owner waits for confirmation. The user adds this machine's
// messages to an existing archive or starts a new one under a name they type;
// either choice goes to SourcesModel::renameArchive, which clears the pending
// choice (and with it the panel) when the name is accepted.
#include "app/ui/screen_widgets.h"

class AppModel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace sources {

class WhichArchivePanel : public TintedBox {
    Q_OBJECT
public:
    explicit WhichArchivePanel(AppModel& model, QWidget* parent = nullptr);

    // Re-reads the existing owners (the panel's rows).
    void reload();
    QLineEdit* newNameField() const { return newName_; }
    QPushButton* startNewButton() const { return startNew_; }
    // The "Add to …" buttons, in the order of the existing owners.
    QList<QPushButton*> addButtons() const { return addButtons_; }

private:
    AppModel& model_;
    QVBoxLayout* rows_ = nullptr;
    QList<QPushButton*> addButtons_;
    QLineEdit* newName_ = nullptr;
    QPushButton* startNew_ = nullptr;
};

} // namespace sources
