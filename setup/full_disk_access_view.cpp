#include "setup/full_disk_access_view.h"

#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/platform/workspace.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "setup/settings_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace setup {

FullDiskAccessView::FullDiskAccessView(AppModel& model, QWidget* parent, std::chrono::milliseconds recheckInterval)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("fullDiskAccessView"));
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(16);

    QWidget* title = iconLabel(tr("Full Disk Access is required"), QStringLiteral("lock.shield"), this);
    title->setObjectName(QStringLiteral("fullDiskAccessTitle"));
    QFont tf = textFont(TextStyle::title2);
    tf.setBold(true);
    if (auto* text = title->findChild<QLabel*>(QStringLiteral("iconLabelTitle"))) text->setFont(tf);
    if (auto* symbol = title->findChild<QLabel*>(QStringLiteral("iconLabelSymbol"))) {
        const int size = QFontMetrics(tf).height();
        symbol->setPixmap(symbolPixmap(QStringLiteral("lock.shield"), size));
        symbol->setFixedSize(size, size);
    }
    column->addWidget(title);

    QLabel* explanation =
        formText(tr("Your message history lives in a protected folder that macOS hides from apps by default. Kelvara "
                    "needs Full Disk Access to read it.") +
                     QStringLiteral("\n\n") +
                     tr("Kelvara only ever READS your message databases. It never modifies, moves, or deletes "
                        "anything in them."),
                 TextStyle::body, QColor(), this);
    explanation->setObjectName(QStringLiteral("explanation"));
    column->addWidget(explanation);

    auto* steps = new QVBoxLayout;
    steps->setSpacing(6);
    const QString stepTexts[] = {tr("1. Click the button below to open System Settings."),
                                 tr("2. Turn on the switch next to Kelvara."),
                                 tr("3. Come back here — this window closes automatically.")};
    for (const QString& s : stepTexts) {
        QLabel* step = formText(s, TextStyle::callout, secondaryTextColor(), this);
        step->setObjectName(QStringLiteral("step"));
        steps->addWidget(step);
    }
    column->addLayout(steps);

    auto* buttons = new QHBoxLayout;
    openSettings_ = new QPushButton(tr("Open System Settings"), this);
    openSettings_->setObjectName(QStringLiteral("openSystemSettings"));
    makeProminent(openSettings_);
    checkAgain_ = new QPushButton(tr("Check Again"), this);
    checkAgain_->setObjectName(QStringLiteral("checkAgain"));
    continueWithout_ = new QPushButton(tr("Continue without it"), this);
    continueWithout_->setObjectName(QStringLiteral("continueWithoutAccessButton"));
    continueWithout_->setToolTip(tr("Browse an existing archive. New scans of this Mac's Messages will not work until "
                                    "access is granted."));
    for (QPushButton* b : {openSettings_, checkAgain_, continueWithout_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    column->addLayout(buttons);

    // Linux has no Full Disk Access list: the live database's folder is where
    // read access is given.
    connect(openSettings_, &QPushButton::clicked, this, [] { workspace().openMessagesPlace(); });
    connect(checkAgain_, &QPushButton::clicked, this, [this] { model_.permissions().checkFullDiskAccess(); });
    connect(continueWithout_, &QPushButton::clicked, this,
            [this] { model_.permissions().setDismissedFullDiskAccessPrompt(true); });

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("recheckTimer"));
    timer_->setInterval(recheckInterval);
    connect(timer_, &QTimer::timeout, this, [this] { model_.permissions().checkFullDiskAccess(); });
}

// The re-check runs only while the window is on screen.
void FullDiskAccessView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_->start();
}

void FullDiskAccessView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_->stop();
}

} // namespace setup
