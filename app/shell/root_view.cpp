#include "app/shell/root_view.h"

#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/shell/route_screens.h"
#include "app/shell/routes.h"
#include "app/shell/sheets.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "setup/model/onboarding_model.h"

#include <QApplication>
#include <QDialog>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

bool gAnimations = true;
constexpr int kRowHeight = 28;
constexpr int kBannerMillis = 200;

// Rows the way a Mac source list draws them: a tinted symbol, the label, and a
// rounded highlight behind the selected row (accent-filled while the sidebar
// has the keyboard focus, grey otherwise).
class SidebarDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize s = QStyledItemDelegate::sizeHint(option, index);
        s.setHeight(kRowHeight);
        return s;
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const bool selected = option.state & QStyle::State_Selected;
        const bool focused = (option.state & QStyle::State_HasFocus) || (option.widget && option.widget->hasFocus());
        const QRect r = option.rect.adjusted(0, 1, 0, -1);
        QColor textColor = option.palette.color(QPalette::WindowText);
        QColor iconColor = toneColor(Tone::blue);
        if (selected) {
            QPainterPath path;
            path.addRoundedRect(QRectF(r), 6, 6);
            if (focused) {
                p->fillPath(path, toneColor(Tone::blue));
                textColor = Qt::white;
                iconColor = Qt::white;
            } else {
                QColor fill = option.palette.color(QPalette::WindowText);
                fill.setAlphaF(0.10f);
                p->fillPath(path, fill);
            }
        }
        const QString symbol = index.data(Qt::UserRole + 1).toString();
        const int iconSize = 16;
        const QRect iconRect(r.left() + 8, r.top() + (r.height() - iconSize) / 2, iconSize, iconSize);
        symbolIcon(symbol, iconColor).paint(p, iconRect);
        p->setPen(textColor);
        p->setFont(option.font);
        const QRect textRect = r.adjusted(8 + iconSize + 8, 0, -6, 0);
        p->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                    option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                                  textRect.width()));
        p->restore();
    }
};

// The list with room around its rows, like a source list.
class SidebarList final : public QListWidget {
public:
    explicit SidebarList(QWidget* parent) : QListWidget(parent) { setViewportMargins(10, 10, 10, 10); }
};

// Places a sheet centred over its window, with a thin border when no window
// manager draws one.
void placeAsSheet(QDialog* sheet, QWidget* window) {
    centreWindowOver(sheet, window);
    sheet->setStyleSheet(
        QStringLiteral("QDialog#%1 { border: 1px solid rgba(0, 0, 0, 60); }").arg(sheet->objectName()));
}

} // namespace

void RootView::setAnimationsEnabled(bool enabled) { gAnimations = enabled; }

RootView::RootView(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QWidget* parent)
    : QWidget(parent), model_(model), backup_(backup), onboarding_(onboarding) {
    setObjectName(QStringLiteral("rootView"));
    auto* split = new QHBoxLayout(this);
    split->setContentsMargins(0, 0, 0, 0);
    split->setSpacing(0);

    buildSidebar();
    split->addWidget(sidebar_);
    auto* rule = new QFrame(this);
    rule->setFixedWidth(1);
    rule->setAutoFillBackground(true);
    {
        QPalette pal = rule->palette();
        pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Mid));
        rule->setPalette(pal);
    }
    split->addWidget(rule);

    auto* detail = new QWidget(this);
    detail->setObjectName(QStringLiteral("detailColumn"));
    detail_ = new QVBoxLayout(detail);
    detail_->setContentsMargins(0, 0, 0, 0);
    detail_->setSpacing(0);
    banner_ = new BannerWidget(BannerWidget::Kind::error, QStringLiteral("exclamationmark.triangle.fill"), detail);
    banner_->setObjectName(QStringLiteral("errorBanner"));
    banner_->setDismissible(true, tr("Dismiss error"));
    banner_->hide();
    connect(banner_, &BannerWidget::dismissRequested, this, [this] { model_.setLastError(QString()); });
    detail_->addWidget(banner_);
    split->addWidget(detail, 1);

    bannerAnimation_ = new QVariantAnimation(this);
    bannerAnimation_->setDuration(kBannerMillis);
    bannerAnimation_->setEasingCurve(QEasingCurve::OutCubic);
    auto* opacity = new QGraphicsOpacityEffect(banner_);
    opacity->setOpacity(1.0);
    opacity->setEnabled(false);
    banner_->setGraphicsEffect(opacity);
    connect(bannerAnimation_, &QVariantAnimation::valueChanged, this, [this, opacity](const QVariant& v) {
        const double t = v.toDouble();
        const int full = banner_->heightForWidth(banner_->width() > 0 ? banner_->width() : 600);
        banner_->setMaximumHeight(std::max(0, static_cast<int>(full * t)));
        opacity->setOpacity(t);
    });
    connect(bannerAnimation_, &QVariantAnimation::finished, this, [this, opacity] {
        if (bannerWanted_) {
            banner_->setMaximumHeight(QWIDGETSIZE_MAX);
            opacity->setOpacity(1.0);
            opacity->setEnabled(false); // drawn directly while it rests
        } else {
            banner_->hide();
        }
    });

    shownRoute_ = model_.route();
    screen_ = makeRouteScreen(shownRoute_, model_, backup_, detail);
    detail_->addWidget(screen_, 1);
    syncSidebarToRoute();
    updateBanner();

    connect(&model_, &AppModel::routeChanged, this, [this] {
        syncSidebarToRoute();
        showRoute(model_.route());
    });
    connect(&model_, &AppModel::lastErrorChanged, this, &RootView::updateBanner);
    connect(&model_.permissions(), &PermissionsModel::hasFullDiskAccessChanged, this, &RootView::updateSheets);
    connect(&model_.permissions(), &PermissionsModel::dismissedFullDiskAccessPromptChanged, this,
            &RootView::updateSheets);
    connect(&onboarding_, &OnboardingModel::shouldShowChanged, this, &RootView::updateSheets);
}

