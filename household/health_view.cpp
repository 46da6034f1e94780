#include "household/health_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/health_notifier.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"
#include "app/ui/counts.h"
#include "app/ui/dates.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "household/scheduled_access_panel.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using GapKind = kx::CoverageGap::Kind;
using AlertKind = kx::HealthAlert::Kind;

// A symbol before a text in one colour; the symbol's name is kept for tests
// and assistive checks.
SymbolTextLabel* symbolLine(const QString& text, const QString& symbol, TextStyle style, const QColor& color,
                            const QString& name, QWidget* parent, QFont::Weight weight = QFont::Normal) {
    auto* l = new SymbolTextLabel(text, symbol, style, color, parent);
    l->setObjectName(name);
    l->setProperty("symbol", symbol);
    if (weight != QFont::Normal) {
        QFont f = l->textLabel()->font();
        f.setWeight(weight);
        l->textLabel()->setFont(f);
    }
    return l;
}

QLabel* line(const QString& text, TextStyle style, const QColor& color, const QString& name, QWidget* parent,
             bool wrap = true) {
    QLabel* l = styledLabel(text, style, color, parent, wrap);
    l->setObjectName(name);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

// The run's freshness dot, 9 by 9.
QLabel* dot(const QColor& color, QWidget* parent) {
    QPixmap pixmap(QSize(9, 9) * parent->devicePixelRatioF());
    pixmap.setDevicePixelRatio(parent->devicePixelRatioF());
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(0, 0, 9, 9));
    p.end();
    auto* l = new QLabel(parent);
    l->setObjectName(QStringLiteral("staleDot"));
    l->setPixmap(pixmap);
    l->setFixedSize(9, 9);
    l->setProperty("stale", color == toneColor(Tone::orange));
    l->setAccessibleName(QString()); // hidden from assistive technologies: the text says it
    return l;
}

QGroupBox* box(const QString& title, const QString& name, int spacing, QVBoxLayout** column, QWidget* parent) {
    auto* b = new QGroupBox(title, parent);
    b->setObjectName(name);
    *column = new QVBoxLayout(b);
    (*column)->setSpacing(spacing);
    return b;
}

// Empties a layout, nested layouts included. The widgets leave the screen at
// once (a button may be mid-click) and are deleted when control returns.
void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        } else if (QLayout* inner = item->layout()) {
            clear(inner);
        }
        delete item;
    }
}

} // namespace

HealthView::GapLook HealthView::gapLook(GapKind kind) {
    switch (kind) {
    case GapKind::missing:
        return {QStringLiteral("Not archived anywhere"), QStringLiteral("exclamationmark.triangle.fill"),
                toneColor(Tone::orange)};
    case GapKind::quiet:
        return {QStringLiteral("Likely a quiet period"), QStringLiteral("moon.zzz"), secondaryTextColor()};
    case GapKind::notScanned:
        return {QStringLiteral("Not yet scanned"), QStringLiteral("questionmark.circle.fill"), toneColor(Tone::orange)};
    case GapKind::trailing:
        return {QStringLiteral("Nothing archived since"), QStringLiteral("clock.badge.exclamationmark"),
                toneColor(Tone::red)};
    }
    return {QStringLiteral("Not archived"), QStringLiteral("minus.circle"), secondaryTextColor()};
}

QString HealthView::alertSymbol(AlertKind kind) {
    switch (kind) {
    case AlertKind::neverRan:
    case AlertKind::runFailed:
    case AlertKind::stale:
    case AlertKind::sourceUnreachable:
    case AlertKind::destinationUnreachable: return QStringLiteral("exclamationmark.triangle.fill");
    }
    return QStringLiteral("bell");
}

