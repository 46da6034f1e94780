#include "app/shell/menu_bar_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/runs_model.h"
#include "app/shell/model_calls.h"
#include "app/ui/counts.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QPixmap dot(const QColor& color) {
    const qreal dpr = qApp->devicePixelRatio();
    QPixmap pm(QSize(8, 8) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(QRectF(0, 0, 8, 8));
    return pm;
}

QPushButton* leadingButton(const QString& title, const char* name, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

MenuBarView::MenuBarView(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                         QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("menuBarView"));
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(9);

    auto* title = new QLabel(tr("Kelvara"), this);
    title->setObjectName(QStringLiteral("menuBarTitle"));
    styleLabel(title, TextStyle::headline);
    column->addWidget(title);

    neverRun_ = new QLabel(tr("Never run"), this);
    neverRun_->setObjectName(QStringLiteral("neverRunLabel"));
    styleLabel(neverRun_, TextStyle::caption, toneColor(Tone::orange));
    column->addWidget(neverRun_);

    statusRow_ = new QWidget(this);
    statusRow_->setObjectName(QStringLiteral("statusRow"));
    auto* row = new QHBoxLayout(statusRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    statusDot_ = new QLabel(statusRow_);
    statusDot_->setObjectName(QStringLiteral("statusDot"));
    statusDot_->setFixedSize(8, 8);
    statusDot_->setAccessibleName(QString()); // decorative
    statusText_ = new QLabel(statusRow_);
    statusText_->setObjectName(QStringLiteral("statusLabel"));
    QFont bold = textFont(TextStyle::body);
    bold.setBold(true);
    statusText_->setFont(bold);
    row->addWidget(statusDot_, 0, Qt::AlignVCenter);
    row->addWidget(statusText_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    column->addWidget(statusRow_);

    messageCount_ = new QLabel(this);
    messageCount_->setObjectName(QStringLiteral("messageCountLabel"));
    styleLabel(messageCount_, TextStyle::caption, secondaryTextColor());
    column->addWidget(messageCount_);

    gapCount_ = new QLabel(this);
    gapCount_->setObjectName(QStringLiteral("gapCountLabel"));
    styleLabel(gapCount_, TextStyle::caption, toneColor(Tone::orange));
    column->addWidget(gapCount_);

    column->addWidget(makeDivider(this));
    scanNow_ = leadingButton(tr("Scan Now"), "scanNowButton", this);
    column->addWidget(scanNow_, 0, Qt::AlignLeft);
    auto* open = leadingButton(tr("Open Kelvara"), "openKelvaraButton", this);
    column->addWidget(open, 0, Qt::AlignLeft);
    column->addWidget(makeDivider(this));
    auto* quitButton = leadingButton(tr("Quit"), "quitButton", this);
    column->addWidget(quitButton, 0, Qt::AlignLeft);

    connect(scanNow_, &QPushButton::clicked, this, [this] {
        startOrdinaryScan(model_);
        emit actionTaken();
    });
    connect(open, &QPushButton::clicked, this, [this, openMainWindow] {
        emit actionTaken();
        if (openMainWindow) openMainWindow();
    });
    connect(quitButton, &QPushButton::clicked, this, [this, quit] {
        emit actionTaken();
        if (quit) quit();
    });
    connect(&model_, &AppModel::reportChanged, this, &MenuBarView::refresh);
    connect(&model_.runs(), &RunsModel::isRunningChanged, this, &MenuBarView::refresh);
    refresh();
}

void MenuBarView::refresh() {
    // An archive that ran and is gone shows its alert, never its old counts.
    const auto notFound = model_.alerts().archiveNotFound();
    const auto& report = notFound ? AppModel::OptionalReport() : model_.report();
    neverRun_->setText(notFound ? QString::fromStdString(notFound->title) : tr("Never run"));
    styleLabel(neverRun_, TextStyle::caption, toneColor(notFound ? Tone::red : Tone::orange));
    neverRun_->setVisible(!report.has_value());
    statusRow_->setVisible(report.has_value());
    messageCount_->setVisible(report.has_value());
    qint64 gaps = 0;
    if (report) {
        const bool stale = isReportStale(model_);
        statusDot_->setPixmap(dot(toneColor(stale ? Tone::orange : Tone::green)));
        statusText_->setText(stale ? tr("Stale") : tr("Healthy"));
        messageCount_->setText(inflected(tr("^[%lld message](inflect: true) archived"), report->uniqueMessages));
        gaps = model_.coverageGapCount();
        gapCount_->setText(inflected(tr("^[%lld coverage gap](inflect: true)"), gaps));
    }
    gapCount_->setVisible(report.has_value() && gaps > 0);
    scanNow_->setEnabled(!model_.runs().isRunning());
    adjustSize();
}

void MenuBarView::showEvent(QShowEvent* event) {
    refresh(); // staleness is judged when the panel is shown
    QWidget::showEvent(event);
}

StatusPanel::StatusPanel(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit)
    : QFrame(nullptr, Qt::Popup | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("statusPanel"));
    setFrameShape(QFrame::StyledPanel);
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new MenuBarView(model, std::move(openMainWindow), std::move(quit), this);
    layout->addWidget(view_);
    connect(view_, &MenuBarView::actionTaken, this, &QWidget::hide);
}

void StatusPanel::popUpAt(const QPoint& anchor) {
    view_->refresh();
    adjustSize();
    QPoint pos = anchor;
    if (QScreen* screen = QGuiApplication::screenAt(anchor) ? QGuiApplication::screenAt(anchor)
                                                            : QGuiApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        pos.setX(std::clamp(pos.x(), avail.left(), std::max(avail.left(), avail.right() - width())));
        pos.setY(std::clamp(pos.y(), avail.top(), std::max(avail.top(), avail.bottom() - height())));
    }
    move(pos);
    show();
    raise();
    activateWindow();
}

StatusItem::StatusItem(AppModel& model, std::function<void()> openMainWindow, std::function<void()> quit,
                       bool showTrayIcon, QObject* parent)
    : QObject(parent) {
    panel_ = new StatusPanel(model, openMainWindow, quit);
    if (!showTrayIcon || !isAvailable()) return;
    tray_ = new QSystemTrayIcon(this);
    tray_->setObjectName(QStringLiteral("statusItem"));
    tray_->setIcon(symbolIcon(QStringLiteral("archivebox"), toneColor(Tone::grey)));
    tray_->setToolTip(tr("Kelvara"));
    // Trays that only show menus still reach the same three actions.
    auto* menu = new QMenu;
    menu->setParent(nullptr);
    QAction* scan = menu->addAction(tr("Scan Now"), &model, [&model] { startOrdinaryScan(model); });
    menu->addAction(tr("Open Kelvara"), this, [openMainWindow] { openMainWindow(); });
    menu->addSeparator();
    menu->addAction(tr("Quit"), this, [quit] { quit(); });
    connect(menu, &QMenu::aboutToShow, scan, [scan, &model] { scan->setEnabled(!model.runs().isRunning()); });
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) showPanel(QCursor::pos());
    });
    tray_->show();
}

StatusItem::~StatusItem() {
    if (tray_) {
        delete tray_->contextMenu();
    }
    delete panel_;
}

bool StatusItem::isAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void StatusItem::showPanel(const QPoint& fallback) {
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    QPoint anchor = fallback;
    if (tray_) {
        const QRect g = tray_->geometry();
        if (g.isValid() && !g.isEmpty()) anchor = QPoint(g.left(), g.bottom() + 4);
    }
    panel_->popUpAt(anchor);
}
