#include "household/household_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/destination_list.h"
#include "app/model/household_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbol_title.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "household/join_archive_view.h"
#include "household/join_model.h"
#include "household/link_another_mac_view.h"
#include "household/member_card.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kAfterDays = 7;

QString qs(const std::string& s) { return QString::fromStdString(s); }

TintedBox* groupBox(QWidget* parent, QVBoxLayout** column, int spacing) {
    auto* box = new TintedBox(quaternaryFill(0.45), 8, parent);
    *column = new QVBoxLayout(box);
    (*column)->setContentsMargins(14, 12, 14, 12);
    (*column)->setSpacing(spacing);
    return box;
}

QPushButton* headerButton(const QString& title, const QString& symbol, const QString& name, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(name);
    if (!symbol.isEmpty()) b->setIcon(symbolIcon(symbol));
    b->setAutoDefault(false);
    return b;
}

} // namespace

HouseholdView::HouseholdView(AppModel& model, DestinationList& destinations, QWidget* parent)
    : QWidget(parent), model_(model), destinationList_(destinations), join_(new JoinModel(this)) {
    auto* column = scrollingColumn(this, QStringLiteral("householdScroll"), 20, 18);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(boldLabel(QStringLiteral("Your Macs"), TextStyle::title2, QColor(), this));
    header->addStretch(1);
    link_ = headerButton(QStringLiteral("Link another Mac"), QStringLiteral("link.badge.plus"),
                         QStringLiteral("linkAnotherMac"), this);
    joinButton_ = headerButton(QStringLiteral("Join an archive"), QStringLiteral("arrow.down.circle"),
                               QStringLiteral("joinAnArchive"), this);
    auto* refresh = headerButton(QStringLiteral("Refresh"), QString(), QStringLiteral("refreshHousehold"), this);
    for (auto* b : {link_, joinButton_, refresh}) header->addWidget(b);
    column->addLayout(header);

    QVBoxLayout* noteColumn = nullptr;
    auto* note = groupBox(this, &noteColumn, 6);
    note->setObjectName(QStringLiteral("loadProblemNote"));
    noteColumn->addWidget(
        symbolTitle(QStringLiteral(
                        "Your household file could not be read, so this list is not being shown or changed. The file "
                        "is still on disk."),
                    QStringLiteral("exclamationmark.triangle.fill"), TextStyle::body, toneColor(Tone::orange),
                    toneColor(Tone::orange), note, true));
    loadNote_ = note;
    column->addWidget(note);

    QVBoxLayout* summaryColumn = nullptr;
    auto* summaryBox = groupBox(this, &summaryColumn, 6);
    summaryBox->setObjectName(QStringLiteral("summaryBox"));
    auto* summaryRow = new QHBoxLayout;
    summaryRow->setSpacing(10);
    summaryIcon_ = symbolView(QStringLiteral("checkmark.circle.fill"), 16, toneColor(Tone::green), summaryBox);
    summaryIcon_->setObjectName(QStringLiteral("summaryIcon"));
    summary_ = textLabel(QString(), TextStyle::callout, QColor(), summaryBox, true);
    summary_->setObjectName(QStringLiteral("summaryText"));
    summaryRow->addWidget(summaryIcon_, 0, Qt::AlignTop);
    summaryRow->addWidget(summary_, 1);
    summaryColumn->addLayout(summaryRow);
    summaryBox_ = summaryBox;
    column->addWidget(summaryBox);

    membersSlot_ = new QVBoxLayout;
    membersSlot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(membersSlot_);

    QVBoxLayout* shareColumn = nullptr;
    auto* share = groupBox(this, &shareColumn, 6);
    share->setObjectName(QStringLiteral("sharingNote"));
    auto* shareTitle = textLabel(QStringLiteral("What everyone can see"), TextStyle::caption, QColor(), share);
    QFont tf = shareTitle->font();
    tf.setWeight(QFont::DemiBold);
    shareTitle->setFont(tf);
    shareColumn->addWidget(shareTitle);
    const std::pair<const char*, const char*> roles[] =
        {{"Host", "Sets up the shared storage and sees whether everyone's Mac is archiving. Cannot read anyone else's "
                  "messages."},
         {"Member", "Archives their own messages. Only they can read them."}};
    for (const auto& [role, text] : roles) {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        auto* name = textLabel(QString::fromUtf8(role), TextStyle::caption, QColor(), share);
        QFont f = name->font();
        f.setWeight(QFont::DemiBold);
        name->setFont(f);
        name->setFixedWidth(56);
        row->addWidget(name, 0, Qt::AlignTop);
        row->addWidget(textLabel(QString::fromUtf8(text), TextStyle::caption, secondaryTextColor(), share, true), 1);
        shareColumn->addLayout(row);
    }
    shareColumn->addWidget(makeDivider(share));
    // A link code carries the owner's key (the other Mac restores it from the
    // code), so whoever holds one can read this archive.
    auto* linking = textLabel(QStringLiteral("Linking shares the storage and the health of it. A link code also "
                                             "carries this archive's key: whoever holds one can read this archive. "
                                             "Every other archive is sealed with its owner's key, and this Mac does "
                                             "not hold anyone else's."),
                              TextStyle::caption, secondaryTextColor(), share, true);
    linking->setObjectName(QStringLiteral("linkingNote"));
    shareColumn->addWidget(linking);
    column->addWidget(share);
    column->addStretch(1);

    connect(link_, &QPushButton::clicked, this, &HouseholdView::presentLinkSheet);
    connect(joinButton_, &QPushButton::clicked, this, &HouseholdView::presentJoinSheet);
    connect(refresh, &QPushButton::clicked, this, [this] { model_.householdModel().refreshHousehold(); });
    HouseholdModel& household = model_.householdModel();
    connect(&household, &HouseholdModel::householdChanged, this, &HouseholdView::rebuild);
    connect(&household, &HouseholdModel::householdLoadProblemChanged, this, &HouseholdView::rebuild);
    connect(&household, &HouseholdModel::machineIDChanged, this, &HouseholdView::rebuild);
    connect(&model_, &AppModel::registryChanged, this, &HouseholdView::rebuild);
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &HouseholdView::refreshSummary);
    connect(&destinationList_, &DestinationList::destinationsChanged, this, &HouseholdView::refreshHeader);
    refreshHeader();
    rebuild();
}

