// The owner's key through the backup model: creating it, its phrase, saving
// the phrase, restoring from a phrase, a keyring that cannot be read or does
// not answer, and the phrase belonging to the owner it was made for.
#include "core/keys/time_limited_secrets.h"
#include "tests/backup/backup_test_support.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace kx;
using namespace kx::test;

namespace {

using Keys = BackupTest;

// A keyring that never answers until released.
class HangingSecretStore final : public SecretStore {
public:
    std::optional<std::string> read(const std::string&, const std::string&) override {
        wait();
        return std::nullopt;
    }
    void write(const std::string&, const std::string&, const std::string&, const std::string&) override { wait(); }
    bool remove(const std::string&, const std::string&) override {
        wait();
        return false;
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        cv.notify_all();
    }
    // Calls that reached this store.
    std::atomic<int> calls{0};

private:
    void wait() {
        ++calls;
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return released; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool released = false;
};

} // namespace

TEST_F(Keys, CreateShowConfirmAndCreateAgain) {
    BackupModel& m = makeBackup();
    EXPECT_FALSE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().recoveryConfirmed());
    EXPECT_FALSE(m.keys().keyReadFailed());

    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.keys().hasKey());
    const QString phrase = m.keys().pendingRecoveryPhrase();
    ASSERT_FALSE(phrase.isEmpty());
    // A first key without the older shared key leaves the result as it was.
    EXPECT_TRUE(m.lastResult().isNull());
    EXPECT_FALSE(m.keys().recoveryConfirmed());
    const auto key = *OwnerKeyStore().ownerKey("jorin");
    EXPECT_TRUE(TreskKeyMaterial::keyFromRecoveryString(phrase.toStdString()) == key);

    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());
    EXPECT_TRUE(m.keys().recoveryConfirmed());
    EXPECT_TRUE(TreskKeychain().hasConfirmedRecoveryKey("jorin"));

    // Again: the same key, its phrase, and the sentence that says so.
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.keys().pendingRecoveryPhrase(), phrase);
    EXPECT_EQ(m.lastResult(), QStringLiteral("jorin already had an encryption key. This is that same key, not a new "
                                             "one, so anything already backed up stays readable."));
    EXPECT_TRUE(*OwnerKeyStore().ownerKey("jorin") == key);

    m.keys().revealRecoveryKey();
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.keys().pendingRecoveryPhrase(), phrase);
}

TEST_F(Keys, ALegacySharedKeyIsReportedAndKeptBesideTheNewKey) {
    secrets->items[{kKeychainService, "master-key"}] = std::string(64, 'a');
    BackupModel& m = makeBackup();
    EXPECT_TRUE(m.keys().hasLegacyKey());
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.lastResult(), QStringLiteral("This is jorin's own key. Only jorin's Mac can read what it seals from "
                                             "now on. Your earlier backup was made with the older shared key, which "
                                             "is kept on this Mac so that backup stays readable."));
}

TEST_F(Keys, RevealWithoutAKeyAndGuardsBeforeUse) {
    BackupModel& m = makeBackup();
    m.keys().revealRecoveryKey();
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.lastError(), QStringLiteral("There is no encryption key for jorin yet."));
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());

    const auto check = [] {
        return BackupKeysModel::checkKeyring(OwnerKeyStore(), TreskKeychain(), QStringLiteral("jorin"));
    };
    EXPECT_FALSE(check().ring);
    EXPECT_EQ(check().refusal, QStringLiteral("Create jorin's encryption key first."));
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(check().ring);
    EXPECT_EQ(check().refusal, QStringLiteral("Save jorin's recovery key first. Without it, nobody (including us) "
                                              "can ever read this backup again."));
    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    // The flag is read from the keyring, not from what the model shows.
    secrets->items.erase({kKeychainService, "recovery-saved/jorin"});
    EXPECT_TRUE(m.keys().recoveryConfirmed());
    EXPECT_FALSE(check().ring);
    EXPECT_TRUE(check().refusal.startsWith(QStringLiteral("Save jorin's recovery key first.")));
    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(check().ring);
    EXPECT_TRUE(check().refusal.isNull());
}

