// The join flow and link codes between two machines: each "machine" is its own
// configuration folder, keyring and backup model; the destinations are real
// (a shared folder, s3rver on loopback).
#include "household/join_model.h"
#include "tests/household/join_test_support.h"

#include "app/model/owners_model.h"
#include "core/household/link_code.h"
#include "tests/backup/backup_test_support.h"
#include "tests/support/fake_systemctl.h"
#include "tests/support/schedule_seams.h"

#include <QTimer>

#include <fstream>

namespace kx::test {
namespace {

namespace stdfs = std::filesystem;

class JoinFlow : public BackupTest {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        start();
        keyringA = secrets;
        keyringB = std::make_shared<InMemorySecretStore>();
    }
    void TearDown() override {
        if (machineB) {
            EXPECT_TRUE(QTest::qWaitFor([this] { return machineB->idle(); }, 120000));
        }
        machineB.reset();
        setDefaultSecretStoreForTesting(keyringA);
        BackupTest::TearDown();
    }

    // Machine A: jorin's key (phrase saved) and a destination; returns the code
    // JoinModel built for it.
    QString codeFromA(const DestinationConfig& d,
                      const std::optional<TreskKeychain::DestinationCredentials>& credentials) {
        setDefaultSecretStoreForTesting(keyringA);
        BackupModel& a = makeBackup(QStringLiteral("jorin"));
        readyKey(a);
        addDestination(a.destinationsModel(), d, credentials);
        JoinModel join;
        join.generateCode(d, QStringLiteral("jorin"));
        EXPECT_TRUE(settled(join));
        EXPECT_TRUE(join.generateError().isNull()) << join.generateError().toStdString();
        return join.generatedCode();
    }

    // Machine B: its own keyring and configuration folder, serving `owner`.
    BackupModel& becomeB(const std::string& shortName, const QString& owner = QStringLiteral("me")) {
        setDefaultSecretStoreForTesting(keyringB);
        system->shortName = shortName;
        system->fullName = "";
        stdfs::create_directories(home / "machineB");
        machineB = std::make_unique<BackupModel>(QString::fromStdString((home / "machineB").string()), owner);
        record(*machineB);
        EXPECT_TRUE(drain(*machineB));
        // The backup side follows the archive owner, as the application object wires it.
        QObject::connect(&model->owners(), &OwnersModel::archiveOwnerChanged, machineB.get(),
                         [this] { machineB->setOwner(model->owners().archiveOwner()); });
        return *machineB;
    }

    std::optional<std::string> keyHex(InMemorySecretStore& store, const std::string& owner) {
        auto it = store.items.find({kKeychainService, "owner-key/" + owner});
        if (it == store.items.end()) return std::nullopt;
        return it->second;
    }

    void checkAndConfirm(JoinModel& join, const QString& code, const QStringList& owners = {}) {
        join.setPastedCode(QStringLiteral("\n  ") + code + QStringLiteral("  \n"));
        join.checkCode(owners);
        ASSERT_EQ(join.stage().kind, JoinStage::Kind::confirming) << join.stage().text.toStdString();
    }

    // No sentence any model published holds the code or a piece of it.
    void expectNoSecretIn(const QStringList& texts, const QStringList& secretsShown) {
        QStringList all = texts;
        if (!model->lastError().isNull()) all << model->lastError();
        for (const auto& t : all) {
            for (const auto& s : secretsShown) EXPECT_FALSE(t.contains(s)) << t.toStdString();
        }
    }

