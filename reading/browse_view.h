#pragma once
// BrowseView: the Browse route's screen. An owner picker (when sources belong
// to more than one owner), that owner's conversations with the names their
// handles resolve to and a filter field, and the selected conversation's
// thread beside the list.
//
// The list side shows the first of: a progress indicator while the list loads;
// "No sources connected" (with "Go to Sources") when no source is registered;
// "Nothing archived yet" (with "Scan now") when the owner has no conversation,
// or the "Archive drive not found" alert when the archive that ran is gone;
// else the filter field and the list. A row's context menu names the contact,
// edits or removes the typed name, or copies the handle.
//
// The filter only hides rows: what is open stays open while its row is hidden,
// and its row is marked again when the filter shows it.
//
// Every list read goes through ConversationListModel (a result for an owner no
// longer chosen is dropped); names change through ContactsModel, and the rows
// and the thread's title follow at once.
#include "core/archive/tresk_store.h"
#include "reading/rename_contact_view.h"
#include "reading/thread_view.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class AppModel;
class ContentUnavailableWidget;
class ConversationFilterModel;
class ConversationListModel;
class QButtonGroup;
class QLineEdit;
class QListView;
class QStackedWidget;

class BrowseView : public QWidget {
    Q_OBJECT
public:
    explicit BrowseView(AppModel& model, QWidget* parent = nullptr);

    ConversationListModel& conversations() const { return *list_; }
    ConversationFilterModel& filtered() const { return *filtered_; }
    QWidget* ownerPicker() const { return ownerPicker_; }
    QLineEdit* filterField() const { return filter_; }
    QListView* listView() const { return listView_; }
    QStackedWidget* listSide() const { return listSide_; }
    // The list side's page on show: "loading", "noSources", "nothingArchived",
    // "archiveNotFound" or "list".
    QString listState() const;
    // The thread beside the list; null while nothing is selected.
    ThreadView* thread() const { return thread_; }
    const std::optional<kx::TreskStore::ConversationSummary>& selected() const { return selected_; }
    RenameContactView* renameSheet() const { return renameSheet_; }

    // Chooses an owner as the picker does.
    void chooseOwner(const QString& owner);
    // The context menu's actions for a row of the filtered list.
    QList<QAction*> rowActions(int filteredRow, QObject* parent);
    // Opens the naming sheet for a conversation's handle.
    void rename(const kx::TreskStore::ConversationSummary& summary);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildOwnerPicker();
    void updateListSide();
    void applyFilter(const QString& text);
    // Marks the open conversation's row in the list, or no row while the filter hides it.
    void markSelectedRow();
    void select(const std::optional<kx::TreskStore::ConversationSummary>& summary);
    void onOwnerChanged();

    AppModel& model_;
    ConversationListModel* list_;
    ConversationFilterModel* filtered_;
    QWidget* ownerPicker_;
    QButtonGroup* ownerButtons_;
    QStackedWidget* listSide_;
    QWidget* loadingPage_;
    ContentUnavailableWidget* noSources_;
    ContentUnavailableWidget* nothingArchived_;
    ContentUnavailableWidget* archiveNotFound_;
    QWidget* listPage_;
    QLineEdit* filter_;
    QListView* listView_;
    QStackedWidget* detail_;
    ContentUnavailableWidget* nothingSelected_;
    QPointer<ThreadView> thread_;
    std::optional<kx::TreskStore::ConversationSummary> selected_;
    QPointer<RenameContactView> renameSheet_;
};
