#include "core/archive/attachment_store.h"
#include "core/household/household_store.h"
#include "tests/app/model/model_test_support.h"

using namespace kx;
using kx::test::readAll;
using kx::test::snapshotTree;
using kx::test::writeAll;

namespace {

class Owners : public kx::test::ModelTest {
protected:
    // Archives a generated folder for `owner` through the model.
    void archive(const std::string& owner) {
        messagesFolder(home / "copies" / "a", 60);
        ASSERT_TRUE(model->mutableRegistry().add(folderSource("a", owner, home / "copies/a")));
        model->runs().startScan(ScanRequest{});
        ASSERT_TRUE(waitForRun());
        ASSERT_TRUE(model->report() && model->report()->succeeded());
    }
    QString root() const { return model->destinationRoot(); }
};

} // namespace

TEST_F(Owners, RegistryOwnersAndArchiveFoldersAreListedAsTheyStand) {
    auto& m = start();
    archive("jorin/work");
    ASSERT_TRUE(m.mutableRegistry().add(folderSource("b", "jorin/work", home / "copies/b")));
    std::filesystem::create_directories(defaultRoot() / "no-archive");
    writeAll(defaultRoot() / "loose-file", "x");
    writeAll(defaultRoot() / "sam/tresk.db", "");
    EXPECT_EQ(m.owners().sourceOwners(), QStringList{"jorin/work"});
    EXPECT_EQ(m.owners().existingOwners(), (QStringList{"jorin/work", "jorin_work", "sam"}));

    // An unreadable root falls back to the registry.
    m.setDestinationRoot(QString::fromStdString((home / "nowhere").string()));
    EXPECT_EQ(m.owners().existingOwners(), QStringList{"jorin/work"});
}

TEST_F(Owners, AnOwnersArchiveOpensSearchesAndLocatesAttachments) {
    auto& m = start();
    archive("jorin/work");
    EXPECT_EQ(OwnersModel::archiveDatabasePath(root(), "jorin/work"), root() + "/jorin_work/tresk.db");
    EXPECT_EQ(OwnersModel::archiveDatabasePath(root() + "/", "jorin/work"), root() + "/jorin_work/tresk.db");
    auto store = m.owners().openStore(root(), "jorin/work");
    ASSERT_NE(store, nullptr);

    const auto hits = m.owners().search(root(), "birthday", "jorin/work", 5);
    ASSERT_FALSE(hits.empty());
    EXPECT_LE(hits.size(), 5u);
    EXPECT_NE(hits[0].text.value_or("").find("birthday"), std::string::npos);
    EXPECT_TRUE(m.owners().search(root(), "birthday", "nobody", 5).empty());
    EXPECT_EQ(m.owners().openStore(root(), "nobody"), nullptr);
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_TRUE(m.lastError().isNull()); // a missing archive is an ordinary state

    // An attachment whose bytes were stored has a file; others have none.
    std::vector<std::string> ids;
    for (int i = 1; i <= 60; ++i) ids.push_back(fixtures::messageGuid(i));
    QString found;
    TreskStore::AttachmentRef stored;
    for (const auto& [id, refs] : store->attachments(ids))
        for (const auto& ref : refs)
            if (ref.objectKey && found.isNull()) {
                stored = ref;
                found = OwnersModel::attachmentPath(root(), "jorin/work", ref);
            }
    ASSERT_FALSE(found.isNull());
    EXPECT_TRUE(found.startsWith(root() + "/jorin_work/attachments/"));
    EXPECT_TRUE(std::filesystem::is_regular_file(found.toStdString()));

    TreskStore::AttachmentRef none = stored;
    none.objectKey.reset();
    EXPECT_TRUE(OwnersModel::attachmentPath(root(), "jorin/work", none).isNull());
    TreskStore::AttachmentRef missing = stored;
    missing.objectKey = std::string(64, 'a');
    EXPECT_TRUE(OwnersModel::attachmentPath(root(), "jorin/work", missing).isNull());
    TreskStore::AttachmentRef hostile = stored;
    hostile.objectKey = "../../../../etc/passwd";
    EXPECT_TRUE(OwnersModel::attachmentPath(root(), "jorin/work", hostile).isNull());
}

TEST_F(Owners, ABackgroundSearchKeepsTheRootItWasGivenWhileTheRootChanges) {
    auto& m = start();
    archive("jorin");
    const QString given = root(); // captured on the GUI thread, as every caller does
    const QString elsewhere = QString::fromStdString((home / "elsewhere").string());
    std::atomic<int> searched{0};
    std::atomic<int> found{0};
    m.startTask(std::nullopt, [&m, given, &searched, &found]() -> std::function<void()> {
        for (int i = 0; i < 50; ++i) {
            if (!m.owners().search(given, "birthday", "jorin", 5).empty()) ++found;
            ++searched;
        }
        return {};
    });
    int flips = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            m.setDestinationRoot(flips++ % 2 ? given : elsewhere);
            return searched == 50;
        },
        60000));
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_EQ(found, 50);
    EXPECT_TRUE(m.lastError().isNull());
}

