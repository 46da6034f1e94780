#include "reading/browse_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/owners_model.h"
#include "app/model/runs_model.h"
#include "app/ui/app_style.h"
#include "app/ui/clipboard.h"
#include "app/ui/style.h"
#include "app/ui/widgets.h"
#include "core/contacts/contact_resolver.h"
#include "reading/model/conversation_list_model.h"
#include "reading/rename_contact_view.h"
#include "reading/thread_view.h"

#include <QAction>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// A conversation row: the name in the body font over the caption line.
class ConversationRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        const QFontMetrics body(textFont(TextStyle::body)), caption(textFont(TextStyle::caption));
        return {option.rect.width(), 8 + body.height() + 3 + caption.height() + 8};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const bool selected = opt.state & QStyle::State_Selected;
        painter->save();
        painter->setClipRect(opt.rect);
        if (selected) {
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(Qt::NoPen);
            painter->setBrush(opt.palette.color(QPalette::Highlight));
            painter->drawRoundedRect(QRectF(opt.rect.adjusted(6, 1, -6, -1)), 6, 6);
        }
        const QRect inner = opt.rect.adjusted(16, 8, -14, -8);
        const QFont bodyFont = textFont(TextStyle::body), captionFont = textFont(TextStyle::caption);
        const QFontMetrics body(bodyFont), caption(captionFont);
        painter->setFont(bodyFont);
        painter->setPen(selected ? opt.palette.color(QPalette::HighlightedText) : opt.palette.color(QPalette::Text));
        painter->drawText(QRect(inner.left(), inner.top(), inner.width(), body.height()),
                          Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                          body.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, inner.width()));
        painter->setFont(captionFont);
        painter->setPen(selected ? opt.palette.color(QPalette::HighlightedText) : secondaryTextColor());
        const QString line = index.data(ConversationListModel::SecondLineRole).toString();
        painter->drawText(QRect(inner.left(), inner.top() + body.height() + 3, inner.width(), caption.height()),
                          Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                          caption.elidedText(line, Qt::ElideMiddle, inner.width()));
        painter->restore();
    }
};

} // namespace