RootView::~RootView() {
    // Sheets go with the window; their closing is not the user's choice.
    for (QPointer<QDialog>* s : {&onboardingSheet_, &fdaSheet_})
        if (*s) (*s)->disconnect(this);
}

QDialog* RootView::onboardingSheet() const { return onboardingSheet_; }

QDialog* RootView::fullDiskAccessSheet() const { return fdaSheet_; }

void RootView::buildSidebar() {
    sidebar_ = new SidebarList(this);
    sidebar_->setObjectName(QStringLiteral("sidebar"));
    sidebar_->setFixedWidth(kSidebarWidth);
    sidebar_->setFrameShape(QFrame::NoFrame);
    sidebar_->setSelectionMode(QAbstractItemView::SingleSelection);
    sidebar_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sidebar_->setItemDelegate(new SidebarDelegate(sidebar_));
    sidebar_->setSpacing(0);
    sidebar_->setUniformItemSizes(true);
    sidebar_->setAttribute(Qt::WA_MacShowFocusRect, false);
    sidebar_->setAccessibleName(tr("Sidebar"));
    QPalette pal = sidebar_->palette();
    const QColor window = QApplication::palette().color(QPalette::Window);
    const QColor sidebarColor = isDarkPalette(QApplication::palette()) ? window.lighter(115) : window.darker(104);
    pal.setColor(QPalette::Base, sidebarColor);
    pal.setColor(QPalette::Window, sidebarColor);
    sidebar_->setPalette(pal);
    sidebar_->setAutoFillBackground(true);
    sidebar_->viewport()->setAutoFillBackground(false);
    sidebar_->setFont(textFont(TextStyle::body));
    for (const SidebarRow& row : kSidebarRows) {
        auto* item = new QListWidgetItem(routeTitle(row.route), sidebar_);
        item->setData(Qt::UserRole, static_cast<int>(row.route));
        item->setData(Qt::UserRole + 1, QString::fromLatin1(row.symbol));
        item->setIcon(symbolIcon(QString::fromLatin1(row.symbol)));
    }
    connect(sidebar_, &QListWidget::itemSelectionChanged, this, &RootView::onSidebarSelectionChanged);
}

void RootView::syncSidebarToRoute() {
    const Route route = model_.route();
    for (int i = 0; i < sidebar_->count(); ++i) {
        QListWidgetItem* item = sidebar_->item(i);
        if (static_cast<Route>(item->data(Qt::UserRole).toInt()) == route) {
            if (!item->isSelected() || sidebar_->selectedItems().size() != 1) {
                const QSignalBlocker block(sidebar_);
                sidebar_->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
                sidebar_->viewport()->update();
            }
            return;
        }
    }
}

void RootView::onSidebarSelectionChanged() {
    const QList<QListWidgetItem*> selected = sidebar_->selectedItems();
    if (selected.isEmpty()) {
        // An empty selection is never written: a route is always selected.
        QTimer::singleShot(0, this, &RootView::syncSidebarToRoute);
        return;
    }
    model_.setRoute(static_cast<Route>(selected.first()->data(Qt::UserRole).toInt()));
}

