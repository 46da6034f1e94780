#include "reading/model/thread_model.h"

#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/owners_model.h"
#include "app/platform/logging.h"
#include "core/contacts/layered_contact_resolver.h"
#include "reading/model/reading_text.h"

struct ThreadModel::PageResult {
    kx::TreskStore::ThreadPage page;
    std::map<std::string, std::vector<kx::TreskStore::AttachmentRef>> attachments;
    QString problem; // null: the page was read
};

ThreadModel::ThreadModel(AppModel& app, const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                         QObject* parent)
    : QAbstractListModel(parent), app_(app), owner_(owner), root_(app.destinationRoot()), conversation_(conversation),
      total_(conversation.messageCount) {
    connect(&app_.contacts(), &ContactsModel::overridesChanged, this, &ThreadModel::updateTitle);
    connect(&app_.contacts(), &ContactsModel::contactsLoadedCountChanged, this, &ThreadModel::updateTitle);
    updateTitle();
}

void ThreadModel::updateTitle() {
    const auto name = reading::conversationName(*app_.contacts().resolver(), conversation_.handle, conversation_.name);
    const QString t = QString::fromStdString(name.displayName);
    if (t == title_) return;
    title_ = t;
    emit titleChanged();
}

bool ThreadModel::canLoadEarlier() const {
    if (!hasFirstPage_) return total_ > 0 || !loadProblem_.isNull();
    return !reachedOldest_;
}

qint64 ThreadModel::olderCount() const {
    if (!hasFirstPage_) return total_;
    if (reachedOldest_) return 0;
    // Messages archived meanwhile can outnumber the count read at opening;
    // the button then still says that something is left.
    return std::max<qint64>(total_ - static_cast<qint64>(rows_.size()), 1);
}

void ThreadModel::setIsLoading(bool v) {
    if (v == isLoading_) return;
    isLoading_ = v;
    emit stateChanged();
}

void ThreadModel::start() {
    if (hasFirstPage_ || isLoading_) return;
    loadPage(std::nullopt);
}

void ThreadModel::loadEarlier() {
    if (isLoading_) return;
    if (!hasFirstPage_) {
        loadPage(std::nullopt);
        return;
    }
    if (reachedOldest_ || rows_.empty()) return;
    loadPage(rows_.front().hit.id);
}

void ThreadModel::loadPage(std::optional<std::string> beforeId) {
    setIsLoading(true);
    const bool first = !beforeId.has_value();
    const OwnersModel* owners = &app_.owners();
    app_.startTask(this, std::nullopt,
                   [this, owners, root = root_, owner = owner_, key = conversation_.handle,
                    beforeId = std::move(beforeId), first]() -> TaskRunner::Publish {
                       PageResult r;
                       auto store = owners->openStore(root, owner);
                       if (!store) {
                           r.problem = QStringLiteral("The archive of ") + owner +
                                       QStringLiteral(" could not be opened.");
                       } else {
                           try {
                               r.page = store->threadPage(key, beforeId, kPageSize, first);
                               std::vector<std::string> ids;
                               ids.reserve(r.page.messages.size());
                               for (const auto& m : r.page.messages) ids.push_back(m.id);
                               r.attachments = store->attachments(ids);
                           } catch (const std::exception& e) {
                               r = PageResult{};
                               r.problem = QString::fromUtf8(e.what());
                               if (!r.problem.isEmpty()) r.problem[0] = r.problem[0].toUpper();
                               r.problem += QLatin1Char('.');
                           }
                       }
                       return [this, r = std::move(r), first]() mutable { applyPage(std::move(r), first); };
                   });
}

void ThreadModel::applyPage(PageResult result, bool first) {
    if (!result.problem.isNull()) {
        // Nothing moves: the same window is read again on the next request.
        loadProblem_ = QStringLiteral("These messages could not be read: ") + result.problem +
                       QStringLiteral(" Your archive is unchanged; load them again to retry.");
        qCWarning(lcReading).noquote() << loadProblem_;
        isLoading_ = false;
        emit stateChanged();
        return;
    }
    loadProblem_ = QString();
    auto& messages = result.page.messages;
    const int n = static_cast<int>(messages.size());
    if (first) {
        if (result.page.total) total_ = *result.page.total;
        hasFirstPage_ = true;
    }
    reachedOldest_ = result.page.reachesOldest;
    if (n > 0) {
        std::vector<ThreadRow> page;
        page.reserve(messages.size());
        for (auto& m : messages) {
            ThreadRow row;
            if (auto it = result.attachments.find(m.id); it != result.attachments.end())
                row.attachments = std::move(it->second);
            if (m.date) row.day = reading::toDateTime(*m.date).date();
            row.hasText = !reading::cleanedText(m.text).isEmpty();
            row.hit = std::move(m);
            row.hit.conversationKey.clear(); // the same for every row: kept once, in conversation_
            page.push_back(std::move(row));
        }
        beginInsertRows(QModelIndex(), 0, n - 1);
        rows_.insert(rows_.begin(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
        // Day headings of the new rows and of the row that was first before.
        for (size_t i = 0; i <= static_cast<size_t>(n) && i < rows_.size(); ++i) {
            auto& r = rows_[i];
            r.headingDue = !r.day.isNull() && (i == 0 || rows_[i - 1].day.isNull() || rows_[i - 1].day != r.day);
        }
        endInsertRows();
        if (static_cast<size_t>(n) < rows_.size()) emit dataChanged(index(n), index(n));
    }
    isLoading_ = false;
    emit stateChanged();
    emit pageLoaded(n, first);
}

void ThreadModel::toggleDetail(int i) {
    if (i < 0 || i >= rowCount()) return;
    rows_[static_cast<size_t>(i)].showDetail = !rows_[static_cast<size_t>(i)].showDetail;
    emit dataChanged(index(i), index(i));
}

int ThreadModel::rowOf(const std::string& messageId) const {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].hit.id == messageId) return static_cast<int>(i);
    return -1;
}

QString ThreadModel::attachmentPath(const kx::TreskStore::AttachmentRef& attachment) const {
    return OwnersModel::attachmentPath(root_, owner_, attachment);
}

const std::vector<QString>& ThreadModel::objectPaths(const ThreadRow& row) const {
    if (!row.objectPathsKnown) {
        row.objectPaths.clear();
        for (const auto& a : row.attachments) row.objectPaths.push_back(attachmentPath(a));
        row.objectPathsKnown = true;
    }
    return row.objectPaths;
}

int ThreadModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant ThreadModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const auto& r = rows_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: return reading::fromUtf8(r.hit.text);
    case Qt::AccessibleTextRole: return reading::bubbleAccessibleLabel(r.hit);
    case Qt::AccessibleDescriptionRole: return reading::bubbleAccessibleValue(r.hit, r.attachments);
    case Qt::ToolTipRole:
        return r.hit.date ? reading::abbreviatedDateTime(reading::toDateTime(*r.hit.date)) : QString();
    default: return {};
    }
}