TEST_F(Keys, ALockedKeyringIsSaidAndNeverLeadsToASecondKey) {
    BackupModel& first = makeBackup();
    first.keys().createKey();
    ASSERT_TRUE(drain(first));
    first.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(first));
    const auto key = *OwnerKeyStore().ownerKey("jorin");
    backup.reset();

    secrets->failReads = true;
    const size_t writes = secrets->writeCount;
    BackupModel& m = makeBackup();
    EXPECT_FALSE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().hasLegacyKey());
    EXPECT_TRUE(m.keys().keyReadFailed());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Could not read the Keychain: ")));
    EXPECT_TRUE(m.lastError().endsWith(QStringLiteral(". Do not create a new key until this is resolved. A second key "
                                                      "would make everything already backed up unreadable.")));
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Could not create the encryption key: ")));
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());
    EXPECT_EQ(secrets->writeCount, writes);

    // Unlocked again: the key that was there all along.
    secrets->failReads = false;
    m.keys().refreshKeyState();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().keyReadFailed());
    EXPECT_TRUE(m.keys().recoveryConfirmed());
    EXPECT_TRUE(*OwnerKeyStore().ownerKey("jorin") == key);
}

TEST_F(Keys, AConfirmationThatCannotBeStoredKeepsThePhraseOnScreen) {
    BackupModel& m = makeBackup();
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    secrets->failWrites = true;
    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Could not record that you saved the recovery key: ")));
    EXPECT_FALSE(m.keys().pendingRecoveryPhrase().isNull());
    EXPECT_FALSE(m.keys().recoveryConfirmed());
}

TEST_F(Keys, APendingPhraseBelongsToItsOwner) {
    BackupModel& m = makeBackup();
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    ASSERT_FALSE(m.keys().pendingRecoveryPhrase().isNull());
    // The same owner written differently is no change at all.
    m.setOwner(QStringLiteral("  jorin "));
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(m.keys().pendingRecoveryPhrase().isNull());

    m.setOwner(QStringLiteral("sam"));
    ASSERT_TRUE(drain(m));
    EXPECT_EQ(m.owner(), QStringLiteral("sam"));
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());
    EXPECT_FALSE(m.keys().hasKey());
    // Nothing can confirm jorin's phrase as sam's, or the other way round.
    m.keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(TreskKeychain().hasConfirmedRecoveryKey("jorin"));
    m.setOwner(QStringLiteral("jorin"));
    ASSERT_TRUE(drain(m));
    EXPECT_TRUE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().recoveryConfirmed());
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());
}

TEST_F(Keys, RestoringFromAPhraseOnAFreshKeyringAndOverADifferentKey) {
    BackupModel& m = makeBackup();
    m.keys().createKey();
    ASSERT_TRUE(drain(m));
    const QString phrase = m.keys().pendingRecoveryPhrase();
    const auto original = *OwnerKeyStore().ownerKey("jorin");
    backup.reset();
    secrets->items.clear();

    // A fresh keyring: the phrase as typed, spaces, line breaks and small letters included.
    BackupModel& fresh = makeBackup();
    fresh.keys().restoreKey(QStringLiteral("  ") + phrase.toLower() + QStringLiteral("\n"));
    ASSERT_TRUE(drain(fresh));
    EXPECT_TRUE(fresh.keys().hasKey());
    EXPECT_EQ(fresh.lastResult(), QStringLiteral("jorin's encryption key was restored. Backups made with that key are "
                                                 "readable again. This does not unlock any other person's archive."));
    EXPECT_TRUE(*OwnerKeyStore().ownerKey("jorin") == original);

    // A wrong phrase changes nothing.
    fresh.keys().restoreKey(QStringLiteral("not a recovery key"));
    ASSERT_TRUE(drain(fresh));
    EXPECT_TRUE(fresh.lastError().startsWith(QStringLiteral("That recovery key was not accepted: ")));
    EXPECT_TRUE(*OwnerKeyStore().ownerKey("jorin") == original);

    // Over a different key: the old key stays readable and the sentence says so.
    const SymmetricKey other = SymmetricKey::generate();
    fresh.keys().revealRecoveryKey();
    ASSERT_TRUE(drain(fresh));
    ASSERT_FALSE(fresh.keys().pendingRecoveryPhrase().isNull());
    fresh.keys().restoreKey(QString::fromStdString(TreskKeyMaterial::recoveryString(other)));
    ASSERT_TRUE(drain(fresh));
    EXPECT_TRUE(fresh.lastResult().endsWith(QStringLiteral(" The different key this Mac held for jorin before is kept "
                                                           "as an older key, so anything sealed with it stays "
                                                           "readable.")));
    // The phrase on screen was the replaced key's.
    EXPECT_TRUE(fresh.keys().pendingRecoveryPhrase().isNull());
    auto ring = OwnerKeyStore().existingKeyring("jorin");
    ASSERT_TRUE(ring);
    EXPECT_TRUE(ring->current == other);
    ASSERT_FALSE(ring->legacy.empty());
    EXPECT_TRUE(ring->legacy.front() == original);

    for (const QString& s : sentences) EXPECT_FALSE(s.contains(phrase, Qt::CaseInsensitive)) << s.toStdString();
}

