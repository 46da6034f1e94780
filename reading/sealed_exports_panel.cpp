#include "reading/sealed_exports_panel.h"

#include "app/model/app_model.h"
#include "app/model/evidence_model.h"
#include "app/ui/style.h"
#include "app/ui/text_widgets.h"
#include "core/evidence/sealer.h"
#include "reading/model/evidence_text.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

SealedExportsPanel::SealedExportsPanel(AppModel& model, QWidget* parent)
    : QGroupBox(QStringLiteral("Sealed exports"), parent), model_(model) {
    setObjectName(QStringLiteral("sealedExportsPanel"));
    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);
    column->addWidget(styledLabel(QString::fromStdString(kx::Sealer::honestyCopy), TextStyle::caption,
                                  secondaryTextColor(), this, true));

    waitingBlock_ = new QWidget(this);
    {
        auto* l = new QVBoxLayout(waitingBlock_);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(8);
        waiting_ = new SymbolTextLabel(QString(), QStringLiteral("clock.badge.exclamationmark"), TextStyle::body,
                                       toneColor(Tone::orange), waitingBlock_);
        waiting_->setObjectName(QStringLiteral("waiting"));
        l->addWidget(waiting_);
        l->addWidget(styledLabel(QStringLiteral("Each seal file is complete on disk. The anchor (a signed, timestamped "
                                                "receipt from the seal server) is retried at every launch."),
                                 TextStyle::caption, secondaryTextColor(), waitingBlock_, true));
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        retry_ = new QPushButton(QStringLiteral("Retry now"), waitingBlock_);
        retry_->setObjectName(QStringLiteral("retry"));
        retry_->setAutoDefault(false);
        lastRetry_ = styledLabel(QString(), TextStyle::caption, secondaryTextColor(), waitingBlock_);
        lastRetry_->setObjectName(QStringLiteral("lastRetry"));
        retry_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        row->addWidget(retry_);
        row->addWidget(lastRetry_, 1);
        row->addStretch(); // the retry text's room while there is none
        l->addLayout(row);
    }
    column->addWidget(waitingBlock_);
    noneWaiting_ = new SymbolTextLabel(QStringLiteral("No seals waiting to be anchored"),
                                       QStringLiteral("checkmark.seal"), TextStyle::body, secondaryTextColor(), this);
    noneWaiting_->setObjectName(QStringLiteral("noneWaiting"));
    column->addWidget(noneWaiting_);

    EvidenceModel& evidence = model_.evidence();
    connect(retry_, &QPushButton::clicked, this, [this] { model_.evidence().retryPendingAnchors(true); });
    connect(&evidence, &EvidenceModel::pendingAnchorCountChanged, this, &SealedExportsPanel::refresh);
    connect(&evidence, &EvidenceModel::lastAnchorRetryChanged, this, &SealedExportsPanel::refresh);
    connect(&evidence, &EvidenceModel::isRetryingAnchorsChanged, this, &SealedExportsPanel::refresh);
    refresh();
}

void SealedExportsPanel::refresh() {
    const EvidenceModel& evidence = model_.evidence();
    const int count = evidence.pendingAnchorCount();
    waitingBlock_->setVisible(count != 0);
    noneWaiting_->setVisible(count == 0);
    waiting_->setText(reading::waitingSealsText(count));
    const bool running = evidence.isRetryingAnchors();
    retry_->setText(running ? QStringLiteral("Retrying…") : QStringLiteral("Retry now"));
    retry_->setEnabled(!running);
    lastRetry_->setText(evidence.lastAnchorRetry());
    lastRetry_->setVisible(!evidence.lastAnchorRetry().isEmpty());
}