    std::shared_ptr<InMemorySecretStore> keyringA;
    std::shared_ptr<InMemorySecretStore> keyringB;
    std::unique_ptr<BackupModel> machineB;
};

TEST_F(JoinFlow, ASecondMacOfTheSamePersonJoinsThroughAFolderAndBacksUpBesideTheFirst) {
    stdfs::create_directories(home / "shared");
    const QString code = codeFromA(folderDestination("SHARED", home / "shared", DestinationConfig::Kind::dropboxFolder),
                                   std::nullopt);
    ASSERT_TRUE(code.startsWith(QStringLiteral("KTRESK1-")));
    const auto keyOfA = keyHex(*keyringA, "jorin");

    BackupModel& b = becomeB("jorin");
    JoinModel join;
    checkAndConfirm(join, code);
    const kx::JoinPlan plan = *join.stage().plan;
    EXPECT_EQ(plan.owner, "jorin");
    EXPECT_TRUE(plan.restoresCodeKey);
    EXPECT_TRUE(plan.needsLocalFolder);
    EXPECT_FALSE(plan.storesCredentials);

    // The folder is checked before anything is changed.
    join.join(plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    EXPECT_EQ(join.stage(), JoinStage::failed(QStringLiteral("Choose the shared folder on this Mac first.")));
    EXPECT_TRUE(keyringB->items.empty());
    checkAndConfirm(join, code);
    join.setChosenFolder(QString::fromStdString((home / "shared").string()));
    join.join(plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage(), JoinStage::joined(plan)) << join.stage().text.toStdString();
    ASSERT_TRUE(drain(b)); // the key state the backup side reads again

    EXPECT_EQ(keyHex(*keyringB, "jorin"), keyOfA);
    ASSERT_EQ(b.destinationsModel().destinations().size(), 1u);
    const auto& d = b.destinationsModel().destinations()[0];
    EXPECT_EQ(d.kind, DestinationConfig::Kind::dropboxFolder);
    EXPECT_EQ(d.localRoot, (home / "shared").string());
    EXPECT_TRUE(d.enabled);
    EXPECT_FALSE(d.lastVerifiedAt);
    EXPECT_EQ(QUuid::fromString(QString::fromStdString(d.id)).isNull(), false);
    EXPECT_EQ(model->owners().archiveOwner(), QStringLiteral("jorin"));
    EXPECT_EQ(b.owner(), QStringLiteral("jorin"));
    EXPECT_TRUE(join.pastedCode().isEmpty());
    // No credentials were stored for a folder, and no code or key in any file.
    for (const auto& item : keyringB->items) EXPECT_EQ(item.first.second.rfind("destination/", 0), std::string::npos);
    std::ifstream list(home / "machineB/destinations.json");
    const std::string text((std::istreambuf_iterator<char>(list)), {});
    EXPECT_EQ(text.find(code.mid(8, 16).toStdString()), std::string::npos);

    // B backs up into the shared folder; A sees B's run in the shared status.
    b.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(b));
    makeArchive(archiveOf("jorin"), 30, {2000}, 3);
    b.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.idle(); }, 120000));
    EXPECT_TRUE(b.lastResult().endsWith(QStringLiteral("encrypted and verified."))) << b.lastError().toStdString();
    setDefaultSecretStoreForTesting(keyringA);
    backup->runs().refreshHostHealth(backup->destinationsModel().destinations()[0], {QStringLiteral("jorin")});
    ASSERT_TRUE(settleBackup());
    ASSERT_EQ(backup->runs().hostHealth().size(), 1u);
    ASSERT_TRUE(backup->runs().hostHealth()[0].record);
    EXPECT_TRUE(backup->runs().hostHealth()[0].record->ok);
    expectNoSecretIn(sentences, {code, code.mid(8, 20)});
}

