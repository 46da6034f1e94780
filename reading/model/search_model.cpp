#include "reading/model/search_model.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/platform/logging.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <exception>

struct SearchModel::Outcome {
    Hits hits;
    std::optional<int64_t> count; // none: the count failed
    QString problem;              // null: the search ran
};

namespace {

QString couldNotSearch(const QString& why) {
    return QStringLiteral("The search could not be run: ") + why +
           QStringLiteral(". Nothing in the archive was changed.");
}

// Runs off the GUI thread on captured values only.
SearchModel::Outcome runSearch(const QString& root, const QString& query, const QString& owner) {
    SearchModel::Outcome out;
    const QString db = OwnersModel::archiveDatabasePath(root, owner);
    if (db.isNull()) {
        out.problem = couldNotSearch("\"" + owner + "\" cannot name an archive folder");
        return out;
    }
    // Nothing archived for this owner yet: an ordinary empty result.
    if (!kx::fs::isRegularFile(db.toStdString())) {
        out.count = 0;
        return out;
    }
    std::unique_ptr<kx::TreskStore> store;
    try {
        store = std::make_unique<kx::TreskStore>(db.toStdString());
    } catch (const std::exception& e) {
        out.problem = couldNotSearch(owner + "'s archive could not be opened (" + QString::fromUtf8(e.what()) + ")");
        return out;
    }
    const std::string q = query.toStdString(), who = owner.toStdString();
    try {
        out.hits = store->search(q, who, std::nullopt, std::nullopt, std::nullopt, SearchModel::kLimit);
    } catch (const std::exception& e) {
        out.problem = couldNotSearch(owner + "'s archive could not be read (" + QString::fromUtf8(e.what()) + ")");
        return out;
    }
    try {
        out.count = store->searchCount(q, who);
    } catch (const std::exception& e) {
        // The results stand; the header says the total is unknown.
        qCWarning(lcReading, "The matches in %s's archive could not be counted: %s", qPrintable(owner), e.what());
    }
    return out;
}

} // namespace

SearchModel::SearchModel(AppModel& app, QObject* parent) : QObject(parent), app_(app) {}

bool SearchModel::canSearch(const QString& query, const QString& owner) const {
    return !query.isEmpty() && !owner.isEmpty() && !isSearching_;
}

bool SearchModel::search(const QString& query, const QString& owner) {
    if (!canSearch(query, owner)) return false;
    isSearching_ = true;
    emit isSearchingChanged();
    timer_.start();
    app_.startTask(this, std::nullopt, [this, root = app_.destinationRoot(), query, owner]() -> TaskRunner::Publish {
        Outcome outcome = runSearch(root, query, owner);
        return [this, outcome = std::move(outcome)]() mutable { publishOutcome(std::move(outcome)); };
    });
    return true;
}

void SearchModel::publishOutcome(Outcome outcome) {
    if (!outcome.problem.isNull()) qCWarning(lcReading).noquote() << outcome.problem;
    problem_ = outcome.problem;
    results_ = std::move(outcome.hits);
    const auto found = static_cast<qint64>(results_.size());
    countKnown_ = problem_.isNull() && outcome.count.has_value();
    // A total never shows fewer matches than the results on screen.
    totalMatches_ = std::max<qint64>(found, outcome.count.value_or(0));
    elapsed_ = static_cast<double>(timer_.nsecsElapsed()) / 1e6;
    searched_ = true;
    isSearching_ = false;
    emit finished();
    emit isSearchingChanged();
}