HealthView::HealthView(AppModel& model, QWidget* evidencePanels, QWidget* parent)
    : QWidget(parent), model_(model), evidence_(evidencePanels) {
    setObjectName(QStringLiteral("healthView"));
    ageTick_ = new QTimer(this);
    ageTick_->setObjectName(QStringLiteral("ageTick"));
    ageTick_->setSingleShot(true);
    connect(ageTick_, &QTimer::timeout, this, [this] {
        if (isVisible()) refreshReport();
    });
    QVBoxLayout* column = scrollingColumn(this, QStringLiteral("healthScroll"), 20, 18);
    QWidget* page = column->parentWidget();

    auto* header = new QHBoxLayout;
    auto* title = styledLabel(QStringLiteral("Health"), TextStyle::title2, QColor(), page);
    QFont tf = title->font();
    tf.setBold(true);
    title->setFont(tf);
    refresh_ = new QPushButton(QStringLiteral("Refresh"), page);
    refresh_->setObjectName(QStringLiteral("refresh"));
    refresh_->setAutoDefault(false);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(refresh_);
    column->addLayout(header);

    alertsBox_ = box(QString(), QStringLiteral("alertsBox"), 10, &alerts_, page);
    column->addWidget(alertsBox_);
    access_ = new ScheduledAccessPanel(model_, page);
    column->addWidget(access_);
    noRun_ = new ContentUnavailableWidget(QStringLiteral("No run yet"), QStringLiteral("clock.badge.questionmark"),
                                          QStringLiteral("Scan your sources to build the first coverage report."),
                                          page);
    noRun_->setObjectName(QStringLiteral("noRunYet"));
    noRun_->setMinimumHeight(220);
    column->addWidget(noRun_);

    lastRunBox_ = box(QStringLiteral("Last run"), QStringLiteral("lastRunBox"), 5, &lastRun_, page);
    column->addWidget(lastRunBox_);
    attachmentsBox_ = box(QStringLiteral("Attachment verification"), QStringLiteral("attachmentsBox"), 6, &attachments_,
                          page);
    column->addWidget(attachmentsBox_);
    column->addWidget(evidence_);
    gapsBox_ = box(QStringLiteral("Gaps — what is NOT archived"), QStringLiteral("gapsBox"), 10, &gaps_, page);
    column->addWidget(gapsBox_);
    errorsBox_ = box(QStringLiteral("Errors"), QStringLiteral("errorsBox"), 3, &errors_, page);
    column->addWidget(errorsBox_);
    column->addStretch(1);

    connect(refresh_, &QPushButton::clicked, this, [this] {
        model_.refreshReport();
        model_.alerts().refreshAlerts(false);
    });
    AlertsModel& alerts = model_.alerts();
    connect(&alerts, &AlertsModel::activeAlertsChanged, this, [this] {
        refreshAlerts();
        refreshReport();
    });
    if (HealthNotifier* notifier = alerts.notifier())
        connect(notifier, &HealthNotifier::authorizationChanged, this, &HealthView::refreshAlerts);
    connect(&model_, &AppModel::reportChanged, this, &HealthView::refreshReport);
    connect(&model_.runs(), &RunsModel::isRunningChanged, this, &HealthView::refreshRunning);
    refreshAlerts();
    refreshReport();
}

void HealthView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Staleness moves with the clock: redrawn each time the screen comes back.
    refreshReport();
    PermissionsModel& permissions = model_.permissions();
    if (!probedThisVisit_ && permissions.fdaVerdict().kind == kx::FullDiskAccessProbe::Verdict::Case::notChecked) {
        probedThisVisit_ = true;
        permissions.startAccessProbe();
    }
}

