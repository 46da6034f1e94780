// Filter preview and saving, loading the user's contacts, and typed names.
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "core/contacts/layered_contact_resolver.h"
#include "tests/app/model/model_test_support.h"

namespace fs = std::filesystem;

namespace {

class ContactsModel : public kx::test::ModelTest {
protected:
    fs::path contactsFolder() const { return home / ".local/share/contacts"; }
};

} // namespace

TEST_F(ContactsModel, PreviewShowsWhatTheRulesSkipAndClearsWithoutAnArchive) {
    start();
    messagesFolder(home / "src/mac", 60);
    model->mutableRegistry().add(folderSource("mac", "jorin", home / "src/mac"));
    model->previewFilters("jorin");  // no archive yet: nothing, and nothing said
    EXPECT_FALSE(model->filterPreview().has_value());
    EXPECT_TRUE(model->lastError().isNull());

    kx::TreskEngine::RunOptions o;
    o.writeStatus = false;
    kx::TreskEngine(model->registry(), model->destinationRoot().toStdString(),
                    kx::IngesterRegistry(kx::makeDefaultIngesters()), nullptr, kx::FilterSet())
        .run(o);
    kx::FilterSet filters;
    kx::FilterRule rule;
    rule.id = "r1";
    rule.kind = kx::FilterRule::Kind::handle;
    rule.value = "+15550001001";
    filters.rules.push_back(rule);
    model->setFilters(filters);
    model->previewFilters("jorin");
    ASSERT_TRUE(model->filterPreview().has_value());
    const auto& impacts = model->filterPreview()->impacts;
    ASSERT_FALSE(impacts.empty());
    EXPECT_FALSE(impacts[0].decision.keep);
    EXPECT_EQ(impacts[0].id, "+15550001001");
    EXPECT_GT(impacts[0].keptCount, 0);

    model->previewFilters("");
    EXPECT_FALSE(model->filterPreview().has_value());
    EXPECT_TRUE(model->filterSuggestions().empty());

    kx::test::writeAll(defaultRoot() / "jorin/tresk.db", "damaged");
    fs::remove(defaultRoot() / "jorin/tresk.db-wal");
    fs::remove(defaultRoot() / "jorin/tresk.db-shm");
    model->previewFilters("jorin");
    EXPECT_FALSE(model->filterPreview().has_value());
    EXPECT_TRUE(model->lastError().startsWith("Could not read jorin's archive to preview filters: "))
        << model->lastError().toStdString();
}

TEST_F(ContactsModel, SavingFiltersWritesTheFileOrSaysWhy) {
    start();
    kx::FilterSet filters;
    kx::FilterRule rule;
    rule.id = "r1";
    rule.kind = kx::FilterRule::Kind::shortcodes;
    filters.rules.push_back(rule);
    model->setFilters(filters);
    model->saveFilters();
    EXPECT_EQ(kx::FilterSet::load(configDir() / "filters.json").rules, filters.rules);

    fs::remove(configDir() / "filters.json");
    fs::create_directories(configDir() / "filters.json");  // in the way
    model->saveFilters();
    EXPECT_TRUE(model->lastError().startsWith("Could not save your filters: ")) << model->lastError().toStdString();
    EXPECT_EQ(model->filters().rules, filters.rules);
}

TEST_F(ContactsModel, LoadingContactsFeedsTheResolverFromTheVCardFolder) {
    kx::test::writeAll(contactsFolder() / "book/people.vcf",
                       "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nTEL:+1 555 000 1001\r\nEND:VCARD\r\n"
                       "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:No Handles\r\nEND:VCARD\r\n");
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->contactsScanned() == 2; }, 20000));
    EXPECT_EQ(model->contactsAuthorization(), kx::ContactsAuthorization::authorized);
    EXPECT_EQ(model->contactsLoadedCount(), 1);
    EXPECT_EQ(model->resolver()->resolve("+15550001001", std::nullopt).displayName, "Ann Example");
}

TEST_F(ContactsModel, WithoutAContactsFolderNothingIsLoadedAndNothingIsSaid) {
    start();
    QTest::qWait(50);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    EXPECT_EQ(model->contactsAuthorization(), kx::ContactsAuthorization::notDetermined);
    EXPECT_EQ(model->contactsScanned(), 0);
    EXPECT_TRUE(model->lastError().isNull());
}

TEST_F(ContactsModel, AFailedNameSaveStillShowsTheNameUntilQuit) {
    start();
    kx::ContactOverrides names = model->overrides();
    names.set("+15550001001", "Grandma");
    model->setOverrides(names);
    model->saveContactOverrides();
    EXPECT_TRUE(model->lastError().isNull());
    EXPECT_EQ(kx::ContactOverrides::load((configDir() / "contacts-overrides.json").string()).name("+15550001001"),
              "Grandma");

    fs::remove(configDir() / "contacts-overrides.json");
    fs::create_directories(configDir() / "contacts-overrides.json");
    names.set("+15550001002", "Grandpa");
    model->setOverrides(names);
    model->saveContactOverrides();
    EXPECT_TRUE(model->lastError().startsWith("Could not save the name you entered: "));
    EXPECT_TRUE(model->lastError().endsWith(". It will be lost when you quit."));
    EXPECT_EQ(model->resolver()->resolve("+15550001002", std::nullopt).displayName, "Grandpa");
}
