#include "app/shell/updater.h"

#include <kelvara/version.h>

#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QXmlStreamReader>

namespace {

// A feed larger than this is not an appcast; reading stops there.
constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;

bool isWebLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("https") || scheme == QLatin1String("http")) &&
           !url.host().isEmpty();
}

// Leading number of a version part, and whether text follows it.
std::pair<qulonglong, bool> splitPart(const QString& part) {
    qsizetype i = 0;
    while (i < part.size() && part.at(i).isDigit()) ++i;
    bool ok = false;
    qulonglong n = i > 0 ? part.left(i).toULongLong(&ok) : 0;
    if (!ok) n = 0;
    return {n, i < part.size()};
}

} // namespace

UpdateFeed parseUpdateFeed(const QByteArray& xml) {
    UpdateFeed feed;
    QXmlStreamReader r(xml);
    bool sawRss = false;
    bool inItem = false;
    UpdateItem current;
    QString shortVersion, version, plainVersion, enclosureShort, enclosureVersion;
    QUrl enclosureUrl;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            const QStringView name = r.name();
            if (name == QLatin1String("rss") || name == QLatin1String("feed") || name == QLatin1String("channel"))
                sawRss = true;
            if (name == QLatin1String("item")) {
                inItem = true;
                current = UpdateItem{};
                shortVersion.clear();
                version.clear();
                plainVersion.clear();
                enclosureShort.clear();
                enclosureVersion.clear();
                enclosureUrl = QUrl();
            } else if (inItem) {
                const bool sparkle = !r.namespaceUri().isEmpty() || r.prefix() == QLatin1String("sparkle");
                if (name == QLatin1String("title")) {
                    current.title = r.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
                } else if (name == QLatin1String("link")) {
                    current.link = QUrl(r.readElementText(QXmlStreamReader::SkipChildElements).trimmed());
                } else if (name == QLatin1String("shortVersionString")) {
                    shortVersion = r.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
                } else if (name == QLatin1String("version")) {
                    (sparkle ? version
                             : plainVersion) = r.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
                } else if (name == QLatin1String("enclosure")) {
                    for (const QXmlStreamAttribute& a : r.attributes()) {
                        if (a.name() == QLatin1String("url")) enclosureUrl = QUrl(a.value().toString().trimmed());
                        else if (a.name() == QLatin1String("shortVersionString"))
                            enclosureShort = a.value().toString().trimmed();
                        else if (a.name() == QLatin1String("version"))
                            enclosureVersion = a.value().toString().trimmed();
                    }
                }
            }
        } else if (r.isEndElement() && r.name() == QLatin1String("item")) {
            inItem = false;
            for (const QString* v : {&shortVersion, &enclosureShort, &version, &enclosureVersion, &plainVersion}) {
                if (!v->isEmpty()) {
                    current.version = *v;
                    break;
                }
            }
            if (current.link.isEmpty()) current.link = enclosureUrl;
            if (!current.version.isEmpty()) feed.items.push_back(current);
        }
    }
    if (r.hasError()) feed.problem = r.errorString();
    else if (!sawRss) feed.problem = QStringLiteral("it holds no RSS channel");
    if (!feed.problem.isEmpty()) feed.items.clear();
    return feed;
}

int compareVersions(const QString& a, const QString& b) {
    const QStringList pa = a.trimmed().split(u'.');
    const QStringList pb = b.trimmed().split(u'.');
    const qsizetype n = std::max(pa.size(), pb.size());
    for (qsizetype i = 0; i < n; ++i) {
        const auto [na, ta] = i < pa.size() ? splitPart(pa.at(i)) : std::pair<qulonglong, bool>{0, false};
        const auto [nb, tb] = i < pb.size() ? splitPart(pb.at(i)) : std::pair<qulonglong, bool>{0, false};
        if (na != nb) return na < nb ? -1 : 1;
        if (ta != tb) return ta ? -1 : 1; // "1.0b2" comes before "1.0"
        if (ta && tb) {
            const int c = QString::compare(pa.at(i), pb.at(i));
            if (c != 0) return c < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::optional<UpdateItem> newestUpdate(const UpdateFeed& feed, const QString& currentVersion) {
    std::optional<UpdateItem> best;
    for (const UpdateItem& item : feed.items) {
        if (compareVersions(item.version, currentVersion) <= 0) continue;
        if (!best || compareVersions(item.version, best->version) > 0) best = item;
    }
    return best;
}

void DialogUpdateUserDriver::showUpdateAvailable(const UpdateItem& item, const QString& currentVersion) {
    QMessageBox box;
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QObject::tr("Software Update"));
    box.setText(QObject::tr("A new version of Kelvara is available."));
    box.setInformativeText(QObject::tr("Kelvara %1 is available. You have %2.").arg(item.version, currentVersion));
    QPushButton* download = box.addButton(QObject::tr("Download"), QMessageBox::AcceptRole);
    box.addButton(QObject::tr("Not Now"), QMessageBox::RejectRole);
    box.setDefaultButton(download);
    box.exec();
    if (box.clickedButton() == download) QDesktopServices::openUrl(item.link);
}

void DialogUpdateUserDriver::showUpToDate(const QString& currentVersion) {
    QMessageBox box;
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QObject::tr("Software Update"));
    box.setText(QObject::tr("You're up to date!"));
    box.setInformativeText(QObject::tr("Kelvara %1 is currently the newest version available.").arg(currentVersion));
    box.exec();
}

void DialogUpdateUserDriver::showCheckFailed(const QString& sentence) {
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QObject::tr("Software Update"));
    box.setText(QObject::tr("Kelvara could not check for updates."));
    box.setInformativeText(sentence);
    box.exec();
}

