#include "sources/sources_view.h"

#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"
#include "app/model/sources_model.h"
#include "app/platform/workspace.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "sources/add_source_view.h"
#include "sources/source_display.h"
#include "sources/source_row.h"
#include "sources/which_archive_panel.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace sources {

namespace {

constexpr int kStandardPadding = 16;

QPushButton* headerButton(const QString& title, const QString& symbol, const QString& objectName, QWidget* parent) {
    auto* b = new QPushButton(symbolIcon(symbol), title, parent);
    b->setObjectName(objectName);
    b->setAutoDefault(false);
    return b;
}

// The empty state's large buttons, at least 180 points wide.
QPushButton* largeButton(const QString& title, const QIcon& icon, const QString& objectName, QWidget* parent) {
    auto* b = new QPushButton(icon, title, parent);
    b->setObjectName(objectName);
    b->setMinimumSize(180, 32);
    b->setAutoDefault(false);
    return b;
}

// A wrapped, centred paragraph at most 420 points wide.
QLabel* centredText(const QString& text, TextStyle style, const QColor& color, QWidget* parent) {
    QLabel* l = textLabel(text, style, color, parent, true);
    l->setAlignment(Qt::AlignHCenter);
    l->setFixedWidth(420);
    // A centred, wrapped label is not given its wrapped height by the layout.
    l->setMinimumHeight(l->heightForWidth(420));
    return l;
}

// The list of sources: Space toggles the current row's verdict details.
class SourceListView : public QListView {
public:
    using QListView::QListView;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Space && currentIndex().isValid()) {
            if (auto* m = qobject_cast<SourceListModel*>(model())) {
                if (m->row(currentIndex().row()).deletion) {
                    m->toggleExpanded(currentIndex().row());
                    return;
                }
            }
        }
        QListView::keyPressEvent(event);
    }
};

} // namespace

SourcesView::SourcesView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("sourcesView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    buildHeader(column);

    // An archive that ran and is gone is not a set of sources waiting for
    // their first scan: the health rules' alert says what happened.
    notFound_ = new BannerWidget(BannerWidget::Kind::error, QStringLiteral("externaldrive.badge.questionmark"), this);
    notFound_->setObjectName(QStringLiteral("archiveNotFound"));
    notFound_->hide();
    column->addWidget(notFound_);

    panelSlot_ = new QVBoxLayout;
    panelSlot_->setContentsMargins(kStandardPadding, 0, kStandardPadding, 8);
    column->addLayout(panelSlot_);

    // The empty state is built when it is first needed: a screen with sources
    // never pays for it.
    content_ = buildContent();
    column->addWidget(content_, 1);

    clockTick_ = new QTimer(this);
    clockTick_->setSingleShot(true);
    connect(clockTick_, &QTimer::timeout, this, [this] {
        list_->viewport()->update();
        scheduleClockTick();
    });

    AnalysisModel& analysis = model_.analysis();
    connect(&model_, &AppModel::registryChanged, this, &SourcesView::refresh);
    connect(&model_.runs(), &RunsModel::isRunningChanged, this, &SourcesView::refresh);
    connect(&model_.runs(), &RunsModel::runEnded, this, [this] {
        if (isVisible()) requestAnalyses();
    });
    connect(&model_.sources(), &SourcesModel::pendingOwnerChoiceChanged, this, &SourcesView::refreshPanel);
    connect(&analysis, &AnalysisModel::isAnalyzingChanged, this, [this] {
        refresh();
        // The analysis asked for on showing found one still running (perhaps on
        // state a run has since changed): ask once more now that it is over.
        if (!model_.analysis().isAnalyzing() && safetyWanted_ && isVisible()) {
            safetyWanted_ = false;
            if (!model_.analysis().deletion() && !model_.registry().sources().empty()) model_.analysis().checkSafety();
        }
    });
    connect(&analysis, &AnalysisModel::deletionChanged, this, &SourcesView::refresh);
    connect(&analysis, &AnalysisModel::duplicateFindingsChanged, this, &SourcesView::refreshRows);
    connect(&analysis, &AnalysisModel::identicalGroupsChanged, this, &SourcesView::refreshBanners);
    connect(&model_.permissions(), &PermissionsModel::hasFullDiskAccessChanged, this, &SourcesView::refresh);
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, [this] {
        const bool wasMissing = !notFound_->isHidden();
        refresh();
        // The archive is back: the analyses it was not there for are due.
        if (wasMissing && notFound_->isHidden() && isVisible()) requestAnalyses();
    });
    refresh();
    refreshPanel();
}

SourcesView::~SourcesView() = default;

