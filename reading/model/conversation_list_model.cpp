#include "reading/model/conversation_list_model.h"

#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/owners_model.h"
#include "app/platform/logging.h"
#include "core/contacts/layered_contact_resolver.h"
#include "reading/model/reading_text.h"

ConversationListModel::ConversationListModel(AppModel& app, QObject* parent) : QAbstractListModel(parent), app_(app) {
    connect(&app_.contacts(), &ContactsModel::overridesChanged, this, &ConversationListModel::resolveNames);
    connect(&app_.contacts(), &ContactsModel::contactsLoadedCountChanged, this, &ConversationListModel::resolveNames);
}

void ConversationListModel::setOwner(const QString& owner) {
    if (owner == owner_) return;
    owner_ = owner;
    emit ownerChanged();
    reload();
}

void ConversationListModel::setIsLoading(bool v) {
    if (v == isLoading_) return;
    isLoading_ = v;
    emit isLoadingChanged();
}

void ConversationListModel::reload() {
    const quint64 generation = ++generation_;
    if (owner_.isEmpty()) {
        beginResetModel();
        conversations_.clear();
        names_.clear();
        endResetModel();
        return;
    }
    setIsLoading(true);
    const QString root = app_.destinationRoot();
    const QString owner = owner_;
    const OwnersModel* owners = &app_.owners();
    app_.startTask(this, std::nullopt, [this, owners, root, owner, generation]() -> TaskRunner::Publish {
        std::vector<kx::TreskStore::ConversationSummary> list;
        if (auto store = owners->openStore(root, owner)) {
            try {
                list = store->conversations(owner.toStdString());
                // Messages whose conversation and sender could not be read are
                // filed under "unknown" until a later scan moves them to their
                // conversation; once all have moved it holds nothing to read.
                std::erase_if(list, [](const auto& c) { return c.handle == "unknown" && c.messageCount == 0; });
            } catch (const std::exception& e) {
                list.clear(); // an unreadable list shows as an empty one
                qCWarning(lcReading, "The conversations in %s's archive could not be read: %s", qPrintable(owner),
                          e.what());
            }
        }
        return [this, generation, owner, list = std::move(list)]() mutable {
            // A newer load may own the list by now.
            if (generation_ != generation || owner_ != owner) return;
            beginResetModel();
            conversations_ = std::move(list);
            names_.clear();
            endResetModel();
            resolveNames();
            setIsLoading(false);
            emit loaded();
        };
    });
}

void ConversationListModel::resolveNames() {
    const auto resolver = app_.contacts().resolver();
    names_.resize(conversations_.size());
    for (size_t i = 0; i < conversations_.size(); ++i)
        names_[i] = reading::conversationName(*resolver, conversations_[i].handle, conversations_[i].name);
    if (!conversations_.empty()) emit dataChanged(index(0), index(rowCount() - 1));
}

int ConversationListModel::rowOf(const std::string& handle) const {
    for (size_t i = 0; i < conversations_.size(); ++i)
        if (conversations_[i].handle == handle) return static_cast<int>(i);
    return -1;
}

int ConversationListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(conversations_.size());
}

QVariant ConversationListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || static_cast<size_t>(index.row()) >= names_.size()) return {};
    const auto& s = conversations_[static_cast<size_t>(index.row())];
    const auto& n = names_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(n.displayName);
    case SecondLineRole: return reading::conversationDetailLine(s, n);
    case Qt::AccessibleTextRole: return reading::conversationAccessibleLabel(s, n);
    case Qt::ToolTipRole: return QString::fromStdString(s.handle);
    case HandleRole: return QString::fromStdString(s.handle);
    case ResolvedKindRole: return n.kind;
    case DetailRole: return QString::fromStdString(s.detail);
    default: return {};
    }
}

ConversationFilterModel::ConversationFilterModel(ConversationListModel& source, QObject* parent)
    : QSortFilterProxyModel(parent), list_(source) {
    setSourceModel(&source);
    setDynamicSortFilter(true);
}

void ConversationFilterModel::setFilter(const QString& text) {
    if (text == filter_) return;
    filter_ = text;
    invalidateRowsFilter();
}

bool ConversationFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (filter_.isEmpty() || sourceParent.isValid()) return true;
    const auto& s = list_.summary(sourceRow);
    if (QString::fromStdString(s.detail).contains(filter_, Qt::CaseInsensitive)) return true;
    return QString::fromStdString(list_.resolvedName(sourceRow).displayName).contains(filter_, Qt::CaseInsensitive);
}
