#include "reading/thread_view.h"

#include "app/model/app_model.h"
#include "app/ui/clipboard.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "reading/export_conversation_view.h"
#include "reading/message_delegate.h"
#include "reading/model/attachment_files.h"
#include "reading/model/reading_text.h"
#include "reading/model/thread_model.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

ThreadView::ThreadView(AppModel& model, const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                       QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("threadView"));
    thread_ = new ThreadModel(model, owner, conversation, this);
    delegate_ = new MessageDelegate(*thread_, this);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(16, 8, 10, 8);
    // A long group name is cut short with an ellipsis (the whole name is its
    // tooltip and the window's title) rather than clipped under "Export…".
    title_ = new ElidedLabel(QString(), Qt::ElideRight, header);
    title_->setObjectName(QStringLiteral("threadTitle"));
    styleLabel(title_, TextStyle::headline);
    headerRow->addWidget(title_, 1);
    export_ = new QToolButton(header);
    export_->setObjectName(QStringLiteral("exportButton"));
    export_->setDefaultAction(iconAction(QStringLiteral("Export…"), QStringLiteral("square.and.arrow.up"), export_));
    export_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    export_->setToolTip(QStringLiteral("Export this conversation as JSON, CSV or PDF with a seal file beside it"));
    export_->defaultAction()->setToolTip(export_->toolTip());
    connect(export_->defaultAction(), &QAction::triggered, this, &ThreadView::openExportSheet);
    headerRow->addWidget(export_);
    column->addWidget(header);
    column->addWidget(makeDivider(this));

    auto* buttonRow = new QWidget(this);
    buttonRow_ = buttonRow;
    auto* buttonLayout = new QVBoxLayout(buttonRow);
    buttonLayout->setContentsMargins(16, 8, 16, 0);
    loadEarlier_ = new QPushButton(buttonRow);
    loadEarlier_->setObjectName(QStringLiteral("loadEarlier"));
    loadEarlier_->setIcon(symbolIcon(QStringLiteral("arrow.up")));
    loadEarlier_->setMinimumHeight(28);
    buttonLayout->addWidget(loadEarlier_);
    auto* inButton = new QHBoxLayout(loadEarlier_);
    inButton->setContentsMargins(0, 0, 0, 0);
    loadingIndicator_ = new QProgressBar(loadEarlier_);
    loadingIndicator_->setObjectName(QStringLiteral("loadEarlierProgress"));
    loadingIndicator_->setRange(0, 0);
    loadingIndicator_->setTextVisible(false);
    loadingIndicator_->setFixedSize(90, 6);
    inButton->addWidget(loadingIndicator_, 0, Qt::AlignCenter);
    problem_ = new QLabel(buttonRow);
    problem_->setObjectName(QStringLiteral("threadProblem"));
    problem_->setWordWrap(true);
    problem_->setTextFormat(Qt::PlainText);
    problem_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    styleLabel(problem_, TextStyle::callout, toneColor(Tone::orange));
    buttonLayout->addWidget(problem_);
    column->addWidget(buttonRow);

    list_ = new QListView(this);
    list_->setObjectName(QStringLiteral("threadList"));
    list_->setModel(thread_);
    list_->setItemDelegate(delegate_);
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setUniformItemSizes(false);
    list_->setResizeMode(QListView::Adjust);
    list_->setMouseTracking(true);
    list_->viewport()->installEventFilter(this);
    list_->setContextMenuPolicy(Qt::DefaultContextMenu);
    list_->verticalScrollBar()->setSingleStep(24);
    column->addWidget(list_, 1);

    auto* copy = new QShortcut(QKeySequence::Copy, list_, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(copy, &QShortcut::activated, this, &ThreadView::copyCurrent);

    connect(loadEarlier_, &QPushButton::clicked, thread_, &ThreadModel::loadEarlier);
    connect(thread_, &ThreadModel::stateChanged, this, &ThreadView::updateState);
    connect(thread_, &ThreadModel::titleChanged, this, [this] {
        title_->setFullText(thread_->title());
        updateWindowTitle();
    });
    connect(thread_, &ThreadModel::rowsAboutToBeInserted, this, [this] {
        anchorRow_ = -1;
        const QModelIndex top = list_->indexAt(QPoint(1, 1));
        if (top.isValid()) {
            anchorRow_ = top.row();
            anchorOffset_ = list_->visualRect(top).top();
        }
    });
    connect(thread_, &ThreadModel::pageLoaded, this, &ThreadView::onPageLoaded);
    auto* bar = list_->verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (pinnedToBottom_) scrollToNewest();
    });
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (!settingScroll_) pinnedToBottom_ = value >= bar->maximum();
    });

    title_->setFullText(thread_->title());
    updateState();
    thread_->start();
}

