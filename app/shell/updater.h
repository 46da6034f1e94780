#pragma once
// Software updates.
//
// The application checks an update feed: an RSS 2.0 "appcast" whose items each
// describe one released version, e.g.
//
//   <rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
//     <channel>
//       <item>
//         <title>Kelvara 0.2.0</title>
//         <sparkle:shortVersionString>0.2.0</sparkle:shortVersionString>
//         <link>https://example.com/kelvara-0.2.0</link>
//         <enclosure url="https://example.com/kelvara-0.2.0.tar.gz"
//                    sparkle:version="12" sparkle:shortVersionString="0.2.0"/>
//       </item>
//     </channel>
//   </rss>
//
// An item's version is its sparkle:shortVersionString (element, or attribute of
// its enclosure), else its sparkle:version, else its plain <version> element;
// it is compared with the application's version (KELVARA_VERSION_STRING) as
// dot-separated numbers. Its link is its <link>, else its enclosure's url. Only
// http and https links are ever opened. The feed's address is fixed at build
// time (CMake cache KELVARA_UPDATE_FEED_URL); with none, "Check for Updates…"
// stays disabled. The updater itself never downloads or installs anything: it
// tells the user whether a newer version exists and opens its page.
#include <QAction>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

struct UpdateItem {
    QString title;
    QString version; // the version compared and shown ("0.2.0")
    QUrl link;       // the page or download that "Download" opens
};

struct UpdateFeed {
    std::vector<UpdateItem> items;
    QString problem; // set when the feed could not be read as an appcast
};

// Reads an appcast. Items without a version are skipped; an empty or
// malformed document gives a problem text.
UpdateFeed parseUpdateFeed(const QByteArray& xml);

// Compares dot-separated versions number by number ("0.10" > "0.9"; "1.0" ==
// "1"). A part that is not a number compares by its leading digits, and text
// after them ("1.0b2") makes it older than the same number alone.
int compareVersions(const QString& a, const QString& b);

// The newest item strictly newer than the given version, if any.
std::optional<UpdateItem> newestUpdate(const UpdateFeed& feed, const QString& currentVersion);

// How the result of a check reaches the user. The application shows dialogs;
// tests record the calls.
class UpdateUserDriver {
public:
    virtual ~UpdateUserDriver() = default;
    virtual void showUpdateAvailable(const UpdateItem& item, const QString& currentVersion) = 0;
    virtual void showUpToDate(const QString& currentVersion) = 0;
    virtual void showCheckFailed(const QString& sentence) = 0;
};

// Message boxes; "Download" opens the item's link in the browser.
class DialogUpdateUserDriver final : public UpdateUserDriver {
public:
    void showUpdateAvailable(const UpdateItem& item, const QString& currentVersion) override;
    void showUpToDate(const QString& currentVersion) override;
    void showCheckFailed(const QString& sentence) override;
};

// Checks the feed when asked. canCheckForUpdates is false without a feed and
// while a check runs.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    // feedUrl may be empty. The driver must outlive the updater.
    Updater(const QUrl& feedUrl, const QString& currentVersion, UpdateUserDriver& driver, QObject* parent = nullptr);
    ~Updater() override;

    // The feed fixed at build time (empty when none).
    static QUrl configuredFeedUrl();

    bool canCheckForUpdates() const;
    QUrl feedUrl() const { return feedUrl_; }

public slots:
    // Starts a check; does nothing when canCheckForUpdates is false.
    void checkForUpdates();

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    // After the user was told the result of a check.
    void checkFinished();

private:
    void finish(QNetworkReply* reply);

    QUrl feedUrl_;
    QString currentVersion_;
    UpdateUserDriver& driver_;
    QNetworkAccessManager* network_ = nullptr;
    bool checking_ = false;
};

// The menu item's view of the updater: mirrors canCheckForUpdates, receiving
// the current value at once and every change after it.
class UpdaterState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)
public:
    explicit UpdaterState(Updater& updater, QObject* parent = nullptr);
    bool canCheckForUpdates() const { return canCheck_; }

signals:
    void canCheckForUpdatesChanged(bool canCheck);

private:
    void set(bool canCheck);
    bool canCheck_ = false;
};

// "Check for Updates…": an action enabled while the updater can check, which
// starts a check when triggered.
class CheckForUpdatesCommand : public QObject {
    Q_OBJECT
public:
    explicit CheckForUpdatesCommand(Updater& updater, QObject* parent = nullptr);
    QAction* action() const { return action_; }
    UpdaterState& state() const { return *state_; }

private:
    UpdaterState* state_;
    QPointer<Updater> updater_;
    QAction* action_;
};
