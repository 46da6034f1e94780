#include "household/join_model.h"

#include "app/model/app_model.h"
#include "app/model/destination_list.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "core/household/link_code.h"
#include "core/keys/key_material.h"
#include "core/keys/symmetric_key.h"
#include "core/keys/time_limited_secrets.h"
#include "core/keys/wipe.h"
#include "core/platform/system.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>
#include <QUuid>

#include <algorithm>

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

// Wipes a decoded payload's secrets however the function that holds it ends.
struct PayloadWiper {
    kx::LinkCode::Payload& payload;
    ~PayloadWiper() { payload.wipe(); }
};

std::vector<std::string> toStd(const QStringList& list) {
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(list.size()));
    for (const auto& s : list) out.push_back(s.toStdString());
    return out;
}

} // namespace

JoinModel::JoinModel(QObject* parent)
    : QObject(parent), secrets_(std::make_shared<kx::TimeLimitedSecretStore>()),
      tasks_(std::make_unique<TaskRunner>()) {}

JoinModel::~JoinModel() { forgetCodes(); }

void JoinModel::setPastedCode(const QString& code) {
    if (code == pastedCode_) return;
    pastedCode_ = code;
    emit pastedCodeChanged();
}

void JoinModel::setChosenFolder(const QString& path) {
    if (path == chosenFolder_) return;
    chosenFolder_ = path;
    emit chosenFolderChanged();
}

void JoinModel::setGeneratedCode(const QString& code) {
    if (code == generatedCode_ && code.isNull() == generatedCode_.isNull()) return;
    generatedCode_ = code;
    emit generatedCodeChanged();
}

void JoinModel::setGenerateError(const QString& t) {
    if (t == generateError_ && t.isNull() == generateError_.isNull()) return;
    generateError_ = t;
    emit generateErrorChanged();
}

void JoinModel::setStage(JoinStage stage) {
    if (stage == stage_) return;
    stage_ = std::move(stage);
    emit stageChanged();
}

void JoinModel::reset() {
    if (stage_.kind == JoinStage::Kind::working) return;
    setPastedCode(QString());
    setStage(JoinStage::entry());
    setChosenFolder(QString());
}

void JoinModel::clearGenerated() {
    ++request_;
    setGeneratedCode(QString());
    setGenerateError(QString());
}

void JoinModel::forgetCodes() {
    setPastedCode(QString());
    setGeneratedCode(QString());
}

void JoinModel::checkCode(const QStringList& existingOwners) {
    if (stage_.kind == JoinStage::Kind::working) return;
    const QString trimmed = pastedCode_.trimmed();
    if (trimmed.isEmpty()) {
        fail(tr("Paste the code you were given first."));
        return;
    }
    kx::LinkCode::Payload payload;
    PayloadWiper wiper{payload};
    try {
        payload = kx::LinkCode::decode(trimmed.toStdString());
    } catch (const kx::LinkCode::LinkError& e) {
        const std::string d = e.errorDescription();
        fail(d.empty() ? tr("That link code could not be read.") : text(d));
        return;
    } catch (const std::exception& e) {
        fail(tr("That link code could not be read: ") + text(e.what()));
        return;
    }
    try {
        const auto& sys = kx::systemInfo();
        auto plan = kx::JoinPlan::make(payload, sys.shortUserName(), sys.fullUserName(), toStd(existingOwners));
        checkedOwners_ = existingOwners;
        setStage(JoinStage::confirming(std::move(plan)));
    } catch (const kx::JoinPlan::Problem& e) {
        const std::string d = e.errorDescription();
        fail(d.empty() ? tr("That link code cannot be used here.") : text(d));
    }
}

