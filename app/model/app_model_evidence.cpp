// AppModel: tamper-evidence manifests, conversation export, seals and anchors.
//
// Long work (manifest generation and checks, exports, anchoring, which talks to
// the seal server) runs on the thread pool on values captured on the GUI
// thread, and hands its result back to the GUI thread in one queued call.
#include "app/model/app_model.h"

#include "core/archive/tresk_store.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/evidence/conversation_exporter.h"
#include "core/evidence/sealer.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <kelvara/version.h>

#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// The owner's folder under the archive root: the owner with every "/" as "_".
std::string ownerFolder(const QString& owner) {
    QString folder = owner;
    folder.replace(QLatin1Char('/'), QLatin1Char('_'));
    return folder.toStdString();
}

std::string databasePath(const QString& root, const QString& owner) {
    return kx::fs::appendComponent(root.toStdString(), ownerFolder(owner) + "/tresk.db");
}

std::string attachmentsPath(const QString& root, const QString& owner) {
    return kx::fs::appendComponent(root.toStdString(), ownerFolder(owner) + "/attachments");
}

QString versionText() {
    return QStringLiteral(KELVARA_VERSION_STRING) + QStringLiteral(" (") + QStringLiteral(KELVARA_BUILD_STRING) +
           QStringLiteral(")");
}

// Opens an owner's archive for reading. A missing file is an error here and is
// never created.
std::unique_ptr<kx::TreskStore> openExisting(const std::string& path) {
    if (!kx::fs::isRegularFile(path)) throw kx::Error("there is no archive at " + path);
    return std::make_unique<kx::TreskStore>(path);
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

// Runs `work` on the thread pool and `then(result)` on the model's thread.
template <typename Work, typename Then>
void runInBackground(AppModel* model, QThreadPool* pool, Work work, Then then) {
    QPointer<AppModel> self(model);
    (void)QtConcurrent::run(pool, [self, work = std::move(work), then = std::move(then)]() mutable {
        auto result = work();
        if (!self) return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, then = std::move(then), result = std::move(result)]() mutable {
                if (self) then(std::move(result));
            },
            Qt::QueuedConnection);
    });
}

} // namespace

// ---- Manifests ----

AppModel::ManifestState AppModel::manifestState(const QString& owner) const {
    auto it = manifestState_.find(owner.toStdString());
    return it == manifestState_.end() ? ManifestState::unknown() : it->second;
}

void AppModel::setManifestState(const std::optional<ManifestState>& state, const QString& owner) {
    ManifestStates states = manifestState_;
    if (state) states[owner.toStdString()] = *state;
    else states.erase(owner.toStdString());
    setManifestState(states);
}

void AppModel::loadManifestState(const QString& owner) {
    try {
        const std::string path = kx::TreskManifest::path(destinationRoot().toStdString(), owner.toStdString());
        if (auto file = kx::TreskManifest::read(path))
            setManifestState(ManifestState::present(file->generatedAt, file->messageCount, file->chainHead), owner);
        else
            setManifestState(ManifestState::notGenerated(), owner);
    } catch (const kx::Error& e) {
        setManifestState(ManifestState::unreadable(e.localizedDescription()), owner);
    }
}

void AppModel::generateManifest(const QString& owner) {
    if (isManifesting()) return;
    const std::string db = databasePath(destinationRoot(), owner);
    if (!kx::fs::isRegularFile(db)) {
        setLastError(QStringLiteral("There is no archive for ") + owner +
                     QStringLiteral(" yet, so there is nothing to seal."));
        return;
    }
    setIsManifesting(true);
    const std::string root = destinationRoot().toStdString();
    const std::string who = owner.toStdString();
    const kx::Date now = clock().now();
    struct Outcome {
        std::optional<kx::TreskManifest::File> file;
        std::string error;
    };
    runInBackground(
        this, evidencePool_.get(),
        [db, root, who, now]() -> Outcome {
            try {
                auto store = openExisting(db);
                auto file = kx::TreskManifest::generate(*store, who, now, 1000);
                kx::TreskManifest::write(file, kx::TreskManifest::path(root, who));
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
                setLastError(QStringLiteral("Could not write the manifest: ") + qs(o.error));
            }
            setIsManifesting(false);
        });
}

