#include "setup/general_settings_tab.h"

#include "app/model/app_model.h"
#include "app/model/household_model.h"
#include "app/model/permissions_model.h"
#include "app/platform/workspace.h"
#include "app/ui/app_version.h"
#include "app/ui/screen_widgets.h"
#include "core/platform/error.h"
#include "setup/settings_form.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace setup {

GeneralSettingsTab::GeneralSettingsTab(AppModel& model, std::function<void()> showMainWindow, QWidget* parent)
    : QWidget(parent), model_(model), showMainWindow_(std::move(showMainWindow)) {
    setObjectName(QStringLiteral("generalSettingsTab"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* form = new SettingsForm(this);
    outer->addWidget(form);

    // Archive destination
    FormSection* destination = form->addSection(tr("Archive destination"));
    QHBoxLayout* destRow = destination->addButtonRow();
    destLabel_ = formText(QString(), TextStyle::callout, QColor(), nullptr, true);
    destLabel_->setObjectName(QStringLiteral("destination"));
    destLabel_->setWordWrap(false);
    destLabel_->setMinimumWidth(80);
    destLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    destRow->addWidget(destLabel_, 1, Qt::AlignVCenter);
    auto* choose = new QPushButton(tr("Choose…"));
    choose->setObjectName(QStringLiteral("chooseDestination"));
    reveal_ = new QPushButton(tr("Reveal"));
    reveal_->setObjectName(QStringLiteral("revealDestination"));
    destRow->addWidget(choose, 0, Qt::AlignVCenter);
    destRow->addWidget(reveal_, 0, Qt::AlignVCenter);
    missingNote_ = destination->addRow(
        symbolText(QStringLiteral("externaldrive.badge.questionmark"),
                   tr("This location is not there right now. If it is an external drive, plug it in."),
                   toneColor(Tone::orange), TextStyle::caption, QStringLiteral("missingDestination")));
    destination->addRow(captionText(tr("Local-first. Your messages stay on this Mac unless you choose otherwise.")));
    connect(choose, &QPushButton::clicked, this, &GeneralSettingsTab::chooseDestination);
    connect(reveal_, &QPushButton::clicked, this, [this] { workspace().revealItem(dest_); });

    // Automatic backup
    FormSection* automatic = form->addSection(tr("Automatic backup"));
    scheduleSwitch_ = new QCheckBox(tr("Archive automatically every day"));
    scheduleSwitch_->setObjectName(QStringLiteral("scheduleSwitch"));
    automatic->addRow(scheduleSwitch_);
    // Only a person's click runs the installer; putting the switch back to what
    // the disk says never does.
    connect(scheduleSwitch_, &QCheckBox::clicked, this, &GeneralSettingsTab::setScheduleOn);
    // Why the last flip of the switch did not take, beside the switch itself.
    scheduleProblem_ = textLabel(QString(), TextStyle::caption, toneColor(Tone::orange), nullptr, true);
    scheduleProblem_->setObjectName(QStringLiteral("scheduleProblem"));
    scheduleProblem_->hide();
    automatic->addRow(scheduleProblem_);
    noSources_ = captionText(tr("Connect a source first."));
    noSources_->setObjectName(QStringLiteral("connectSourceFirst"));
    automatic->addRow(noSources_);
    onBlock_ = new QWidget;
    auto* onColumn = new QVBoxLayout(onBlock_);
    onColumn->setContentsMargins(0, 0, 0, 0);
    onColumn->setSpacing(8);
    auto* runsAt = captionText(
        tr("Runs at 3:30am. Incremental, so a run only reads messages newer than the last successful one."));
    runsAt->setObjectName(QStringLiteral("scheduleOnCaption"));
    onColumn->addWidget(runsAt);
    blockedWarning_ = symbolText(QStringLiteral("exclamationmark.triangle.fill"),
                                 tr("This schedule is running and saving nothing. See Permissions."),
                                 toneColor(Tone::red), TextStyle::caption, QStringLiteral("scheduleBlocked"));
    onColumn->addWidget(blockedWarning_);
    auto* logs = new QPushButton(tr("Show logs"));
    logs->setObjectName(QStringLiteral("showLogs"));
    makeSmall(logs);
    onColumn->addWidget(logs, 0, Qt::AlignLeft);
    connect(logs, &QPushButton::clicked, this, [] { workspace().openFolder(PermissionsModel::scheduleLogFolder()); });
    automatic->addRow(onBlock_);
    offCaption_ = captionText(tr("Without this, the archive only updates when you scan by hand."));
    offCaption_->setObjectName(QStringLiteral("scheduleOffCaption"));
    automatic->addRow(offCaption_);

    // At launch
    FormSection* launch = form->addSection(tr("At launch"));
    QLabel* version = launch->addLabeledValue(tr("Version"), appVersionString());
    version->setObjectName(QStringLiteral("version"));
    auto* open = new QPushButton(tr("Open Kelvara"));
    open->setObjectName(QStringLiteral("openKelvara"));
    makeSmall(open);
    launch->addButtonRow()->addWidget(open, 0, Qt::AlignLeft);
    connect(open, &QPushButton::clicked, this, [this] {
        if (showMainWindow_) showMainWindow_();
    });
    form->finish();

    connect(&model_, &AppModel::registryChanged, this, &GeneralSettingsTab::refresh);
    connect(&model_.permissions(), &PermissionsModel::fdaVerdictChanged, this, &GeneralSettingsTab::refresh);
    dest_ = model_.destinationRoot();
    scheduleInstalled_ = PermissionsModel::scheduleInstalled();
    refresh();
}

void GeneralSettingsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    dest_ = model_.destinationRoot();
    scheduleInstalled_ = PermissionsModel::scheduleInstalled();
    refresh();
}

void GeneralSettingsTab::chooseDestination() {
    const QString chosen = workspace().chooseFolder(this, tr("Choose where the archive is stored."));
    if (chosen.isEmpty()) return;
    model_.setDestinationRoot(chosen);
    dest_ = model_.destinationRoot();
    refresh();
}

void GeneralSettingsTab::setScheduleOn(bool on) {
    PermissionsModel& permissions = model_.permissions();
    const std::optional<QString> failure = on ? permissions.installSchedule() : permissions.removeSchedule();
    scheduleInstalled_ = PermissionsModel::scheduleInstalled();
    if (failure) model_.setLastError(on ? *failure + tr(" Automatic backup is OFF.") : *failure);
    scheduleProblem_->setText(!failure ? QString()
                              : on     ? tr("The daily schedule could not be turned on, so Automatic backup is OFF. "
                                                "Details: ") +
                                         *failure
                                   : tr("The daily schedule could not be turned off. Details: ") + *failure);
    scheduleProblem_->setVisible(failure.has_value());
    refresh();
}

void GeneralSettingsTab::refresh() {
    destLabel_->setText(dest_.isEmpty() ? tr("Not set") : dest_);
    destLabel_->setToolTip(dest_);
    const bool exists = !dest_.isEmpty() && QFileInfo::exists(dest_);
    reveal_->setEnabled(exists);
    // The default location only appears with the first run that archives
    // something: not being there yet is not a drive to plug in.
    missingNote_->setVisible(!dest_.isEmpty() && !exists && dest_ != model_.defaultDestinationRoot());

    const bool hasSources = !model_.registry().sources().empty();
    {
        const QSignalBlocker quiet(scheduleSwitch_);
        scheduleSwitch_->setChecked(scheduleInstalled_);
    }
    // Turning the schedule on needs a source; turning an installed one off
    // never does.
    scheduleSwitch_->setEnabled(hasSources || scheduleInstalled_);
    noSources_->setVisible(!hasSources);
    onBlock_->setVisible(hasSources && scheduleInstalled_);
    offCaption_->setVisible(hasSources && !scheduleInstalled_);
    const kx::PermissionsSummary summary = model_.permissions().permissionStatus();
    blockedWarning_->setVisible(summary.scheduleInstalled &&
                                summary.fullDiskAccess.kind ==
                                    kx::FullDiskAccessProbe::Verdict::Case::scheduledBlocked);
}

} // namespace setup