void RootView::showRoute(Route route) {
    if (route == shownRoute_ && screen_) return;
    shownRoute_ = route;
    QWidget* old = screen_;
    screen_ = makeRouteScreen(route, model_, backup_, detail_->parentWidget());
    if (old) {
        detail_->replaceWidget(old, screen_);
        old->hide();
        old->deleteLater();
    } else {
        detail_->addWidget(screen_, 1);
    }
    screen_->show();
}

void RootView::updateBanner() {
    const QString error = model_.lastError();
    const bool want = !error.isNull();
    if (want) {
        // The newest error replaces any earlier one.
        banner_->setText(error);
        banner_->setAccessibleName(tr("Error: ") + error);
    }
    if (want == bannerWanted_) return;
    bannerWanted_ = want;
    animateBanner(want);
}

void RootView::animateBanner(bool in) {
    auto* opacity = static_cast<QGraphicsOpacityEffect*>(banner_->graphicsEffect());
    bannerAnimation_->stop();
    if (!gAnimations || !isVisible()) {
        banner_->setMaximumHeight(QWIDGETSIZE_MAX);
        opacity->setOpacity(1.0);
        opacity->setEnabled(false);
        banner_->setVisible(in);
        return;
    }
    opacity->setEnabled(true);
    const double from = banner_->isVisible() ? opacity->opacity() : 0.0;
    if (in && !banner_->isVisible()) {
        banner_->setMaximumHeight(0);
        opacity->setOpacity(0.0);
        banner_->show();
    }
    bannerAnimation_->setStartValue(from);
    bannerAnimation_->setEndValue(in ? 1.0 : 0.0);
    bannerAnimation_->setDuration(static_cast<int>(kBannerMillis * (in ? 1.0 - from : from)) + 1);
    bannerAnimation_->start();
}

void RootView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // After the window is on screen, so sheets have a window to attach to.
    sheetsSettled_ = false;
    QTimer::singleShot(0, this, &RootView::updateSheets);
}

void RootView::updateSheets() {
    if (updatingSheets_ || !isVisible()) return;
    updatingSheets_ = true;
    // Once shown, the onboarding sheet stays until its flow finishes or the user
    // closes it: registering this Mac's source during the flow must not pull the
    // sheet away in the middle of the first archive.
    const bool wantOnboarding = onboardingSheet_ ? !onboarding_.isFinished() : onboarding_.shouldShow();
    const PermissionsModel& permissions = model_.permissions();
    const bool wantFda = !wantOnboarding && !permissions.hasFullDiskAccess() &&
                         !permissions.dismissedFullDiskAccessPrompt() && liveMessagesDatabaseExists();
    if (!wantOnboarding) closeSheet(onboardingSheet_);
    if (!wantFda) closeSheet(fdaSheet_);
    if (wantOnboarding && !onboardingSheet_) presentOnboarding();
    if (wantFda && !fdaSheet_) presentFullDiskAccess();
    updatingSheets_ = false;
    sheetsSettled_ = true;
}

void RootView::closeSheet(QPointer<QDialog>& sheet) {
    if (!sheet) return;
    QDialog* d = sheet;
    sheet = nullptr;
    d->disconnect(this); // closed by the models: not the user's choice
    d->hide();
    d->deleteLater();
}

void RootView::presentOnboarding() {
    auto* sheet = new QDialog(window());
    sheet->setObjectName(QStringLiteral("onboardingSheet"));
    sheet->setWindowTitle(tr("Set Up Kelvara"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setFixedSize(620, 580);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeOnboardingContent(model_, backup_, onboarding_, *sheet));
    onboardingSheet_ = sheet;
    sheet->adjustSize();
    placeAsSheet(sheet, window());
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (onboardingSheet_ != sheet) return;
        onboardingSheet_ = nullptr;
        sheet->deleteLater();
        // Closed from outside: the user chose to set up later.
        onboarding_.setSkippedFlag(true);
        onboarding_.setExplicitlyOpened(false);
        onboarding_.setIsFinished(true);
        updateSheets();
        window()->activateWindow();
    });
    sheet->open();
}

void RootView::presentFullDiskAccess() {
    auto* sheet = new QDialog(window());
    sheet->setObjectName(QStringLiteral("fullDiskAccessSheet"));
    sheet->setWindowTitle(tr("Full Disk Access"));
    sheet->setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    // As tall as its content: extra height would only open gaps between its parts.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(makeFullDiskAccessContent(model_, *sheet));
    fdaSheet_ = sheet;
    sheet->adjustSize();
    placeAsSheet(sheet, window());
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        if (fdaSheet_ != sheet) return;
        fdaSheet_ = nullptr;
        sheet->deleteLater();
        model_.permissions().setDismissedFullDiskAccessPrompt(true);
        updateSheets();
        window()->activateWindow();
    });
    sheet->open();
}
