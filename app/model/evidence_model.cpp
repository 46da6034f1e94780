// Tamper-evidence manifests, conversation export, seals and anchors.
#include "app/model/evidence_model.h"

#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/publish.h"
#include "app/platform/logging.h"
#include "core/archive/archive_layout.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/evidence/export_and_seal.h"
#include "core/evidence/manifest_pin.h"
#include "core/evidence/pending_anchor_store.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <kelvara/version.h>

#include <QThreadPool>

#include <cctype>
#include <exception>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString versionText() {
    return QStringLiteral(KELVARA_VERSION_STRING) + QStringLiteral(" (") + QStringLiteral(KELVARA_BUILD_STRING) +
           QStringLiteral(")");
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an unexpected failure";
    }
}

// A clause of the core ("the archive's manifest was …") as a sentence.
std::string sentence(const std::string& clause) {
    std::string s = clause;
    if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
    return s + ".";
}

// The owner's archive opened for reading. A missing file is an error here and is
// never created.
std::unique_ptr<kx::TreskStore> openExisting(const std::string& path) {
    if (!kx::fs::isRegularFile(path)) throw kx::Error("there is no archive at " + path);
    return std::make_unique<kx::TreskStore>(path);
}

// The paths of the owner's archive under `root`, or the sentence saying why the
// owner cannot name a folder there.
struct OwnerArchive {
    std::optional<kx::OwnerPaths> paths;
    QString problem;
};
OwnerArchive ownerArchive(const QString& root, const QString& owner) {
    const std::string who = owner.toStdString();
    if (auto problem = kx::ArchiveLayout::ownerFolderProblem(who)) return {std::nullopt, qs(*problem)};
    return {kx::ArchiveLayout(root.toStdString()).owner(who), QString()};
}

} // namespace

EvidenceModel::EvidenceModel(AppModel& app) : app_(app), pool_(std::make_unique<QThreadPool>()) {
    // AppModel owns the clock and outlives this model.
    const kx::Clock& clock = app_.clock();
    pendingAnchors_ = std::make_unique<kx::PendingAnchorStore>(app_.configDir().toStdString(),
                                                               [&clock] { return clock.now(); });
    pendingAnchorCount_ = pendingAnchors_->count();
}

// The pool goes first (see pool_): running work still uses the queue.
EvidenceModel::~EvidenceModel() { pool_.reset(); }

void EvidenceModel::setPendingAnchorCount(int n) {
    publish(this, pendingAnchorCount_, n, &EvidenceModel::pendingAnchorCountChanged);
}
void EvidenceModel::setLastAnchorRetry(const QString& t) {
    publish(this, lastAnchorRetry_, t, &EvidenceModel::lastAnchorRetryChanged);
}
void EvidenceModel::setManifestStates(const ManifestStates& m) {
    manifestState_ = m;
    emit manifestStateChanged();
}
void EvidenceModel::setIsManifesting(bool v) { publish(this, isManifesting_, v, &EvidenceModel::isManifestingChanged); }
void EvidenceModel::setIsRetryingAnchors(bool v) {
    publish(this, isRetryingAnchors_, v, &EvidenceModel::isRetryingAnchorsChanged);
}

template <typename Work, typename Then>
void EvidenceModel::runInBackground(std::optional<TaskPriority> priority, Work work, Then then) {
    app_.tasks().start(
        priority,
        [work = std::move(work), then = std::move(then)]() mutable -> std::function<void()> {
            return [then = std::move(then), result = work()]() mutable { then(std::move(result)); };
        },
        pool_.get());
}

// ---- Manifests ----

EvidenceModel::ManifestState EvidenceModel::manifestState(const QString& owner) const {
    auto it = manifestState_.find(owner.toStdString());
    return it == manifestState_.end() ? ManifestState::unknown() : it->second;
}

void EvidenceModel::setManifestState(const std::optional<ManifestState>& state, const QString& owner) {
    ManifestStates states = manifestState_;
    if (state && state->kind == ManifestState::Kind::unreadable)
        qCWarning(lcEvidence, "The manifest of %s's archive could not be read: %s", qUtf8Printable(owner),
                  state->reason.c_str());
    if (state) states[owner.toStdString()] = *state;
    else states.erase(owner.toStdString());
    setManifestStates(states);
}

void EvidenceModel::loadManifestState(const QString& owner) {
    const OwnerArchive archive = ownerArchive(app_.destinationRoot(), owner);
    if (!archive.paths) return setManifestState(ManifestState::unreadable(archive.problem.toStdString()), owner);
    try {
        if (auto file = kx::TreskManifest::read(archive.paths->manifest))
            setManifestState(ManifestState::present(file->generatedAt, file->messageCount, file->chainHead), owner);
        else setManifestState(ManifestState::notGenerated(), owner);
    } catch (const kx::Error& e) {
        setManifestState(ManifestState::unreadable(e.localizedDescription()), owner);
    }
}

