// The model's safety analysis, duplicate findings and dry-run script over
// generated sources archived by the real engine.
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "tests/app/model/model_test_support.h"

#include <QSignalSpy>

namespace fs = std::filesystem;
namespace fx = kx::fixtures;
using Verdict = kx::SourceDeletionReport::Verdict;

namespace {

class AnalysisModelTest : public kx::test::ModelTest {
protected:
    ::AnalysisModel& analysis() const { return model->analysis(); }
    // original (60 messages), an exact copy, its first 30 ("part"), all for
    // "jorin"; and a source of its own for "sam".
    void makeSources() {
        fx::Options o;
        o.messages = 60;
        fx::writeMessagesFolder(home / "src/original", o);
        fs::copy(home / "src/original", home / "src/copy", fs::copy_options::recursive);
        o.messages = 30;
        fx::writeMessagesFolder(home / "src/part", o);
        fx::writeMessagesFolder(home / "src/sam", o);
        auto& reg = model->mutableRegistry();
        reg.add(folderSource("original", "jorin", home / "src/original"));
        reg.add(folderSource("copy", "jorin", home / "src/copy"));
        reg.add(folderSource("part", "jorin", home / "src/part"));
        reg.add(folderSource("sam", "sam", home / "src/sam"));
    }
    void archive() {
        kx::TreskEngine::RunOptions o;
        o.writeStatus = false;
        kx::TreskEngine(model->registry(), model->destinationRoot().toStdString(),
                        kx::IngesterRegistry(kx::makeDefaultIngesters()), nullptr, kx::FilterSet())
            .run(o);
    }
    void settle() { ASSERT_TRUE(kx::test::drainModelTasks(*model)); }
    bool analyzed() {
        return QTest::qWaitFor([&] { return !analysis().isAnalyzing(); }, 60000);
    }
};

} // namespace

TEST_F(AnalysisModelTest, CheckSafetyAndDuplicatesGiveTheRightVerdictsAndFindings) {
    start();
    makeSources();
    archive();
    fx::appendMessages(home / "src/sam/chat.db", 30, 1); // "sam" now holds one message its archive lacks

    QSignalSpy deletionSpy(&model->analysis(), &AnalysisModel::deletionChanged);
    analysis().checkSafety();
    analysis().checkSafety(); // a second press while it runs does nothing
    EXPECT_TRUE(analysis().isAnalyzing());
    ASSERT_TRUE(analyzed());
    EXPECT_EQ(deletionSpy.count(), 1);

    ASSERT_EQ(analysis().coverage().size(), 2u);
    EXPECT_EQ(analysis().coverage()[0].owner, "jorin");
    EXPECT_TRUE(analysis().coverage()[0].firstDate.has_value());
    EXPECT_EQ(analysis().coverage()[1].owner, "sam");
    ASSERT_TRUE(analysis().deletion().has_value());
    for (const char* id : {"original", "copy", "part", "sam"})
        ASSERT_TRUE(analysis().deletionReport(id).has_value()) << id;
    EXPECT_EQ(analysis().deletionReport("original")->verdict, Verdict::verifiedRedundant);
    EXPECT_EQ(analysis().deletionReport("copy")->verdict, Verdict::verifiedRedundant);
    EXPECT_EQ(analysis().deletionReport("part")->verdict, Verdict::verifiedRedundant);
    EXPECT_EQ(analysis().deletionReport("sam")->verdict, Verdict::doNotDelete);
    EXPECT_EQ(analysis().deletionReport("sam")->uniqueMessages, 31); // no other source of sam's holds any
    EXPECT_EQ(analysis().deletionReport("sam")->messagesInArchive, 30);
    EXPECT_FALSE(analysis().deletionReport("nobody").has_value());

    analysis().findDuplicates();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !analysis().duplicateFindings().empty(); }, 60000));
    for (const char* id : {"original", "copy", "part"}) ASSERT_TRUE(analysis().duplicateFindings(id).has_value()) << id;
    EXPECT_EQ(analysis().duplicateFindings("copy")->kind, "identical");
    EXPECT_EQ(analysis().duplicateFindings("copy")->otherSourceId, "original");
    EXPECT_EQ(analysis().duplicateFindings("original")->otherSourceId, "copy");
    EXPECT_EQ(analysis().duplicateFindings("part")->kind, "redundant"); // its archived 30 are in both others
    EXPECT_FALSE(analysis().duplicateFindings("sam").has_value());
    EXPECT_EQ(analysis().identicalGroups(), (AnalysisModel::IdenticalGroups{{"copy", "original"}}));
}

