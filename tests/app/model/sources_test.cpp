#include "tests/app/model/model_test_support.h"

using namespace kx;
using kx::test::readAll;
using kx::test::writeAll;

namespace {

class Sources : public kx::test::ModelTest {
protected:
    std::filesystem::path messagesDir() const { return home / "Library/Messages"; }
    void liveMessages() { messagesFolder(messagesDir(), 30); }
};

} // namespace

TEST_F(Sources, WithoutAMessagesDatabaseNothingIsConnected) {
    auto& m = start();
    EXPECT_FALSE(m.sources().addThisMacSource());
    EXPECT_EQ(m.lastError(), "No Messages database found at " + QString::fromStdString(home.path().string()) +
                                 "/Library/Messages. If you have never used Messages on this Mac, there is nothing "
                                 "to connect.");
    EXPECT_FALSE(m.sources().hasThisMacSource());
    EXPECT_FALSE(std::filesystem::exists(configDir() / "sources.json"));
}

TEST_F(Sources, ConnectingThisMacRegistersSavesAndScans) {
    liveMessages();
    auto& m = start();
    EXPECT_TRUE(m.sources().addThisMacSource());
    EXPECT_TRUE(m.runs().isRunning());
    ASSERT_TRUE(m.sources().hasThisMacSource());
    const Source* s = m.registry().find("local-messages");
    EXPECT_EQ(s->owner, "jorin");
    EXPECT_EQ(s->path, home.path().string() + "/Library/Messages");
    EXPECT_EQ(s->format, SourceFormat::liveChatDB);
    EXPECT_EQ(s->label, "This Mac: Messages");
    EXPECT_FALSE(s->lastScanned.has_value());
    EXPECT_NE(readAll(configDir() / "sources.json").find("local-messages"), std::string::npos);

    // Pressed again while the scan runs: nothing is added, no second run.
    EXPECT_TRUE(m.sources().addThisMacSource());
    EXPECT_EQ(m.registry().sources().size(), 1u);
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report().has_value());
    EXPECT_TRUE(m.report()->succeeded());
    EXPECT_GT(m.report()->newMessages, 0);
    EXPECT_TRUE(std::filesystem::exists(defaultRoot() / "jorin/tresk.db"));
}

TEST_F(Sources, ANewNameBesideOtherArchivesNeedsConfirmingFirst) {
    liveMessages();
    writeAll(defaultRoot() / "sam/tresk.db", "");
    writeAll(defaultRoot() / "alex/tresk.db", "");
    auto& m = start();
    EXPECT_FALSE(m.sources().addThisMacSource());
    EXPECT_EQ(m.sources().pendingOwnerChoice(), "jorin");
    EXPECT_EQ(m.lastError(), "This Mac would archive as \"jorin\", but this destination already holds: alex, sam. "
                             "Choose which archive this Mac belongs to, or confirm a new one, so your history is "
                             "not split across two.");
    EXPECT_FALSE(m.sources().hasThisMacSource());
    EXPECT_FALSE(m.runs().isRunning());

    // The panel's choice is the user's own: no second question.
    m.sources().renameArchive("jorin");
    EXPECT_TRUE(m.sources().pendingOwnerChoice().isNull());
    EXPECT_TRUE(m.sources().hasThisMacSource());
    EXPECT_TRUE(m.runs().isRunning());
    ASSERT_TRUE(waitForRun());
}

TEST_F(Sources, AFailedSaveStaysSaidAndNoScanRunsOverTheUnreadList) {
    liveMessages();
    writeAll(configDir() / "sources.json", "{damaged");
    auto& m = start();
    EXPECT_TRUE(m.sources().addThisMacSource());
    EXPECT_FALSE(m.runs().isRunning());
    EXPECT_TRUE(m.lastError().startsWith("Could not save your source list (add local-messages): "));
    EXPECT_TRUE(m.lastError().endsWith(". The change may be lost when you quit."));
    ASSERT_TRUE(waitForRun());
    EXPECT_TRUE(m.lastError().startsWith("Could not save your source list"));
    EXPECT_EQ(readAll(configDir() / "sources.json"), "{damaged");
    EXPECT_FALSE(std::filesystem::exists(defaultRoot() / "STATUS.json"));
}

TEST_F(Sources, ConnectedWithoutReadAccessSaysSoAndDoesNotScan) {
    // A database that does not open stands for one the system will not let us read.
    writeAll(messagesDir() / "chat.db", "not a database, and far too short to be one, really");
    auto& m = start();
    EXPECT_TRUE(m.sources().addThisMacSource());
    EXPECT_TRUE(m.sources().hasThisMacSource());
    EXPECT_FALSE(m.runs().isRunning());
    EXPECT_EQ(m.lastError(), "Connected, but macOS is blocking access to your messages. Grant Full Disk Access, then "
                             "press Scan All.");
}

TEST_F(Sources, RemovingASourceSavesTheListAndLeavesTheArchive) {
    liveMessages();
    auto& m = start();
    ASSERT_TRUE(m.sources().addThisMacSource());
    ASSERT_TRUE(waitForRun());
    const std::string archive = kx::test::snapshotTree(defaultRoot() / "jorin");
    m.sources().removeSource("local-messages");
    EXPECT_FALSE(m.sources().hasThisMacSource());
    EXPECT_EQ(readAll(configDir() / "sources.json").find("local-messages"), std::string::npos);
    EXPECT_EQ(kx::test::snapshotTree(defaultRoot() / "jorin"), archive);
    EXPECT_TRUE(std::filesystem::exists(messagesDir() / "chat.db"));
}
