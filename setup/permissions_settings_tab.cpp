#include "setup/permissions_settings_tab.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/health_notifier.h"
#include "app/model/permissions_model.h"
#include "app/platform/workspace.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "core/contacts/system_contacts.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup {

namespace {

using Case = kx::FullDiskAccessProbe::Verdict::Case;
using State = kx::PermissionsSummary::Row::State;

QString stateWord(State state) {
    switch (state) {
    case State::granted: return QStringLiteral("granted");
    case State::notGranted: return QStringLiteral("not granted");
    case State::notKnown: break;
    }
    return QStringLiteral("not known");
}

} // namespace

std::pair<QString, QColor> PermissionRowView::stateSymbol(const kx::PermissionsSummary::Row& row) {
    switch (row.state) {
    case State::granted: return {QStringLiteral("checkmark.circle.fill"), toneColor(Tone::green)};
    case State::notGranted:
        if (row.required) return {QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::red)};
        return {QStringLiteral("circle.slash"), secondaryTextColor()};
    case State::notKnown: break;
    }
    return {QStringLiteral("questionmark.circle"), toneColor(Tone::orange)};
}

PermissionRowView::PermissionRowView(const kx::PermissionsSummary::Row& row, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("permissionRow.") + QString::fromStdString(row.id));
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(10);
    const auto [symbol, color] = stateSymbol(row);
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("stateSymbol"));
    icon->setProperty("symbol", symbol);
    icon->setPixmap(symbolPixmap(symbol, 16, color));
    icon->setFixedSize(16, 16);
    line->addWidget(icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto* title = formText(QString::fromStdString(row.title), TextStyle::body, QColor(), this);
    title->setObjectName(QStringLiteral("title"));
    title->setWordWrap(false);
    QFont f = title->font();
    f.setWeight(row.required ? QFont::DemiBold : QFont::Normal);
    title->setFont(f);
    titleRow->addWidget(title, 0, Qt::AlignVCenter);
    if (!row.required) {
        QColor fill = secondaryTextColor();
        fill.setAlphaF(0.15);
        auto* badge = new CapsuleLabel(tr("Optional"), fill, QMargins(5, 1, 5, 1), this);
        badge->setObjectName(QStringLiteral("optionalBadge"));
        QPalette p = badge->palette();
        p.setColor(QPalette::WindowText, secondaryTextColor());
        badge->setPalette(p);
        titleRow->addWidget(badge, 0, Qt::AlignVCenter);
    }
    titleRow->addStretch(1);
    column->addLayout(titleRow);
    auto* detail = captionText(QString::fromStdString(row.detail), this);
    detail->setObjectName(QStringLiteral("detail"));
    column->addWidget(detail);
    line->addLayout(column, 1);
    setAccessibleName(QString::fromStdString(row.title) + QStringLiteral(": ") + stateWord(row.state) +
                      QStringLiteral(". ") + QString::fromStdString(row.detail));
}

PermissionsSettingsTab::Banner PermissionsSettingsTab::banner(const kx::PermissionsSummary& summary) {
    const QString cannotRead = tr("Kelvara cannot read your messages. Nothing is being archived.");
    switch (summary.fullDiskAccess.kind) {
    case Case::allGranted:
        return {QStringLiteral("checkmark.seal.fill"), toneColor(Tone::green), false,
                tr("Kelvara has everything it needs to archive your messages.")};
    case Case::scheduledBlocked:
        if (summary.scheduleInstalled)
            return {QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::red), true,
                    tr("Scheduled archiving is running and saving NOTHING. It reports success every night.")};
        // The application reads Messages, and without the daily run the job
        // that could not is never started: scans by hand archive everything.
        return {QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), true,
                tr("Kelvara can read your messages; the scheduled job could not.")};
    case Case::appBlocked: return {QStringLiteral("xmark.octagon.fill"), toneColor(Tone::red), true, cannotRead};
    case Case::noDatabase:
        return {QStringLiteral("checkmark.seal.fill"), toneColor(Tone::green), false,
                tr("No Messages database on this Mac, so there is nothing to archive here.")};
    case Case::notChecked: break;
    }
    // Not checked, and any verdict this version does not know: nothing is claimed.
    return {QStringLiteral("questionmark.circle.fill"), toneColor(Tone::orange), true,
            tr("Permissions have not been checked, so it is not known whether anything is being archived.")};
}