TEST_F(JoinFlow, AnotherPersonJoinsAnS3StorageWithAKeyOfTheirOwn) {
    if (!findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed");
    S3Server server;
    BackupDestinationsModel::setObjectStoreEndpointForTesting(server.endpoint());
    const DestinationConfig s3 = storeDestination("S3");
    const QString code = codeFromA(s3, storeCredentials());
    ASSERT_FALSE(code.isEmpty());

    BackupModel& b = becomeB("ama");
    JoinModel join;
    checkAndConfirm(join, code);
    const kx::JoinPlan plan = *join.stage().plan;
    EXPECT_EQ(plan.owner, "ama");
    EXPECT_TRUE(plan.startsNewArchive);
    EXPECT_FALSE(plan.restoresCodeKey);
    EXPECT_TRUE(plan.storesCredentials);
    join.join(plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage(), JoinStage::joined(plan)) << join.stage().text.toStdString();
    ASSERT_TRUE(drain(b)); // the key state the backup side reads again

    // Ama has a key of her own; jorin's key never reached this machine.
    ASSERT_TRUE(keyHex(*keyringB, "ama"));
    EXPECT_NE(keyHex(*keyringB, "ama"), keyHex(*keyringA, "jorin"));
    EXPECT_FALSE(keyHex(*keyringB, "jorin"));
    EXPECT_TRUE(b.keys().hasKey());
    EXPECT_FALSE(b.keys().recoveryConfirmed()); // the Backup screen asks her to save the phrase
    ASSERT_EQ(b.destinationsModel().destinations().size(), 1u);
    const auto d = b.destinationsModel().destinations()[0];
    TreskKeychain keychain;
    const auto credentials = keychain.credentials(d.id);
    ASSERT_TRUE(credentials);
    EXPECT_EQ(credentials->accessKeyID, std::string(S3Server::kKey));
    EXPECT_EQ(credentials->bucket, std::string(S3Server::kBucket));

    b.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(b));
    makeArchive(archiveOf("ama"), 30, {2000}, 4);
    b.runs().runBackup(QStringLiteral("ama"), storePath("ama"), d);
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.idle(); }, 120000));
    EXPECT_TRUE(b.lastResult().contains(QStringLiteral("encrypted and verified."))) << b.lastError().toStdString();

    setDefaultSecretStoreForTesting(keyringA);
    backup->runs().refreshHostHealth(s3, {QStringLiteral("jorin"), QStringLiteral("ama")});
    ASSERT_TRUE(settleBackup());
    ASSERT_EQ(backup->runs().hostHealth().size(), 2u);
    ASSERT_TRUE(backup->runs().hostHealth()[1].record) << backup->runs().hostHealth()[1].error.value_or("");
    EXPECT_TRUE(backup->runs().hostHealth()[1].record->ok);
    expectNoSecretIn(sentences, {code, code.mid(8, 20)});
}

TEST_F(JoinFlow, StorageThisMacAlreadyUsesIsReusedNotAddedAgain) {
    // A folder, chosen on B under another spelling, and a bucket B already lists.
    stdfs::create_directories(home / "shared");
    const QString folderCode = codeFromA(folderDestination("SHARED", home / "shared"), std::nullopt);
    const QString bucketCode = codeFromA(storeDestination("S3"), storeCredentials());
    BackupModel& b = becomeB("jorin");
    addDestination(b.destinationsModel(), folderDestination("MINE", home / "shared"), std::nullopt);
    addDestination(b.destinationsModel(), storeDestination("MINE-S3"), storeCredentials());
    const std::vector<DestinationConfig> before = b.destinationsModel().destinations();
    auto credentialItems = [&] {
        QStringList names;
        for (const auto& item : keyringB->items)
            if (item.first.second.rfind("destination/", 0) == 0) names << QString::fromStdString(item.first.second);
        return names;
    };
    const QStringList credentialsBefore = credentialItems();

    JoinModel join;
    checkAndConfirm(join, folderCode);
    join.setChosenFolder(QString::fromStdString((home / "shared").string() + "/"));
    const kx::JoinPlan folderPlan = *join.stage().plan;
    join.join(folderPlan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage(), JoinStage::joined(folderPlan)) << join.stage().text.toStdString();
    checkAndConfirm(join, bucketCode);
    const kx::JoinPlan bucketPlan = *join.stage().plan;
    join.join(bucketPlan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage(), JoinStage::joined(bucketPlan)) << join.stage().text.toStdString();

    EXPECT_EQ(b.destinationsModel().destinations(), before);
    EXPECT_EQ(credentialItems(), credentialsBefore);
    EXPECT_TRUE(keyHex(*keyringB, "jorin"));
}

