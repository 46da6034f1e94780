#include "reading/model/search_model.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/platform/logging.h"
#include "core/archive/search_index.h"
#include "core/platform/fs.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <mutex>

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

// What tells one file from another at a path: a file renamed over it, deleted
// and made again, or written in place (a restore, a rebuilt index, damage) is
// another file.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

} // namespace

// The store of the last search, kept open for the next one (opening an archive
// and its index costs more than a search of a rare word) while the archive and
// its index are still the files it opened. Used by one search at a time.
struct SearchModel::OpenStore {
    std::mutex mutex;
    std::string path;
    std::optional<FileStamp> archive, index;
    std::unique_ptr<kx::TreskStore> store;

    // The owner's store, opened afresh unless the one held is of the same files.
    kx::TreskStore& at(const std::string& db) {
        const auto archiveNow = stampOf(db), indexNow = stampOf(kx::searchIndexPath(db));
        if (!store || path != db || archive != archiveNow || index != indexNow) {
            store.reset();
            store = std::make_unique<kx::TreskStore>(db, kx::TreskStore::OneThreadAtATime{});
            path = db;
            archive = archiveNow;
            index = indexNow;
        }
        return *store;
    }
};

namespace {

// Runs off the GUI thread on captured values only.
SearchModel::Outcome runSearch(SearchModel::OpenStore& open, const QString& root, const QString& query,
                               const QString& owner) {
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
    std::lock_guard<std::mutex> lock(open.mutex);
    kx::TreskStore* store = nullptr;
    try {
        store = &open.at(db.toStdString());
    } catch (const std::exception& e) {
        out.problem = couldNotSearch(owner + "'s archive could not be opened (" + QString::fromUtf8(e.what()) + ")");
        return out;
    }
    try {
        // The records and their total from one reading of the archive.
        auto found = store->searchWithTotal(query.toStdString(), owner.toStdString(), SearchModel::kLimit);
        out.hits = std::move(found.hits);
        out.count = found.total;
    } catch (const std::exception& e) {
        out.problem = couldNotSearch(owner + "'s archive could not be read (" + QString::fromUtf8(e.what()) + ")");
        // A store that failed is not trusted for the next search.
        open.store.reset();
    }
    return out;
}

} // namespace

SearchModel::SearchModel(AppModel& app, QObject* parent)
    : QObject(parent), app_(app), open_(std::make_shared<OpenStore>()) {}

SearchModel::~SearchModel() = default;

bool SearchModel::canSearch(const QString& query, const QString& owner) const {
    return !query.isEmpty() && !owner.isEmpty() && !isSearching_;
}

bool SearchModel::search(const QString& query, const QString& owner) {
    if (!canSearch(query, owner)) return false;
    isSearching_ = true;
    emit isSearchingChanged();
    timer_.start();
    app_.startTask(this, std::nullopt,
                   [this, open = open_, root = app_.destinationRoot(), query, owner]() -> TaskRunner::Publish {
                       Outcome outcome = runSearch(*open, root, query, owner);
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
