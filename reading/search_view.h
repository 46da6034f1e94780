#pragma once
// SearchView: the Search route's screen. One query over the whole archive of
// one owner: at most 200 matching messages, newest first, the number of all
// matches and how long the search took.
//
// The search bar holds the field, the owner picker (only when sources belong
// to more than one owner) and "Search", which is disabled while the field is
// empty, no owner is chosen or a search runs. The query is searched exactly as
// typed: spaces, quotes, "*", "AND" and "-" are words like any other.
//
// The content area shows the first that applies: a progress indicator while a
// search runs; the one line saying why the last search could not be run; the
// "Archive drive not found" alert when the owner's archive ran and is gone (no
// search can find anything in it); "No Results" for a finished search that
// found nothing; "Nothing to search yet"
// (with "Go to Sources") without sources; the "Search your whole history"
// prompt before the first search; the results header and rows.
//
// Rows show the sender's resolved name, the date, the text (at most three
// lines, selectable), "You" for messages the owner sent and, for messages
// found in two or more sources, the green corroboration label whose help
// lists the sources. Rows open nothing.
#include <QWidget>

class AppModel;
class ContentUnavailableWidget;
class QComboBox;
class QLabel;
class SymbolTextLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class SearchModel;

class SearchView : public QWidget {
    Q_OBJECT
public:
    explicit SearchView(AppModel& model, QWidget* parent = nullptr);

    SearchModel& searchModel() const { return *search_; }
    QLineEdit* queryField() const { return query_; }
    QComboBox* ownerPicker() const { return ownerPicker_; }
    QPushButton* searchButton() const { return searchButton_; }
    QString owner() const { return owner_; }
    // The content area's page on show: "searching", "failed", "archiveNotFound",
    // "noResults", "noSources", "prompt" or "results".
    QString contentState() const;
    SymbolTextLabel* failureLabel() const { return failure_; }
    QLabel* countLabel() const { return count_; }
    QLabel* showingFirstLabel() const { return showingFirst_; }
    QLabel* elapsedLabel() const { return elapsed_; }
    ContentUnavailableWidget* noResultsPanel() const { return noResults_; }
    // One widget per result row, in order.
    QList<QWidget*> rows() const;

    // Runs the search action (the button and Return in the field).
    void runSearch();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshOwners();
    void updateButton();
    void updateContent();
    void fillResults();

    AppModel& model_;
    SearchModel* search_;
    QString owner_;
    QLineEdit* query_;
    QComboBox* ownerPicker_;
    QPushButton* searchButton_;
    QStackedWidget* content_;
    QWidget* searching_;
    QWidget* failed_;
    SymbolTextLabel* failure_;
    ContentUnavailableWidget* noResults_ = nullptr;
    ContentUnavailableWidget* noSources_;
    ContentUnavailableWidget* archiveNotFound_;
    ContentUnavailableWidget* prompt_;
    QWidget* results_;
    QLabel* count_;
    QLabel* showingFirst_;
    QLabel* elapsed_;
    QWidget* rowsPage_;
    QVBoxLayout* rowsColumn_;
    bool appeared_ = false;
};
