// Destinations under a slow keyring: the window goes on while the keyring is
// asked, the list changes only once it has answered, the add sheet takes no
// second request meanwhile, an answer for a screen that has gone is dropped,
// and a credential write that did not answer in time leaves neither a secret
// nor a listed destination.
#include "backup/add_destination_view.h"
#include "core/keys/time_limited_secrets.h"
#include "tests/backup/backup_test_support.h"
#include "tests/support/snapshots.h"
#include "tests/support/wait.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using namespace kx;
using namespace kx::test;
using Kind = DestinationConfig::Kind;

namespace {

class SlowKeyring : public BackupTest {
protected:
    // A backup model whose keyring is `secrets` behind a gate, shut once the
    // model has read its key state.
    BackupModel& slowBackup(GatedSecretStore::Holds holds = GatedSecretStore::Holds::everything) {
        gate = std::make_shared<GatedSecretStore>(secrets, holds);
        gate->release();
        setDefaultSecretStoreForTesting(gate);
        BackupModel& m = makeBackup();
        gate->shut();
        return m;
    }
    // A timer set now fires: the GUI thread is not held.
    static bool eventsRun() {
        bool fired = false;
        QTimer::singleShot(0, [&fired] { fired = true; });
        return QTest::qWaitFor([&fired] { return fired; }, 5000);
    }
    bool storedCredentials(const std::string& id) const {
        return TreskKeychain(kKeychainService, secrets.get()).credentials(id).has_value();
    }

    std::shared_ptr<GatedSecretStore> gate;
};

TEST_F(SlowKeyring, AddingAndRemovingWaitForTheKeyringWithoutHoldingTheWindow) {
    BackupModel& m = slowBackup();
    BackupDestinationsModel& list = m.destinationsModel();
    std::optional<std::optional<QString>> answer;
    QObject screen;
    auto answered = [&answer](const std::optional<QString>& failure) { answer = failure; };

    list.addDestination(storeDestination("S3"), storeCredentials("slow-secret"), &screen, answered);
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_TRUE(eventsRun());
    EXPECT_FALSE(answer);
    EXPECT_TRUE(list.destinations().empty());
    gate->release();
    ASSERT_TRUE(QTest::qWaitFor([&answer] { return answer.has_value(); }, 120000));
    EXPECT_EQ(*answer, std::nullopt);
    ASSERT_EQ(list.destinations().size(), 1u);
    EXPECT_TRUE(storedCredentials("S3"));

    // Removing: listed until the keyring has answered.
    gate->shut();
    answer.reset();
    list.removeDestination(list.destinations()[0], &screen, answered);
    QTRY_COMPARE(gate->waiting.load(), 1);
    EXPECT_TRUE(eventsRun());
    EXPECT_FALSE(answer);
    EXPECT_EQ(list.destinations().size(), 1u);
    gate->release();
    ASSERT_TRUE(QTest::qWaitFor([&answer] { return answer.has_value(); }, 120000));
    EXPECT_EQ(*answer, std::nullopt);
    EXPECT_TRUE(list.destinations().empty());
    EXPECT_FALSE(storedCredentials("S3"));

    // The screen that asked has gone: nothing reaches it, and the model still
    // lists what it stored.
    gate->shut();
    auto* gone = new QObject;
    bool told = false;
    list.addDestination(storeDestination("S3-2"), storeCredentials(), gone,
                        [&told](const std::optional<QString>&) { told = true; });
    QTRY_COMPARE(gate->waiting.load(), 1);
    delete gone;
    gate->release();
    ASSERT_TRUE(settleBackup());
    EXPECT_FALSE(told);
    ASSERT_EQ(list.destinations().size(), 1u);
    EXPECT_TRUE(storedCredentials("S3-2"));
    // Without a context, the answer always comes.
    answer.reset();
    list.removeDestination(list.destinations()[0], nullptr, answered);
    ASSERT_TRUE(QTest::qWaitFor([&answer] { return answer.has_value(); }, 120000));
    EXPECT_EQ(*answer, std::nullopt);
    EXPECT_TRUE(list.destinations().empty());
    for (const QString& s : sentences) EXPECT_FALSE(s.contains(QStringLiteral("slow-secret"))) << s.toStdString();
}

TEST_F(SlowKeyring, TheAddSheetIsBusyAndTakesNoSecondRequestUntilTheKeyringAnswers) {
    start();
    BackupModel& m = slowBackup();
    auto* sheet = new AddDestinationView(m);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<AddDestinationView> open(sheet);
    sheet->show();
    sheet->setKind(Kind::backblazeB2);
    sheet->regionField()->setText(QStringLiteral("us-west-004"));
    sheet->bucketField()->setText(QStringLiteral("family-archive"));
    sheet->accessKeyIDField()->setText(QStringLiteral("KEYID"));
    sheet->secretKeyField()->setText(QStringLiteral("sheet-secret"));
    const size_t writes = secrets->writeCount;
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    QTRY_COMPARE(gate->waiting.load(), 1);

    EXPECT_TRUE(sheet->isAdding());
    EXPECT_TRUE(sheet->findChild<QWidget*>(QStringLiteral("adding"))->isVisible());
    for (QWidget* w : std::initializer_list<QWidget*>{sheet->addButton(), sheet->cancelButton(), sheet->kindPicker(),
                                                      sheet->bucketField(), sheet->secretKeyField()})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    snapshot(*sheet, QStringLiteral("add-sheet-adding"));
    // A second press, a forced add and Escape all do nothing.
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    sheet->add();
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_TRUE(eventsRun());
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(gate->waiting.load(), 1);

    gate->release();
    ASSERT_TRUE(settleBackup());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(open);
    ASSERT_EQ(m.destinationsModel().destinations().size(), 1u);
    EXPECT_EQ(secrets->writeCount, writes + 1);
    EXPECT_TRUE(m.lastError().isNull()) << m.lastError().toStdString();
}

TEST_F(SlowKeyring, ACredentialWriteThatDidNotAnswerInTimeLeavesNoSecretAndNoDestination) {
    BackupModel& m = slowBackup(GatedSecretStore::Holds::changes);
    const size_t writes = secrets->writeCount;
    const std::optional<QString> answer = addDestination(m.destinationsModel(), storeDestination("S3"),
                                                         storeCredentials("late-secret"));
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->startsWith(QStringLiteral("Could not store the credentials securely: the system keyring did "
                                                  "not answer within 5 seconds")))
        << answer->toStdString();
    EXPECT_TRUE(answer->endsWith(QStringLiteral(". The destination was not added.")));
    EXPECT_TRUE(m.destinationsModel().destinations().empty());
    EXPECT_FALSE(std::filesystem::exists(destinationsFile()));

    // The write lands after its failure was said, and is taken back.
    gate->release();
    const auto limited = std::dynamic_pointer_cast<TimeLimitedSecretStore>(m.secrets());
    ASSERT_TRUE(limited);
    ASSERT_TRUE(waitUntil([&] { return !limited->waitingOnLateCall(); }, std::chrono::seconds(60)));
    EXPECT_EQ(secrets->writeCount, writes + 1);
    EXPECT_FALSE(storedCredentials("S3"));
    EXPECT_TRUE(m.destinationsModel().destinations().empty());
    EXPECT_FALSE(answer->contains(QStringLiteral("late-secret")));
}

} // namespace