Updater::Updater(const QUrl& feedUrl, const QString& currentVersion, UpdateUserDriver& driver, QObject* parent)
    : QObject(parent), feedUrl_(feedUrl), currentVersion_(currentVersion), driver_(driver) {}

Updater::~Updater() = default;

QUrl Updater::configuredFeedUrl() { return QUrl(QStringLiteral(KELVARA_UPDATE_FEED_URL)); }

bool Updater::canCheckForUpdates() const { return !checking_ && feedUrl_.isValid() && !feedUrl_.isEmpty(); }

void Updater::checkForUpdates() {
    if (!canCheckForUpdates()) return;
    checking_ = true;
    emit canCheckForUpdatesChanged(false);
    if (!network_) network_ = new QNetworkAccessManager(this);
    QNetworkRequest request(feedUrl_);
    request.setTransferTimeout(30000);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = network_->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxFeedBytes) reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void Updater::finish(QNetworkReply* reply) {
    reply->deleteLater();
    const QByteArray bytes = reply->read(kMaxFeedBytes + 1);
    const bool failed = reply->error() != QNetworkReply::NoError;
    checking_ = false;
    emit canCheckForUpdatesChanged(canCheckForUpdates());

    if (failed) {
        driver_.showCheckFailed(
            tr("The update feed could not be read (%1). Nothing was changed.").arg(reply->errorString()));
    } else if (bytes.size() > kMaxFeedBytes) {
        driver_.showCheckFailed(tr("The update feed is larger than any update feed should be, so it was not read."));
    } else {
        const UpdateFeed feed = parseUpdateFeed(bytes);
        if (!feed.problem.isEmpty()) {
            driver_.showCheckFailed(tr("The update feed could not be understood (%1).").arg(feed.problem));
        } else if (auto item = newestUpdate(feed, currentVersion_)) {
            if (isWebLink(item->link)) driver_.showUpdateAvailable(*item, currentVersion_);
            else
                driver_.showCheckFailed(tr("Kelvara %1 is available, but the update feed gives no web address for it, "
                                           "so nothing was opened.")
                                            .arg(item->version));
        } else {
            driver_.showUpToDate(currentVersion_);
        }
    }
    emit checkFinished();
}

UpdaterState::UpdaterState(Updater& updater, QObject* parent) : QObject(parent) {
    // The current value at once, then every change.
    set(updater.canCheckForUpdates());
    connect(&updater, &Updater::canCheckForUpdatesChanged, this, &UpdaterState::set);
}

void UpdaterState::set(bool canCheck) {
    if (canCheck_ == canCheck) return;
    canCheck_ = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}

CheckForUpdatesCommand::CheckForUpdatesCommand(Updater& updater, QObject* parent)
    : QObject(parent), state_(new UpdaterState(updater, this)), updater_(&updater) {
    action_ = new QAction(tr("Check for Updates…"), this);
    action_->setObjectName(QStringLiteral("checkForUpdatesAction"));
    action_->setMenuRole(QAction::ApplicationSpecificRole);
    action_->setEnabled(state_->canCheckForUpdates());
    connect(state_, &UpdaterState::canCheckForUpdatesChanged, action_, &QAction::setEnabled);
    connect(action_, &QAction::triggered, this, [this] {
        if (updater_) updater_->checkForUpdates();
    });
}