TEST_F(JoinFlow, JoiningNeverOverwritesAKey) {
    stdfs::create_directories(home / "shared");
    const QString code = codeFromA(folderDestination("SHARED", home / "shared"), std::nullopt);
    const auto keyOfA = keyHex(*keyringA, "jorin");

    // B already holds a different key for jorin: nothing changes.
    BackupModel& b = becomeB("jorin", QStringLiteral("jorin"));
    b.keys().createKey();
    ASSERT_TRUE(drain(b));
    const auto keyOfB = keyHex(*keyringB, "jorin");
    ASSERT_NE(keyOfB, keyOfA);
    const auto before = keyringB->items;
    JoinModel join;
    checkAndConfirm(join, code);
    join.setChosenFolder(QString::fromStdString((home / "shared").string()));
    join.join(*join.stage().plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage().kind, JoinStage::Kind::failed);
    EXPECT_TRUE(join.stage().text.startsWith(QStringLiteral("This Mac already holds a different encryption key for "
                                                            "\"jorin\".")));
    EXPECT_TRUE(join.stage().text.contains(QStringLiteral("Nothing on this Mac has been changed.")));
    EXPECT_EQ(keyringB->items, before);
    EXPECT_TRUE(b.destinationsModel().destinations().empty());
    EXPECT_TRUE(model->owners().archiveOwner().isEmpty());

    // The same key already stored: joined, and the key item is not written again.
    keyringB->items[{kKeychainService, "owner-key/jorin"}] = *keyOfA;
    const size_t writes = keyringB->writeCount;
    checkAndConfirm(join, code);
    join.setChosenFolder(QString::fromStdString((home / "shared").string()));
    join.join(*join.stage().plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage().kind, JoinStage::Kind::joined) << join.stage().text.toStdString();
    EXPECT_EQ(keyringB->writeCount, writes);
    EXPECT_EQ(keyHex(*keyringB, "jorin"), keyOfA);
}

TEST_F(JoinFlow, AFailedSaveTakesBackTheKeyItCreated) {
    const QString code = codeFromA(storeDestination("S3"), storeCredentials());
    // B's destination list cannot be read, so nothing may be saved over it.
    stdfs::create_directories(home / "machineB");
    std::ofstream(home / "machineB/destinations.json") << "[{\"id\": 3}]";
    BackupModel& b = becomeB("jorin");
    ASSERT_TRUE(b.destinationsModel().loadFailed());
    JoinModel join;
    checkAndConfirm(join, code);
    join.join(*join.stage().plan, *model, b.destinationsModel());
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage().kind, JoinStage::Kind::failed);
    EXPECT_TRUE(join.stage().text.startsWith(QStringLiteral("The storage could not be saved: ")))
        << join.stage().text.toStdString();
    EXPECT_TRUE(join.stage().text.endsWith(QStringLiteral("Nothing on this Mac has been changed.")));
    EXPECT_TRUE(keyringB->items.empty()); // neither the key nor the credentials stayed
    EXPECT_TRUE(b.destinationsModel().destinations().empty());
    EXPECT_TRUE(model->owners().archiveOwner().isEmpty());
    std::ifstream list(home / "machineB/destinations.json");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(list)), {}), "[{\"id\": 3}]");
}

