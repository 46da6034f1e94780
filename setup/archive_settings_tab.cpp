#include "setup/archive_settings_tab.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/platform/workspace.h"
#include "core/archive/archive_layout.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup {

QString ArchiveSettingsTab::retentionExplanation(const kx::RetentionPolicy::Setting& setting) {
    using Kind = kx::RetentionPolicy::Setting::Kind;
    switch (setting.kind) {
    case Kind::days: {
        const QString period = setting.days == 365 ? QStringLiteral("one year")
                                                   : QString::number(setting.days) + QStringLiteral(" days");
        return QStringLiteral("Your Mac deletes messages older than ") + period +
               QStringLiteral(" on a rolling basis. This archive is what keeps them.");
    }
    case Kind::unreadable:
        return QStringLiteral("Could not read this setting (") + QString::fromStdString(setting.reason) +
               QStringLiteral("), so whether your Mac is deleting old messages is UNKNOWN.");
    case Kind::keepForever: break;
    }
    return QStringLiteral("Nothing is deleted by policy. The archive still protects against losing this Mac.");
}

ArchiveSettingsTab::ArchiveSettingsTab(AppModel& model, std::function<void()> showMainWindow, QWidget* parent)
    : QWidget(parent), model_(model), showMainWindow_(std::move(showMainWindow)) {
    setObjectName(QStringLiteral("archiveSettingsTab"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* form = new SettingsForm(this);
    outer->addWidget(form);

    FormSection* keeps = form->addSection(tr("What your Mac keeps"));
    keepValue_ = keeps->addLabeledValue(tr("Messages, Keep messages"));
    keepValue_->setObjectName(QStringLiteral("keepMessages"));
    explanation_ = formText(QString(), TextStyle::caption);
    explanation_->setObjectName(QStringLiteral("retentionExplanation"));
    keeps->addRow(explanation_);
    QHBoxLayout* keepButtons = keeps->addButtonRow();
    auto* reread = new QPushButton(tr("Re-read this setting"));
    reread->setObjectName(QStringLiteral("rereadRetention"));
    auto* openMessages = new QPushButton(tr("Open Messages"));
    openMessages->setObjectName(QStringLiteral("openMessages"));
    for (QPushButton* b : {reread, openMessages}) {
        makeSmall(b);
        keepButtons->addWidget(b);
    }
    keepButtons->addStretch(1);
    connect(reread, &QPushButton::clicked, this, &ArchiveSettingsTab::rereadRetention);
    // There is no Messages application here: its folder is the nearest place.
    connect(openMessages, &QPushButton::clicked, this, [] { workspace().openMessagesPlace(); });

    FormSection* archive = form->addSection(tr("This archive"));
    owner_ = archive->addLabeledValue(tr("Archive for"));
    owner_->setObjectName(QStringLiteral("archiveFor"));
    messages_ = archive->addLabeledValue(tr("Messages archived"));
    messages_->setObjectName(QStringLiteral("messagesArchived"));
    size_ = archive->addLabeledValue(tr("Size on disk"));
    size_->setObjectName(QStringLiteral("sizeOnDisk"));
    size_->setWordWrap(true);
    measure_ = new QPushButton(tr("Measure Size"));
    measure_->setObjectName(QStringLiteral("measureSize"));
    makeSmall(measure_);
    measuring_ = progressRow(tr("Measuring…"));
    measuring_->setObjectName(QStringLiteral("measuring"));
    QHBoxLayout* measureRow = archive->addButtonRow();
    measureRow->addWidget(measure_);
    measureRow->addWidget(measuring_);
    measureRow->addStretch(1);
    archive->addRow(captionText(tr("Size is measured on demand. Walking a large archive takes a while, so it is not "
                                   "done automatically each time you open this window.")));
    connect(measure_, &QPushButton::clicked, this, &ArchiveSettingsTab::measureSize);

    FormSection* sources = form->addSection(tr("Sources"));
    sourceCount_ = sources->addLabeledValue(tr("Connected sources"));
    sourceCount_->setObjectName(QStringLiteral("connectedSources"));
    auto* manage = new QPushButton(tr("Manage Sources"));
    manage->setObjectName(QStringLiteral("manageSources"));
    makeSmall(manage);
    sources->addButtonRow()->addWidget(manage, 0, Qt::AlignLeft);
    connect(manage, &QPushButton::clicked, this, [this] {
        model_.setRoute(Route::sources);
        if (showMainWindow_) showMainWindow_();
    });
    form->finish();

    connect(&model_, &AppModel::reportChanged, this, &ArchiveSettingsTab::refresh);
    connect(&model_, &AppModel::registryChanged, this, &ArchiveSettingsTab::refresh);
    refresh();
}

void ArchiveSettingsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    rereadRetention();
    model_.refreshReport();
}

void ArchiveSettingsTab::rereadRetention() {
    retention_ = kx::RetentionReader::currentSetting(kx::RetentionReader::domain);
    refresh();
}

void ArchiveSettingsTab::measureSize() {
    if (isMeasuring_) return;
    isMeasuring_ = true;
    refresh();
    const std::string owner = model_.owners().resolvedOwner().owner;
    // The owner's folder as the archive names it; an owner that cannot name a
    // folder (".." and the like) is never measured outside the root.
    const auto paths = kx::ArchiveLayout(model_.destinationRoot().toStdString()).ownerIfValid(owner);
    const std::optional<std::string> folder = paths ? std::optional(paths->folder) : std::nullopt;
    std::optional<std::int64_t> count;
    if (model_.report()) count = model_.report()->uniqueMessages;
    model_.startTask(
        this, TaskPriority::userInitiated,
        [this, owner, folder, count]() -> TaskRunner::Publish {
            const std::optional<std::uint64_t> bytes = folder ? kx::TreskStatsReader::directoryBytes(*folder)
                                                              : std::nullopt;
            return [this, owner, bytes, count] { stats_ = kx::TreskStats{owner, bytes, count}; };
        },
        [this] {
            isMeasuring_ = false;
            refresh();
        });
}

void ArchiveSettingsTab::refresh() {
    keepValue_->setText(QString::fromStdString(retention_.appleLabel()));
    explanation_->setText(retentionExplanation(retention_));
    QPalette p = explanation_->palette();
    p.setColor(QPalette::WindowText, retention_.deletesMessages() ? toneColor(Tone::orange) : secondaryTextColor());
    explanation_->setPalette(p);

    owner_->setText(QString::fromStdString(model_.owners().resolvedOwner().owner));
    if (const auto& report = model_.report()) {
        const QString formatted = QLocale().toString(static_cast<qlonglong>(report->uniqueMessages));
        messages_->setText(formatted.isEmpty() ? QString::number(report->uniqueMessages) : formatted);
    } else {
        messages_->setText(tr("No scan has run yet"));
    }
    size_->setText(stats_ ? QString::fromStdString(stats_->sizeDescription()) : tr("Not measured"));
    measure_->setVisible(!isMeasuring_);
    measuring_->setVisible(isMeasuring_);
    sourceCount_->setText(QString::number(model_.registry().sources().size()));
}

} // namespace setup