void HealthView::refreshAlerts() {
    clear(alerts_);
    AlertsModel::Alerts alerts = model_.alerts().activeAlerts();
    // An archive that ran and is gone is said also while alerts are turned off.
    if (const auto notFound = model_.alerts().archiveNotFound();
        notFound && std::none_of(alerts.begin(), alerts.end(), [](const kx::HealthAlert& a) {
            return a.kind == kx::HealthAlert::Kind::destinationUnreachable;
        }))
        alerts.insert(alerts.begin(), *notFound);
    alertsBox_->setVisible(!alerts.empty());
    for (const kx::HealthAlert& alert : alerts) {
        auto* row = new QWidget(alertsBox_);
        row->setObjectName(QStringLiteral("alert"));
        auto* rowColumn = new QVBoxLayout(row);
        rowColumn->setContentsMargins(0, 0, 0, 0);
        rowColumn->setSpacing(2);
        const QString symbol = alertSymbol(alert.kind);
        const QColor color = symbol == QLatin1String("bell") ? secondaryTextColor() : toneColor(Tone::orange);
        rowColumn->addWidget(symbolLine(AlertsModel::alertTitle(alert.kind), symbol, TextStyle::callout, color,
                                        QStringLiteral("alertTitle"), row, QFont::Medium));
        rowColumn->addWidget(line(QString::fromStdString(alert.body), TextStyle::caption, secondaryTextColor(),
                                  QStringLiteral("alertBody"), row));
        alerts_->addWidget(row);
    }
    const HealthNotifier* notifier = model_.alerts().notifier();
    const auto auth = notifier ? notifier->authorization() : HealthNotifier::Authorization::unavailable;
    if (!alerts.empty() &&
        (auth == HealthNotifier::Authorization::denied || auth == HealthNotifier::Authorization::unavailable)) {
        alerts_->addWidget(makeDivider(alertsBox_));
        QLabel* off = line(QStringLiteral("Notifications are off, so you will only see these by opening this panel."),
                           TextStyle::caption, secondaryTextColor(), QStringLiteral("notificationsOff"), alertsBox_);
        QFont f = off->font();
        f.setPointSizeF(f.pointSizeF() * 0.92);
        off->setFont(f);
        alerts_->addWidget(off);
    }
}

void HealthView::refreshReport() {
    // An archive that ran and is gone: its alert says so, never "No run yet"
    // nor the counts of a run over an archive that is not there now.
    const bool notFound = model_.alerts().archiveNotFound().has_value();
    const AppModel::OptionalReport& report = notFound ? AppModel::OptionalReport() : model_.report();
    noRun_->setVisible(!report && !notFound);
    for (QWidget* w : {static_cast<QWidget*>(lastRunBox_), static_cast<QWidget*>(attachmentsBox_), evidence_,
                       static_cast<QWidget*>(gapsBox_)})
        w->setVisible(report.has_value());
    for (QVBoxLayout* l : {lastRun_, attachments_, gaps_, errors_}) clear(l);
    verifyAll_ = nullptr;
    errorsBox_->setVisible(report && !report->errors.empty());
    if (!report) return;
    fillLastRun(*report);
    fillAttachments(*report);
    fillGaps(*report);
    fillErrors(*report);
}

void HealthView::refreshRunning() {
    if (verifyAll_) verifyAll_->setEnabled(!model_.runs().isRunning());
}

