#pragma once
// ThreadView: one conversation as a scrolling thread of message bubbles with
// day headings, loaded from the newest message backwards a page at a time
// (ThreadModel), drawn by MessageDelegate in a list view.
//
// It opens scrolled to the newest message once the first page is laid out, and
// stays at the bottom until the user scrolls away (pictures that finish
// decoding do not push the newest message out of view). Loading an earlier page
// keeps the message the user was reading where it was on screen.
//
// Before the list is drawn, the rows on screen and a screen's worth either
// side are measured for the current width when their kept heights are not
// (after the window's width changed); if any height moved, the list is laid
// out again and the message at the top of the screen put back where it was
// (the newest one at the bottom while the thread is pinned there). Rows further
// away keep their heights as estimates until they come near the screen.
//
// Clicking a bubble shows or hides its detail line; double-clicking it opens
// the whole text for selecting and copying; Copy (Ctrl+C) copies the text of
// the message last clicked. Clicking an archived attachment opens a read-only
// copy of it; its context menu offers "Open" and "Show in Folder".
//
// The header shows the name the conversation resolves to and "Export…", which
// opens the export sheet for this conversation. While shown, the main window
// is titled with that name.
#include "core/archive/tresk_store.h"

#include <QPointer>
#include <QWidget>

class AppModel;
class ElidedLabel;
class ExportConversationView;
class MessageDelegate;
class QLabel;
class QListView;
class QProgressBar;
class QPushButton;
class QToolButton;
class ThreadModel;

class ThreadView : public QWidget {
    Q_OBJECT
public:
    ThreadView(AppModel& model, const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
               QWidget* parent = nullptr);
    ~ThreadView() override;

    ThreadModel& threadModel() const { return *thread_; }
    MessageDelegate& delegate() const { return *delegate_; }
    QListView* list() const { return list_; }
    QPushButton* loadEarlierButton() const { return loadEarlier_; }
    QToolButton* exportButton() const { return export_; }
    QLabel* titleLabel() const;
    QLabel* problemLabel() const { return problem_; }
    // The export sheet while it is open; null otherwise.
    ExportConversationView* exportSheet() const;
    void openExportSheet();

    // What a click at `pos` (viewport coordinates) does, for the mouse and for tests.
    void clickAt(const QPoint& pos);
    // The context menu's actions at `pos`; empty where there is none.
    QList<QAction*> contextActionsAt(const QPoint& pos, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateState();
    void updateWindowTitle();
    void onPageLoaded(int count, bool first);
    void scrollToNewest();
    // Measures the rows on and around the screen for the current width and
    // lays the list out again when a height changed, keeping the reading position.
    void refreshShownRows();
    void copyCurrent();
    void openAttachment(int row, size_t attachment);
    void say(const QString& sentence);

    AppModel& model_;
    ThreadModel* thread_;
    MessageDelegate* delegate_;
    ElidedLabel* title_;
    QToolButton* export_;
    QWidget* buttonRow_;
    QPushButton* loadEarlier_;
    QProgressBar* loadingIndicator_;
    QLabel* problem_;
    QListView* list_;
    bool pinnedToBottom_ = false;
    bool settingScroll_ = false;
    bool refreshing_ = false;
    // The row on top of the viewport and its offset, kept while a page is prepended.
    int anchorRow_ = -1;
    int anchorOffset_ = 0;
    int currentRow_ = -1;
    QPointer<QWidget> titledWindow_;
    QPointer<ExportConversationView> exportSheet_;
    QString previousWindowTitle_;
};
