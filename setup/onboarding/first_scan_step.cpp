#include "setup/onboarding/first_scan_step.h"

#include "app/ui/style.h"
#include "app/ui/widgets.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/settings_form.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup {

namespace {

using Kind = kx::Onboarding::ScanOutcome::Kind;

void clear(QVBoxLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
}

} // namespace

FirstScanStep::FirstScanStep(OnboardingModel& onboarding, QWidget* parent) : QWidget(parent), onboarding_(onboarding) {
    setObjectName(QStringLiteral("firstScanStep"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(formText(tr("This reads your Messages database and copies what it finds into your archive. It "
                                  "only ever reads. The first run takes longest, because everything is new."),
                               TextStyle::body, QColor(), this));

    auto* runRow = new QHBoxLayout;
    runRow->setSpacing(12);
    run_ = new QPushButton(this);
    run_->setObjectName(QStringLiteral("runFirstArchive"));
    makeProminent(run_);
    makeStepButton(run_);
    runRow->addWidget(run_, 0, Qt::AlignVCenter);
    running_ = progressRow(tr("This can take several minutes on a large history."), this);
    running_->setObjectName(QStringLiteral("firstArchiveRunning"));
    if (auto* caption = running_->findChild<QLabel*>()) caption->setWordWrap(false);
    runRow->addWidget(running_, 0, Qt::AlignVCenter);
    runRow->addStretch(1);
    column->addLayout(runRow);

    outcomeBox_ = new GroupBox(this);
    outcomeBox_->setObjectName(QStringLiteral("outcomeBox"));
    auto* box = new QVBoxLayout(outcomeBox_);
    box->setContentsMargins(12, 10, 12, 10);
    outcome_ = new SymbolLine(TextStyle::callout, QStringLiteral("outcome"), 8, outcomeBox_, true);
    box->addWidget(outcome_);
    column->addWidget(outcomeBox_);

    column->addWidget(makeDivider(this));

    auto* scheduleColumn = new QVBoxLayout;
    scheduleColumn->setSpacing(8);
    schedule_ = new QCheckBox(tr("Archive automatically every day at 3:30am"), this);
    schedule_->setObjectName(QStringLiteral("scheduleSwitch"));
    schedule_->setFont(textFont(TextStyle::callout));
    scheduleColumn->addWidget(schedule_);
    scheduleCaption_ = captionText(QString(), this);
    scheduleCaption_->setObjectName(QStringLiteral("scheduleCaption"));
    scheduleColumn->addWidget(scheduleCaption_);
    column->addLayout(scheduleColumn);

    summary_ = new QWidget(this);
    summary_->setObjectName(QStringLiteral("whereThisLeavesYou"));
    auto* summaryColumn = new QVBoxLayout(summary_);
    summaryColumn->setContentsMargins(0, 0, 0, 0);
    summaryColumn->setSpacing(5);
    summaryColumn->addWidget(makeDivider(summary_));
    summaryColumn->addSpacing(11); // the column's 16 between the divider and the heading
    summaryColumn->addWidget(formText(tr("Where this leaves you"), TextStyle::headline, QColor(), summary_));
    summaryLines_ = new QVBoxLayout;
    summaryLines_->setSpacing(5);
    summaryColumn->addLayout(summaryLines_);
    column->addWidget(summary_);

    connect(run_, &QPushButton::clicked, &onboarding_, &OnboardingModel::connectThisMac);
    connect(schedule_, &QCheckBox::clicked, this, &FirstScanStep::scheduleToggled);
    connect(&onboarding_, &OnboardingModel::scanChanged, this, &FirstScanStep::refresh);
    connect(&onboarding_, &OnboardingModel::scheduleInstalledChanged, this, &FirstScanStep::refresh);
    connect(&onboarding_, &OnboardingModel::stateChanged, this, &FirstScanStep::refreshSummary);
    refresh();
}

void FirstScanStep::scheduleToggled(bool on) {
    if (on) onboarding_.installSchedule();
    else onboarding_.removeSchedule();
    // Whatever was asked, the switch shows what is on disk.
    refresh();
}

void FirstScanStep::refresh() {
    const kx::Onboarding::ScanOutcome& scan = onboarding_.scan();
    const bool running = scan.kind == Kind::running;
    run_->setText(running ? tr("Archiving…") : tr("Run the first archive"));
    run_->setEnabled(!running);
    running_->setVisible(running);

    const QString text = QString::fromStdString(kx::Onboarding::scanResultText(scan));
    switch (scan.kind) {
    case Kind::notRun: outcome_->set(QStringLiteral("circle.dashed"), secondaryTextColor(), text); break;
    case Kind::running: outcome_->set(QStringLiteral("clock"), secondaryTextColor(), text); break;
    case Kind::archived:
        if (scan.messages >= 1)
            outcome_->set(QStringLiteral("checkmark.circle.fill"), toneColor(Tone::green), text, QFont::Medium);
        else outcome_->set(QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), text);
        break;
    case Kind::failed: outcome_->set(QStringLiteral("xmark.circle.fill"), toneColor(Tone::red), text); break;
    }
    outcomeBox_->setAccessibleName(tr("First archive: ") + text);

    const bool installed = onboarding_.scheduleInstalled();
    {
        const QSignalBlocker quiet(schedule_);
        schedule_->setChecked(installed);
    }
    scheduleCaption_->setText(installed ? tr("Installed at ") + OnboardingModel::launchAgentPath() + QStringLiteral(".")
                                        : tr("Without this, your archive only updates when you open the app and scan "
                                             "by hand."));
    refreshSummary();
}

void FirstScanStep::refreshSummary() {
    const kx::Onboarding::ScanOutcome& scan = onboarding_.scan();
    const bool show = (scan.kind == Kind::archived && scan.messages > 0) || onboarding_.scheduleInstalled();
    clear(summaryLines_);
    summary_->setVisible(show);
    if (!show) return;
    for (const std::string& line : kx::Onboarding::summary(onboarding_.state())) {
        const QString text = QString::fromStdString(line);
        auto* row = new SymbolLine(TextStyle::callout, QStringLiteral("summaryLine"), 6, summary_);
        if (text.startsWith(QStringLiteral("WARNING")))
            row->set(QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), text);
        else row->set(QStringLiteral("checkmark"), secondaryTextColor(), text);
        summaryLines_->addWidget(row);
    }
}

QStringList FirstScanStep::summaryLines() const {
    QStringList out;
    if (summary_->isHidden()) return out;
    for (int i = 0; i < summaryLines_->count(); ++i)
        if (auto* line = qobject_cast<SymbolLine*>(summaryLines_->itemAt(i)->widget())) out << line->text();
    return out;
}

} // namespace setup
