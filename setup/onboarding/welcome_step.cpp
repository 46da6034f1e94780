#include "setup/onboarding/welcome_step.h"

#include "app/platform/workspace.h"
#include "core/archive/tresk_stats.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup {

namespace {

// One fact: its name at the leading edge, its value at the trailing edge.
QLabel* addFact(QVBoxLayout* rows, const QString& label, const QString& name, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    auto* title = formText(label, TextStyle::callout, QColor(), row);
    title->setWordWrap(false);
    auto* value = formText(QString(), TextStyle::callout, QColor(), row, true);
    value->setObjectName(name);
    value->setAlignment(Qt::AlignRight | Qt::AlignTop);
    line->addWidget(title, 0, Qt::AlignTop);
    line->addWidget(value, 1);
    row->setAccessibleName(label);
    rows->addWidget(row);
    return value;
}

} // namespace

WelcomeStep::WelcomeStep(OnboardingModel& onboarding, QWidget* parent) : QWidget(parent), onboarding_(onboarding) {
    setObjectName(QStringLiteral("welcomeStep"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    headline_ = new SymbolLine(TextStyle::title3, QStringLiteral("welcomeHeadline"), 10, this);
    column->addWidget(headline_);
    body_ = formText(QString(), TextStyle::body, QColor(), this);
    body_->setObjectName(QStringLiteral("welcomeBody"));
    column->addWidget(body_);

    auto* facts = new GroupBox(this);
    facts->setObjectName(QStringLiteral("welcomeFacts"));
    auto* rows = new QVBoxLayout(facts);
    rows->setContentsMargins(12, 10, 12, 10);
    rows->setSpacing(6);
    keep_ = addFact(rows, tr("Keep messages"), QStringLiteral("keepMessages"), facts);
    QFont medium = keep_->font();
    medium.setWeight(QFont::Medium);
    keep_->setFont(medium);
    live_ = addFact(rows, tr("On this Mac now"), QStringLiteral("onThisMacNow"), facts);
    attachments_ = addFact(rows, tr("Attachments here"), QStringLiteral("attachmentsHere"), facts);
    column->addWidget(facts);

    column->addWidget(captionText(tr("Kelvara reads your message databases and nothing else. It never modifies, moves "
                                     "or deletes anything in them, and nothing leaves this Mac unless you set up a "
                                     "backup destination yourself."),
                                  this));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    openMessages_ = new QPushButton(tr("Open Messages"), this);
    openMessages_->setObjectName(QStringLiteral("openMessages"));
    openMessages_->setToolTip(tr("Messages, Settings, General, Keep messages is the setting described above."));
    reread_ = new QPushButton(tr("Re-read this setting"), this);
    reread_->setObjectName(QStringLiteral("rereadSetting"));
    for (QPushButton* b : {openMessages_, reread_}) {
        makeSmall(b);
        makeStepButton(b);
        buttons->addWidget(b, 0, Qt::AlignVCenter);
    }
    buttons->addStretch(1);
    column->addLayout(buttons);

    // There is no Messages application here: the folder of its database is the
    // nearest place.
    connect(openMessages_, &QPushButton::clicked, this, [] { workspace().openMessagesPlace(); });
    connect(reread_, &QPushButton::clicked, &onboarding_, &OnboardingModel::refreshLiveState);
    for (auto signal : {&OnboardingModel::retentionChanged, &OnboardingModel::liveMessagesChanged,
                        &OnboardingModel::liveAttachmentBytesChanged, &OnboardingModel::isReadingLiveStateChanged})
        connect(&onboarding_, signal, this, &WelcomeStep::refresh);
    refresh();
}

void WelcomeStep::refresh() {
    const kx::RetentionPolicy::Setting& retention = onboarding_.retention();
    const QString headline = QString::fromStdString(kx::Onboarding::welcomeHeadline(retention));
    if (onboarding_.retentionDeletesMessages())
        headline_->set(QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), headline, QFont::Bold);
    else headline_->set(QStringLiteral("archivebox"), secondaryTextColor(), headline, QFont::Bold);
    body_->setText(QString::fromStdString(kx::Onboarding::welcomeBody(retention)));
    keep_->setText(QString::fromStdString(retention.appleLabel()));
    const bool measuring = onboarding_.isReadingLiveState();
    live_->setText(measuring ? tr("Measuring…") : onboarding_.liveMessagesSummary());
    attachments_->setText(measuring ? tr("Measuring…")
                                    : QString::fromStdString(kx::byteCountText(static_cast<std::uint64_t>(
                                          std::max<qint64>(0, onboarding_.liveAttachmentBytes())))));
}

} // namespace setup