void EvidenceModel::generateManifest(const QString& owner) {
    if (isManifesting_) return;
    const OwnerArchive archive = ownerArchive(app_.destinationRoot(), owner);
    if (!archive.paths) {
        failToSeal("Nothing was sealed for \"" + owner + "\": " + archive.problem + ".");
        return;
    }
    const kx::OwnerPaths paths = *archive.paths;
    if (!kx::fs::isRegularFile(paths.database)) {
        failToSeal(QStringLiteral("There is no archive for ") + owner +
                   QStringLiteral(" yet, so there is nothing to seal."));
        return;
    }
    setIsManifesting(true);
    const std::string who = owner.toStdString();
    const kx::Date now = app_.clock().now();
    struct Outcome {
        std::optional<kx::TreskManifest::File> file;
        std::string error;
    };
    runInBackground(
        TaskPriority::userInitiated,
        [paths, who, now]() -> Outcome {
            try {
                auto store = openExisting(paths.database);
                auto file = kx::TreskManifest::generate(*store, who, now, 1000);
                kx::TreskManifest::writeKeepingPrevious(file, paths.manifest);
                try {
                    kx::ManifestPins().pin(who, file);
                } catch (const kx::Error& e) {
                    // Not pinned (no keyring): the next check still accepts this
                    // manifest, whose chain passes through any earlier pinned head.
                    qCWarning(lcEvidence, "The new manifest of %s's archive was not pinned: %s", who.c_str(),
                              e.localizedDescription().c_str());
                }
                return {std::move(file), {}};
            } catch (...) {
                return {std::nullopt, describe(std::current_exception())};
            }
        },
        [this, owner](Outcome o) {
            if (o.file) {
                setManifestState(ManifestState::present(o.file->generatedAt, o.file->messageCount, o.file->chainHead),
                                 owner);
            } else {
                failToSeal(QStringLiteral("Could not write the manifest: ") + qs(o.error));
            }
            setIsManifesting(false);
        });
}

void EvidenceModel::verifyManifest(const QString& owner) {
    if (isManifesting_) return;
    const OwnerArchive archive = ownerArchive(app_.destinationRoot(), owner);
    if (!archive.paths) return setManifestState(ManifestState::unreadable(archive.problem.toStdString()), owner);
    const kx::OwnerPaths paths = *archive.paths;
    const std::string who = owner.toStdString();
    setIsManifesting(true);
    runInBackground(
        TaskPriority::userInitiated,
        [paths, who]() -> ManifestState {
            try {
                auto manifest = kx::TreskManifest::read(paths.manifest);
                // The manifest on disk against the head pinned outside the archive
                // folder; a keyring that cannot be read leaves the check to the chain.
                std::optional<std::string> replaced;
                bool pinned = false;
                try {
                    const auto pin = kx::ManifestPins().pinned(who);
                    pinned = pin.has_value();
                    replaced = kx::pinnedHeadProblem(manifest, pin);
                } catch (const kx::Error& e) {
                    pinned = true; // nothing is pinned over a keyring that failed
                    qCWarning(lcEvidence, "The pinned manifest head of %s could not be read: %s", who.c_str(),
                              e.localizedDescription().c_str());
                }
                if (!manifest) {
                    if (replaced) return ManifestState::unreadable(sentence(*replaced));
                    return ManifestState::notGenerated();
                }
                auto store = openExisting(paths.database);
                auto result = kx::TreskManifest::verify(*store, *manifest);
                using Status = kx::TreskManifest::Status;
                if (replaced) {
                    result.status = static_cast<std::uint8_t>(Status::broken);
                    result.note = sentence(*replaced) + (result.note ? " " + *result.note : std::string());
                } else if (!pinned && (result.status == static_cast<std::uint8_t>(Status::intact) ||
                                       result.status == static_cast<std::uint8_t>(Status::grown))) {
                    try {
                        kx::ManifestPins().pin(who, *manifest); // the first check pins what it found sound
                    } catch (const kx::Error& e) {
                        qCWarning(lcEvidence, "The checked manifest of %s's archive was not pinned: %s", who.c_str(),
                                  e.localizedDescription().c_str());
                    }
                }
                return ManifestState::verified(std::move(result), manifest->generatedAt);
            } catch (...) {
                return ManifestState::unreadable(describe(std::current_exception()));
            }
        },
        [this, owner](ManifestState state) {
            setManifestState(state, owner);
            setIsManifesting(false);
        });
}

// ---- Export, seals and anchors ----

void EvidenceModel::setSealAnchorClientFactory(std::function<kx::SealAnchorClient()> factory) {
    sealAnchorClientFactory_ = std::move(factory);
}