// The keyring is asked off the GUI thread: while it is slow the window goes
// on, the join stays working and cannot be left or started again, and a code
// asked for by a model that has gone is dropped.
TEST_F(JoinFlow, ASlowKeyringHoldsNeitherTheWindowNorAHalfDoneJoin) {
    const QString code = codeFromA(storeDestination("S3"), storeCredentials());
    BackupModel& b = becomeB("jorin");
    auto gate = std::make_shared<GatedSecretStore>(keyringB);
    setDefaultSecretStoreForTesting(gate);
    // However the test ends, nothing is left waiting at the gate.
    struct Opener {
        GatedSecretStore& gate;
        ~Opener() {
            gate.release();
            EXPECT_TRUE(QTest::qWaitFor([this] { return gate.waiting == 0; }, 120000));
        }
    } opener{*gate};
    const auto eventsRun = [] {
        bool fired = false;
        QTimer::singleShot(0, [&fired] { fired = true; });
        return QTest::qWaitFor([&fired] { return fired; }, 5000);
    };

    JoinModel join;
    checkAndConfirm(join, code);
    const kx::JoinPlan plan = *join.stage().plan;
    join.join(plan, *model, b.destinationsModel());
    EXPECT_EQ(join.stage().kind, JoinStage::Kind::working);
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_TRUE(eventsRun());
    join.reset();
    join.checkCode({});
    join.join(plan, *model, b.destinationsModel());
    EXPECT_EQ(join.stage().kind, JoinStage::Kind::working);
    EXPECT_EQ(gate->waiting.load(), 1);
    EXPECT_TRUE(keyringB->items.empty());
    gate->release();
    ASSERT_TRUE(settled(join));
    ASSERT_EQ(join.stage(), JoinStage::joined(plan)) << join.stage().text.toStdString();
    ASSERT_EQ(b.destinationsModel().destinations().size(), 1u);
    EXPECT_TRUE(keyHex(*keyringB, "jorin"));
    ASSERT_TRUE(drain(b)); // the backup side has read the new owner's key

    gate->shut();
    auto generator = std::make_unique<JoinModel>();
    generator->generateCode(b.destinationsModel().destinations()[0], QStringLiteral("jorin"));
    EXPECT_TRUE(generator->isGenerating());
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_TRUE(eventsRun());
    const int answered = gate->answered;
    generator.reset();
    gate->release();
    // Its key and the storage's credentials are read, and what they built is dropped.
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate->answered >= answered + 2; }, 120000));
    EXPECT_TRUE(eventsRun());
    setDefaultSecretStoreForTesting(keyringB);
}

TEST_F(JoinFlow, CheckingRefusesBadCodesWithoutEchoingThemAndJoinOutsideConfirmingDoesNothing) {
    const QString code = codeFromA(storeDestination("S3"), storeCredentials());
    BackupModel& b = becomeB("jorin");
    JoinModel join;
    join.setPastedCode(QStringLiteral(" \n\n "));
    join.checkCode({});
    EXPECT_EQ(join.stage(), JoinStage::failed(QStringLiteral("Paste the code you were given first.")));

    const QStringList bad = {code.left(code.size() / 2), code + QStringLiteral("Q"), QStringLiteral("Code: ") + code,
                             code.left(30) + QChar(0) + code.mid(30), QString(1 << 20, QLatin1Char('7'))};
    for (const auto& text : bad) {
        join.setPastedCode(text);
        join.checkCode({});
        ASSERT_EQ(join.stage().kind, JoinStage::Kind::failed);
        EXPECT_FALSE(join.stage().text.contains(code.mid(10, 12)));
        EXPECT_EQ(join.pastedCode(), text); // kept in the editor to correct
        // join in a failed stage changes nothing
        join.join(kx::JoinPlan{}, *model, b.destinationsModel());
        ASSERT_TRUE(settled(join));
        EXPECT_EQ(join.stage().kind, JoinStage::Kind::failed);
    }
    EXPECT_TRUE(keyringB->items.empty());
    EXPECT_TRUE(b.destinationsModel().destinations().empty());

    // Back: the pasted code and chosen folder are emptied, codes built earlier stay.
    join.setGeneratedCode(QStringLiteral("x"));
    join.setChosenFolder(QStringLiteral("/tmp"));
    join.reset();
    EXPECT_EQ(join.stage(), JoinStage::entry());
    EXPECT_TRUE(join.pastedCode().isEmpty());
    EXPECT_TRUE(join.chosenFolder().isEmpty());
    EXPECT_EQ(join.generatedCode(), QStringLiteral("x"));
    join.forgetCodes();
    EXPECT_TRUE(join.generatedCode().isNull());
}