TEST_F(Owners, AnArchiveThatDoesNotOpenIsSaidAndLeftAlone) {
    auto& m = start();
    writeAll(defaultRoot() / "sam/tresk.db", "this is not a database at all, not even close to one");
    const std::string before = snapshotTree(defaultRoot());
    EXPECT_EQ(m.owners().openStore(root(), "sam"), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.lastError().isNull(); }, 5000));
    EXPECT_TRUE(m.lastError().startsWith("Could not open sam's archive: "));
    EXPECT_TRUE(m.lastError().endsWith(". The tresk file exists but is not readable."));
    EXPECT_TRUE(m.owners().search(root(), "x", "sam", 10).empty());
    EXPECT_EQ(snapshotTree(defaultRoot()), before);
}

TEST_F(Owners, OwnersThatCannotNameAFolderGetNoPathAndNothingOutsideTheRoot) {
    auto& m = start();
    std::filesystem::create_directories(defaultRoot());
    writeAll(home / ".local/share/Kelvara/tresk.db", ""); // what ".." would reach
    for (const QString& bad : {QString(), QString("."), QString(".."), QString::fromUtf8("a\0b", 3)}) {
        EXPECT_TRUE(OwnersModel::archiveDatabasePath(root(), bad).isNull());
        EXPECT_TRUE(OwnersModel::attachmentRootPath(root(), bad).isNull());
        EXPECT_FALSE(m.owners().ownerProblem(bad).isNull());
        m.setLastError(QString());
        EXPECT_EQ(m.owners().openStore(root(), bad), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !m.lastError().isNull(); }, 5000));
    }
    EXPECT_EQ(OwnersModel::archiveDatabasePath(root(), "../x"), root() + "/.._x/tresk.db");
}

TEST_F(Owners, ResolvedOwnerUsesTheChosenNameElseTheLogin) {
    auto& m = start();
    EXPECT_EQ(m.owners().resolvedOwner().owner, "jorin");
    m.owners().setArchiveOwner("Family");
    EXPECT_EQ(m.owners().resolvedOwner().owner, "Family");
    EXPECT_EQ(m.owners().resolvedOwner().origin, ArchiveIdentity::Origin::chosen);
}

TEST_F(Owners, RenamingRefusesBlankAndCollidingNamesAndKeepsTheEarlierChoice) {
    auto& m = start();
    archive("a/b");
    m.owners().setArchiveOwner("earlier");

    m.sources().renameArchive(" \t ");
    EXPECT_EQ(m.lastError(), "An archive name cannot be blank.");
    EXPECT_EQ(m.owners().archiveOwner(), "earlier");

    // "a_b" would land in the folder of "a/b" (its store says so), mixing two histories.
    m.sources().renameArchive("a_b");
    EXPECT_EQ(m.lastError(), "The archive name \"a_b\" would share the folder \"a_b\" with the archive of \"a/b\". "
                             "Choose another name so the two histories stay apart.");
    EXPECT_EQ(m.owners().archiveOwner(), "earlier");
    m.sources().renameArchive("..");
    EXPECT_EQ(m.owners().archiveOwner(), "earlier");

    // The same archive under its own name is fine; then this Mac is connected
    // (here: there is no Messages database to connect).
    m.sources().renameArchive("  a/b ");
    EXPECT_EQ(m.owners().archiveOwner(), "a/b");
    EXPECT_TRUE(m.sources().pendingOwnerChoice().isNull());
    EXPECT_TRUE(m.lastError().startsWith("No Messages database found at "));
}

TEST_F(Owners, SettingTheRootStoresItAndRereadsItsStatus) {
    auto& m = start();
    archive("jorin");
    ASSERT_TRUE(m.report().has_value());
    const QString elsewhere = QString::fromStdString((home / "not-yet").string());
    m.setDestinationRoot(elsewhere);
    EXPECT_EQ(m.destinationRoot(), elsewhere);
    EXPECT_EQ(defaults->string(DefaultsKey::destinationRoot), elsewhere);
    EXPECT_FALSE(m.report().has_value());
    EXPECT_FALSE(std::filesystem::exists(elsewhere.toStdString())); // not created

    m.setDestinationRoot("relative/path");
    EXPECT_EQ(m.destinationRoot(), elsewhere);
    EXPECT_FALSE(m.lastError().isNull());
    m.setDestinationRoot(QString::fromStdString(defaultRoot().string()));
    EXPECT_TRUE(m.report().has_value());
}

TEST_F(Owners, HouseholdSaveIsBlockedWhileTheFileFailedToLoad) {
    writeAll(configDir() / "household.json", "[1,2");
    auto& m = start();
    const QString startupSentence = m.lastError();
    m.householdModel().saveHousehold();
    EXPECT_EQ(readAll(configDir() / "household.json"), "[1,2");
    EXPECT_EQ(m.lastError(), startupSentence);
}
