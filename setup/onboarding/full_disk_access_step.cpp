#include "setup/onboarding/full_disk_access_step.h"

#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace setup {

namespace {

using Case = kx::FullDiskAccessProbe::Verdict::Case;

// One program to allow: its number, its path (cut in the middle when narrow)
// and a button that copies it.
QWidget* grantPathRow(int position, const QString& path, QWidget* parent) {
    auto* row = new TintedBox(quaternaryFill(0.4), 6, parent);
    row->setObjectName(QStringLiteral("grantPath"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(10, 7, 10, 7);
    line->setSpacing(8);
    const QString number = QString::number(position + 1);
    auto* numberLabel = formText(number + QStringLiteral("."), TextStyle::caption, secondaryTextColor(), row);
    numberLabel->setObjectName(QStringLiteral("grantPathNumber"));
    numberLabel->setWordWrap(false);
    line->addWidget(numberLabel, 0, Qt::AlignVCenter);
    QToolButton* copy = addCopyablePath(line, path, row);
    copy->setToolTip(QObject::tr("Copy this path"));
    copy->setAccessibleName(QObject::tr("Copy path ") + number);
    return row;
}

} // namespace

FullDiskAccessStep::Look FullDiskAccessStep::look(Case verdict) {
    switch (verdict) {
    case Case::allGranted: return {QStringLiteral("checkmark.circle.fill"), toneColor(Tone::green), false};
    case Case::scheduledBlocked:
        return {QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), true};
    case Case::appBlocked: return {QStringLiteral("xmark.circle.fill"), toneColor(Tone::red), true};
    case Case::notChecked: return {QStringLiteral("questionmark.circle"), secondaryTextColor(), true};
    case Case::noDatabase: return {QStringLiteral("info.circle"), secondaryTextColor(), false};
    }
    return {QStringLiteral("questionmark.circle"), secondaryTextColor(), true};
}

bool FullDiskAccessStep::isSettled(Case verdict) { return verdict == Case::allGranted || verdict == Case::noDatabase; }

FullDiskAccessStep::FullDiskAccessStep(OnboardingModel& onboarding, QWidget* parent,
                                       std::chrono::milliseconds recheckInterval)
    : QWidget(parent), onboarding_(onboarding) {
    setObjectName(QStringLiteral("fullDiskAccessStep"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    auto* explanation =
        formText(tr("Your messages live in a folder macOS hides from apps. Kelvara can do nothing at all until you "
                    "allow it, and the permission is granted per program rather than per app, so BOTH of these have "
                    "to be added. Adding only the first leaves the nightly archive unable to read anything, while "
                    "everything you do by hand still appears to work."),
                 TextStyle::body, QColor(), this);
    explanation->setObjectName(QStringLiteral("accessExplanation"));
    column->addWidget(explanation);

    auto* paths = new QVBoxLayout;
    paths->setSpacing(8);
    const std::vector<QString> grantPaths = PermissionsModel::grantPaths();
    for (size_t i = 0; i < grantPaths.size(); ++i)
        paths->addWidget(grantPathRow(static_cast<int>(i), grantPaths[i], this));
    column->addLayout(paths);

    auto* hint = captionText(tr("In the file picker, press Shift-Command-G and paste the second path. Finder hides the "
                                "inside of an app bundle, so it cannot be reached by clicking."),
                             this);
    hint->setObjectName(QStringLiteral("grantHint"));
    column->addWidget(hint);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    allow_ = new QPushButton(tr("Allow access to Messages"), this);
    allow_->setObjectName(QStringLiteral("allowAccess"));
    makeProminent(allow_);
    openSettings_ = new QPushButton(tr("Open Settings"), this);
    openSettings_->setObjectName(QStringLiteral("openSettings"));
    checkAgain_ = new QPushButton(tr("Check again"), this);
    checkAgain_->setObjectName(QStringLiteral("checkAgain"));
    spinner_ = new BusySpinner(this);
    spinner_->setObjectName(QStringLiteral("checkingIndicator"));
    for (QPushButton* b : {allow_, openSettings_, checkAgain_}) {
        makeStepButton(b);
        buttons->addWidget(b, 0, Qt::AlignVCenter);
    }
    buttons->addWidget(spinner_, 0, Qt::AlignVCenter);
    buttons->addStretch(1);
    column->addLayout(buttons);

    verdictBox_ = new GroupBox(this);
    verdictBox_->setObjectName(QStringLiteral("verdictBox"));
    auto* box = new QVBoxLayout(verdictBox_);
    box->setContentsMargins(12, 10, 12, 10);
    box->setSpacing(6);
    headline_ = new SymbolLine(TextStyle::callout, QStringLiteral("verdict"), 8, verdictBox_);
    detail_ = captionText(QString(), verdictBox_);
    detail_->setObjectName(QStringLiteral("verdictDetail"));
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->addWidget(headline_);
    box->addWidget(detail_);
    column->addWidget(verdictBox_);

    selfCheckNote_ = captionText(tr("This re-checks itself every few seconds after you make the change."), this);
    selfCheckNote_->setObjectName(QStringLiteral("selfCheckNote"));
    column->addWidget(selfCheckNote_);

    AppModel& app = onboarding_.model();
    connect(allow_, &QPushButton::clicked, &onboarding_, &OnboardingModel::requestMessagesAccess);
    connect(openSettings_, &QPushButton::clicked, &onboarding_, &OnboardingModel::openFullDiskAccessSettings);
    connect(checkAgain_, &QPushButton::clicked, this, [&app] {
        app.permissions().checkFullDiskAccess();
        app.permissions().startAccessProbe();
    });
    connect(&app.permissions(), &PermissionsModel::fdaVerdictChanged, this, &FullDiskAccessStep::refresh);
    connect(&app.permissions(), &PermissionsModel::isProbingFDAChanged, this, &FullDiskAccessStep::refresh);

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("recheckTimer"));
    timer_->setInterval(recheckInterval);
    connect(timer_, &QTimer::timeout, this, &FullDiskAccessStep::recheck);
    refresh();
}

void FullDiskAccessStep::recheck() {
    if (onboarding_.step() != kx::Onboarding::Step::fullDiskAccess) return;
    PermissionsModel& permissions = onboarding_.model().permissions();
    if (isSettled(permissions.fdaVerdict().kind) || permissions.isProbingFDA()) return;
    permissions.checkFullDiskAccess();
    permissions.startAccessProbe();
}

void FullDiskAccessStep::refresh() {
    const PermissionsModel& permissions = onboarding_.model().permissions();
    const kx::FullDiskAccessProbe::Verdict& verdict = permissions.fdaVerdict();
    const Look l = look(verdict.kind);
    const QString headline = QString::fromStdString(verdict.headline());
    headline_->set(l.symbol, l.color, headline, l.semibold ? QFont::DemiBold : QFont::Normal);
    const bool detail = verdict.kind == Case::scheduledBlocked || verdict.kind == Case::appBlocked;
    detail_->setText(detail ? QString::fromStdString(verdict.text) : QString());
    detail_->setVisible(detail);
    verdictBox_->setAccessibleName(tr("Access check: ") + headline);
    selfCheckNote_->setVisible(!isSettled(verdict.kind));

    const bool probing = permissions.isProbingFDA();
    checkAgain_->setText(probing ? tr("Checking…") : tr("Check again"));
    checkAgain_->setEnabled(!probing);
    spinner_->setVisible(probing);
}

// The re-check runs only while the step is on screen.
void FullDiskAccessStep::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_->start();
}

void FullDiskAccessStep::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_->stop();
}

} // namespace setup
