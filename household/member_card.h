#pragma once
// MemberCard: one household member (one archive owner) on the household screen,
// with the Macs that archive into that owner's archive, the member's health
// over the last 7 days, and "Remove from this list" behind a confirmation.
// RenameMacView: the small sheet that gives one Mac a new name in the list.
//
// Neither changes data: the card hands a rename request or a confirmed removal
// back through its callbacks, the sheet hands back the name exactly as typed.
// Any role but host shows the "Member" badge, and a Mac that never ran shows
// the core's "Has not finished a run yet" in orange with no count line.
//
// While the household file cannot be read, the screen passes a reason: the
// card's "Rename" and "Remove from this list" buttons are then disabled with
// that reason as their help text.
#include "core/household/household.h"
#include "core/platform/time.h"

#include <QDialog>
#include <QFrame>
#include <QString>

#include <functional>

class QLineEdit;
class QPushButton;

class MemberCard : public QFrame {
    Q_OBJECT
public:
    MemberCard(const kx::Household::Member& member, const QString& thisMachineID, kx::Date now,
               std::function<void(const kx::ContributingMac&)> onRename, std::function<void()> onUnlink,
               const QString& disabledReason = QString(), QWidget* parent = nullptr);

    // Asks for confirmation; a confirmed removal calls onUnlink once.
    void confirmUnlink();
    QPushButton* removeButton() const { return remove_; }

    // The confirmation's texts.
    static QString confirmationTitle(const kx::Household::Member& member);
    static QString confirmationMessage();

private:
    QWidget* macRow(const kx::ContributingMac& mac, kx::Date now);

    kx::Household::Member member_;
    QString thisMachineID_;
    std::function<void(const kx::ContributingMac&)> onRename_;
    std::function<void()> onUnlink_;
    QString disabledReason_;
    QPushButton* remove_;
};

class RenameMacView : public QDialog {
    Q_OBJECT
public:
    RenameMacView(const kx::ContributingMac& mac, std::function<void(const QString&)> onSave,
                  std::function<void()> onCancel, QWidget* parent = nullptr);

    QLineEdit* nameField() const { return name_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* cancelButton() const { return cancel_; }
    bool canSave() const;

private:
    std::function<void(const QString&)> onSave_;
    std::function<void()> onCancel_;
    QLineEdit* name_;
    QPushButton* cancel_;
    QPushButton* save_;
};