QString PermissionsSettingsTab::addressBookText(int loaded, int scanned) {
    const QString phrase = loaded == 1 ? tr("1 number and address") : tr("%1 numbers and addresses").arg(loaded);
    return phrase + tr(" from ") + QString::number(scanned) + tr(" contacts");
}

PermissionsSettingsTab::PermissionsSettingsTab(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("permissionsSettingsTab"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* form = new SettingsForm(this);
    outer->addWidget(form);

    // The banner
    FormSection* top = form->addSection();
    auto* bannerRow = new QWidget;
    bannerRow->setObjectName(QStringLiteral("permissionsBanner"));
    auto* bannerLine = new QHBoxLayout(bannerRow);
    bannerLine->setContentsMargins(0, 0, 0, 0);
    bannerLine->setSpacing(10);
    bannerSymbol_ = new QLabel(bannerRow);
    bannerSymbol_->setObjectName(QStringLiteral("bannerSymbol"));
    const int symbolSize = QFontMetrics(textFont(TextStyle::title2)).height();
    bannerSymbol_->setFixedSize(symbolSize, symbolSize);
    bannerText_ = formText(QString(), TextStyle::body, QColor(), bannerRow);
    bannerText_->setObjectName(QStringLiteral("bannerText"));
    bannerLine->addWidget(bannerSymbol_, 0, Qt::AlignTop);
    bannerLine->addWidget(bannerText_, 1, Qt::AlignVCenter);
    top->addRow(bannerRow);

    // The grants
    FormSection* grants = form->addSection(tr("Grants on this Mac"));
    rowsBox_ = grants->addRow(new QWidget);
    rows_ = new QVBoxLayout(rowsBox_);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(10);

    // Fixing access
    FormSection* fix = form->addSection();
    QHBoxLayout* buttons = fix->addButtonRow(true);
    checking_ = new QProgressBar;
    static_cast<QProgressBar*>(checking_)->setRange(0, 0);
    static_cast<QProgressBar*>(checking_)->setTextVisible(false);
    checking_->setFixedSize(36, 8);
    checking_->setObjectName(QStringLiteral("checkingIndicator"));
    buttons->addWidget(checking_, 0, Qt::AlignVCenter);
    checkAgain_ = new QPushButton(tr("Check Again"));
    checkAgain_->setObjectName(QStringLiteral("checkAgain"));
    auto* openAccess = new QPushButton(tr("Open Full Disk Access"));
    openAccess->setObjectName(QStringLiteral("openFullDiskAccess"));
    connectContacts_ = new QPushButton(tr("Connect Contacts"));
    connectContacts_->setObjectName(QStringLiteral("connectContacts"));
    contactsSettings_ = new QPushButton(tr("Contacts Settings"));
    contactsSettings_->setObjectName(QStringLiteral("contactsSettings"));
    for (QPushButton* b : {checkAgain_, openAccess, connectContacts_, contactsSettings_})
        buttons->addWidget(b, 0, Qt::AlignVCenter);
    buttons->addStretch(1);
    help_ = formText(QString(), TextStyle::caption, secondaryTextColor(), nullptr, true);
    help_->setObjectName(QStringLiteral("permissionsHelp"));
    fix->addRow(help_);
    connect(checkAgain_, &QPushButton::clicked, this, [this] { model_.permissions().startAccessProbe(); });
    // Linux has no Full Disk Access list: the folder of the live database is
    // where access is given (its owner and permissions).
    connect(openAccess, &QPushButton::clicked, this, [] { workspace().openMessagesPlace(); });
    connect(connectContacts_, &QPushButton::clicked, this, [this] { model_.contacts().requestContactsAccess(); });
    // Contacts that cannot be read are a folder whose permissions only the user
    // can change: show that folder.
    connect(contactsSettings_, &QPushButton::clicked, this,
            [] { workspace().openFolder(QString::fromStdString(kx::SystemContacts::defaultFolder())); });

    // Contact names
    contactNames_ = form->addSection(tr("Contact names"));
    contactNames_->setObjectName(QStringLiteral("contactNames"));
    addressBook_ = contactNames_->addLabeledValue(tr("From your address book"));
    addressBook_->setObjectName(QStringLiteral("addressBook"));
    overrides_ = contactNames_->addLabeledValue(tr("Names you set by hand"));
    overrides_->setObjectName(QStringLiteral("namesByHand"));
    auto* refreshContacts = new QPushButton(tr("Refresh"));
    refreshContacts->setObjectName(QStringLiteral("refreshContacts"));
    makeSmall(refreshContacts);
    contactNames_->addButtonRow()->addWidget(refreshContacts, 0, Qt::AlignLeft);
    connect(refreshContacts, &QPushButton::clicked, this, [this] { model_.contacts().loadContacts(); });
    form->finish();

    PermissionsModel& permissions = model_.permissions();
    ContactsModel& contacts = model_.contacts();
    for (auto signal : {&PermissionsModel::fdaVerdictChanged, &PermissionsModel::isProbingFDAChanged})
        connect(&permissions, signal, this, &PermissionsSettingsTab::refresh);
    for (auto signal : {&ContactsModel::contactsAuthorizationChanged, &ContactsModel::contactsLoadedCountChanged,
                        &ContactsModel::contactsScannedChanged, &ContactsModel::overridesChanged})
        connect(&contacts, signal, this, &PermissionsSettingsTab::refresh);
    if (HealthNotifier* notifier = model_.alerts().notifier())
        connect(notifier, &HealthNotifier::authorizationChanged, this, &PermissionsSettingsTab::refresh);
    refresh();
}

void PermissionsSettingsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    appear();
}

