// The software-update stand-in: feed parsing, version order, and a check
// against a feed on the local file system.
#include "app/shell/updater.h"
#include "app/ui/app_version.h"
#include "tests/support/test_env.h"

#include <kelvara/version.h>

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct RecordingDriver final : UpdateUserDriver {
    std::vector<UpdateItem> available;
    int upToDate = 0;
    QStringList failures;
    void showUpdateAvailable(const UpdateItem& item, const QString&) override { available.push_back(item); }
    void showUpToDate(const QString&) override { ++upToDate; }
    void showCheckFailed(const QString& sentence) override { failures << sentence; }
};

QByteArray appcast(const QString& items) {
    return (QStringLiteral("<?xml version=\"1.0\"?>\n<rss version=\"2.0\" "
                           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                           "<channel><title>Kelvara</title>") +
            items + QStringLiteral("</channel></rss>"))
        .toUtf8();
}

QUrl writeFeed(const kx::test::TempDir& dir, const QByteArray& bytes) {
    const auto path = dir / "appcast.xml";
    kx::test::writeAll(path, bytes.toStdString());
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

// Runs one check and waits until the driver was told.
void runCheck(Updater& updater) {
    QSignalSpy done(&updater, &Updater::checkFinished);
    updater.checkForUpdates();
    ASSERT_TRUE(done.wait(10000));
}

} // namespace

TEST(UpdateFeedParsing, ReadsVersionsAndLinksFromElementsAndEnclosures) {
    const UpdateFeed feed = parseUpdateFeed(appcast(QStringLiteral(
        "<item><title>One</title><sparkle:shortVersionString>0.2.0</sparkle:shortVersionString>"
        "<sparkle:version>20</sparkle:version><link>https://example.com/0.2.0</link></item>"
        "<item><title>Two</title><enclosure url=\"https://example.com/k-0.3.tar.gz\" sparkle:version=\"30\" "
        "sparkle:shortVersionString=\"0.3\" length=\"1\" type=\"application/octet-stream\"/></item>"
        "<item><title>Only a build number</title><sparkle:version>7</sparkle:version></item>"
        "<item><title>No version at all</title><link>https://example.com/x</link></item>")));
    ASSERT_TRUE(feed.problem.isEmpty()) << feed.problem.toStdString();
    ASSERT_EQ(feed.items.size(), 3u);
    EXPECT_EQ(feed.items[0].version, QStringLiteral("0.2.0"));
    EXPECT_EQ(feed.items[0].link, QUrl(QStringLiteral("https://example.com/0.2.0")));
    EXPECT_EQ(feed.items[1].version, QStringLiteral("0.3"));
    EXPECT_EQ(feed.items[1].link, QUrl(QStringLiteral("https://example.com/k-0.3.tar.gz")));
    EXPECT_EQ(feed.items[2].version, QStringLiteral("7"));
}

TEST(UpdateFeedParsing, DamagedOrForeignDocumentsGiveAProblem) {
    EXPECT_FALSE(parseUpdateFeed(QByteArray()).problem.isEmpty());
    EXPECT_FALSE(parseUpdateFeed("<rss><channel><item><title>x</item>").problem.isEmpty());
    EXPECT_FALSE(parseUpdateFeed("<html><body>Not found</body></html>").problem.isEmpty());
    EXPECT_TRUE(parseUpdateFeed("<html><body>Not found</body></html>").items.empty());
}

TEST(UpdateVersions, CompareNumberByNumber) {
    EXPECT_EQ(compareVersions(QStringLiteral("0.10"), QStringLiteral("0.9")), 1);
    EXPECT_EQ(compareVersions(QStringLiteral("1.0"), QStringLiteral("1")), 0);
    EXPECT_EQ(compareVersions(QStringLiteral("1.0.1"), QStringLiteral("1.0")), 1);
    EXPECT_EQ(compareVersions(QStringLiteral("1.0b2"), QStringLiteral("1.0")), -1);
    EXPECT_EQ(compareVersions(QStringLiteral("2.0"), QStringLiteral("10.0")), -1);
    UpdateFeed feed;
    feed.items = {{QString(), QStringLiteral("0.1.0"), {}},
                  {QString(), QStringLiteral("0.3"), {}},
                  {QString(), QStringLiteral("0.2.5"), {}}};
    ASSERT_TRUE(newestUpdate(feed, QStringLiteral("0.1.0")).has_value());
    EXPECT_EQ(newestUpdate(feed, QStringLiteral("0.1.0"))->version, QStringLiteral("0.3"));
    EXPECT_FALSE(newestUpdate(feed, QStringLiteral("0.3")).has_value());
}