BrowseView::BrowseView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("browseView"));
    list_ = new ConversationListModel(model, this);
    filtered_ = new ConversationFilterModel(*list_, this);

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* split = new QSplitter(Qt::Horizontal, this);
    split->setChildrenCollapsible(false);
    outer->addWidget(split);

    // ---- The list side ----
    auto* side = new QWidget(split);
    side->setObjectName(QStringLiteral("listSide"));
    side->setMinimumWidth(260);
    auto* sideColumn = new QVBoxLayout(side);
    sideColumn->setContentsMargins(0, 0, 0, 0);
    sideColumn->setSpacing(0);

    ownerPicker_ = new QWidget(side);
    ownerPicker_->setObjectName(QStringLiteral("ownerPicker"));
    ownerPicker_->setAccessibleName(QStringLiteral("Owner"));
    auto* pickerRow = new QHBoxLayout(ownerPicker_);
    pickerRow->setContentsMargins(8, 8, 8, 8);
    pickerRow->setSpacing(0);
    // Segments: one bordered strip, the chosen owner in the accent colour.
    const QColor accent = ownerPicker_->palette().color(QPalette::Highlight);
    ownerPicker_->setStyleSheet(
        QStringLiteral("QToolButton { border: 1px solid %1; background: palette(base); padding: 3px 12px; margin: 0; }"
                       "QToolButton:checked { background: %2; color: white; border-color: %2; }")
            .arg(separatorColor().name(QColor::HexArgb), accent.name()));
    ownerButtons_ = new QButtonGroup(this);
    ownerButtons_->setExclusive(true);
    sideColumn->addWidget(ownerPicker_);

    listSide_ = new QStackedWidget(side);
    loadingPage_ = new QWidget(listSide_);
    loadingPage_->setObjectName(QStringLiteral("loading"));
    {
        auto* l = new QVBoxLayout(loadingPage_);
        auto* busy = new QProgressBar(loadingPage_);
        busy->setRange(0, 0);
        busy->setTextVisible(false);
        busy->setFixedSize(90, 6);
        l->addWidget(busy, 0, Qt::AlignCenter);
    }
    noSources_ = new ContentUnavailableWidget(QStringLiteral("No sources connected"),
                                              QStringLiteral("externaldrive.badge.plus"),
                                              QStringLiteral(
                                                  "Connect this Mac's Messages history to start an archive."),
                                              listSide_);
    noSources_->setObjectName(QStringLiteral("noSources"));
    connect(noSources_->setAction(QStringLiteral("Go to Sources")), &QPushButton::clicked, this,
            [this] { model_.setRoute(Route::sources); });
    nothingArchived_ = new ContentUnavailableWidget(QStringLiteral("Nothing archived yet"), QStringLiteral("tray"),
                                                    QStringLiteral(
                                                        "Your sources are connected but have not been scanned."),
                                                    listSide_);
    nothingArchived_->setObjectName(QStringLiteral("nothingArchived"));
    auto* scanNow = nothingArchived_->setAction(QStringLiteral("Scan now"));
    connect(scanNow, &QPushButton::clicked, this, [this] {
        AppModel& m = model_;
        m.setRoute(Route::sources); // this screen is replaced (later) by the sources screen
        m.runs().startScan(ScanRequest{});
    });
    // An archive that ran and is gone is not a new one waiting for its first
    // scan: the alert of the owner's archive says what happened.
    archiveNotFound_ = new ContentUnavailableWidget(QString(), QStringLiteral("externaldrive.badge.questionmark"),
                                                    QString(), listSide_);
    archiveNotFound_->setObjectName(QStringLiteral("archiveNotFound"));
    listPage_ = new QWidget(listSide_);
    listPage_->setObjectName(QStringLiteral("list"));
    {
        auto* l = new QVBoxLayout(listPage_);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
        filter_ = new QLineEdit(listPage_);
        filter_->setObjectName(QStringLiteral("filterField"));
        filter_->setPlaceholderText(QStringLiteral("Filter conversations"));
        filter_->setClearButtonEnabled(true);
        auto* filterBox = new QWidget(listPage_);
        auto* fl = new QVBoxLayout(filterBox);
        fl->setContentsMargins(8, 8, 8, 6);
        fl->addWidget(filter_);
        l->addWidget(filterBox);
        listView_ = new QListView(listPage_);
        listView_->setObjectName(QStringLiteral("conversationList"));
        listView_->setModel(filtered_);
        listView_->setItemDelegate(new ConversationRowDelegate(listView_));
        listView_->setSelectionMode(QAbstractItemView::SingleSelection);
        listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        listView_->setUniformItemSizes(true);
        listView_->setFrameShape(QFrame::NoFrame);
        listView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        listView_->setContextMenuPolicy(Qt::CustomContextMenu);
        listView_->viewport()->installEventFilter(this);
        l->addWidget(listView_, 1);
    }
    listSide_->addWidget(loadingPage_);
    listSide_->addWidget(noSources_);
    listSide_->addWidget(nothingArchived_);
    listSide_->addWidget(archiveNotFound_);
    listSide_->addWidget(listPage_);
    sideColumn->addWidget(listSide_, 1);

    // ---- The detail side ----
    detail_ = new QStackedWidget(split);
    detail_->setObjectName(QStringLiteral("detailSide"));
    detail_->setMinimumWidth(420);
    nothingSelected_ = new ContentUnavailableWidget(QStringLiteral("Select a conversation"),
                                                    QStringLiteral("bubble.left.and.bubble.right"), QString(), detail_);
    nothingSelected_->setObjectName(QStringLiteral("nothingSelected"));
    detail_->addWidget(nothingSelected_);

    split->addWidget(side);
    split->addWidget(detail_);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({300, 700});

    connect(filter_, &QLineEdit::textChanged, this, &BrowseView::applyFilter);
    connect(listView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (!current.isValid()) return; // filtering a row away keeps its thread
                const int row = filtered_->mapToSource(current).row();
                if (row >= 0) select(list_->summary(row));
            });
    connect(listView_, &QListView::customContextMenuRequested, this, [this](const QPoint& pos) {
        const QModelIndex index = listView_->indexAt(pos);
        if (!index.isValid()) return;
        QMenu menu(this);
        menu.addActions(rowActions(index.row(), &menu));
        menu.exec(listView_->viewport()->mapToGlobal(pos));
    });
    connect(list_, &ConversationListModel::isLoadingChanged, this, &BrowseView::updateListSide);
    connect(list_, &ConversationListModel::modelReset, this, &BrowseView::updateListSide);
    connect(list_, &ConversationListModel::ownerChanged, this, &BrowseView::onOwnerChanged);
    connect(&model_, &AppModel::registryChanged, this, [this] {
        rebuildOwnerPicker();
        updateListSide();
    });
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &BrowseView::updateListSide);
    connect(&model_.runs(), &RunsModel::isRunningChanged, this,
            [this, scanNow] { scanNow->setEnabled(!model_.runs().isRunning()); });
    scanNow->setEnabled(!model_.runs().isRunning());

    rebuildOwnerPicker();
    // On showing: the first owner, or none; then the list loads.
    const QStringList owners = model_.owners().sourceOwners();
    if (!owners.isEmpty()) list_->setOwner(owners.front());
    else list_->reload();
    updateListSide();
}

bool BrowseView::eventFilter(QObject* watched, QEvent* event) {
    // A right click opens the row's menu without choosing the row, so the
    // thread being read stays open.
    if (watched == listView_->viewport() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton)
        return true;
    return QWidget::eventFilter(watched, event);
}