AddSourceView* SourcesView::addSheet() const { return sheet_; }

void SourcesView::buildHeader(QVBoxLayout* column) {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("sourcesHeader"));
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(kStandardPadding, kStandardPadding, kStandardPadding, kStandardPadding);
    row->setSpacing(8);
    auto* title = boldLabel(QStringLiteral("Sources"), TextStyle::title2, QColor(), header);
    title->setObjectName(QStringLiteral("sourcesTitle"));
    row->addWidget(title);
    row->addStretch(1);
    spinner_ = new BusySpinner(header);
    row->addWidget(spinner_);
    connect_ = headerButton(QStringLiteral("Connect Messages"), QStringLiteral("bubble.left.and.bubble.right"),
                            QStringLiteral("connectMessages"), header);
    connect_->setToolTip(QStringLiteral("Add this Mac's own Messages history. No setup needed."));
    scanAll_ = headerButton(QStringLiteral("Scan All"), QStringLiteral("arrow.clockwise"), QStringLiteral("scanAll"),
                            header);
    addSource_ = headerButton(QStringLiteral("Add Source"), QStringLiteral("plus"), QStringLiteral("addSource"),
                              header);
    checkSafety_ = headerButton(QStringLiteral("Check Safety"), QStringLiteral("checkmark.shield"),
                                QStringLiteral("checkSafety"), header);
    checkSafety_->setToolTip(QStringLiteral("Recompute which archives can be deleted without losing anything"));
    for (QPushButton* b : {connect_, scanAll_, addSource_, checkSafety_}) row->addWidget(b);
    column->addWidget(header);

    connect(connect_, &QPushButton::clicked, this, [this] { model_.sources().addThisMacSource(); });
    connect(scanAll_, &QPushButton::clicked, this, [this] { model_.runs().startScan(ScanRequest{}); });
    connect(addSource_, &QPushButton::clicked, this, &SourcesView::presentAddSheet);
    connect(checkSafety_, &QPushButton::clicked, this, [this] {
        model_.analysis().checkSafety();
        model_.analysis().findDuplicates();
    });
}

QWidget* SourcesView::buildEmptyState() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("sourcesEmptyState"));
    auto* outer = new QVBoxLayout(page);
    outer->setContentsMargins(kStandardPadding, kStandardPadding, kStandardPadding, kStandardPadding);
    outer->addStretch(1);
    auto* column = new QVBoxLayout;
    column->setSpacing(16);
    column->addWidget(symbolView(QStringLiteral("bubble.left.and.bubble.right"), 46, secondaryTextColor(), page), 0,
                      Qt::AlignHCenter);
    auto* title = boldLabel(QStringLiteral("Start with this Mac's messages"), TextStyle::title3, QColor(), page);
    column->addWidget(title, 0, Qt::AlignHCenter);
    column->addWidget(centredText(QStringLiteral("Kelvara reads your Messages history and keeps a verified archive "
                                                 "of it. Nothing is ever written back to Messages."),
                                  TextStyle::callout, secondaryTextColor(), page),
                      0, Qt::AlignHCenter);

    auto* connectBig = largeButton(QStringLiteral("Connect Messages"),
                                   symbolIcon(QStringLiteral("bubble.left.and.bubble.right"), Qt::white),
                                   QStringLiteral("emptyConnectMessages"), page);
    makeProminent(connectBig);
    connect(connectBig, &QPushButton::clicked, this, [this] { model_.sources().addThisMacSource(); });
    emptyConnect_ = connectBig;
    column->addWidget(connectBig, 0, Qt::AlignHCenter);
    auto* noDb = iconLabel(QStringLiteral("No Messages database found on this Mac"),
                           QStringLiteral("exclamationmark.triangle"), page, secondaryTextColor());
    noDb->setObjectName(QStringLiteral("noMessagesDatabase"));
    if (auto* t = noDb->findChild<QLabel*>(QStringLiteral("iconLabelTitle")))
        styleLabel(t, TextStyle::callout, secondaryTextColor());
    emptyNoDatabase_ = noDb;
    column->addWidget(noDb, 0, Qt::AlignHCenter);

    auto* divider = makeDivider(page);
    divider->setFixedWidth(260);
    column->addSpacing(2);
    column->addWidget(divider, 0, Qt::AlignHCenter);
    column->addSpacing(2);

    auto* more = new QVBoxLayout;
    more->setSpacing(6);
    more->addWidget(textLabel(QStringLiteral("Already have an archive on another Mac?"), TextStyle::callout,
                              secondaryTextColor(), page),
                    0, Qt::AlignHCenter);
    auto* join = largeButton(QStringLiteral("Join an existing archive"),
                             symbolIcon(QStringLiteral("arrow.down.circle")), QStringLiteral("joinExistingArchive"),
                             page);
    connect(join, &QPushButton::clicked, this, [this] { model_.setRoute(Route::household); });
    more->addWidget(join, 0, Qt::AlignHCenter);
    more->addWidget(centredText(QStringLiteral("Paste one code. This Mac joins the same storage and archives into "
                                               "its own part of it."),
                                TextStyle::caption, tertiaryTextColor(), page),
                    0, Qt::AlignHCenter);
    auto* another = new QPushButton(QStringLiteral("Add another archive instead\u2026"), page);
    another->setObjectName(QStringLiteral("addAnotherArchive"));
    another->setFlat(true);
    another->setCursor(Qt::PointingHandCursor);
    another->setAutoDefault(false);
    another->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; background: transparent; }")
                               .arg(toneColor(Tone::blue).name()));
    connect(another, &QPushButton::clicked, this, &SourcesView::presentAddSheet);
    more->addWidget(another, 0, Qt::AlignHCenter);
    more->addWidget(textLabel(QStringLiteral("Old backups, an iOS device backup, or a copied Messages folder."),
                              TextStyle::caption, tertiaryTextColor(), page),
                    0, Qt::AlignHCenter);
    column->addLayout(more);

    outer->addLayout(column);
    outer->addStretch(1);
    // Short of room (the which-archive panel above it, a small window) the
    // state scrolls rather than drawing its parts over one another.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("sourcesEmptyStateScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setWidget(page);
    useWheelStepOfText(scroll);
    return scroll;
}