TEST(Updater, WithoutAFeedTheCommandStaysDisabled) {
    RecordingDriver driver;
    Updater updater(QUrl(), QStringLiteral("0.1.0"), driver);
    CheckForUpdatesCommand command(updater);
    EXPECT_EQ(command.action()->text(), QStringLiteral("Check for Updates…"));
    EXPECT_FALSE(command.action()->isEnabled());
    EXPECT_FALSE(command.state().canCheckForUpdates());
    command.action()->trigger();
    EXPECT_EQ(driver.upToDate + driver.failures.size() + static_cast<int>(driver.available.size()), 0);
    // The build's own setting is empty unless a feed was configured.
    EXPECT_EQ(Updater::configuredFeedUrl().isEmpty(), QByteArray(KELVARA_UPDATE_FEED_URL).isEmpty());
}

TEST(Updater, ANewerVersionInALocalFeedIsOfferedAndTheCommandIsDisabledWhileChecking) {
    kx::test::TempDir dir;
    const QUrl url = writeFeed(dir, appcast(QStringLiteral(
                                        "<item><sparkle:shortVersionString>0.1.0</"
                                        "sparkle:shortVersionString><link>https://example.com/old</link></item>"
                                        "<item><sparkle:shortVersionString>0.4.2</"
                                        "sparkle:shortVersionString><link>https://example.com/new</link></item>")));
    RecordingDriver driver;
    Updater updater(url, QStringLiteral("0.1.0"), driver);
    CheckForUpdatesCommand command(updater);
    ASSERT_TRUE(command.action()->isEnabled());
    QSignalSpy done(&updater, &Updater::checkFinished);
    command.action()->trigger();
    EXPECT_FALSE(command.action()->isEnabled()) << "disabled while the check runs";
    ASSERT_TRUE(done.wait(10000));
    EXPECT_TRUE(command.action()->isEnabled());
    ASSERT_EQ(driver.available.size(), 1u);
    EXPECT_EQ(driver.available[0].version, QStringLiteral("0.4.2"));
    EXPECT_EQ(driver.available[0].link, QUrl(QStringLiteral("https://example.com/new")));
}

TEST(Updater, UpToDateMissingFeedAndUnsafeLinks) {
    kx::test::TempDir dir;
    RecordingDriver driver;
    {
        Updater updater(writeFeed(dir,
                                  appcast(QStringLiteral(
                                      "<item><sparkle:shortVersionString>0.1.0</sparkle:shortVersionString></item>"))),
                        QStringLiteral("0.1.0"), driver);
        runCheck(updater);
        EXPECT_EQ(driver.upToDate, 1);
    }
    {
        Updater updater(QUrl::fromLocalFile(QString::fromStdString((dir / "missing.xml").string())),
                        QStringLiteral("0.1.0"), driver);
        runCheck(updater);
        ASSERT_EQ(driver.failures.size(), 1);
        EXPECT_TRUE(driver.failures[0].startsWith(QStringLiteral("The update feed could not be read")));
        EXPECT_TRUE(updater.canCheckForUpdates()) << "a failed check can be tried again";
    }
    {
        // A feed that points the "Download" button at a local program is not followed.
        Updater updater(writeFeed(dir, appcast(QStringLiteral(
                                           "<item><sparkle:shortVersionString>9.0</sparkle:shortVersionString>"
                                           "<link>file:///usr/bin/xterm</link></item>"))),
                        QStringLiteral("0.1.0"), driver);
        runCheck(updater);
        EXPECT_TRUE(driver.available.empty());
        ASSERT_EQ(driver.failures.size(), 2);
        EXPECT_TRUE(driver.failures[1].contains(QStringLiteral("9.0")));
    }
    {
        Updater updater(writeFeed(dir, "this is not xml"), QStringLiteral("0.1.0"), driver);
        runCheck(updater);
        EXPECT_EQ(driver.failures.size(), 3);
    }
}

TEST(AppVersion, MissingPartsReadAsQuestionMarks) {
    EXPECT_EQ(composeVersionString(QStringLiteral("0.1.0"), QStringLiteral("7")), QStringLiteral("0.1.0 (7)"));
    EXPECT_EQ(composeVersionString(QStringLiteral("0.1.0"), std::nullopt), QStringLiteral("0.1.0 (?)"));
    EXPECT_EQ(composeVersionString(QString(), QStringLiteral("7")), QStringLiteral("? (7)"));
    EXPECT_EQ(appVersionString(), QStringLiteral(KELVARA_VERSION_STRING " (" KELVARA_BUILD_STRING ")"));
}