void BrowseView::rebuildOwnerPicker() {
    const QStringList owners = model_.owners().sourceOwners();
    for (auto* b : ownerButtons_->buttons()) {
        ownerButtons_->removeButton(b);
        delete b;
    }
    auto* row = static_cast<QHBoxLayout*>(ownerPicker_->layout());
    while (row->count() > 0) delete row->takeAt(0);
    ownerPicker_->setVisible(owners.size() > 1);
    if (owners.size() <= 1) return;
    row->addStretch(1);
    for (const QString& owner : owners) {
        // The owner shown verbatim, tagged with itself.
        auto* b = new QToolButton(ownerPicker_);
        b->setText(owner);
        b->setCheckable(true);
        b->setChecked(owner == list_->owner());
        b->setAutoRaise(false);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setProperty("owner", owner);
        b->setObjectName(QStringLiteral("owner:") + owner);
        ownerButtons_->addButton(b);
        row->addWidget(b);
        connect(b, &QToolButton::clicked, this, [this, owner] { chooseOwner(owner); });
    }
    row->addStretch(1);
}

void BrowseView::chooseOwner(const QString& owner) { list_->setOwner(owner); }

void BrowseView::onOwnerChanged() {
    for (auto* b : ownerButtons_->buttons()) b->setChecked(b->property("owner").toString() == list_->owner());
    select(std::nullopt);
    updateListSide();
}

QString BrowseView::listState() const {
    return listSide_->currentWidget() ? listSide_->currentWidget()->objectName() : QString();
}

void BrowseView::updateListSide() {
    QWidget* page = listPage_;
    if (list_->isLoading()) page = loadingPage_;
    else if (model_.registry().sources().empty()) page = noSources_;
    else if (list_->rowCount() == 0) {
        page = nothingArchived_;
        if (const auto notFound = model_.alerts().archiveNotFound(list_->owner())) {
            archiveNotFound_->setTexts(QString::fromStdString(notFound->title), QString::fromStdString(notFound->body));
            page = archiveNotFound_;
        }
    }
    listSide_->setCurrentWidget(page);
    // Keep the selected conversation's row selected after a reload.
    if (selected_ && page == listPage_) markSelectedRow();
}

void BrowseView::applyFilter(const QString& text) {
    {
        // A list view whose current row is filtered away makes a neighbour
        // current; that is not the user choosing it.
        QSignalBlocker block(listView_->selectionModel());
        filtered_->setFilter(text);
    }
    markSelectedRow();
}

void BrowseView::markSelectedRow() {
    QModelIndex proxy;
    if (selected_) {
        const int row = list_->rowOf(selected_->handle);
        if (row >= 0) proxy = filtered_->mapFromSource(list_->index(row));
    }
    if (listView_->currentIndex() == proxy && listView_->selectionModel()->isSelected(proxy)) return;
    {
        QSignalBlocker block(listView_->selectionModel());
        if (proxy.isValid()) {
            listView_->setCurrentIndex(proxy);
        } else {
            listView_->clearSelection();
            listView_->setCurrentIndex(QModelIndex());
        }
    }
    listView_->viewport()->update();
}

void BrowseView::select(const std::optional<kx::TreskStore::ConversationSummary>& summary) {
    if (summary == selected_) return;
    selected_ = summary;
    if (thread_) {
        detail_->removeWidget(thread_);
        thread_->hide();
        thread_->deleteLater();
        thread_ = nullptr;
    }
    if (!summary) {
        QSignalBlocker block(listView_->selectionModel());
        listView_->clearSelection();
        listView_->setCurrentIndex(QModelIndex());
        detail_->setCurrentWidget(nothingSelected_);
        return;
    }
    // A fresh thread for every conversation chosen.
    thread_ = new ThreadView(model_, list_->owner(), *summary, detail_);
    detail_->addWidget(thread_);
    detail_->setCurrentWidget(thread_);
}

QList<QAction*> BrowseView::rowActions(int filteredRow, QObject* parent) {
    QList<QAction*> out;
    const int row = filtered_->mapToSource(filtered_->index(filteredRow, 0)).row();
    if (row < 0) return out;
    const auto summary = list_->summary(row);
    const QString handle = QString::fromStdString(summary.handle);
    if (list_->resolvedName(row).kind == kx::ResolvedName::userOverride) {
        auto* edit = new QAction(QStringLiteral("Edit name…"), parent);
        connect(edit, &QAction::triggered, this, [this, summary] { rename(summary); });
        auto* remove = new QAction(QStringLiteral("Remove my name"), parent);
        remove->setProperty(kDestructiveAction, true);
        connect(remove, &QAction::triggered, this, [this, summary] {
            auto overrides = model_.contacts().overrides();
            overrides.remove(summary.handle);
            model_.contacts().setOverrides(overrides);
            model_.contacts().saveContactOverrides();
        });
        out << edit << remove;
    } else {
        auto* name = new QAction(QStringLiteral("Name this contact…"), parent);
        connect(name, &QAction::triggered, this, [this, summary] { rename(summary); });
        out << name;
    }
    auto* divider = new QAction(parent);
    divider->setSeparator(true);
    auto* copy = new QAction(QStringLiteral("Copy handle"), parent);
    connect(copy, &QAction::triggered, this, [handle] { copyToPasteboard(handle); });
    out << divider << copy;
    return out;
}

void BrowseView::rename(const kx::TreskStore::ConversationSummary& summary) {
    if (renameSheet_) return;
    auto* sheet = new RenameContactView(model_, QString::fromStdString(summary.handle), this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    renameSheet_ = sheet;
    sheet->open();
}