TEST_F(AnalysisModelTest, ResultsAreClearedWhenSourcesTheRootOrTheArchiveChange) {
    start();
    makeSources();
    archive();
    auto analyzeAll = [&] {
        analysis().checkSafety();
        analysis().findDuplicates();
        ASSERT_TRUE(analyzed());
        settle();
        ASSERT_TRUE(analysis().deletion().has_value());
        ASSERT_FALSE(analysis().duplicateFindings().empty());
    };
    auto cleared = [&] {
        return analysis().coverage().empty() && !analysis().deletion() && analysis().duplicateFindings().empty() &&
               analysis().identicalGroups().empty();
    };

    analyzeAll();
    model->sources().removeSource("part");
    EXPECT_TRUE(cleared());

    analyzeAll();
    model->setDestinationRoot(QString::fromStdString((home / "elsewhere").string()));
    EXPECT_TRUE(cleared());
    model->setDestinationRoot(QString::fromStdString(defaultRoot().string()));

    analyzeAll();
    model->runs().startScan(ScanRequest{}); // a run: the archive is about to change
    EXPECT_TRUE(cleared());
    ASSERT_TRUE(waitForRun());
    EXPECT_TRUE(cleared());

    // The daily run, outside the application, left a new report.
    analyzeAll();
    kx::CoverageReport daily;
    daily.runDate = kx::fromUnixSeconds(1.8e9);
    kx::test::writeAll(defaultRoot() / "STATUS.json", daily.toJson());
    model->refreshReport();
    EXPECT_TRUE(cleared());

    // An analysis running when its inputs change publishes nothing.
    analysis().checkSafety();
    analysis().findDuplicates();
    model->sources().removeSource("copy");
    ASSERT_TRUE(analyzed());
    settle();
    EXPECT_TRUE(cleared());
    EXPECT_FALSE(analysis().isAnalyzing());
}

TEST_F(AnalysisModelTest, TheDryRunScriptIsWrittenUnderExactlyTheChosenNameAndNeverExecutable) {
    start();
    const QString path = QString::fromStdString((home / "out/my script").string());
    analysis().exportDeletionDryRunScript(path);
    EXPECT_EQ(model->lastError(),
              QStringLiteral("Run Check Safety first \u2014 there is no deletion report to export yet."));

    makeSources();
    archive();
    analysis().checkSafety();
    ASSERT_TRUE(analyzed());
    model->setLastError(QString());
    analysis().exportDeletionDryRunScript(path); // the folder does not exist and is not created
    EXPECT_TRUE(model->lastError().startsWith("Could not write the dry-run script: "))
        << model->lastError().toStdString();
    EXPECT_FALSE(fs::exists(home / "out"));

    fs::create_directories(home / "out");
    model->setLastError(QString());
    analysis().exportDeletionDryRunScript(path);
    EXPECT_TRUE(model->lastError().isNull());
    ASSERT_TRUE(fs::is_regular_file(home / "out/my script"));
    EXPECT_EQ(fs::status(home / "out/my script").permissions() &
                  (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec),
              fs::perms::none);
    const std::string text = kx::test::readAll(home / "out/my script");
    EXPECT_NE(text.find("set -eu"), std::string::npos);
    EXPECT_NE(text.find("src/copy"), std::string::npos);
}

TEST_F(AnalysisModelTest, ASourceIdFoundInTwoOwnersArchivesGivesOneFindingTheSameEveryTime) {
    start();
    fx::Options o;
    o.messages = 40;
    fx::writeMessagesFolder(home / "src/a", o);
    fs::copy(home / "src/a", home / "src/a-copy", fs::copy_options::recursive);
    o.messages = 20;
    fx::writeMessagesFolder(home / "src/b", o);
    o.messages = 50;
    fx::writeMessagesFolder(home / "src/big", o);
    const std::string root = defaultRoot().string();
    auto run = [&](const kx::SourceRegistry& registry) {
        kx::TreskEngine::RunOptions opts;
        opts.writeStatus = false;
        kx::TreskEngine(registry, root, kx::IngesterRegistry(kx::makeDefaultIngesters()), nullptr, kx::FilterSet())
            .run(opts);
    };
    // "mac" was archived for "ann", then moved to "bob" and archived there too.
    kx::SourceRegistry first;
    first.add(folderSource("mac", "ann", home / "src/a"));
    first.add(folderSource("copy", "ann", home / "src/a-copy"));
    run(first);
    kx::SourceRegistry second;
    second.add(folderSource("mac", "bob", home / "src/b"));
    second.add(folderSource("big", "bob", home / "src/big"));
    run(second);

    const auto once = AnalysisModel::analyzeDuplicates({"ann", "bob"}, QString::fromStdString(root));
    ASSERT_EQ(once.first.count("mac"), 1u);
    EXPECT_EQ(once.first.at("mac").kind, "identical");
    EXPECT_EQ(once.first.at("mac").otherSourceId, "copy");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(AnalysisModel::analyzeDuplicates({"ann", "bob"}, QString::fromStdString(root)), once);
    // Owners whose archive is missing or damaged are left out without a word.
    kx::test::writeAll(defaultRoot() / "carl/tresk.db", "junk");
    EXPECT_EQ(AnalysisModel::analyzeDuplicates({"ann", "bob", "carl", "dora"}, QString::fromStdString(root)), once);
}