TEST_F(JoinFlow, GenerateCodeTellsNoKeyFromAKeyringThatCannotBeRead) {
    BackupModel& a = makeBackup(QStringLiteral("jorin"));
    DestinationConfig r2 = storeDestination("R2", DestinationConfig::Kind::cloudflareR2);
    auto credentials = storeCredentials();
    credentials.accountID = "acc123";
    addDestination(a.destinationsModel(), r2, credentials);
    JoinModel join;

    join.generateCode(r2, QStringLiteral("jorin"));
    ASSERT_TRUE(settled(join));
    EXPECT_EQ(join.generateError(), QStringLiteral("There is no encryption key for jorin on this Mac yet, so there is "
                                                   "nothing to share. Create the key first."));
    EXPECT_TRUE(join.generatedCode().isNull());

    readyKey(a);
    join.generateCode(r2, QStringLiteral("jorin"));
    ASSERT_TRUE(settled(join));
    ASSERT_FALSE(join.generatedCode().isNull());
    auto payload = LinkCode::decode(join.generatedCode().toStdString());
    EXPECT_EQ(payload.endpoint, std::string("https://acc123.r2.cloudflarestorage.com"));
    EXPECT_EQ(payload.accessKeyID, std::string(S3Server::kKey));
    EXPECT_EQ(payload.ownerHint, "jorin");

    // An empty account id is none.
    credentials.accountID = "";
    TreskKeychain().setCredentials(credentials, "R2");
    join.generateCode(r2, QStringLiteral("jorin"));
    ASSERT_TRUE(settled(join));
    EXPECT_FALSE(LinkCode::decode(join.generatedCode().toStdString()).endpoint);

    // A keyring that cannot be read gives a sentence, never a code without keys.
    secrets->failReads = true;
    join.generateCode(r2, QStringLiteral("jorin"));
    ASSERT_TRUE(settled(join));
    EXPECT_TRUE(join.generatedCode().isNull());
    EXPECT_TRUE(join.generateError().startsWith(QStringLiteral("Could not build a link code: ")));
    secrets->failReads = false;

    EXPECT_EQ(JoinModel::r2AccountID(std::string("https://abc.r2.cloudflarestorage.com")), std::string("abc"));
    EXPECT_FALSE(JoinModel::r2AccountID(std::string("https://.r2.cloudflarestorage.com")));
    EXPECT_FALSE(JoinModel::r2AccountID(std::string("https://s3.amazonaws.com")));
    EXPECT_FALSE(JoinModel::r2AccountID(std::string("not a url")));
    EXPECT_FALSE(JoinModel::r2AccountID(std::nullopt));
}

} // namespace
TEST_F(JoinFlow, AScheduleThatDoesNotInstallAfterAJoinIsSaidAfterTheJoinsLeadIn) {
    FakeSystemctl systemctl;
    installApplicationWithEngine(home / "app");
    systemctl.failOn("enable", 4);
    JoinModel::installScheduleAfterJoin(*model);
    const QString said = model->lastError();
    EXPECT_TRUE(said.startsWith("Joined, but the daily schedule did not install: Could not register the schedule: "))
        << said.toStdString();
    // One sentence: no line break or doubled full stop from the scheduler's output.
    EXPECT_TRUE(said.endsWith("no user session. Turn it on in Settings.")) << said.toStdString();
    EXPECT_FALSE(said.contains(u'\n')) << said.toStdString();

    // Installed: nothing is said.
    stdfs::remove(systemctl.dir / "fail-enable");
    model->setLastError(QString());
    JoinModel::installScheduleAfterJoin(*model);
    EXPECT_TRUE(model->lastError().isNull()) << model->lastError().toStdString();
    EXPECT_TRUE(ScheduleInstaller::isInstalled());
    ScheduleInstaller::setSeamsForTesting({});
}

} // namespace kx::test