void HealthView::fillLastRun(const kx::CoverageReport& report) {
    const kx::Date now = model_.clock().now();
    const bool stale = model_.alerts().isReportStale();
    auto* when = new QHBoxLayout;
    when->addWidget(dot(stale ? toneColor(Tone::orange) : toneColor(Tone::green), lastRunBox_), 0, Qt::AlignVCenter);
    // A failed run did not bring the archive up to date: its age counts from the
    // last run that did.
    const std::optional<kx::Date> success = model_.alerts().lastSuccessfulRun();
    QString age;
    if (report.succeeded()) age = relativeShort(report.runDate, now);
    else if (success) age = QStringLiteral("Last successful run ") + relativeShort(*success, now);
    else age = QStringLiteral("No run has succeeded yet");
    if (report.succeeded() || success)
        ageTick_->start(relativeRefreshMs(report.succeeded() ? report.runDate : *success, now));
    else ageTick_->stop();
    when->addWidget(line(age, TextStyle::body, QColor(), QStringLiteral("runAge"), lastRunBox_, false));
    if (stale) {
        QLabel* mark = line(QStringLiteral("— STALE"), TextStyle::body, toneColor(Tone::orange),
                            QStringLiteral("staleMark"), lastRunBox_, false);
        QFont f = mark->font();
        f.setBold(true);
        mark->setFont(f);
        when->addWidget(mark);
    }
    when->addStretch(1);
    lastRun_->addLayout(when);

    if (!report.succeeded()) {
        lastRun_->addWidget(symbolLine(QStringLiteral("The last run failed ") + relativeShort(report.runDate, now),
                                       QStringLiteral("xmark.octagon.fill"), TextStyle::callout, toneColor(Tone::red),
                                       QStringLiteral("runFailed"), lastRunBox_, QFont::DemiBold));
        const QString why = QString::fromStdString(report.failure.value_or(std::string()));
        lastRun_->addWidget(line(why.isEmpty() ? QStringLiteral("No reason was recorded.") : why, TextStyle::caption,
                                 toneColor(Tone::red), QStringLiteral("runFailure"), lastRunBox_));
    }

    QLabel* unique = line(inflected(QStringLiteral("^[%lld unique message](inflect: true) archived"),
                                    report.uniqueMessages),
                          TextStyle::title3, QColor(), QStringLiteral("uniqueMessages"), lastRunBox_);
    QFont uf = unique->font();
    uf.setWeight(QFont::Medium);
    unique->setFont(uf);
    lastRun_->addWidget(unique);
    if (report.newMessages >= 1)
        lastRun_->addWidget(
            symbolLine(inflected(QStringLiteral("^[%lld new](inflect: true) this run"), report.newMessages),
                       QStringLiteral("plus.circle.fill"), TextStyle::caption, toneColor(Tone::green),
                       QStringLiteral("newMessages"), lastRunBox_));
    else
        lastRun_->addWidget(symbolLine(QStringLiteral("nothing new this run"), QStringLiteral("equal.circle"),
                                       TextStyle::caption, secondaryTextColor(), QStringLiteral("newMessages"),
                                       lastRunBox_));
    lastRun_->addWidget(line(QString::number(report.duplicatesCollapsed) + QStringLiteral(" duplicates collapsed · ") +
                                 QString::number(report.corroborated) + QStringLiteral(" corroborated across sources"),
                             TextStyle::caption, secondaryTextColor(), QStringLiteral("duplicates"), lastRunBox_));
}

void HealthView::fillAttachments(const kx::CoverageReport& report) {
    const kx::AttachmentVerification& a = report.attachments;
    const int64_t total = a.storedObjects;
    const int64_t hashed = a.hashed;
    if (total <= 0) {
        attachments_->addWidget(symbolLine(QStringLiteral("Not checked in the last run"),
                                           QStringLiteral("minus.circle"), TextStyle::body, secondaryTextColor(),
                                           QStringLiteral("verification"), attachmentsBox_));
        attachments_->addWidget(
            line(QStringLiteral("Run a scan with attachments enabled to copy and verify attachment bytes."),
                 TextStyle::caption, secondaryTextColor(), QStringLiteral("verificationHint"), attachmentsBox_));
        return;
    }
    const bool sample = hashed < total;
    if (sample)
        attachments_->addWidget(symbolLine(QStringLiteral("Spot-check: %1 of %2 objects hashed").arg(hashed).arg(total),
                                           QStringLiteral("list.bullet.indent"), TextStyle::body, secondaryTextColor(),
                                           QStringLiteral("verification"), attachmentsBox_));
    else
        attachments_->addWidget(symbolLine(QStringLiteral("Full sweep: all %1 objects hashed").arg(total),
                                           QStringLiteral("checkmark.seal.fill"), TextStyle::body,
                                           toneColor(Tone::green), QStringLiteral("verification"), attachmentsBox_));
    // Counts of a spot check describe the sample, never the whole store.
    const QString ofSample = sample ? QStringLiteral(" in the sample") : QString();
    auto* counts = new QHBoxLayout;
    counts->setSpacing(14);
    counts->addWidget(symbolLine(QString::number(a.verified) + QStringLiteral(" verified") + ofSample,
                                 QStringLiteral("checkmark.circle"), TextStyle::callout, toneColor(Tone::green),
                                 QStringLiteral("verifiedCount"), attachmentsBox_));
    if (a.missingBytes >= 1)
        counts->addWidget(symbolLine(QString::number(a.missingBytes) + QStringLiteral(" missing bytes") + ofSample,
                                     QStringLiteral("exclamationmark.triangle"), TextStyle::callout,
                                     toneColor(Tone::orange), QStringLiteral("missingCount"), attachmentsBox_));
    counts->addStretch(1);
    // Short counts: kept on one line each.
    for (int i = 0; i < counts->count(); ++i)
        if (auto* l = qobject_cast<SymbolTextLabel*>(counts->itemAt(i)->widget())) l->textLabel()->setWordWrap(false);
    attachments_->addLayout(counts);
    if (!sample) return;
    attachments_->addWidget(line(QStringLiteral("Counts describe the sample above, not the whole store. A deletion "
                                                "decision needs a full sweep."),
                                 TextStyle::caption, secondaryTextColor(), QStringLiteral("sampleCaveat"),
                                 attachmentsBox_));
    verifyAll_ = new QPushButton(symbolIcon(QStringLiteral("checkmark.seal")),
                                 QStringLiteral("Verify every object now"), attachmentsBox_);
    verifyAll_->setObjectName(QStringLiteral("verifyEveryObject"));
    verifyAll_->setAutoDefault(false);
    verifyAll_->setToolTip(QStringLiteral("Re-hashes all %1 stored objects. ").arg(total) +
                           QStringLiteral("Slower, but the only basis for a deletion decision."));
    QFont bf = verifyAll_->font();
    bf.setPointSizeF(textFont(TextStyle::callout).pointSizeF());
    verifyAll_->setFont(bf);
    connect(verifyAll_, &QPushButton::clicked, this, [this] {
        ScanRequest request;
        request.fullSweep = true;
        model_.runs().startScan(request);
    });
    attachments_->addWidget(verifyAll_, 0, Qt::AlignLeft);
    refreshRunning();
}