QWidget* SourcesView::buildContent() {
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("sourcesContent"));
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Duplicate banners: one per identical group, in a block that scrolls when
    // there are many groups so the list keeps its room.
    auto* dupBlock = new TintedBox(toneBackground(Tone::blue, 0.08), 0, page);
    dupBlock->setObjectName(QStringLiteral("duplicateBanners"));
    dupBlock->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* dupColumn = new QVBoxLayout(dupBlock);
    dupColumn->setContentsMargins(14, 10, 14, 10);
    groupModel_ = new IdenticalGroupModel(this);
    duplicateList_ = new QListView(dupBlock);
    duplicateList_->setObjectName(QStringLiteral("duplicateBannerList"));
    duplicateList_->setModel(groupModel_);
    duplicateList_->setItemDelegate(new IdenticalGroupDelegate(duplicateList_));
    setUpPaintedList(duplicateList_, true);
    duplicateList_->setUniformItemSizes(true);
    dupColumn->addWidget(duplicateList_);
    duplicates_ = dupBlock;
    column->addWidget(duplicates_);
    column->addWidget(makeDivider(page));

    auto* ready = new TintedBox(toneBackground(Tone::blue, 0.1), 0, page);
    ready->setObjectName(QStringLiteral("readyBanner"));
    auto* readyRow = new QHBoxLayout(ready);
    readyRow->setContentsMargins(14, 10, 14, 10);
    readyRow->setSpacing(10);
    readyRow->addWidget(symbolView(QStringLiteral("arrow.down.circle.fill"), 20, toneColor(Tone::blue), ready));
    auto* readyText = new QVBoxLayout;
    readyText->setSpacing(1);
    auto* readyTitle = textLabel(QStringLiteral("Ready to archive"), TextStyle::callout, QColor(), ready);
    QFont rf = readyTitle->font();
    rf.setWeight(QFont::Medium);
    readyTitle->setFont(rf);
    readyText->addWidget(readyTitle);
    readyText->addWidget(textLabel(QStringLiteral("Your messages are not saved until the first scan runs."),
                                   TextStyle::caption, secondaryTextColor(), ready));
    readyRow->addLayout(readyText, 1);
    scanNow_ = new QPushButton(QStringLiteral("Scan Now"), ready);
    scanNow_->setObjectName(QStringLiteral("scanNow"));
    makeProminent(scanNow_);
    scanNow_->setDefault(false);
    scanNow_->setAutoDefault(false);
    connect(scanNow_, &QPushButton::clicked, this, [this] { model_.runs().startScan(ScanRequest{}); });
    readyRow->addWidget(scanNow_);
    auto* readyWrap = new QWidget(page);
    readyWrap->setObjectName(QStringLiteral("readyBannerBlock"));
    auto* readyWrapColumn = new QVBoxLayout(readyWrap);
    readyWrapColumn->setContentsMargins(0, 0, 0, 0);
    readyWrapColumn->setSpacing(0);
    readyWrapColumn->addWidget(ready);
    readyWrapColumn->addWidget(makeDivider(readyWrap));
    readyBanner_ = readyWrap;
    column->addWidget(readyWrap);

    listModel_ = new SourceListModel([this] { return model_.clock().now(); }, this);
    delegate_ = new SourceRowDelegate(this);
    auto* list = new SourceListView(page);
    list->setObjectName(QStringLiteral("sourceList"));
    list->setModel(listModel_);
    list->setItemDelegate(delegate_);
    setUpPaintedList(list, false);
    // The list is white like the Mac's, not the window's grey.
    list->viewport()->setAutoFillBackground(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setResizeMode(QListView::Adjust);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setMouseTracking(true);
    list->verticalScrollBar()->setSingleStep(20);
    connect(listModel_, &SourceListModel::expandedChanged, delegate_, &SourceRowDelegate::sizeHintChanged);
    connect(list, &QListView::customContextMenuRequested, this, [this, list](const QPoint& pos) {
        const QModelIndex at = list->indexAt(pos);
        if (at.isValid()) showRowMenu(at.row(), list->viewport()->mapToGlobal(pos));
    });
    list_ = list;
    column->addWidget(list, 1);

    auto* summary = new QWidget(page);
    summary->setObjectName(QStringLiteral("deletionSummary"));
    auto* summaryColumn = new QVBoxLayout(summary);
    summaryColumn->setContentsMargins(0, 0, 0, 0);
    summaryColumn->setSpacing(0);
    summaryColumn->addWidget(makeDivider(summary));
    auto* summaryRow = new QHBoxLayout;
    summaryRow->setContentsMargins(kStandardPadding, 8, kStandardPadding, 8);
    summaryRow->setSpacing(10);
    summaryRow->addWidget(symbolView(QStringLiteral("shield.lefthalf.filled"), 16, QColor(), summary));
    summaryText_ = textLabel(QString(), TextStyle::caption, QColor(), summary);
    summaryText_->setObjectName(QStringLiteral("deletionSummaryText"));
    summaryRow->addWidget(summaryText_);
    auto* exportButton = new QPushButton(QStringLiteral("Export dry-run script\u2026"), summary);
    exportButton->setObjectName(QStringLiteral("exportDryRunScript"));
    exportButton->setToolTip(QStringLiteral("Writes a script in which every delete line is commented out"));
    exportButton->setAutoDefault(false);
    connect(exportButton, &QPushButton::clicked, this, &SourcesView::exportDryRunScript);
    summaryRow->addWidget(exportButton);
    summaryRow->addStretch(1);
    summaryColumn->addLayout(summaryRow);
    summary_ = summary;
    column->addWidget(summary);
    return page;
}

