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
        model->startScan(std::nullopt, true, false);
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
    EXPECT_EQ(m.sourceOwners(), QStringList{"jorin/work"});
    EXPECT_EQ(m.existingOwners(), (QStringList{"jorin/work", "jorin_work", "sam"}));

    // An unreadable root falls back to the registry.
    m.setDestinationRoot(QString::fromStdString((home / "nowhere").string()));
    EXPECT_EQ(m.existingOwners(), QStringList{"jorin/work"});
}

TEST_F(Owners, AnOwnersArchiveOpensSearchesAndLocatesAttachments) {
    auto& m = start();
    archive("jorin/work");
    EXPECT_EQ(AppModel::archiveDatabasePath(root(), "jorin/work"), root() + "/jorin_work/tresk.db");
    EXPECT_EQ(AppModel::archiveDatabasePath(root() + "/", "jorin/work"), root() + "/jorin_work/tresk.db");
    auto store = m.openStore("jorin/work");
    ASSERT_NE(store, nullptr);

    const auto hits = m.search("birthday", "jorin/work", 5);
    ASSERT_FALSE(hits.empty());
    EXPECT_LE(hits.size(), 5u);
    EXPECT_NE(hits[0].text.value_or("").find("birthday"), std::string::npos);
    EXPECT_TRUE(m.search("birthday", "nobody", 5).empty());
    EXPECT_EQ(m.openStore("nobody"), nullptr);
    QTest::qWait(10);
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
                found = m.attachmentPath("jorin/work", ref);
            }
    ASSERT_FALSE(found.isNull());
    EXPECT_TRUE(found.startsWith(root() + "/jorin_work/attachments/"));
    EXPECT_TRUE(std::filesystem::is_regular_file(found.toStdString()));

    TreskStore::AttachmentRef none = stored;
    none.objectKey.reset();
    EXPECT_TRUE(m.attachmentPath("jorin/work", none).isNull());
    TreskStore::AttachmentRef missing = stored;
    missing.objectKey = std::string(64, 'a');
    EXPECT_TRUE(m.attachmentPath("jorin/work", missing).isNull());
    TreskStore::AttachmentRef hostile = stored;
    hostile.objectKey = "../../../../etc/passwd";
    EXPECT_TRUE(m.attachmentPath("jorin/work", hostile).isNull());
}

TEST_F(Owners, AnArchiveThatDoesNotOpenIsSaidAndLeftAlone) {
    auto& m = start();
    writeAll(defaultRoot() / "sam/tresk.db", "this is not a database at all, not even close to one");
    const std::string before = snapshotTree(defaultRoot());
    EXPECT_EQ(m.openStore("sam"), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m.lastError().isNull(); }, 5000));
    EXPECT_TRUE(m.lastError().startsWith("Could not open sam's archive: "));
    EXPECT_TRUE(m.lastError().endsWith(". The tresk file exists but is not readable."));
    EXPECT_TRUE(m.search("x", "sam", 10).empty());
    EXPECT_EQ(snapshotTree(defaultRoot()), before);
}

TEST_F(Owners, OwnersThatCannotNameAFolderGetNoPathAndNothingOutsideTheRoot) {
    auto& m = start();
    std::filesystem::create_directories(defaultRoot());
    writeAll(home / ".local/share/Kelvara/tresk.db", "");  // what ".." would reach
    for (const QString& bad : {QString(), QString("."), QString(".."), QString::fromUtf8("a\0b", 3)}) {
        EXPECT_TRUE(AppModel::archiveDatabasePath(root(), bad).isNull());
        EXPECT_TRUE(AppModel::attachmentRootPath(root(), bad).isNull());
        EXPECT_FALSE(m.ownerProblem(bad).isNull());
        m.setLastError(QString());
        EXPECT_EQ(m.openStore(bad), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !m.lastError().isNull(); }, 5000));
    }
    EXPECT_EQ(AppModel::archiveDatabasePath(root(), "../x"), root() + "/.._x/tresk.db");
}

TEST_F(Owners, ResolvedOwnerUsesTheChosenNameElseTheLogin) {
    auto& m = start();
    EXPECT_EQ(m.resolvedOwner().owner, "jorin");
    m.setArchiveOwner("Family");
    EXPECT_EQ(m.resolvedOwner().owner, "Family");
    EXPECT_EQ(m.resolvedOwner().origin, ArchiveIdentity::Origin::chosen);
}

TEST_F(Owners, RenamingRefusesBlankAndCollidingNamesAndKeepsTheEarlierChoice) {
    auto& m = start();
    archive("a/b");
    m.setArchiveOwner("earlier");

    m.renameArchive(" \t ");
    EXPECT_EQ(m.lastError(), "An archive name cannot be blank.");
    EXPECT_EQ(m.archiveOwner(), "earlier");

    // "a_b" would land in the folder of "a/b" (its store says so), mixing two histories.
    m.renameArchive("a_b");
    EXPECT_EQ(m.lastError(), "The archive name \"a_b\" would share the folder \"a_b\" with the archive of \"a/b\". "
                             "Choose another name so the two histories stay apart.");
    EXPECT_EQ(m.archiveOwner(), "earlier");
    m.renameArchive("..");
    EXPECT_EQ(m.archiveOwner(), "earlier");

    // The same archive under its own name is fine; then this Mac is connected
    // (here: there is no Messages database to connect).
    m.renameArchive("  a/b ");
    EXPECT_EQ(m.archiveOwner(), "a/b");
    EXPECT_TRUE(m.pendingOwnerChoice().isNull());
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
    m.saveHousehold();
    EXPECT_EQ(readAll(configDir() / "household.json"), "[1,2");
    EXPECT_EQ(m.lastError(), startupSentence);
}
