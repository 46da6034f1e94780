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
#include "core/platform/system.h"

#include <QDir>
#include <QFileInfo>
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
    : QObject(parent), secrets_(std::make_unique<kx::TimeLimitedSecretStore>()),
      keyStore_(kx::kKeychainService, secrets_.get()), keychain_(kx::kKeychainService, secrets_.get()) {}

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
    setPastedCode(QString());
    setStage(JoinStage::entry());
    setChosenFolder(QString());
}

void JoinModel::clearGenerated() {
    setGeneratedCode(QString());
    setGenerateError(QString());
}

void JoinModel::forgetCodes() {
    setPastedCode(QString());
    setGeneratedCode(QString());
}

void JoinModel::checkCode(const QStringList& existingOwners) {
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

void JoinModel::join(const kx::JoinPlan& plan, AppModel& model, DestinationList& destinations) {
    if (stage_.kind != JoinStage::Kind::confirming) return;
    const QString nothingChanged = tr("Nothing on this Mac has been changed.");

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
    const std::string owner = plan.owner;
    std::optional<kx::SymmetricKey> existingKey;
    try {
        existingKey = keyStore_.ownerKey(owner);
    } catch (const std::exception& e) {
        fail(tr("This Mac's keyring could not be read: ") + text(e.what()) + ". " + nothingChanged);
        return;
    }
    if (plan.restoresCodeKey) {
        std::optional<kx::SymmetricKey> codeKey;
        try {
            codeKey = kx::TreskKeyMaterial::keyFromRecoveryString(payload.recoveryPhrase);
        } catch (const std::exception& e) {
            fail(tr("That code's recovery key was not accepted: ") + text(e.what()) + "\n\n" + nothingChanged +
                 tr(" Codes are often cut in half by chat apps, so ask for the whole code again."));
            return;
        }
        if (existingKey && !(*existingKey == *codeKey)) {
            fail(tr("This Mac already holds a different encryption key for \"") + text(owner) +
                 tr("\". Joining would replace it, and whatever it sealed could no longer be read here. ") +
                 nothingChanged +
                 tr(" If the archive really is the same, restore its key on the Backup screen first; otherwise ask "
                    "for a code for another archive."));
            return;
        }
    }

    // 2. The key.
    bool keyCreated = false;
    auto undoKey = [&] {
        if (!keyCreated) return;
        try {
            keyStore_.removeOwnerKey(owner);
        } catch (const std::exception&) {
            // The key stays; it was never used and the join reports its failure.
        }
    };
    setStage(JoinStage::working(tr("Restoring the archive's encryption key…")));
    try {
        if (plan.restoresCodeKey) {
            if (!existingKey) {
                keyStore_.restoreOwnerKey(owner, payload.recoveryPhrase);
                keyCreated = true;
            }
        } else if (!existingKey) {
            keyCreated = keyStore_.loadOrCreateOwnerKey(owner).created;
        }
    } catch (const std::exception& e) {
        if (plan.restoresCodeKey) {
            fail(tr("That code's recovery key was not accepted: ") + text(e.what()) + "\n\n" + nothingChanged +
                 tr(" Codes are often cut in half by chat apps, so ask for the whole code again."));
        } else {
            fail(tr("Could not create an encryption key for \"") + text(owner) + "\": " + text(e.what()) + ". " +
                 nothingChanged);
        }
        return;
    }

    // 3. The destination and its credentials.
    setStage(JoinStage::working(tr("Connecting to the shared storage…")));
    DestinationConfig config;
    config.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    config.kind = *kind;
    config.bucket = plan.bucket;
    config.region = plan.region;
    if (plan.needsLocalFolder) config.localRoot = QDir::cleanPath(chosenFolder_).toStdString();
    config.enabled = true;

    kx::TreskKeychain::DestinationCredentials credentials;
    credentials.accessKeyID = payload.accessKeyID;
    credentials.secretAccessKey = payload.secretKey;
    credentials.accountID = r2AccountID(payload.endpoint);
    credentials.endpoint = plan.endpoint;
    credentials.region = payload.region;
    credentials.bucket = payload.bucket;

    // Storage this Mac already backs up to is used as it is: a second entry
    // for it would count one bucket or folder as two copies.
    const auto& known = destinations.destinations();
    const bool alreadyUsed = std::any_of(known.begin(), known.end(),
                                         [&](const DestinationConfig& d) { return sameStorage(d, config); });
    std::optional<QString> saveError;
    if (!alreadyUsed)
        saveError = destinations.addDestination(config,
                                                plan.storesCredentials ? std::optional(credentials) : std::nullopt);
    if (credentials.secretAccessKey) kx::wipe(*credentials.secretAccessKey);
    if (saveError) {
        // An entry listed but not saved is taken back, with its credentials.
        const auto& listed = destinations.destinations();
        if (std::any_of(listed.begin(), listed.end(), [&](const DestinationConfig& d) { return d.id == config.id; }))
            destinations.removeDestination(config);
        undoKey();
        fail(tr("The storage could not be saved: ") + *saveError + " " + nothingChanged);
        return;
    }

    // 4. This machine's owner (the backup side follows it).
    model.owners().setArchiveOwner(text(owner));
    setPastedCode(QString());
    setStage(JoinStage::joined(plan));
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
    clearGenerated();
    const QString lead = tr("Could not build a link code: ");
    std::optional<kx::SymmetricKey> key;
    try {
        key = keyStore_.ownerKey(owner.toStdString());
    } catch (const std::exception& e) {
        setGenerateError(lead + text(e.what()));
        return;
    }
    if (!key) {
        setGenerateError(tr("There is no encryption key for ") + owner + tr(" on this Mac yet, so ") +
                         tr("there is nothing to share. Create the key first."));
        return;
    }
    std::optional<kx::TreskKeychain::DestinationCredentials> credentials;
    try {
        credentials = keychain_.credentials(destination.id);
    } catch (const std::exception& e) {
        // A code without the storage's keys would look fine and fail on the other Mac.
        setGenerateError(lead + text(e.what()));
        return;
    }
    std::optional<std::string> endpoint;
    if (credentials && credentials->endpoint && !credentials->endpoint->empty()) {
        endpoint = credentials->endpoint;
    } else {
        endpoint = r2Endpoint(destination, credentials);
    }
    std::string phrase = kx::TreskKeyMaterial::recoveryString(*key);
    try {
        std::string code = kx::LinkCode::encode(kindRawValue(destination.kind), destination.bucket, destination.region,
                                                endpoint, credentials ? credentials->accessKeyID : std::nullopt,
                                                credentials ? credentials->secretAccessKey : std::nullopt, phrase,
                                                owner.toStdString());
        setGeneratedCode(text(code));
        kx::wipe(code);
    } catch (const std::exception& e) {
        setGenerateError(lead + text(e.what()));
    }
    kx::wipe(phrase);
    if (credentials && credentials->secretAccessKey) kx::wipe(*credentials->secretAccessKey);
}
