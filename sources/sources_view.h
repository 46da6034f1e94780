#pragma once
// SourcesView: the screen of the Sources route. It lists every registered
// source and is where the user connects this computer's Messages history, scans,
// adds another source, recomputes deletion safety and duplicates, and saves the
// deletion dry-run script. It owns no data: everything shown is read from
// AppModel and its features, every action is a model call.
//
// Top to bottom: the header (title, progress, "Connect Messages", "Scan All",
// "Add Source", "Check Safety"); the "Archive drive not found" alert while
// the archive root that ran is gone; the archive-identity panel while an owner
// choice waits; then either the empty state or the duplicate banners, the
// "Ready to archive" banner, the list of sources and the deletion summary.
//
// Each time it is shown it asks for the analyses it has no result of (safety
// first, then duplicates), never while the same analysis is still running; it
// asks again when a run ends, since a run's new archive contents make earlier
// results void.
#include <QPointer>
#include <QWidget>

class AppModel;
class QLabel;
class QListView;
class QPushButton;
class QScrollArea;
class QTimer;
class QVBoxLayout;

class BannerWidget;
class BusySpinner;

namespace sources {

class AddSourceView;
class IdenticalGroupModel;
class SourceListModel;
class SourceRowDelegate;
class WhichArchivePanel;

class SourcesView : public QWidget {
    Q_OBJECT
public:
    explicit SourcesView(AppModel& model, QWidget* parent = nullptr);
    ~SourcesView() override;

    // ---- Parts, for tests ----
    QPushButton* connectButton() const { return connect_; }
    QPushButton* scanAllButton() const { return scanAll_; }
    QPushButton* addSourceButton() const { return addSource_; }
    QPushButton* checkSafetyButton() const { return checkSafety_; }
    BusySpinner* spinner() const { return spinner_; }
    // Null until the registry was first seen empty.
    QWidget* emptyState() const { return empty_; }
    QWidget* content() const { return content_; }
    // The duplicate banners, one row per identical group.
    QListView* duplicateBanners() const { return duplicateList_; }
    QListView* list() const { return list_; }
    SourceListModel* listModel() const { return listModel_; }
    SourceRowDelegate* rowDelegate() const { return delegate_; }
    WhichArchivePanel* whichArchivePanel() const { return panel_; }
    AddSourceView* addSheet() const;
    // The context menu of a row ("Reveal in Finder", "Remove from registry");
    // shown without blocking, closed by any choice.
    class QMenu* showRowMenu(int row, const QPoint& globalPos);

    // The actions behind the row menu and the summary's button.
    void revealSource(int row);
    void removeSource(int row);
    void exportDryRunScript();
    void presentAddSheet();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildHeader(QVBoxLayout* column);
    QWidget* buildEmptyState();
    QWidget* buildContent();
    void refresh();
    void refreshRows();
    void refreshBanners();
    void refreshPanel();
    void refreshSummary();
    void requestAnalyses();
    void scheduleClockTick();

    AppModel& model_;
    QPushButton* connect_ = nullptr;
    QPushButton* scanAll_ = nullptr;
    QPushButton* addSource_ = nullptr;
    QPushButton* checkSafety_ = nullptr;
    BusySpinner* spinner_ = nullptr;
    BannerWidget* notFound_ = nullptr;
    QVBoxLayout* panelSlot_ = nullptr;
    WhichArchivePanel* panel_ = nullptr;
    QWidget* empty_ = nullptr;
    QWidget* emptyConnect_ = nullptr;
    QWidget* emptyNoDatabase_ = nullptr;
    QWidget* content_ = nullptr;
    QWidget* duplicates_ = nullptr;
    QListView* duplicateList_ = nullptr;
    IdenticalGroupModel* groupModel_ = nullptr;
    QWidget* readyBanner_ = nullptr;
    QPushButton* scanNow_ = nullptr;
    QListView* list_ = nullptr;
    SourceListModel* listModel_ = nullptr;
    SourceRowDelegate* delegate_ = nullptr;
    QWidget* summary_ = nullptr;
    QLabel* summaryText_ = nullptr;
    QTimer* clockTick_ = nullptr;
    QPointer<AddSourceView> sheet_;
    // The safety analysis was wanted while another one still ran.
    bool safetyWanted_ = false;
};

} // namespace sources