QLabel* ThreadView::titleLabel() const { return title_; }

ThreadView::~ThreadView() {
    if (titledWindow_ && titledWindow_->windowTitle() == thread_->title())
        titledWindow_->setWindowTitle(previousWindowTitle_);
}

void ThreadView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateWindowTitle();
}

void ThreadView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (titledWindow_ && titledWindow_->windowTitle() == thread_->title())
        titledWindow_->setWindowTitle(previousWindowTitle_);
    titledWindow_ = nullptr;
}

void ThreadView::updateWindowTitle() {
    if (!isVisible()) return;
    QWidget* w = window();
    if (!w || w == this) return;
    if (titledWindow_ != w) {
        titledWindow_ = w;
        previousWindowTitle_ = w->windowTitle();
    }
    w->setWindowTitle(thread_->title());
}

void ThreadView::updateState() {
    const bool wanted = thread_->canLoadEarlier();
    loadEarlier_->setVisible(wanted);
    const bool loading = thread_->isLoading();
    loadingIndicator_->setVisible(loading);
    loadEarlier_->setText(loading ? QString() : reading::loadEarlierTitle(thread_->olderCount()));
    loadEarlier_->setIcon(loading ? QIcon() : symbolIcon(QStringLiteral("arrow.up")));
    loadEarlier_->setAccessibleName(loading ? QStringLiteral("Loading") : loadEarlier_->text());
    problem_->setText(thread_->loadProblem());
    problem_->setVisible(!thread_->loadProblem().isEmpty());
    // No empty band above the thread once the oldest message is in.
    buttonRow_->setVisible(wanted || !thread_->loadProblem().isEmpty());
}

void ThreadView::scrollToNewest() {
    settingScroll_ = true;
    list_->scrollToBottom();
    settingScroll_ = false;
    pinnedToBottom_ = true;
}

void ThreadView::refreshShownRows() {
    if (refreshing_) return;
    const QScopedValueRollback<bool> guard(refreshing_, true);
    const int height = list_->viewport()->height();
    // Rows that come near the screen because heights above them changed are
    // measured in the next pass; a few passes settle it.
    for (int pass = 0; pass < 4; ++pass) {
        const int n = thread_->rowCount();
        if (n == 0) break;
        const QModelIndex top = list_->indexAt(QPoint(1, 0));
        const int topRow = top.isValid() ? top.row() : 0;
        const int topOffset = list_->visualRect(thread_->index(topRow)).top();
        bool changed = false;
        int y = topOffset;
        for (int r = topRow; r < n && y < 2 * height; ++r) {
            if (delegate_->refresh(r)) changed = true;
            y += delegate_->keptHeight(r);
        }
        y = topOffset;
        for (int r = topRow - 1; r >= 0 && y > -height; --r) {
            if (delegate_->refresh(r)) changed = true;
            y -= delegate_->keptHeight(r);
        }
        if (!changed) break;
        list_->doItemsLayout();
        if (pinnedToBottom_) {
            scrollToNewest();
            continue;
        }
        auto* bar = list_->verticalScrollBar();
        settingScroll_ = true;
        bar->setValue(bar->value() + list_->visualRect(thread_->index(topRow)).top() - topOffset);
        settingScroll_ = false;
    }
}

void ThreadView::onPageLoaded(int count, bool first) {
    // The rows are laid out now, so the scroll position below is exact: asking
    // for a row's place runs the layout the insertion left pending, if nothing
    // has run it since (one pass over the loaded rows, not two).
    (void)list_->visualRect(thread_->index(0));
    if (first) {
        scrollToNewest();
        return;
    }
    if (pinnedToBottom_) {
        scrollToNewest();
        return;
    }
    if (anchorRow_ >= 0 && count > 0) {
        const QRect now = list_->visualRect(thread_->index(anchorRow_ + count));
        settingScroll_ = true;
        list_->verticalScrollBar()->setValue(list_->verticalScrollBar()->value() + now.top() - anchorOffset_);
        settingScroll_ = false;
    }
    anchorRow_ = -1;
}

