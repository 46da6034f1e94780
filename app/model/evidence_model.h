#pragma once
// EvidenceModel: tamper-evidence manifests, conversation export, seals and the
// seals waiting for an anchor.
//
// Long work (manifest generation and checks, exports, anchoring, which talks to
// the seal server) runs on a pool of this model's own, on values captured on the
// GUI thread, and hands its result back through the task runner.
#include "app/model/conversation_export_result.h"
#include "app/model/owner_manifest_state.h"
#include "app/model/task_runner.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/export_format.h"
#include "core/evidence/pending_anchor_store.h"
#include "core/evidence/seal_anchor_client.h"

#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class AppModel;
class QThreadPool;

class EvidenceModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int pendingAnchorCount READ pendingAnchorCount NOTIFY pendingAnchorCountChanged)
    Q_PROPERTY(QString lastAnchorRetry READ lastAnchorRetry NOTIFY lastAnchorRetryChanged)
    Q_PROPERTY(ManifestStates manifestState READ manifestState NOTIFY manifestStateChanged)
    Q_PROPERTY(bool isManifesting READ isManifesting NOTIFY isManifestingChanged)
    Q_PROPERTY(bool isRetryingAnchors READ isRetryingAnchors NOTIFY isRetryingAnchorsChanged)

public:
    using ManifestState = OwnerManifestState;
    using ExportResult = ConversationExportResult;
    using ManifestStates = std::map<std::string, ManifestState>;

    // Opens the queue of seals waiting for an anchor in the configuration folder.
    explicit EvidenceModel(AppModel& app);
    // Waits for running evidence work.
    ~EvidenceModel() override;

    kx::PendingAnchorStore& pendingAnchors() const { return *pendingAnchors_; }
    int pendingAnchorCount() const { return pendingAnchorCount_; }
    // Null when there was no retry pass to speak of.
    QString lastAnchorRetry() const { return lastAnchorRetry_; }
    const ManifestStates& manifestState() const { return manifestState_; }
    bool isManifesting() const { return isManifesting_; }
    // A retry pass over the waiting seals is running.
    bool isRetryingAnchors() const { return isRetryingAnchors_; }

    // ---- Manifests ----
    // The stored manifest state of an owner; unknown when none is held.
    ManifestState manifestState(const QString& owner) const;
    // Stores a state under the owner; none removes the owner's entry.
    void setManifestState(const std::optional<ManifestState>& state, const QString& owner);
    // Reads the owner's manifest into its state, at once.
    void loadManifestState(const QString& owner);
    // Start background work; each is a no-op while isManifesting. A manifest
    // that a new one replaces is always kept beside it.
    void generateManifest(const QString& owner);
    void verifyManifest(const QString& owner);

    // ---- Export, seals and anchors ----
    // What an export came to: a result, or the sentence saying why there is none.
    struct ExportOutcome {
        std::optional<ExportResult> result;
        QString error;
    };
    // Exports, seals and anchors (or queues) in the background; `done` runs on
    // the GUI thread afterwards, after pendingAnchorCount was refreshed.
    void exportConversation(const QString& owner, const kx::TreskStore::ConversationSummary& conversation,
                            kx::ExportFormat format, const QString& destinationPath,
                            std::function<void(const ExportOutcome&)> done);
    // One pass over the seals waiting for an anchor; `done` runs on the GUI
    // thread after pendingAnchorCount and lastAnchorRetry were set. One pass
    // at a time: while one runs, nothing starts and false is returned.
    // A pass and an export's anchoring never run at once, so no seal is sent
    // to the seal server by both.
    bool retryPendingAnchors(bool force, std::function<void()> done = {});
    // Start-up task: a retry pass that respects the back-off.
    void retryAnchorsAtLaunch();
    // How the anchoring client is made; the default uses the public authority.
    // Tests point it at an authority of their own.
    void setSealAnchorClientFactory(std::function<kx::SealAnchorClient()> factory);

signals:
    void pendingAnchorCountChanged();
    void lastAnchorRetryChanged();
    void manifestStateChanged();
    void isManifestingChanged();
    void isRetryingAnchorsChanged();

private:
    void setPendingAnchorCount(int n);
    void setLastAnchorRetry(const QString& t);
    void setManifestStates(const ManifestStates& m);
    void setIsManifesting(bool v);
    void setIsRetryingAnchors(bool v);
    // Logs a manifest's failure and shows it in the error banner.
    void failToSeal(const QString& sentence);
    // Runs `work` on the evidence pool; its result reaches `then` on the GUI thread.
    template <typename Work, typename Then>
    void runInBackground(std::optional<TaskPriority> priority, Work work, Then then);
    kx::SealAnchorClient makeSealAnchorClient() const;

    AppModel& app_;
    int pendingAnchorCount_ = 0;
    QString lastAnchorRetry_;
    ManifestStates manifestState_;
    bool isManifesting_ = false;
    bool isRetryingAnchors_ = false;
    // Held by a retry pass and by an export's anchoring step (both off the GUI thread).
    std::shared_ptr<std::mutex> anchoring_ = std::make_shared<std::mutex>();
    std::function<kx::SealAnchorClient()> sealAnchorClientFactory_;
    std::unique_ptr<kx::PendingAnchorStore> pendingAnchors_;
    // Declared after pendingAnchors_, so it is destroyed first and waits for
    // running work while the queue still exists.
    std::unique_ptr<QThreadPool> pool_;
};