kx::SealAnchorClient EvidenceModel::makeSealAnchorClient() const {
    if (sealAnchorClientFactory_) return sealAnchorClientFactory_();
    return kx::SealAnchorClient(kx::SealAnchorClient::productionBaseURL, nullptr, std::nullopt,
                                [] { return std::chrono::system_clock::now(); });
}

void EvidenceModel::exportConversation(const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                                       kx::ExportFormat format, const QString& destinationPath,
                                       std::function<void(const ExportOutcome&)> done) {
    kx::ExportRequest request;
    request.archiveRoot = app_.destinationRoot().toStdString();
    request.owner = owner.toStdString();
    request.conversationKey = conversation.handle;
    request.format = format;
    request.destinationPath = destinationPath.toStdString();
    request.configDir = app_.configDir().toStdString();
    request.keyring = &kx::defaultSecretStore();
    request.appVersion = versionText().toStdString();
    request.now = app_.clock().now();
    std::shared_ptr<const kx::ContactResolver> names = app_.contacts().resolver();
    if (!names) names = std::make_shared<kx::MapContactResolver>();
    kx::SealAnchorClient client = makeSealAnchorClient();
    kx::PendingAnchorStore* queue = pendingAnchors_.get();

    runInBackground(
        std::nullopt,
        [request, names, client, queue, anchoring = anchoring_]() -> ExportOutcome {
            kx::SealFile seal;
            try {
                seal = kx::exportAndSeal(request, *names);
            } catch (const kx::UnsealedExport& e) {
                return {std::nullopt, QStringLiteral("The conversation was exported to ") +
                                          qs(request.destinationPath) + QStringLiteral(", but it was not sealed: ") +
                                          qs(e.what()) + QStringLiteral(".")};
            } catch (...) {
                return {std::nullopt, QStringLiteral("The conversation was not exported: ") +
                                          qs(describe(std::current_exception())) + QStringLiteral(".")};
            }
            // The seal goes beside the export, then to the seal server or the queue.
            const std::string& exportPath = request.destinationPath;
            try {
                const std::lock_guard<std::mutex> alone(*anchoring);
                auto anchored = queue->anchorOrDefer(kx::SealFile::path(exportPath), seal, client);
                ExportResult r{exportPath, std::move(anchored.seal),
                               anchored.problem ? std::optional<std::string>(*anchored.problem) : std::nullopt};
                return {std::move(r), {}};
            } catch (...) {
                return {std::nullopt, QStringLiteral("The conversation was exported to ") + qs(exportPath) +
                                          QStringLiteral(", but its seal file could not be written (") +
                                          qs(describe(std::current_exception())) +
                                          QStringLiteral("), so the export is not sealed.")};
            }
        },
        [this, done = std::move(done)](ExportOutcome outcome) {
            if (!outcome.result) qCWarning(lcEvidence, "%s", qUtf8Printable(outcome.error));
            else if (outcome.result->anchorProblem)
                qCWarning(lcEvidence, "The seal of %s was not anchored: %s", outcome.result->exportPath.c_str(),
                          outcome.result->anchorProblem->c_str());
            setPendingAnchorCount(pendingAnchors_->count());
            if (done) done(outcome);
        });
}

bool EvidenceModel::retryPendingAnchors(bool force, std::function<void()> done) {
    if (isRetryingAnchors_) return false;
    setIsRetryingAnchors(true);
    kx::SealAnchorClient client = makeSealAnchorClient();
    kx::PendingAnchorStore* queue = pendingAnchors_.get();
    runInBackground(
        std::nullopt,
        [queue, client, force, anchoring = anchoring_]() {
            const std::lock_guard<std::mutex> alone(*anchoring);
            return queue->retry(client, force);
        },
        [this, done = std::move(done)](kx::PendingAnchorStore::RetryOutcome o) {
            setPendingAnchorCount(pendingAnchors_->count());
            if (o.skipped) {
                setLastAnchorRetry(QString::number(o.stillWaiting) + QStringLiteral(" waiting; checked recently."));
            } else if (o.tried != 0 || o.settled != 0) {
                setLastAnchorRetry(QStringLiteral("Anchored ") + QString::number(o.anchored) + QStringLiteral(" of ") +
                                   QString::number(o.tried) + QStringLiteral("; ") + QString::number(o.stillWaiting) +
                                   QStringLiteral(" still waiting."));
            } else {
                setLastAnchorRetry(QString());
            }
            setIsRetryingAnchors(false);
            if (done) done();
        });
    return true;
}

void EvidenceModel::failToSeal(const QString& sentence) {
    qCWarning(lcEvidence, "%s", qUtf8Printable(sentence));
    app_.setLastError(sentence);
}

// Seals waiting for an anchor are retried once the event loop runs.
void EvidenceModel::retryAnchorsAtLaunch() { retryPendingAnchors(false); }
