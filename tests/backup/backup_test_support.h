#pragma once
// Shared set-up of the backup room's tests: a private home, the keyring double
// as the process-wide secret store, a backup model over the private
// configuration folder, every sentence the model published, and archives to
// back up; for the screens, the application model and desktop services that
// record instead of opening anything (ScreenTest).
#include "backup/destination_row.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "backup/model/backup_runs_model.h"
#include "core/keys/key_material.h"
#include "tests/app/model/model_test_support.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/sources/sources_screen_support.h"
#include "tests/support/secret_store_double.h"

#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace kx::test {

// Adds or removes through a destination list and waits for its answer: nothing
// when it was done, else its sentence ("no answer" when none came).
inline std::optional<QString> awaitAnswer(
    const std::function<void(const QObject*, DestinationList::Completion)>& call) {
    std::optional<std::optional<QString>> answer;
    QObject context;
    call(&context, [&answer](const std::optional<QString>& failure) { answer = failure; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 120000)) return QStringLiteral("no answer");
    return *answer;
}
inline std::optional<QString> addDestination(DestinationList& list, const DestinationConfig& config,
                                             const std::optional<TreskKeychain::DestinationCredentials>& credentials) {
    return awaitAnswer([&](const QObject* context, DestinationList::Completion done) {
        list.addDestination(config, credentials, context, std::move(done));
    });
}
inline std::optional<QString> removeDestination(DestinationList& list, const DestinationConfig& config) {
    return awaitAnswer([&](const QObject* context, DestinationList::Completion done) {
        list.removeDestination(config, context, std::move(done));
    });
}

class BackupTest : public ScreenTest {
protected:
    void SetUp() override {
        ScreenTest::SetUp();
        secrets = std::make_shared<InMemorySecretStore>();
        setDefaultSecretStoreForTesting(secrets);
    }
    void TearDown() override {
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (backup) {
            EXPECT_TRUE(settleBackup());
        }
        backup.reset();
        BackupDestinationsModel::setObjectStoreEndpointForTesting("");
        setDefaultSecretStoreForTesting(nullptr);
        ScreenTest::TearDown();
    }

    // A new backup model for `owner` over the private configuration folder,
    // recording every sentence it publishes, once it has read the owner's key
    // state.
    BackupModel& makeBackup(const QString& owner = QStringLiteral("jorin")) {
        backup = std::make_unique<BackupModel>(QString::fromStdString(configDir().string()), owner);
        record(*backup);
        EXPECT_TRUE(drain(*backup));
        return *backup;
    }
    void record(BackupModel& m) {
        QObject::connect(&m, &BackupModel::lastErrorChanged, [this, &m] {
            if (!m.lastError().isNull()) sentences << m.lastError();
        });
        QObject::connect(&m, &BackupModel::lastResultChanged, [this, &m] {
            if (!m.lastResult().isNull()) sentences << m.lastResult();
        });
        if (!m.lastError().isNull()) sentences << m.lastError();
    }

    // Waits for the model's background work and its results.
    bool settleBackup(int timeoutMs = 120000) { return drain(*backup, timeoutMs); }
    static bool drain(const BackupModel& m, int timeoutMs = 120000) {
        return QTest::qWaitFor([&m] { return m.idle(); }, timeoutMs);
    }

    // A destination's caveat, once the model has built it.
    static QString caveatOf(BackupModel& m, const DestinationConfig& config) {
        std::optional<QString> caveat;
        QObject context;
        m.destinationsModel().caveat(config, &context, [&caveat](const QString& text) { caveat = text; });
        EXPECT_TRUE(QTest::qWaitFor([&caveat] { return caveat.has_value(); }, 120000));
        return caveat.value_or(QStringLiteral("no answer"));
    }

    // A key for the owner with its phrase confirmed, as after the key steps.
    void readyKey(BackupModel& m) {
        m.keys().createKey();
        ASSERT_TRUE(drain(m));
        m.keys().confirmRecoverySaved();
        ASSERT_TRUE(drain(m));
        ASSERT_TRUE(m.keys().recoveryConfirmed());
    }

    // ---- Screens shown in `window` ----
    // Widgets of an area that was rebuilt are deleted later and new ones shown
    // later; only live, shown ones count.
    static void settleWidgets() {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    template <typename T>
    T* findIn(QWidget* root, const QString& name) const {
        settleWidgets();
        for (T* w : root->findChildren<T*>(name))
            if (!w->isHidden()) return w;
        return nullptr;
    }
    template <typename T>
    T* find(const QString& name) const {
        return findIn<T>(window.get(), name);
    }
    void click(const QString& name) {
        auto* b = find<QPushButton>(name);
        ASSERT_NE(b, nullptr) << name.toStdString();
        ASSERT_TRUE(b->isEnabled()) << name.toStdString();
        QTest::mouseClick(b, Qt::LeftButton);
        // What the click asked of the keyring or a destination has answered.
        if (backup) {
            ASSERT_TRUE(settleBackup());
        }
    }
    std::vector<DestinationRow*> rows() const {
        settleWidgets();
        std::vector<DestinationRow*> out;
        for (auto* r : window->findChildren<DestinationRow*>())
            if (!r->isHidden()) out.push_back(r);
        return out;
    }
    // Chooses this computer's owner in a row's "Back Up Archive" menu.
    static void backUpFrom(DestinationRow* row) {
        emit row->backUpMenu()->aboutToShow();
        row->backUpMenu()->actions().first()->trigger();
    }

    std::filesystem::path destinationsFile() const { return configDir() / "destinations.json"; }
    // The owner's archive under the default archive root: <root>/<owner>/tresk.db.
    std::filesystem::path archiveOf(const std::string& owner) const { return defaultRoot() / owner; }
    QString storePath(const std::string& owner) const {
        return QString::fromStdString((archiveOf(owner) / "tresk.db").string());
    }

    static DestinationConfig folderDestination(const std::string& id, const std::filesystem::path& folder,
                                               DestinationConfig::Kind kind = DestinationConfig::Kind::localVolume) {
        DestinationConfig d;
        d.id = id;
        d.kind = kind;
        d.localRoot = folder.string();
        return d;
    }
    static DestinationConfig storeDestination(const std::string& id,
                                              DestinationConfig::Kind kind = DestinationConfig::Kind::awsS3) {
        DestinationConfig d;
        d.id = id;
        d.kind = kind;
        d.bucket = S3Server::kBucket;
        if (kind != DestinationConfig::Kind::cloudflareR2) d.region = "us-east-1";
        return d;
    }
    static TreskKeychain::DestinationCredentials storeCredentials(const std::string& secret = S3Server::kKey) {
        TreskKeychain::DestinationCredentials c;
        c.accessKeyID = S3Server::kKey;
        c.secretAccessKey = secret;
        c.region = "us-east-1";
        c.bucket = S3Server::kBucket;
        return c;
    }

    std::shared_ptr<InMemorySecretStore> secrets;
    std::unique_ptr<BackupModel> backup;
    QStringList sentences;
};

} // namespace kx::test