void AppModel::verifyManifest(const QString& owner) {
    if (isManifesting()) return;
    const std::string db = databasePath(destinationRoot(), owner);
    const std::string root = destinationRoot().toStdString();
    setIsManifesting(true);
    runInBackground(
        this, evidencePool_.get(),
        [db, root, who = owner.toStdString()]() -> ManifestState {
            try {
                auto manifest = kx::TreskManifest::read(kx::TreskManifest::path(root, who));
                if (!manifest) return ManifestState::notGenerated();
                auto store = openExisting(db);
                return ManifestState::verified(kx::TreskManifest::verify(*store, *manifest), manifest->generatedAt);
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

void AppModel::setSealAnchorClientFactory(std::function<kx::SealAnchorClient()> factory) {
    sealAnchorClientFactory_ = std::move(factory);
}

kx::SealAnchorClient AppModel::makeSealAnchorClient() const {
    if (sealAnchorClientFactory_) return sealAnchorClientFactory_();
    return kx::SealAnchorClient(kx::SealAnchorClient::productionBaseURL, nullptr, std::nullopt,
                                [] { return std::chrono::system_clock::now(); });
}

kx::SealFile AppModel::exportAndSeal(const std::string& databasePath, const std::string& attachmentsPath,
                                     const std::string& destinationPath, kx::ExportFormat format,
                                     const std::string& conversationKey, const std::string& archiveRoot,
                                     const std::string& owner, const std::string& appVersion,
                                     const kx::ContactResolver& resolver, kx::Date now) {
    auto store = openExisting(databasePath);
    kx::ConversationExporter exporter(*store, owner, attachmentsPath, resolver, kx::ExportTimeZone::current(), 2000);
    auto written = exporter.write(conversationKey, format, destinationPath, now, appVersion);
    const auto head = kx::Sealer::manifestHead(archiveRoot, owner);
    return kx::Sealer::seal(destinationPath, written.bytes, format, written.description, head, appVersion, now);
}

void AppModel::exportConversation(const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                                  kx::ExportFormat format, const QString& destinationPath,
                                  std::function<void(const ExportOutcome&)> done) {
    const QString root = destinationRoot();
    const std::string db = databasePath(root, owner);
    const std::string attachments = attachmentsPath(root, owner);
    const std::string exportPath = destinationPath.toStdString();
    const std::string version = versionText().toStdString();
    const std::string who = owner.toStdString();
    const std::string key = conversation.handle;
    const kx::Date now = clock().now();
    std::shared_ptr<const kx::ContactResolver> names = resolver();
    if (!names) names = std::make_shared<kx::MapContactResolver>();
    kx::SealAnchorClient client = makeSealAnchorClient();
    kx::PendingAnchorStore* queue = pendingAnchors_.get();

    runInBackground(
        this, evidencePool_.get(),
        [=]() -> ExportOutcome {
            kx::SealFile seal;
            try {
                seal = exportAndSeal(db, attachments, exportPath, format, key, root.toStdString(), who, version, *names,
                                     now);
            } catch (...) {
                return {std::nullopt, QStringLiteral("The conversation was not exported: ") +
                                          qs(describe(std::current_exception())) + QStringLiteral(".")};
            }
            // The seal goes beside the export, then to the seal server or the queue.
            const std::string sealPath = kx::SealFile::path(exportPath);
            try {
                auto anchored = queue->anchorOrDefer(sealPath, seal, client);
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
            setPendingAnchorCount(pendingAnchors().count());
            if (done) done(outcome);
        });
}

void AppModel::retryPendingAnchors(bool force, std::function<void()> done) {
    kx::SealAnchorClient client = makeSealAnchorClient();
    kx::PendingAnchorStore* queue = pendingAnchors_.get();
    runInBackground(
        this, evidencePool_.get(), [queue, client, force]() { return queue->retry(client, force); },
        [this, done = std::move(done)](kx::PendingAnchorStore::RetryOutcome o) {
            setPendingAnchorCount(pendingAnchors().count());
            if (o.skipped) {
                setLastAnchorRetry(QString::number(o.stillWaiting) + QStringLiteral(" waiting; checked recently."));
            } else if (o.tried != 0 || o.settled != 0) {
                setLastAnchorRetry(QStringLiteral("Anchored ") + QString::number(o.anchored) + QStringLiteral(" of ") +
                                   QString::number(o.tried) + QStringLiteral("; ") + QString::number(o.stillWaiting) +
                                   QStringLiteral(" still waiting."));
            } else {
                setLastAnchorRetry(QString());
            }
            if (done) done();
        });
}

// Seals waiting for an anchor are retried once the event loop runs.
void AppModel::retryAnchorsAtLaunch() { retryPendingAnchors(false); }
