#pragma once
// ManifestPanel: the "Tamper-evidence" panel the health screen embeds. Per
// owner it shows whether a manifest (a hash chain over every archived message)
// exists, when it was made, over how many messages and its head value (with
// "Copy"), and the outcome of the last check: intact, normal growth, messages
// removed from the end, or BROKEN with the first difference.
//
// "Generate" makes a new manifest; over an existing one it asks first, and the
// old one is kept beside the new one. "Verify now" checks the archive against
// the stored manifest. Both run in the background in EvidenceModel and are
// disabled while either runs or no owner is chosen; a small indicator shows
// while they run. Failures to generate reach the main window's error banner.
#include "app/model/owner_manifest_state.h"

#include <QGroupBox>

#include <functional>

class AppModel;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;
class SegmentedPicker;

class ManifestPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit ManifestPanel(AppModel& model, QWidget* parent = nullptr);

    // Asks a yes-or-no question before a manifest is replaced; true goes ahead.
    // The default is a question box; tests put in their own.
    using Confirm = std::function<bool(const QString& question)>;
    void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }

    QString owner() const { return owner_; }
    void setOwner(const QString& owner);
    SegmentedPicker* ownerPicker() const { return picker_; }
    QPushButton* generateButton() const { return generate_; }
    QPushButton* verifyButton() const { return verify_; }
    QProgressBar* progress() const { return progress_; }
    QWidget* stateArea() const { return state_; }
    // The "Copy" button of the head row; null when no head is shown.
    QPushButton* copyButton() const;

    // The buttons' actions.
    void generate();
    void verify();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshOwners();
    void refreshState();
    void refreshButtons();

    AppModel& model_;
    QString owner_;
    bool appeared_ = false;
    Confirm confirm_;
    QWidget* pickerRow_;
    SegmentedPicker* picker_;
    QWidget* state_;
    QVBoxLayout* stateColumn_;
    QPushButton* generate_;
    QPushButton* verify_;
    QProgressBar* progress_;
};
