#pragma once
// SearchModel: one full-text search at a time over one owner's archive, for the
// search screen. A search returns at most kLimit messages (newest first, in the
// archive's order) and the number of all matches, counted separately.
//
// The work runs off the GUI thread on values captured when it starts; its
// outcome is published on the GUI thread in one hop, and only while this model
// still exists (a screen closed mid-search drops it). The previous results stay
// until a new search finishes.
//
// A search that could not be run (an archive that exists but does not open,
// is damaged or locked) publishes `problem` and no results: it is never shown
// as "no results". An owner without an archive yet is an ordinary empty result.
// The results and their total are read together; countKnown is false only
// when the search could not be run.
#include "core/archive/tresk_store.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class AppModel;

class SearchModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isSearching READ isSearching NOTIFY isSearchingChanged)
    Q_PROPERTY(bool searched READ searched NOTIFY finished)
    Q_PROPERTY(qint64 totalMatches READ totalMatches NOTIFY finished)
    Q_PROPERTY(bool countKnown READ countKnown NOTIFY finished)
    Q_PROPERTY(QString problem READ problem NOTIFY finished)

public:
    static constexpr int kLimit = 200;
    // What one search came to (worked out off the GUI thread).
    struct Outcome;
    using Hits = std::vector<kx::TreskStore::SearchHit>;

    explicit SearchModel(AppModel& app, QObject* parent = nullptr);
    ~SearchModel() override;
    struct OpenStore;

    bool isSearching() const { return isSearching_; }
    // Set once the first search has finished.
    bool searched() const { return searched_; }
    const Hits& results() const { return results_; }
    qint64 totalMatches() const { return totalMatches_; }
    bool countKnown() const { return countKnown_; }
    // Milliseconds the last finished search took; none before the first.
    std::optional<double> elapsed() const { return elapsed_; }
    // Why the last search could not be run; null when it ran.
    QString problem() const { return problem_; }

    // Whether a search can start: a query as typed (spaces count), an owner,
    // and no search running.
    bool canSearch(const QString& query, const QString& owner) const;
    // Starts a search for the query exactly as typed; false (nothing started)
    // when canSearch is false.
    bool search(const QString& query, const QString& owner);

signals:
    void isSearchingChanged();
    // A search finished: results, counts, elapsed and problem were replaced.
    void finished();

private:
    void publishOutcome(Outcome outcome);

    AppModel& app_;
    bool isSearching_ = false;
    bool searched_ = false;
    Hits results_;
    qint64 totalMatches_ = 0;
    bool countKnown_ = true;
    std::optional<double> elapsed_;
    QString problem_;
    QElapsedTimer timer_;
    // Shared with the search running, which may outlive the model.
    std::shared_ptr<OpenStore> open_;
};
