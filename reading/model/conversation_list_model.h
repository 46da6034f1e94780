#pragma once
// ConversationListModel: one owner's conversations as the browse screen lists
// them, with the name each handle resolves to. The "unknown" conversation
// (messages filed without a readable conversation or sender) is not listed
// once it holds no message by the count the list shows.
//
// The list is read on the thread pool. A result is applied only when it belongs
// to the latest load for the owner still chosen; older ones are dropped. Names
// are resolved once per row and resolved again whenever the typed names or the
// contacts change, so a rename shows at once without reading the archive again.
//
// ConversationFilterModel keeps the rows whose summary detail or resolved name
// contains the filter text (case-insensitive); filtering never reloads.
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"

#include <QAbstractListModel>
#include <QSortFilterProxyModel>

#include <vector>

class AppModel;

class ConversationListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QString owner READ owner WRITE setOwner NOTIFY ownerChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)

public:
    enum Role {
        SecondLineRole = Qt::UserRole + 1, // the caption line under the name
        HandleRole,                        // the conversation key
        ResolvedKindRole,                  // int
        DetailRole,                        // the summary's own second text
    };

    explicit ConversationListModel(AppModel& app, QObject* parent = nullptr);

    QString owner() const { return owner_; }
    // Changing the owner reloads the list.
    void setOwner(const QString& owner);
    bool isLoading() const { return isLoading_; }
    // Reads the owner's list again (nothing when no owner is chosen: the list empties).
    void reload();

    const std::vector<kx::TreskStore::ConversationSummary>& conversations() const { return conversations_; }
    const kx::TreskStore::ConversationSummary& summary(int row) const {
        return conversations_.at(static_cast<size_t>(row));
    }
    const kx::ResolvedName& resolvedName(int row) const { return names_.at(static_cast<size_t>(row)); }
    // The row of a conversation key, or -1.
    int rowOf(const std::string& handle) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    void ownerChanged();
    void isLoadingChanged();
    // A load finished and its list was applied.
    void loaded();

private:
    void setIsLoading(bool v);
    void resolveNames();

    AppModel& app_;
    QString owner_;
    bool isLoading_ = false;
    quint64 generation_ = 0;
    std::vector<kx::TreskStore::ConversationSummary> conversations_;
    std::vector<kx::ResolvedName> names_;
};

class ConversationFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit ConversationFilterModel(ConversationListModel& source, QObject* parent = nullptr);
    QString filter() const { return filter_; }
    void setFilter(const QString& text);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    ConversationListModel& list_;
    QString filter_;
};
