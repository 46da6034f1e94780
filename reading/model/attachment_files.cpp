#include "reading/model/attachment_files.h"

#include "app/platform/logging.h"
#include "app/platform/workspace.h"
#include "reading/model/reading_text.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <unistd.h>

namespace reading {

QString safeAttachmentFileName(const std::optional<std::string>& fileName) {
    QString name;
    if (fileName) {
        for (const QChar c : QString::fromStdString(*fileName)) {
            if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.isNull() || c.category() == QChar::Other_Control ||
                c == QChar::LineSeparator || c == QChar::ParagraphSeparator || isDirectionControl(c))
                continue;
            name += c;
        }
    }
    // No hidden files and no "." or "..".
    while (!name.isEmpty() && (name.front() == QLatin1Char('.') || name.front().isSpace())) name.remove(0, 1);
    name = name.trimmed();
    constexpr int kMaxBytes = 200;
    if (name.toUtf8().size() > kMaxBytes) {
        const int dot = name.lastIndexOf(QLatin1Char('.'));
        QString ext = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
        QString stem = name.left(name.size() - ext.size());
        while (!stem.isEmpty() && (stem + ext).toUtf8().size() > kMaxBytes) {
            stem.chop(1);
            if (!stem.isEmpty() && stem.back().isHighSurrogate()) stem.chop(1);
        }
        name = stem + ext;
    }
    return name.isEmpty() ? QStringLiteral("Attachment") : name;
}

QString openCopiesFolder() {
    // The user's own runtime folder (Qt makes sure it belongs to this user and
    // is private; the session empties it at logout), not the shared temporary
    // folder, where another account could have made the folder first.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QStringLiteral("kelvara-open"));
}

namespace {

// Copies handed to a viewer more than a day ago are removed: the viewer has
// read them by then, and private attachments do not pile up.
void sweepOldCopies(const QString& base) {
    const QDateTime cutoff = QDateTime::currentDateTimeUtc().addDays(-1);
    for (const QFileInfo& d : QDir(base).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks))
        if (d.lastModified() < cutoff) QDir(d.absoluteFilePath()).removeRecursively();
}

} // namespace

OpenCopy makeReadOnlyCopy(const QString& objectPath, const kx::TreskStore::AttachmentRef& attachment,
                          const QString& tempBase) {
    const QString failed = QStringLiteral("The attachment could not be opened: ");
    if (!QDir().mkpath(tempBase))
        return {{}, failed + QStringLiteral("the folder ") + tempBase + QStringLiteral(" could not be made.")};
    const QFileInfo base(tempBase);
    if (base.isSymLink() || !base.isDir() || base.ownerId() != ::getuid())
        return {{}, failed + QStringLiteral("the folder ") + tempBase + QStringLiteral(" belongs to someone else.")};
    QFile::setPermissions(tempBase, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    sweepOldCopies(tempBase);
    QTemporaryDir dir(QDir(tempBase).filePath(QStringLiteral("XXXXXX")));
    if (!dir.isValid()) return {{}, failed + dir.errorString() + QLatin1Char('.')};
    dir.setAutoRemove(false); // the viewer reads it after this returns
    const QString target = QDir(dir.path()).filePath(safeAttachmentFileName(attachment.fileName));
    // The name was made safe above; this is the last word on staying inside.
    if (QFileInfo(target).absolutePath() != QFileInfo(dir.path()).absoluteFilePath())
        return {{}, failed + QStringLiteral("its name is not usable.")};
    if (!QFile::copy(objectPath, target)) {
        QDir(dir.path()).removeRecursively();
        return {{}, failed + QStringLiteral("a temporary copy could not be written.")};
    }
    QFile::setPermissions(target, QFileDevice::ReadOwner);
    return {target, {}};
}

namespace {

// A failure the screen shows as a sentence, logged as well.
QString logged(const QString& problem) {
    qCWarning(lcReading).noquote() << problem;
    return problem;
}

} // namespace

QString openAttachment(const QString& objectPath, const kx::TreskStore::AttachmentRef& attachment) {
    const auto copy = makeReadOnlyCopy(objectPath, attachment, openCopiesFolder());
    if (copy.path.isNull()) return logged(copy.problem);
    if (!workspace().open(QUrl::fromLocalFile(copy.path)))
        return logged(QStringLiteral("No application could open ") + QFileInfo(copy.path).fileName() +
                      QStringLiteral(". The archived file is unchanged."));
    return {};
}

QString revealAttachment(const QString& objectPath) {
    const QString folder = QFileInfo(objectPath).absolutePath();
    if (!workspace().open(QUrl::fromLocalFile(folder)))
        return logged(QStringLiteral("The folder ") + folder + QStringLiteral(" could not be shown."));
    return {};
}

} // namespace reading
