#pragma once
// HouseholdView: the "Your Macs" screen. Top to bottom: the header with "Link
// another Mac", "Join an archive" and "Refresh"; the note while the household
// file cannot be read; the one-line health summary of the household (7 days),
// or the alert of an archive that ran and is gone;
// one card per member, or the empty-state box; and what linking shares.
//
// The screen owns one JoinModel, shared by the join sheet and the link sheet.
// Everything shown is the household model's published state, redrawn when it
// changes; every action calls a model operation or opens a sheet. Showing the
// screen refreshes the household.
#include "household/join_archive_view.h"
#include "household/link_another_mac_view.h"
#include "household/member_card.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class AppModel;
class DestinationList;
class JoinModel;
class QLabel;
class QPushButton;
class QVBoxLayout;
namespace kx {
struct ContributingMac;
}

class HouseholdView : public QWidget {
    Q_OBJECT
public:
    HouseholdView(AppModel& model, DestinationList& destinations, QWidget* parent = nullptr);
    ~HouseholdView() override;

    void presentLinkSheet();
    void presentJoinSheet();
    void presentRename(const kx::ContributingMac& mac);

    JoinModel& joinModel() const { return *join_; }
    JoinArchiveView* joinSheet() const { return joinSheet_; }
    LinkAnotherMacView* linkSheet() const { return linkSheet_; }
    RenameMacView* renameSheet() const { return renameSheet_; }
    QPushButton* linkButton() const { return link_; }
    QPushButton* joinButton() const { return joinButton_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshHeader();
    void refreshSummary();
    void rebuild();

    AppModel& model_;
    DestinationList& destinationList_;
    JoinModel* join_;
    QPushButton* link_;
    QPushButton* joinButton_;
    QWidget* loadNote_;
    QLabel* summaryIcon_;
    QLabel* summary_;
    QWidget* summaryBox_;
    QVBoxLayout* membersSlot_;
    QWidget* membersPage_ = nullptr;
    QPointer<JoinArchiveView> joinSheet_;
    QPointer<LinkAnotherMacView> linkSheet_;
    QPointer<RenameMacView> renameSheet_;
};