void SourcesView::refresh() {
    const bool noSources = model_.registry().sources().empty();
    const bool running = model_.runs().isRunning();
    const bool databaseExists = liveMessagesDatabaseExists();
    const std::optional<kx::HealthAlert> notFound = model_.alerts().archiveNotFound();
    if (notFound) notFound_->setText(QString::fromStdString(notFound->sentence()));
    notFound_->setVisible(notFound.has_value());
    spinner_->setVisible(running);
    connect_->setVisible(!model_.sources().hasThisMacSource() && databaseExists);
    scanAll_->setEnabled(!running && !noSources);
    checkSafety_->setEnabled(!model_.analysis().isAnalyzing() && !noSources && !notFound);
    if (noSources && !empty_) {
        empty_ = buildEmptyState();
        static_cast<QVBoxLayout*>(layout())->insertWidget(layout()->indexOf(content_), empty_, 1);
    }
    if (empty_) {
        empty_->setVisible(noSources);
        emptyConnect_->setVisible(databaseExists);
        emptyNoDatabase_->setVisible(!databaseExists);
    }
    content_->setVisible(!noSources);
    if (noSources) return;
    refreshRows();
    refreshBanners();
    refreshSummary();
}

void SourcesView::refreshRows() {
    const kx::SourceRegistry& registry = model_.registry();
    const AnalysisModel& analysis = model_.analysis();
    // No source is safe to delete because of an archive that is not there.
    const bool archiveMissing = !notFound_->isHidden();
    std::vector<RowData> rows;
    rows.reserve(registry.sources().size());
    bool anyNeverScanned = false;
    for (const kx::Source& s : registry.sources()) {
        RowData r;
        r.source = s;
        r.status = registry.status(s);
        anyNeverScanned = anyNeverScanned || r.status == kx::SourceStatus::neverScanned;
        const QString id = QString::fromStdString(s.id);
        if (!archiveMissing) r.deletion = analysis.deletionReport(id);
        r.duplicate = analysis.duplicateFindings(id);
        rows.push_back(std::move(r));
    }
    listModel_->setRows(std::move(rows));
    readyBanner_->setVisible(anyNeverScanned);
    scanNow_->setEnabled(!model_.runs().isRunning());
    scheduleClockTick();
}