void PermissionsSettingsTab::appear() {
    PermissionsModel& permissions = model_.permissions();
    permissions.checkFullDiskAccess();
    model_.contacts().loadContacts();
    if (HealthNotifier* notifier = model_.alerts().notifier()) notifier->refreshAuthorization();
    // A verdict that contradicts what this application reads now (access given
    // or taken away since the check) is checked again.
    const Case verdict = permissions.fdaVerdict().kind;
    const bool appReadsNow = permissions.hasFullDiskAccess();
    const bool verdictSaysAppReads = verdict == Case::allGranted || verdict == Case::scheduledBlocked;
    if (verdict == Case::notChecked || (verdict == Case::appBlocked && appReadsNow) ||
        (verdictSaysAppReads && !appReadsNow && liveMessagesDatabaseExists()))
        permissions.startAccessProbe();
    refresh();
}

void PermissionsSettingsTab::refresh() {
    const kx::PermissionsSummary summary = model_.permissions().permissionStatus();
    const Banner b = banner(summary);
    bannerSymbol_->setPixmap(symbolPixmap(b.symbol, bannerSymbol_->width(), b.color));
    bannerSymbol_->setProperty("symbol", b.symbol);
    bannerText_->setText(b.text);
    QFont f = textFont(TextStyle::body);
    f.setWeight(b.semibold ? QFont::DemiBold : QFont::Normal);
    bannerText_->setFont(f);
    bannerText_->parentWidget()->setAccessibleName(tr("Permissions: ") + b.text);

    while (QLayoutItem* item = rows_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const kx::PermissionsSummary::Row& row : summary.rows())
        rows_->addWidget(new PermissionRowView(row, rowsBox_));

    const bool probing = model_.permissions().isProbingFDA();
    checkAgain_->setEnabled(!probing);
    checkAgain_->setText(probing ? tr("Checking…") : tr("Check Again"));
    checking_->setVisible(probing);

    using Auth = kx::ContactsAuthorization;
    const Auth auth = model_.contacts().contactsAuthorization();
    connectContacts_->setVisible(auth == Auth::notDetermined || auth == Auth::notLoaded);
    contactsSettings_->setVisible(auth == Auth::denied);

    const QString help = PermissionsModel::accessAdvice(summary.fullDiskAccess.kind);
    help_->setText(help);
    help_->setVisible(!help.isEmpty());

    contactNames_->setVisible(summary.contacts == Auth::authorized);
    addressBook_->setText(
        addressBookText(model_.contacts().contactsLoadedCount(), model_.contacts().contactsScanned()));
    overrides_->setText(QString::number(model_.contacts().overrides().size()));
}

} // namespace setup
