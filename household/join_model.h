#pragma once
// JoinModel: the two link-code flows of a household. Joining reads a pasted
// code, turns it into a plan (kx::JoinPlan), and after the user confirmed it
// makes this machine archive into the household's shared storage. Linking
// builds a code for another machine from one of this machine's destinations and
// the owner's key.
//
// A join checks everything it can before it changes anything: the code, the
// plan, the storage kind, the chosen folder, and what the keyring holds for the
// owner. It never overwrites a key: the same key already stored for the owner
// is left as it is, a different one stops the join. A join into another
// person's storage (a plan that does not restore the code's key) gives this
// machine's owner a key of their own; the code's key is never stored under
// their name. Storage this machine already lists (the same bucket, the same
// folder) is used as it is, never added a second time. When a later step
// fails, what the join created (a key, the destination and its credentials) is
// removed again.
//
// The code is a secret: it never reaches an error sentence or a log, and
// pastedCode and generatedCode are emptied once joined and by forgetCodes(),
// which the screens call when they close.
//
// The keyring is asked on the thread pool, never on the GUI thread (through the
// time-limited keyring, so a keyring that hangs gives a sentence); each answer
// comes back in one queued call, and none after the model is gone. A join stays
// in its working stage until it has joined or failed (taking back what it
// created first), and nothing else is started meanwhile; a link code is built
// the same way, isGenerating saying so.
#include "app/model/destination_config.h"
#include "app/model/task_runner.h"
#include "core/household/join_plan.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>
#include <utility>

class AppModel;
class DestinationList;

struct JoinStage {
    enum class Kind { entry, confirming, working, joined, failed };
    Kind kind = Kind::entry;
    std::optional<kx::JoinPlan> plan; // confirming, joined
    QString text;                     // working: the step; failed: the whole message

    static JoinStage entry() { return {}; }
    static JoinStage confirming(kx::JoinPlan p) { return {Kind::confirming, std::move(p), QString()}; }
    static JoinStage working(const QString& t) { return {Kind::working, std::nullopt, t}; }
    static JoinStage joined(kx::JoinPlan p) { return {Kind::joined, std::move(p), QString()}; }
    static JoinStage failed(const QString& t) { return {Kind::failed, std::nullopt, t}; }
    bool operator==(const JoinStage&) const = default;
};
Q_DECLARE_METATYPE(JoinStage)

class JoinModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString pastedCode READ pastedCode WRITE setPastedCode NOTIFY pastedCodeChanged)
    Q_PROPERTY(JoinStage stage READ stage NOTIFY stageChanged)
    Q_PROPERTY(QString chosenFolder READ chosenFolder WRITE setChosenFolder NOTIFY chosenFolderChanged)
    Q_PROPERTY(QString generatedCode READ generatedCode WRITE setGeneratedCode NOTIFY generatedCodeChanged)
    Q_PROPERTY(QString generateError READ generateError WRITE setGenerateError NOTIFY generateErrorChanged)
    Q_PROPERTY(bool isGenerating READ isGenerating NOTIFY generatingChanged)

public:
    // The fixed domain of Cloudflare R2's per-account endpoints, with its leading dot.
    static constexpr const char* kR2EndpointSuffix = ".r2.cloudflarestorage.com";

    explicit JoinModel(QObject* parent = nullptr);
    ~JoinModel() override;

    QString pastedCode() const { return pastedCode_; }
    const JoinStage& stage() const { return stage_; }
    QString chosenFolder() const { return chosenFolder_; }
    // Null: none.
    QString generatedCode() const { return generatedCode_; }
    QString generateError() const { return generateError_; }
    // A link code is being built.
    bool isGenerating() const { return generating_; }

    void setPastedCode(const QString& code);
    void setChosenFolder(const QString& path);
    void setGeneratedCode(const QString& code);
    void setGenerateError(const QString& text);

    // Empties the pasted code, goes back to entry, empties the chosen folder.
    // Does nothing while a join is under way.
    void reset();
    // Reads the pasted code and makes its plan: confirming or failed. Does
    // nothing while a join is under way.
    void checkCode(const QStringList& existingOwners);
    // Carries out the plan of the confirming stage: working, then later joined
    // or failed. Does nothing in any other stage.
    void join(kx::JoinPlan plan, AppModel& model, DestinationList& destinations);
    // Installs the daily schedule after a join; a failure goes to the
    // application's error banner and does not undo the join.
    static void installScheduleAfterJoin(AppModel& model);
    // Builds a code for the destination and owner: later generatedCode or
    // generateError. Does nothing while a code is being built.
    void generateCode(const DestinationConfig& destination, const QString& owner);
    // Empties generatedCode and generateError; a code being built is not kept.
    void clearGenerated();
    // Empties every code the model holds (pasted and generated).
    void forgetCodes();

    // "https://<account id>.r2.cloudflarestorage.com" for an R2 destination whose
    // credentials carry a non-empty account id; none otherwise.
    static std::optional<std::string> r2Endpoint(const DestinationConfig& destination,
                                                 const std::optional<kx::TreskKeychain::DestinationCredentials>& c);
    // The account id an R2 endpoint names; none for any other endpoint.
    static std::optional<std::string> r2AccountID(const std::optional<std::string>& endpoint);

signals:
    void pastedCodeChanged();
    void stageChanged();
    void chosenFolderChanged();
    void generatedCodeChanged();
    void generateErrorChanged();
    void generatingChanged();

private:
    struct Pending;
    static QString nothingChanged();
    void setStage(JoinStage stage);
    void fail(const QString& text) { setStage(JoinStage::failed(text)); }
    void addStorage();
    void finishJoin();
    void undoJoin(const QString& failure);
    void setGenerating(bool generating);
    // The code, or nothing and the sentence that says why not. Asks the keyring.
    static std::pair<std::shared_ptr<std::string>, QString> buildCode(kx::SecretStore& secrets,
                                                                      const DestinationConfig& destination,
                                                                      const QString& owner);

    QString pastedCode_;
    JoinStage stage_;
    QString chosenFolder_;
    QString generatedCode_;
    QString generateError_;
    QStringList checkedOwners_; // the owners the current plan was made with
    bool generating_ = false;
    int request_ = 0;                  // counts clearGenerated(): a code built for an earlier count is dropped
    std::shared_ptr<Pending> pending_; // the join under way
    // The time-limited keyring; shared with background work, which may outlive
    // this model.
    std::shared_ptr<kx::SecretStore> secrets_;
    // Declared last: closed first, so no result reaches a half-destroyed model.
    std::unique_ptr<TaskRunner> tasks_;
};