void SourcesView::refreshBanners() {
    const auto& groups = model_.analysis().identicalGroups();
    groupModel_->setGroups(groups);
    const bool any = !groups.empty();
    duplicates_->setVisible(any);
    // The divider under the block follows it.
    if (auto* divider = content_->layout()->itemAt(1)->widget()) divider->setVisible(any);
    // Many groups scroll inside the block, so the list of sources keeps its room.
    const int rows = static_cast<int>(std::min<size_t>(groups.size(), 3));
    duplicateList_->setFixedHeight(rows * identicalBannerHeight());
    duplicates_->setFixedHeight(duplicateList_->height() + 20);
}

void SourcesView::refreshSummary() {
    const auto& deletion = model_.analysis().deletion();
    summary_->setVisible(deletion.has_value() && notFound_->isHidden());
    if (deletion) summaryText_->setText(deletionSummaryText(*deletion));
}

void SourcesView::refreshPanel() {
    const bool pending = !model_.sources().pendingOwnerChoice().isNull();
    if (pending && !panel_) {
        panel_ = new WhichArchivePanel(model_, this);
        panelSlot_->addWidget(panel_);
        panel_->show();
    } else if (!pending && panel_) {
        panel_->hide();
        panel_->deleteLater();
        panel_ = nullptr;
    } else if (pending && panel_) {
        panel_->reload();
    }
}

void SourcesView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) requestAnalyses();
}

void SourcesView::requestAnalyses() {
    // Nothing to analyse until the archive is back.
    if (!notFound_->isHidden()) return;
    AnalysisModel& analysis = model_.analysis();
    if (!analysis.deletion()) {
        // Never a second analysis beside a running one: the running one's result
        // (or, when it was overtaken, a new run afterwards) is what shows.
        if (analysis.isAnalyzing()) safetyWanted_ = true;
        else analysis.checkSafety();
    }
    if (analysis.duplicateFindings().empty() && !analysis.isFindingDuplicates()) analysis.findDuplicates();
}

void SourcesView::scheduleClockTick() {
    const kx::Date now = model_.clock().now();
    int next = 10 * 60 * 1000;
    for (const auto& r : listModel_->rows())
        if (r.source.lastScanned) next = std::min(next, relativeRefreshMs(*r.source.lastScanned, now));
    clockTick_->start(next);
}

QMenu* SourcesView::showRowMenu(int row, const QPoint& globalPos) {
    if (row < 0 || row >= listModel_->rowCount()) return nullptr;
    const QString id = QString::fromStdString(listModel_->row(row).source.id);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("sourceRowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* reveal = menu->addAction(QStringLiteral("Reveal in Finder"));
    reveal->setObjectName(QStringLiteral("revealInFinder"));
    QAction* remove = menu->addAction(QStringLiteral("Remove from registry"));
    remove->setObjectName(QStringLiteral("removeFromRegistry"));
    // Rows may move while the menu is open; act on the source it was opened for.
    connect(reveal, &QAction::triggered, this, [this, id] {
        for (int i = 0; i < listModel_->rowCount(); ++i)
            if (QString::fromStdString(listModel_->row(i).source.id) == id) return revealSource(i);
    });
    connect(remove, &QAction::triggered, this, [this, id] { model_.sources().removeSource(id); });
    menu->popup(globalPos);
    return menu;
}

void SourcesView::revealSource(int row) {
    if (row < 0 || row >= listModel_->rowCount()) return;
    const QString problem = revealInFileManager(QString::fromStdString(listModel_->row(row).source.path));
    if (!problem.isNull()) model_.setLastError(problem);
}

void SourcesView::removeSource(int row) {
    if (row < 0 || row >= listModel_->rowCount()) return;
    model_.sources().removeSource(QString::fromStdString(listModel_->row(row).source.id));
}

void SourcesView::exportDryRunScript() {
    const QString path = workspace().saveFile(this, QStringLiteral("kelvara-dry-run.sh"),
                                              QStringLiteral(
                                                  "This script deletes nothing as written \u2014 every line is "
                                                  "commented out."));
    if (path.isEmpty()) return;
    model_.analysis().exportDeletionDryRunScript(path);
}

void SourcesView::presentAddSheet() {
    if (sheet_) return;
    auto* sheet = new AddSourceView(model_, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet_ = sheet;
    sheet->open();
}

} // namespace sources
