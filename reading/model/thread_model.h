#pragma once
// ThreadModel: one conversation of one owner's archive, read backwards from its
// newest message a page at a time, as the thread view lists it.
//
// Paging. The first page is the newest kPageSize messages, read together with
// the conversation's message count from one snapshot of the archive, so a scan
// that archived messages since the conversation list was read is seen. Each
// earlier page is the kPageSize messages right before the first one loaded: the
// store seeks to that message through its index, so no page is skipped or
// repeated however the archive grows meanwhile, and a page deep in a long
// conversation is as quick as the newest. A page that fails to read changes
// nothing: the next request reads the same window again (the newest page when
// the first one failed), and the reason is published in loadProblem.
//
// Pages are read on the thread pool; a result reaches this model in one queued
// call and is dropped when the model has gone (the screen was rebuilt).
//
// Rows: one per loaded message, oldest first. Each carries its attachment
// records, whether a day heading stands before it (recomputed for the old first
// row when a page is prepended) and whether its detail line is open.
#include "core/archive/tresk_store.h"

#include <QAbstractListModel>
#include <QDate>
#include <QString>

#include <deque>
#include <optional>
#include <vector>

class AppModel;

struct ThreadRow {
    kx::TreskStore::SearchHit hit;
    std::vector<kx::TreskStore::AttachmentRef> attachments; // in the store's order
    QDate day;                                              // local calendar day; null without a date
    bool hasText = false;                                   // text is left after cleaning
    bool headingDue = false;
    bool showDetail = false;
    // Where each attachment's archived object lies (null: not there), looked up once.
    mutable std::vector<QString> objectPaths;
    mutable bool objectPathsKnown = false;
};

class ThreadModel : public QAbstractListModel {
    Q_OBJECT
    // The load-earlier button: shown, busy, and its count.
    Q_PROPERTY(bool canLoadEarlier READ canLoadEarlier NOTIFY stateChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY stateChanged)
    Q_PROPERTY(qint64 olderCount READ olderCount NOTIFY stateChanged)
    // Why the last page could not be read (null once one was).
    Q_PROPERTY(QString loadProblem READ loadProblem NOTIFY stateChanged)
    // The name the conversation's handle resolves to.
    Q_PROPERTY(QString title READ title NOTIFY titleChanged)

public:
    static constexpr int kPageSize = 200;

    ThreadModel(AppModel& app, const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                QObject* parent = nullptr);

    const QString& owner() const { return owner_; }
    const kx::TreskStore::ConversationSummary& conversation() const { return conversation_; }

    bool isLoading() const { return isLoading_; }
    // The load-earlier button is wanted: the first page has not arrived (or
    // failed), or older messages remain.
    bool canLoadEarlier() const;
    // Messages of the conversation not loaded yet, for the button's title.
    qint64 olderCount() const;
    // Whether the first page has been loaded.
    bool hasFirstPage() const { return hasFirstPage_; }
    // The conversation's message count as last read from the archive (the
    // list's count until the first page arrives).
    qint64 total() const { return total_; }
    QString title() const { return title_; }
    QString loadProblem() const { return loadProblem_; }

    // Reads the newest page (the view calls this once it is shown).
    void start();
    // The load-earlier action: the newest page again when none has loaded yet,
    // else the page before the first loaded message. Does nothing while a page
    // loads or when the oldest message is loaded.
    void loadEarlier();

    void toggleDetail(int row);
    const ThreadRow& row(int i) const { return rows_.at(static_cast<size_t>(i)); }
    int rowOf(const std::string& messageId) const;
    // Where an attachment's archived object lies; null when it is not there.
    QString attachmentPath(const kx::TreskStore::AttachmentRef& attachment) const;
    // The same for the attachments of a row, looked up once per row.
    const std::vector<QString>& objectPaths(const ThreadRow& row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    void stateChanged();
    void titleChanged();
    // A page was put in front of the loaded messages (`first`: it was the newest page).
    void pageLoaded(int count, bool first);

private:
    struct PageResult;
    void loadPage(std::optional<std::string> beforeId);
    void applyPage(PageResult result, bool first);
    void updateTitle();
    void setIsLoading(bool v);

    AppModel& app_;
    const QString owner_;
    const QString root_;
    const kx::TreskStore::ConversationSummary conversation_;
    std::deque<ThreadRow> rows_;
    bool isLoading_ = false;
    bool hasFirstPage_ = false;
    bool reachedOldest_ = false;
    qint64 total_ = 0;
    QString title_;
    QString loadProblem_;
};