std::optional<std::string> JoinModel::r2AccountID(const std::optional<std::string>& endpoint) {
    if (!endpoint) return std::nullopt;
    const QUrl url(text(*endpoint), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return std::nullopt;
    const QString suffix = QString::fromLatin1(kR2EndpointSuffix);
    QString host = url.host();
    if (!host.endsWith(suffix)) return std::nullopt;
    host.replace(suffix, QString());
    if (host.isEmpty()) return std::nullopt;
    return host.toStdString();
}

std::optional<std::string> JoinModel::r2Endpoint(const DestinationConfig& destination,
                                                 const std::optional<kx::TreskKeychain::DestinationCredentials>& c) {
    if (destination.kind != DestinationConfig::Kind::cloudflareR2 || !c || !c->accountID || c->accountID->empty()) {
        return std::nullopt;
    }
    return "https://" + *c->accountID + kR2EndpointSuffix;
}

namespace {

// What the key step left: a failure sentence, or whether it created the key.
struct KeyStep {
    QString failure;
    bool created = false;
};

// The owner's key as the plan wants it, asked of the keyring on the calling
// thread: the same key already stored is left as it is, a different one stops
// the join, none gets the code's key (restoring) or a new one.
KeyStep settleKey(kx::OwnerKeyStore& keys, const kx::JoinPlan& plan, const std::string& phrase,
                  const QString& nothingChanged) {
    const std::string& owner = plan.owner;
    const QString refusedCode = JoinModel::tr("That code's recovery key was not accepted: ");
    const QString askAgain = JoinModel::tr(
        " Codes are often cut in half by chat apps, so ask for the whole code again.");
    std::optional<kx::SymmetricKey> existingKey;
    try {
        existingKey = keys.ownerKey(owner);
    } catch (const std::exception& e) {
        return {JoinModel::tr("This Mac's keyring could not be read: ") + text(e.what()) + ". " + nothingChanged};
    }
    if (plan.restoresCodeKey) {
        std::optional<kx::SymmetricKey> codeKey;
        try {
            codeKey = kx::TreskKeyMaterial::keyFromRecoveryString(phrase);
        } catch (const std::exception& e) {
            return {refusedCode + text(e.what()) + "\n\n" + nothingChanged + askAgain};
        }
        if (existingKey && !(*existingKey == *codeKey)) {
            return {JoinModel::tr("This Mac already holds a different encryption key for \"") + text(owner) +
                    JoinModel::tr("\". Joining would replace it, and whatever it sealed could no longer be read "
                                  "here. ") +
                    nothingChanged +
                    JoinModel::tr(" If the archive really is the same, restore its key on the Backup screen first; "
                                  "otherwise ask for a code for another archive.")};
        }
    }
    try {
        if (existingKey) return {};
        if (plan.restoresCodeKey) {
            keys.restoreOwnerKey(owner, phrase);
            return {QString(), true};
        }
        return {QString(), keys.loadOrCreateOwnerKey(owner).created};
    } catch (const std::exception& e) {
        if (plan.restoresCodeKey) return {refusedCode + text(e.what()) + "\n\n" + nothingChanged + askAgain};
        return {JoinModel::tr("Could not create an encryption key for \"") + text(owner) + "\": " + text(e.what()) +
                ". " + nothingChanged};
    }
}

// A secret text that is wiped when the last holder lets it go, also when a
// result is dropped on its way to the GUI thread.
std::shared_ptr<std::string> secretText(std::string value) {
    auto* held = new std::string(std::move(value));
    return std::shared_ptr<std::string>(held, [](std::string* s) {
        kx::wipe(*s);
        delete s;
    });
}

} // namespace

// What a join carries from one step to the next.
struct JoinModel::Pending {
    kx::JoinPlan plan;
    DestinationConfig config;
    std::optional<kx::TreskKeychain::DestinationCredentials> credentials;
    bool keyCreated = false;
    QPointer<AppModel> model;
    QPointer<DestinationList> destinations;
    ~Pending() { kx::wipe(credentials); }
};

QString JoinModel::nothingChanged() { return tr("Nothing on this Mac has been changed."); }

void JoinModel::join(kx::JoinPlan plan, AppModel& model, DestinationList& destinations) {
    if (stage_.kind != JoinStage::Kind::confirming) return;

    // 1. Everything is checked before anything is changed.
    kx::LinkCode::Payload payload;
    PayloadWiper wiper{payload};
    try {
        payload = kx::LinkCode::decode(pastedCode_.toStdString());
    } catch (const std::exception& e) {
        fail(tr("The code could not be read a second time: ") + text(e.what()));
        return;
    }
    try {
        const auto& sys = kx::systemInfo();
        if (kx::JoinPlan::make(payload, sys.shortUserName(), sys.fullUserName(), toStd(checkedOwners_)) != plan) {
            fail(tr("The code no longer matches the plan that was shown. Check it again."));
            return;
        }
    } catch (const kx::JoinPlan::Problem& e) {
        fail(text(e.errorDescription()));
        return;
    }
    if (plan.needsLocalFolder && chosenFolder_.isEmpty()) {
        fail(tr("Choose the shared folder on this Mac first."));
        return;
    }
    if (plan.needsLocalFolder && !QFileInfo(chosenFolder_).isDir()) {
        fail(tr("The chosen folder is not there any more. Choose the shared folder on this Mac again."));
        return;
    }
    const auto kind = kindFromRawValue(plan.destinationKind);
    if (!kind) {
        fail(tr("This version does not support ") + text(plan.destinationKind) + tr(" storage."));
        return;
    }

    auto pending = std::make_shared<Pending>();
    pending->plan = plan;
    pending->model = &model;
    pending->destinations = &destinations;
    DestinationConfig& config = pending->config;
    config.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    config.kind = *kind;
    config.bucket = plan.bucket;
    config.region = plan.region;
    if (plan.needsLocalFolder) config.localRoot = QDir::cleanPath(chosenFolder_).toStdString();
    config.enabled = true;
    if (plan.storesCredentials) {
        kx::TreskKeychain::DestinationCredentials credentials;
        credentials.accessKeyID = payload.accessKeyID;
        credentials.secretAccessKey = payload.secretKey;
        credentials.accountID = r2AccountID(payload.endpoint);
        credentials.endpoint = plan.endpoint;
        credentials.region = payload.region;
        credentials.bucket = payload.bucket;
        pending->credentials = std::move(credentials);
    }

    // 2. The key, asked of the keyring off the GUI thread.
    setStage(JoinStage::working(tr("Restoring the archive's encryption key…")));
    tasks_->start(this, TaskPriority::userInitiated,
                  [this, secrets = secrets_, plan, phrase = secretText(payload.recoveryPhrase),
                   nothing = nothingChanged()]() -> TaskRunner::Publish {
                      kx::OwnerKeyStore keys(kx::kKeychainService, secrets.get());
                      const KeyStep step = settleKey(keys, plan, *phrase, nothing);
                      return [this, step] {
                          if (!step.failure.isNull()) return fail(step.failure);
                          pending_->keyCreated = step.created;
                          addStorage();
                      };
                  });
    pending_ = std::move(pending);
}

// 3. The destination and its credentials.
void JoinModel::addStorage() {
    if (!pending_->destinations || !pending_->model)
        return undoJoin(tr("The storage could not be saved: this Mac's destination list has closed. ") +
                        nothingChanged());
    setStage(JoinStage::working(tr("Connecting to the shared storage…")));
    DestinationList& destinations = *pending_->destinations;
    // Storage this Mac already backs up to is used as it is: a second entry
    // for it would count one bucket or folder as two copies.
    const auto& known = destinations.destinations();
    if (std::any_of(known.begin(), known.end(),
                    [&](const DestinationConfig& d) { return sameStorage(d, pending_->config); }))
        return finishJoin();
    destinations.addDestination(pending_->config, pending_->credentials, this,
                                [this](const std::optional<QString>& failure) {
                                    if (!failure) return finishJoin();
                                    const QString why = tr("The storage could not be saved: ") + *failure + " " +
                                                        nothingChanged();
                                    // An entry listed but not saved is taken back, with its credentials.
                                    const QPointer<DestinationList> list = pending_->destinations;
                                    const std::string id = pending_->config.id;
                                    if (!list || std::none_of(list->destinations().begin(), list->destinations().end(),
                                                              [&](const DestinationConfig& d) { return d.id == id; }))
                                        return undoJoin(why);
                                    list->removeDestination(pending_->config, this,
                                                            [this, why](const std::optional<QString>&) {
                                                                undoJoin(why);
                                                            });
                                });
    kx::wipe(pending_->credentials);
}

// 4. This machine's owner (the backup side follows it).
void JoinModel::finishJoin() {
    const kx::JoinPlan plan = pending_->plan;
    const QPointer<AppModel> model = pending_->model;
    pending_.reset();
    if (model) model->owners().setArchiveOwner(text(plan.owner));
    setPastedCode(QString());
    setStage(JoinStage::joined(plan));
}

// A later step failed: the key the join created goes again (off the GUI
// thread), then the failure is said.
void JoinModel::undoJoin(const QString& failure) {
    const bool created = pending_->keyCreated;
    const std::string owner = pending_->plan.owner;
    pending_.reset();
    if (!created) return fail(failure);
    tasks_->start(
        this, TaskPriority::userInitiated,
        [secrets = secrets_, owner]() -> TaskRunner::Publish {
            try {
                kx::OwnerKeyStore(kx::kKeychainService, secrets.get()).removeOwnerKey(owner);
            } catch (const std::exception&) {
                // The key stays; it was never used and the join reports its failure.
            }
            return {};
        },
        [this, failure] { fail(failure); });
}

void JoinModel::installScheduleAfterJoin(AppModel& model) {
    const std::optional<QString> failure = model.permissions().installSchedule();
    if (!failure) return;
    // The installer's reason when it gave one (its sentence ends with a full stop).
    const QString lead = QStringLiteral("The daily schedule did not install: ");
    model.setLastError(failure->startsWith(lead)
                           ? tr("Joined, but the daily schedule did not install: ") + failure->mid(lead.size()) +
                                 tr(" Turn it on in Settings.")
                           : tr("Joined, but the daily schedule did not install. Turn it on in Settings."));
}

void JoinModel::generateCode(const DestinationConfig& destination, const QString& owner) {
    if (generating_) return;
    clearGenerated();
    setGenerating(true);
    tasks_->start(
        this, TaskPriority::userInitiated,
        [this, secrets = secrets_, destination, owner, request = request_]() -> TaskRunner::Publish {
            const auto [code, failure] = buildCode(*secrets, destination, owner);
            return [this, request, code, failure] {
                // A code asked for before the sheet closed is not kept.
                if (request != request_) return;
                if (!failure.isNull()) setGenerateError(failure);
                else setGeneratedCode(text(*code));
            };
        },
        [this] { setGenerating(false); });
}

std::pair<std::shared_ptr<std::string>, QString> JoinModel::buildCode(kx::SecretStore& secrets,
                                                                      const DestinationConfig& destination,
                                                                      const QString& owner) {
    const QString lead = tr("Could not build a link code: ");
    std::optional<kx::SymmetricKey> key;
    try {
        key = kx::OwnerKeyStore(kx::kKeychainService, &secrets).ownerKey(owner.toStdString());
    } catch (const std::exception& e) {
        return {nullptr, lead + text(e.what())};
    }
    if (!key) {
        return {nullptr, tr("There is no encryption key for ") + owner + tr(" on this Mac yet, so ") +
                             tr("there is nothing to share. Create the key first.")};
    }
    std::optional<kx::TreskKeychain::DestinationCredentials> credentials;
    try {
        credentials = kx::TreskKeychain(kx::kKeychainService, &secrets).credentials(destination.id);
    } catch (const std::exception& e) {
        // A code without the storage's keys would look fine and fail on the other Mac.
        return {nullptr, lead + text(e.what())};
    }
    const kx::WipeOnExit wipeCredentials(credentials);
    std::optional<std::string> endpoint;
    if (credentials && credentials->endpoint && !credentials->endpoint->empty()) {
        endpoint = credentials->endpoint;
    } else {
        endpoint = r2Endpoint(destination, credentials);
    }
    std::string phrase = kx::TreskKeyMaterial::recoveryString(*key);
    const kx::WipeOnExit wipePhrase(phrase);
    try {
        return {secretText(kx::LinkCode::encode(kindRawValue(destination.kind), destination.bucket, destination.region,
                                                endpoint, credentials ? credentials->accessKeyID : std::nullopt,
                                                credentials ? credentials->secretAccessKey : std::nullopt, phrase,
                                                owner.toStdString())),
                QString()};
    } catch (const std::exception& e) {
        return {nullptr, lead + text(e.what())};
    }
}

void JoinModel::setGenerating(bool generating) {
    if (generating == generating_) return;
    generating_ = generating;
    emit generatingChanged();
}
