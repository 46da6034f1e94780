// Filter preview and saving.
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "tests/app/model/model_test_support.h"

namespace fs = std::filesystem;

namespace {

class FiltersModelTest : public kx::test::ModelTest {
protected:
    ::FiltersModel& rules() const { return model->filtersModel(); }
};

} // namespace

TEST_F(FiltersModelTest, PreviewShowsWhatTheRulesSkipAndClearsWithoutAnArchive) {
    start();
    messagesFolder(home / "src/mac", 60);
    model->mutableRegistry().add(folderSource("mac", "jorin", home / "src/mac"));
    rules().previewFilters("jorin"); // no archive yet: nothing, and nothing said
    EXPECT_FALSE(rules().filterPreview().has_value());
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
    rules().setFilters(filters);
    rules().previewFilters("jorin");
    ASSERT_TRUE(rules().filterPreview().has_value());
    const auto& impacts = rules().filterPreview()->impacts;
    ASSERT_FALSE(impacts.empty());
    EXPECT_FALSE(impacts[0].decision.keep);
    EXPECT_EQ(impacts[0].id, "+15550001001");
    EXPECT_GT(impacts[0].keptCount, 0);

    rules().previewFilters("");
    EXPECT_FALSE(rules().filterPreview().has_value());
    EXPECT_TRUE(rules().filterSuggestions().empty());

    kx::test::writeAll(defaultRoot() / "jorin/tresk.db", "damaged");
    fs::remove(defaultRoot() / "jorin/tresk.db-wal");
    fs::remove(defaultRoot() / "jorin/tresk.db-shm");
    rules().previewFilters("jorin");
    EXPECT_FALSE(rules().filterPreview().has_value());
    EXPECT_TRUE(model->lastError().startsWith("Could not read jorin's archive to preview filters: "))
        << model->lastError().toStdString();
}

TEST_F(FiltersModelTest, SavingFiltersWritesTheFileOrSaysWhy) {
    start();
    kx::FilterSet filters;
    kx::FilterRule rule;
    rule.id = "r1";
    rule.kind = kx::FilterRule::Kind::shortcodes;
    filters.rules.push_back(rule);
    rules().setFilters(filters);
    rules().saveFilters();
    EXPECT_EQ(kx::FilterSet::load(configDir() / "filters.json").rules, filters.rules);

    fs::remove(configDir() / "filters.json");
    fs::create_directories(configDir() / "filters.json"); // in the way
    rules().saveFilters();
    EXPECT_TRUE(model->lastError().startsWith("Could not save your filters: ")) << model->lastError().toStdString();
    EXPECT_EQ(rules().filters().rules, filters.rules);
}
