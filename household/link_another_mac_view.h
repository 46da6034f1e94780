#pragma once
// LinkAnotherMacView: the "Link another Mac" sheet. The user picks one of this
// Mac's destinations as the shared storage, the join model builds a code for it
// and the current archive owner, and the sheet shows the code with its warning
// and copies it (with the clipboard's password-manager hint, so clipboard
// histories leave it out). The code and any failure are the join model's; the
// sheet clears both whenever it closes.
#include "app/model/destination_config.h"

#include <QDialog>

#include <vector>

class AppModel;
class DestinationList;
class JoinModel;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;

class LinkAnotherMacView : public QDialog {
    Q_OBJECT
public:
    LinkAnotherMacView(JoinModel& join, AppModel& model, DestinationList& destinations, QWidget* parent = nullptr);

    void create();
    void copy();

    // "Cloudflare R2 · bucket", or the kind's label alone without a bucket.
    static QString entryText(const DestinationConfig& destination);

    QComboBox* picker() const { return picker_; }
    QPushButton* createButton() const { return create_; }
    QPushButton* copyButton() const { return copy_; }
    bool copied() const { return copied_; }

private:
    void refresh();

    JoinModel& join_;
    AppModel& model_;
    std::vector<DestinationConfig> destinations_;
    QComboBox* picker_ = nullptr;
    QWidget* codeBox_;
    QPlainTextEdit* code_;
    QPushButton* copy_;
    QWidget* error_;
    QLabel* errorText_;
    QPushButton* create_;
    bool copied_ = false;
};