TEST(TimeLimitedKeyring, AKeyringThatDoesNotAnswerIsAFailureWithinTheLimit) {
    // Kept for the whole process: the calls left waiting still use it after the test.
    static auto hanging = std::make_shared<HangingSecretStore>();
    setDefaultSecretStoreForTesting(hanging);
    TimeLimitedSecretStore store(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    try {
        (void)store.read("s", "a");
        ADD_FAILURE() << "a keyring that does not answer read as an answer";
    } catch (const SecretStoreError& e) {
        EXPECT_NE(std::string(e.what()).find("did not answer"), std::string::npos) << e.what();
    }
    EXPECT_THROW(store.write("s", "a", "l", "v"), SecretStoreError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    hanging->release();
    setDefaultSecretStoreForTesting(nullptr);
}

TEST(TimeLimitedKeyring, NothingMoreIsAskedWhileACallThatTookTooLongStillRuns) {
    HangingSecretStore hanging;
    TimeLimitedSecretStore store(std::chrono::milliseconds(50), &hanging);
    EXPECT_THROW(store.write("s", "owner-key/jorin", "l", "first"), SecretStoreError);
    ASSERT_TRUE(store.waitingOnLateCall());

    // A retry is refused at once: it never races the write that did not answer.
    try {
        store.write("s", "owner-key/jorin", "l", "second");
        ADD_FAILURE() << "a second write went to a keyring that had not answered the first";
    } catch (const SecretStoreError& e) {
        EXPECT_NE(std::string(e.what()).find("has not yet answered an earlier request"), std::string::npos) << e.what();
    }
    EXPECT_THROW((void)store.read("s", "owner-key/jorin"), SecretStoreError);
    EXPECT_EQ(hanging.calls, 1);

    // Once the late call has ended, the keyring is asked again.
    hanging.release();
    for (int i = 0; i < 2000 && store.waitingOnLateCall(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(store.waitingOnLateCall());
    EXPECT_FALSE(store.read("s", "owner-key/jorin"));
    EXPECT_EQ(hanging.calls, 2);
}

// While the keyring has not answered, the window goes on: events are handled,
// the model says it is busy, and nothing is reported until the answer comes.
TEST_F(Keys, TheWindowGoesOnWhileTheKeyringIsSlowToAnswer) {
    auto gate = std::make_shared<GatedSecretStore>();
    setDefaultSecretStoreForTesting(gate);
    backup = std::make_unique<BackupModel>(QString::fromStdString(configDir().string()), QStringLiteral("jorin"));
    BackupModel& m = *backup;
    const auto eventsRun = [] {
        bool fired = false;
        QTimer::singleShot(0, [&fired] { fired = true; });
        return QTest::qWaitFor([&fired] { return fired; }, 1000);
    };
    // The key state is being read.
    EXPECT_TRUE(eventsRun());
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_FALSE(m.keys().keyReadFailed());
    EXPECT_TRUE(m.lastError().isNull());
    gate->release();
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().keyReadFailed());

    // A key is being created: busy until the keyring answers, and a second
    // request meanwhile asks nothing of it.
    gate->shut();
    m.keys().createKey();
    EXPECT_TRUE(m.isBusy());
    EXPECT_TRUE(eventsRun());
    QTRY_COMPARE(gate->waiting.load(), 1);
    m.keys().createKey();
    m.keys().confirmRecoverySaved();
    EXPECT_TRUE(eventsRun());
    EXPECT_EQ(gate->waiting.load(), 1);
    EXPECT_FALSE(m.keys().hasKey());
    EXPECT_TRUE(m.keys().pendingRecoveryPhrase().isNull());
    gate->release();
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(m.isBusy());
    EXPECT_TRUE(m.keys().hasKey());
    EXPECT_FALSE(m.keys().pendingRecoveryPhrase().isNull());
    EXPECT_FALSE(m.keys().recoveryConfirmed());
    EXPECT_TRUE(m.lastError().isNull());

    // A connection test asks for the key the same way, and says why it cannot run.
    gate->shut();
    m.destinationsModel().testConnection(folderDestination("DRIVE", home / "drive"));
    EXPECT_TRUE(m.isBusy());
    EXPECT_TRUE(eventsRun());
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_TRUE(m.lastError().isNull());
    gate->release();
    ASSERT_TRUE(drain(m));
    EXPECT_FALSE(m.isBusy());
    EXPECT_TRUE(m.lastError().startsWith(QStringLiteral("Save jorin's recovery key first.")))
        << m.lastError().toStdString();
    backup.reset();
    setDefaultSecretStoreForTesting(secrets);
}
