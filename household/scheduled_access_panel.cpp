#include "household/scheduled_access_panel.h"

#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/platform/workspace.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/text_widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// One program to allow: its path, cut in the middle when narrow, and its copy button.
QWidget* grantPathRow(const QString& path, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("grantPath"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    QToolButton* copy = addCopyablePath(line, path, row, 0.92);
    copy->setAccessibleName(QStringLiteral("Copy ") + path);
    copy->setToolTip(QStringLiteral("Copy ") + path);
    return row;
}

} // namespace

ScheduledAccessPanel::Look ScheduledAccessPanel::look(Case verdict) {
    switch (verdict) {
    case Case::allGranted: return {QStringLiteral("checkmark.seal.fill"), toneColor(Tone::green), false};
    case Case::scheduledBlocked:
        return {QStringLiteral("exclamationmark.octagon.fill"), toneColor(Tone::red), true, true, true, true};
    case Case::appBlocked: return {QStringLiteral("lock.slash.fill"), toneColor(Tone::orange), true, true, true, true};
    case Case::notChecked:
        return {QStringLiteral("questionmark.circle"), secondaryTextColor(), true, false, true, true};
    case Case::noDatabase: return {QStringLiteral("minus.circle"), secondaryTextColor(), false};
    }
    // Not settled: nothing is claimed, and the way to settle it stays offered.
    return {QStringLiteral("minus.circle"), secondaryTextColor(), true, false, false, true};
}

ScheduledAccessPanel::ScheduledAccessPanel(AppModel& model, QWidget* parent)
    : QGroupBox(QStringLiteral("Scheduled archiving"), parent), model_(model) {
    setObjectName(QStringLiteral("scheduledAccessPanel"));
    auto* column = new QVBoxLayout(this);
    column->setSpacing(10);

    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    const int symbolSize = QFontMetrics(textFont(TextStyle::callout)).height();
    symbol_ = new QLabel(this);
    symbol_->setObjectName(QStringLiteral("verdictSymbol"));
    symbol_->setFixedSize(symbolSize, symbolSize);
    headline_ = styledLabel(QString(), TextStyle::callout, QColor(), this, true);
    headline_->setObjectName(QStringLiteral("verdictHeadline"));
    top->addWidget(symbol_, 0, Qt::AlignTop);
    top->addWidget(headline_, 1);
    column->addLayout(top);

    detail_ = styledLabel(QString(), TextStyle::caption, secondaryTextColor(), this, true);
    detail_->setObjectName(QStringLiteral("verdictDetail"));
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(detail_);
    advice_ = styledLabel(QString(), TextStyle::caption, secondaryTextColor(), this, true);
    advice_->setObjectName(QStringLiteral("verdictAdvice"));
    advice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(advice_);

    grantRows_ = new QWidget(this);
    grantRows_->setObjectName(QStringLiteral("grantPaths"));
    auto* rows = new QVBoxLayout(grantRows_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(2);
    for (const QString& path : PermissionsModel::grantPaths()) rows->addWidget(grantPathRow(path, grantRows_));
    column->addWidget(grantRows_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    spinner_ = new BusySpinner(this);
    spinner_->setObjectName(QStringLiteral("checkingIndicator"));
    check_ = new QPushButton(QStringLiteral("Check now"), this);
    check_->setObjectName(QStringLiteral("checkNow"));
    check_->setAutoDefault(false);
    openAccess_ = new QPushButton(QStringLiteral("Open Full Disk Access"), this);
    openAccess_->setObjectName(QStringLiteral("openFullDiskAccess"));
    openAccess_->setAutoDefault(false);
    buttons->addWidget(spinner_, 0, Qt::AlignVCenter);
    buttons->addWidget(check_);
    buttons->addWidget(openAccess_);
    buttons->addStretch(1);
    column->addLayout(buttons);

    connect(check_, &QPushButton::clicked, this, [this] { model_.permissions().startAccessProbe(); });
    // Linux has no Full Disk Access list: access to the live database is given
    // on its folder (owner and permissions), so that folder is what opens.
    connect(openAccess_, &QPushButton::clicked, this, [] { workspace().openMessagesPlace(); });
    PermissionsModel& permissions = model_.permissions();
    connect(&permissions, &PermissionsModel::fdaVerdictChanged, this, &ScheduledAccessPanel::refresh);
    connect(&permissions, &PermissionsModel::isProbingFDAChanged, this, &ScheduledAccessPanel::refresh);
    refresh();
}

void ScheduledAccessPanel::refresh() {
    const PermissionsModel& permissions = model_.permissions();
    const kx::FullDiskAccessProbe::Verdict& verdict = permissions.fdaVerdict();
    const Look l = look(verdict.kind);
    const QString headline = QString::fromStdString(verdict.headline());
    symbol_->setPixmap(symbolPixmap(l.symbol, symbol_->width(), l.color));
    symbol_->setProperty("symbol", l.symbol);
    headline_->setText(headline);
    QFont f = textFont(TextStyle::callout);
    f.setWeight(l.semibold ? QFont::DemiBold : QFont::Normal);
    headline_->setFont(f);
    detail_->setText(QString::fromStdString(verdict.text));
    detail_->setVisible(l.detail);
    advice_->setText(l.advice ? PermissionsModel::accessAdvice(verdict.kind) : QString());
    advice_->setVisible(l.advice);
    grantRows_->setVisible(l.advice);

    const bool probing = permissions.isProbingFDA();
    check_->setText(probing ? QStringLiteral("Checking…") : QStringLiteral("Check now"));
    check_->setEnabled(!probing);
    spinner_->setVisible(probing);
    openAccess_->setVisible(l.openAccess);
    setAccessibleName(QStringLiteral("Scheduled archiving: ") + headline);
}