void HealthView::fillGaps(const kx::CoverageReport& report) {
    if (report.gaps.empty()) {
        gaps_->addWidget(symbolLine(QStringLiteral("No gaps detected"), QStringLiteral("checkmark.circle"),
                                    TextStyle::body, toneColor(Tone::green), QStringLiteral("noGaps"), gapsBox_));
        return;
    }
    // The count the menu-bar panel shows; quiet periods are listed, not counted.
    if (const int64_t counted = model_.coverageGapCount())
        gaps_->addWidget(line(inflected(QStringLiteral("^[%lld coverage gap](inflect: true)"), counted),
                              TextStyle::caption, toneColor(Tone::orange), QStringLiteral("gapCount"), gapsBox_));
    for (const kx::CoverageGap& gap : report.gaps) {
        const GapLook look = gapLook(gap.kind);
        auto* row = new QWidget(gapsBox_);
        row->setObjectName(QStringLiteral("gap"));
        auto* rowColumn = new QVBoxLayout(row);
        rowColumn->setContentsMargins(0, 0, 0, 0);
        rowColumn->setSpacing(2);
        rowColumn->addWidget(symbolLine(QString::fromStdString(gap.name) + QStringLiteral(" — ") + look.title,
                                        look.symbol, TextStyle::callout, look.color, QStringLiteral("gapTitle"), row,
                                        QFont::Medium));
        auto* dates = new QHBoxLayout;
        dates->setSpacing(4);
        dates->addWidget(line(mediumDate(gap.start) + QStringLiteral(" → ") + mediumDate(gap.end), TextStyle::caption,
                              QColor(), QStringLiteral("gapDates"), row, false));
        dates->addWidget(line(QStringLiteral("· ") + inflected(QStringLiteral("^[%lld day](inflect: true)"), gap.days),
                              TextStyle::caption, secondaryTextColor(), QStringLiteral("gapDays"), row, false));
        dates->addStretch(1);
        rowColumn->addLayout(dates);
        if (gap.detail && !gap.detail->empty())
            rowColumn->addWidget(line(QString::fromStdString(*gap.detail), TextStyle::caption, secondaryTextColor(),
                                      QStringLiteral("gapDetail"), row));
        gaps_->addWidget(row);
    }
}

void HealthView::fillErrors(const kx::CoverageReport& report) {
    for (const std::string& e : report.errors)
        errors_->addWidget(line(QString::fromStdString(e), TextStyle::caption, toneColor(Tone::red),
                                QStringLiteral("error"), errorsBox_));
}