bool ThreadView::eventFilter(QObject* watched, QEvent* event) {
    if (watched != list_->viewport()) return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Resize:
        // Rows keep their places until one on or near the screen changes height.
        if (delegate_->setViewportWidth(list_->viewport()->width())) refreshShownRows();
        break;
    case QEvent::Paint: refreshShownRows(); break;
    case QEvent::MouseButtonRelease: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (e->button() == Qt::LeftButton) clickAt(e->position().toPoint());
        break;
    }
    case QEvent::MouseButtonDblClick: {
        auto* e = static_cast<QMouseEvent*>(event);
        const QModelIndex index = list_->indexAt(e->position().toPoint());
        if (index.isValid()) {
            const auto g = delegate_->rowGeometry(index.row(), list_->visualRect(index));
            if (g.bubble.contains(e->position().toPoint())) {
                list_->edit(index);
                return true;
            }
        }
        break;
    }
    case QEvent::ContextMenu: {
        auto* e = static_cast<QContextMenuEvent*>(event);
        QMenu menu(this);
        const auto actions = contextActionsAt(e->pos(), &menu);
        if (actions.isEmpty()) return true;
        menu.addActions(actions);
        menu.exec(e->globalPos());
        return true;
    }
    default: break;
    }
    return QWidget::eventFilter(watched, event);
}

void ThreadView::clickAt(const QPoint& pos) {
    const QModelIndex index = list_->indexAt(pos);
    if (!index.isValid()) return;
    const auto g = delegate_->rowGeometry(index.row(), list_->visualRect(index));
    for (size_t i = 0; i < g.attachments.size(); ++i) {
        if (!g.attachments[i].rect.contains(pos)) continue;
        // Without an archived file a click does nothing.
        if (!g.attachments[i].path.isNull()) openAttachment(index.row(), i);
        return;
    }
    if (!g.column.contains(pos)) return;
    currentRow_ = index.row();
    thread_->toggleDetail(index.row());
    if (thread_->row(index.row()).showDetail)
        delegate_->fadeInDetail(thread_->row(index.row()).hit.id, list_->viewport());
    emit delegate_->sizeHintChanged(index);
}

QList<QAction*> ThreadView::contextActionsAt(const QPoint& pos, QObject* parent) {
    QList<QAction*> out;
    const QModelIndex index = list_->indexAt(pos);
    if (!index.isValid()) return out;
    const int row = index.row();
    const auto g = delegate_->rowGeometry(row, list_->visualRect(index));
    for (size_t i = 0; i < g.attachments.size(); ++i) {
        if (!g.attachments[i].rect.contains(pos)) continue;
        const QString path = g.attachments[i].path;
        if (path.isNull()) return out; // nothing to offer without an archived file
        auto* open = new QAction(QStringLiteral("Open"), parent);
        connect(open, &QAction::triggered, this, [this, row, i] { openAttachment(row, i); });
        auto* reveal = new QAction(QStringLiteral("Show in Folder"), parent);
        connect(reveal, &QAction::triggered, this, [this, path] { say(reading::revealAttachment(path)); });
        out << open << reveal;
        return out;
    }
    if (g.bubble.contains(pos) && thread_->row(row).hasText) {
        auto* copy = new QAction(QStringLiteral("Copy"), parent);
        connect(copy, &QAction::triggered, this,
                [this, row] { copyToPasteboard(reading::fromUtf8(thread_->row(row).hit.text)); });
        auto* select = new QAction(QStringLiteral("Select Text…"), parent);
        connect(select, &QAction::triggered, this, [this, row] { list_->edit(thread_->index(row)); });
        out << copy << select;
    }
    return out;
}

void ThreadView::openAttachment(int row, size_t attachment) {
    if (row < 0 || row >= thread_->rowCount()) return;
    const ThreadRow& r = thread_->row(row);
    if (attachment >= r.attachments.size()) return;
    const QString path = thread_->objectPaths(r)[attachment];
    if (path.isNull()) return;
    say(reading::openAttachment(path, r.attachments[attachment]));
}

void ThreadView::copyCurrent() {
    if (currentRow_ < 0 || currentRow_ >= thread_->rowCount()) return;
    copyToPasteboard(reading::fromUtf8(thread_->row(currentRow_).hit.text));
}

void ThreadView::say(const QString& sentence) {
    if (!sentence.isEmpty()) model_.setLastError(sentence);
}

void ThreadView::openExportSheet() {
    if (exportSheet_) {
        exportSheet_->raise();
        return;
    }
    // The conversation as the thread knows it now (its count may have grown).
    kx::TreskStore::ConversationSummary conversation = thread_->conversation();
    if (thread_->total() > 0) conversation.messageCount = thread_->total();
    exportSheet_ = new ExportConversationView(model_, thread_->owner(), conversation, this);
    exportSheet_->setAttribute(Qt::WA_DeleteOnClose);
    exportSheet_->setWindowModality(Qt::WindowModal);
    exportSheet_->open();
}

ExportConversationView* ThreadView::exportSheet() const { return exportSheet_; }