HouseholdView::~HouseholdView() { join_->forgetCodes(); }

void HouseholdView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_.householdModel().refreshHousehold();
}

void HouseholdView::refreshHeader() {
    const bool any = !destinationList_.destinations().empty();
    link_->setEnabled(any);
    link_->setToolTip(any ? QStringLiteral("Creates a code to paste on another Mac.")
                          : QStringLiteral("Set up shared storage on the Backup screen first. A link code has to "
                                           "point somewhere."));
}

void HouseholdView::refreshSummary() {
    const kx::Household& household = model_.householdModel().household();
    const kx::Date now = model_.clock().now();
    // An archive that ran and is gone was not updated, whatever its Macs last reported.
    const std::optional<kx::HealthAlert> notFound = model_.alerts().archiveNotFound();
    const bool attention = notFound || household.needsAttention(now, kAfterDays);
    summaryIcon_->setPixmap(symbolIcon(attention ? QStringLiteral("exclamationmark.triangle.fill")
                                                 : QStringLiteral("checkmark.circle.fill"),
                                       toneColor(notFound    ? Tone::red
                                                 : attention ? Tone::orange
                                                             : Tone::green))
                                .pixmap(16, 16));
    summaryIcon_->setProperty("attention", attention);
    summary_->setText(notFound ? qs(notFound->sentence()) : qs(household.summary(now, kAfterDays)));
    summaryBox_->setAccessibleName(summary_->text());
}

void HouseholdView::rebuild() {
    const HouseholdModel& hm = model_.householdModel();
    const kx::Household& household = hm.household();
    const kx::Date now = model_.clock().now();
    const bool locked = !hm.householdLoadProblem().isNull();
    loadNote_->setVisible(locked);

    refreshSummary();

    // The cards live in one page, replaced as a whole (a card's confirmed
    // removal rebuilds the list from inside that card, so it is deleted later).
    if (membersPage_) {
        membersPage_->hide();
        membersPage_->setParent(nullptr);
        membersPage_->deleteLater();
    }
    QVBoxLayout* members = nullptr;
    membersPage_ = columnWidget(this, QStringLiteral("members"), 12, &members);
    membersSlot_->addWidget(membersPage_);
    if (household.members.empty()) {
        QVBoxLayout* col = nullptr;
        auto* box = groupBox(membersPage_, &col, 10);
        box->setObjectName(QStringLiteral("emptyHousehold"));
        auto* title = textLabel(QStringLiteral("No Macs are reporting yet."), TextStyle::callout, QColor(), box);
        QFont f = title->font();
        f.setWeight(QFont::Medium);
        title->setFont(f);
        col->addWidget(title);
        col->addWidget(textLabel(QStringLiteral("This list fills in on its own once a Mac completes a run. If someone "
                                                "else's Mac should be here, send them a link code with \"Link another "
                                                "Mac\" and have them paste it into \"Join an archive\" on their "
                                                "machine."),
                                 TextStyle::caption, secondaryTextColor(), box, true));
        if (model_.registry().sources().empty()) {
            auto* connectButton = new QPushButton(QStringLiteral("Connect this Mac's messages"), box);
            connectButton->setObjectName(QStringLiteral("connectMessages"));
            connectButton->setAutoDefault(false);
            connect(connectButton, &QPushButton::clicked, this, [this] { model_.setRoute(Route::sources); });
            col->addWidget(connectButton, 0, Qt::AlignLeft);
        }
        members->addWidget(box);
        return;
    }
    const QString reason = locked ? HouseholdModel::lockedSentence() : QString();
    for (const auto& member : household.members) {
        const std::string owner = member.owner;
        members->addWidget(new MemberCard(
            member, hm.machineID(), now, [this](const kx::ContributingMac& mac) { presentRename(mac); },
            [this, owner] { model_.householdModel().unlinkMember(qs(owner)); }, reason, membersPage_));
    }
}

void HouseholdView::presentLinkSheet() {
    if (linkSheet_ || destinationList_.destinations().empty()) return;
    join_->clearGenerated();
    auto* sheet = new LinkAnotherMacView(*join_, model_, destinationList_, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    linkSheet_ = sheet;
    sheet->open();
}

void HouseholdView::presentJoinSheet() {
    if (joinSheet_) return;
    join_->reset();
    auto* sheet = new JoinArchiveView(*join_, model_, destinationList_, true, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    joinSheet_ = sheet;
    sheet->open();
}

void HouseholdView::presentRename(const kx::ContributingMac& mac) {
    if (renameSheet_ || !model_.householdModel().householdLoadProblem().isNull()) return;
    const QString id = qs(mac.machineID);
    auto* sheet = new RenameMacView(
        mac, [this, id](const QString& name) { model_.householdModel().renameMac(id, name); }, [] {}, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    renameSheet_ = sheet;
    sheet->open();
}
