#include "setup/onboarding/onboarding_view.h"

#include "app/model/app_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "app/ui/widgets.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/archive_choice_step.h"
#include "setup/onboarding/first_scan_step.h"
#include "setup/onboarding/full_disk_access_step.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/onboarding/welcome_step.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace setup {

using Step = kx::Onboarding::Step;
using Gate = kx::Onboarding::StepGate;

QString OnboardingView::title(Step step) {
    switch (step) {
    case Step::welcome: return tr("What this does");
    case Step::fullDiskAccess: return tr("Permission to read your messages");
    case Step::archiveChoice: return tr("Your archive");
    case Step::firstScan: return tr("First archive");
    }
    return QString();
}

QString OnboardingView::subtitle(Step step) {
    switch (step) {
    case Step::welcome: return tr("What your Mac keeps, and what it does not.");
    case Step::fullDiskAccess: return tr("macOS hides your messages from apps until you allow this.");
    case Step::archiveChoice: return tr("Start fresh, or join the archive on another Mac.");
    case Step::firstScan: return tr("Archive what is here now, then keep doing it.");
    }
    return QString();
}

OnboardingView::OnboardingView(AppModel& model, JoinFlowFactory joinFlows, OnboardingModel& onboarding, QWidget* parent)
    : QWidget(parent), model_(model), joinFlows_(std::move(joinFlows)), onboarding_(onboarding) {
    setObjectName(QStringLiteral("onboardingView"));
    setFixedSize(kWidth, kHeight);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    column->addWidget(makeDivider(this));

    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("onboardingContent"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* page = new QWidget(scroll_);
    content_ = new QVBoxLayout(page);
    content_->setContentsMargins(24, 24, 24, 24);
    content_->setSpacing(16);
    gate_ = new SymbolLine(TextStyle::callout, QStringLiteral("gate"), 6, page);
    error_ = new SymbolLine(TextStyle::callout, QStringLiteral("lastError"), 6, page, true);
    content_->addWidget(gate_);
    content_->addWidget(error_);
    content_->addStretch(1);
    scroll_->setWidget(page);
    useWheelStepOfText(scroll_);
    column->addWidget(scroll_, 1);

    column->addWidget(makeDivider(this));
    column->addWidget(buildFooter());

    connect(&onboarding_, &OnboardingModel::stepChanged, this, &OnboardingView::showStep);
    connect(&onboarding_, &OnboardingModel::stateChanged, this, &OnboardingView::refreshState);
    connect(&onboarding_, &OnboardingModel::lastErrorChanged, this, &OnboardingView::refreshError);
    showStep();
    refreshError();
}

QWidget* OnboardingView::buildHeader() {
    header_ = new QWidget(this);
    header_->setObjectName(QStringLiteral("onboardingHeader"));
    auto* column = new QVBoxLayout(header_);
    column->setContentsMargins(24, 20, 24, 14);
    column->setSpacing(4);
    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    title_ = formText(QString(), TextStyle::title2, QColor(), header_);
    title_->setObjectName(QStringLiteral("stepTitle"));
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setWordWrap(false); // one line: the counter stands on its baseline
    counter_ = formText(QString(), TextStyle::caption, secondaryTextColor(), header_);
    counter_->setObjectName(QStringLiteral("stepCounter"));
    counter_->setWordWrap(false);
    // Both sit on the title's first baseline.
    counter_->setContentsMargins(0, 0, 0, QFontMetrics(bold).descent() - QFontMetrics(counter_->font()).descent());
    top->addWidget(title_, 1, Qt::AlignBottom);
    top->addWidget(counter_, 0, Qt::AlignBottom);
    column->addLayout(top);
    subtitle_ = formText(QString(), TextStyle::callout, secondaryTextColor(), header_);
    subtitle_->setObjectName(QStringLiteral("stepSubtitle"));
    column->addWidget(subtitle_);
    column->addSpacing(4);
    progress_ = new QProgressBar(header_);
    progress_->setObjectName(QStringLiteral("stepProgress"));
    progress_->setTextVisible(false);
    progress_->setFixedHeight(6);
    progress_->setRange(0, kx::Onboarding::count);
    column->addWidget(progress_);
    return header_;
}

QWidget* OnboardingView::buildFooter() {
    auto* footer = new QWidget(this);
    footer->setObjectName(QStringLiteral("onboardingFooter"));
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(24, 14, 24, 14);
    row->setSpacing(8);
    later_ = new QPushButton(tr("Set this up later"), footer);
    later_->setObjectName(QStringLiteral("setUpLaterButton"));
    later_->setToolTip(tr("Close this and go to the app. Nothing is archived until a source is connected and Full "
                          "Disk Access is granted."));
    back_ = new QPushButton(tr("Back"), footer);
    back_->setObjectName(QStringLiteral("backButton"));
    advance_ = new QPushButton(footer);
    advance_->setObjectName(QStringLiteral("advanceButton"));
    makeProminent(advance_);
    for (QPushButton* b : {later_, back_}) makeStepButton(b);
    advance_->setAutoDefault(false);
    row->addWidget(later_);
    row->addStretch(1);
    row->addWidget(back_);
    row->addWidget(advance_);
    connect(later_, &QPushButton::clicked, this, &OnboardingView::setUpLater);
    connect(back_, &QPushButton::clicked, &onboarding_, &OnboardingModel::goBack);
    connect(advance_, &QPushButton::clicked, &onboarding_, &OnboardingModel::advance);
    return footer;
}

void OnboardingView::setUpLater() {
    onboarding_.setSkippedFlag(true);
    onboarding_.setExplicitlyOpened(false);
    onboarding_.setIsFinished(true);
}

void OnboardingView::showStep() {
    const Step step = onboarding_.step();
    if (stepView_) {
        stepView_->hide();
        stepView_->deleteLater();
    }
    QWidget* page = scroll_->widget();
    switch (step) {
    case Step::welcome: stepView_ = new WelcomeStep(onboarding_, page); break;
    case Step::fullDiskAccess: stepView_ = new FullDiskAccessStep(onboarding_, page); break;
    case Step::archiveChoice: stepView_ = new ArchiveChoiceStep(model_, joinFlows_, onboarding_, page); break;
    case Step::firstScan: stepView_ = new FirstScanStep(onboarding_, page); break;
    }
    content_->insertWidget(0, stepView_);
    stepView_->show();
    // A step's prominent buttons must not take Return from the advance button.
    advance_->setDefault(true);
    scroll_->verticalScrollBar()->setValue(0);

    const int position = kx::Onboarding::position(step);
    title_->setText(title(step));
    subtitle_->setText(subtitle(step));
    counter_->setText(tr("Step %1 of %2").arg(position).arg(kx::Onboarding::count));
    progress_->setValue(position);
    header_->setAccessibleName(title(step) + QStringLiteral(". Step ") + QString::number(position) +
                               QStringLiteral(" of ") + QString::number(kx::Onboarding::count) + QStringLiteral(". ") +
                               subtitle(step));
    back_->setVisible(kx::Onboarding::previous(step).has_value());
    refreshState();
}

void OnboardingView::refreshState() {
    const kx::Onboarding::State state = onboarding_.state();
    const Gate gate = kx::Onboarding::gate(state);
    const QString text = QString::fromStdString(gate.text);
    switch (gate.kind) {
    case Gate::Kind::warning:
        gate_->set(QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::orange), text, QFont::Normal,
                   toneColor(Tone::orange));
        gate_->setAccessibleName(tr("Warning: ") + text);
        break;
    case Gate::Kind::blocked:
        gate_->set(QStringLiteral("info.circle"), secondaryTextColor(), text, QFont::Normal, secondaryTextColor());
        gate_->setAccessibleName(tr("Next step: ") + text);
        break;
    case Gate::Kind::open: break;
    }
    gate_->setVisible(gate.kind != Gate::Kind::open);
    advance_->setText(QString::fromStdString(kx::Onboarding::advanceLabel(state)));
    advance_->setEnabled(!gate.isBlocked());
}

void OnboardingView::refreshError() {
    const QString error = onboarding_.lastError();
    if (!error.isNull())
        error_->set(QStringLiteral("exclamationmark.triangle.fill"), toneColor(Tone::red), error, QFont::Normal,
                    toneColor(Tone::red));
    error_->setVisible(!error.isNull());
}

void OnboardingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (appeared_) return;
    appeared_ = true;
    onboarding_.refreshLiveState();
    onboarding_.refreshStep(onboarding_.step());
}

void OnboardingView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous()) appeared_ = false;
}

void OnboardingView::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (advance_->isEnabled()) advance_->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace setup
