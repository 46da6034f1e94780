#include "reading/model/reading_text.h"

#include "app/ui/counts.h"

#include <QLocale>
#include <QRegularExpression>

namespace reading {

namespace {

// The locale's long date format with full month names shortened.
QString longFormatShortMonth() {
    QString format = QLocale().dateFormat(QLocale::LongFormat);
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    return format;
}

QString withoutWeekday(QString format) {
    static const QRegularExpression weekday(QStringLiteral("d{3,4}[,.]?\\s*"));
    format.remove(weekday);
    return format.trimmed();
}

QString joinedSources(const std::vector<std::string>& ids) {
    QStringList out;
    for (const auto& id : ids) out << QString::fromStdString(id);
    return out.join(QStringLiteral(", "));
}

} // namespace

QDateTime toDateTime(kx::Date date) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms)).toLocalTime();
}

QString fromUtf8(const std::optional<std::string>& text) { return text ? QString::fromStdString(*text) : QString(); }

QString dayHeading(const QDate& day) { return QLocale().toString(day, longFormatShortMonth()); }

QString mediumDate(const QDate& day) { return QLocale().toString(day, withoutWeekday(longFormatShortMonth())); }

QString shortTime(const QDateTime& when) {
    // Hour and minute only, whatever else the locale's short format holds.
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?(\\.z+)?"));
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return QLocale().toString(when.time(), format);
}

QString abbreviatedDateTime(const QDateTime& when) {
    return mediumDate(when.date()) + QStringLiteral(", ") + shortTime(when);
}

kx::ResolvedName conversationName(const kx::ContactResolver& names, const std::string& key,
                                  const std::optional<std::string>& ownName) {
    return names.resolve(key, ownName && !ownName->empty() ? ownName : std::nullopt);
}

QString searchResultTitle(const kx::ContactResolver& names, const kx::TreskStore::SearchHit& hit) {
    const QString conversation = QString::fromStdString(
        conversationName(names, hit.conversationKey, hit.chatDisplayName).displayName);
    QString sender;
    if (hit.isFromMe) sender = QStringLiteral("You");
    else if (hit.senderHandle)
        sender = QString::fromStdString(names.resolve(*hit.senderHandle, std::nullopt).displayName);
    if (sender.isEmpty() || sender == conversation) return conversation;
    return sender + QStringLiteral(" · ") + conversation;
}

bool showsSecondText(const kx::ResolvedName& name) { return name.kind != kx::ResolvedName::handleOnly; }

QString conversationDetailLine(const kx::TreskStore::ConversationSummary& summary, const kx::ResolvedName& name) {
    QStringList parts;
    if (showsSecondText(name)) parts << QString::fromStdString(name.secondText);
    parts << inflected(QStringLiteral("^[%lld message](inflect: true)"), summary.messageCount);
    if (summary.lastDate) parts << mediumDate(toDateTime(*summary.lastDate).date());
    return parts.join(QStringLiteral(" · "));
}

QString conversationAccessibleLabel(const kx::TreskStore::ConversationSummary& summary, const kx::ResolvedName& name) {
    QStringList parts{QString::fromStdString(name.displayName)};
    if (showsSecondText(name)) parts << QString::fromStdString(name.secondText);
    parts << QString::number(summary.messageCount) + QStringLiteral(" messages");
    return parts.join(QStringLiteral(", "));
}

QString cleanedText(const std::optional<std::string>& text) {
    if (!text) return {};
    QString s = QString::fromStdString(*text);
    s.remove(QChar(0xFFFC));
    return s.trimmed();
}

QString bubbleAccessibleLabel(const kx::TreskStore::SearchHit& hit) {
    return hit.isFromMe ? QStringLiteral("You said") : QStringLiteral("They said");
}

QString bubbleAccessibleValue(const kx::TreskStore::SearchHit& hit,
                              const std::vector<kx::TreskStore::AttachmentRef>& attachments) {
    QStringList parts;
    const QString text = cleanedText(hit.text);
    if (!text.isEmpty()) parts << text;
    if (attachments.size() == 1) {
        QString one = QStringLiteral("1 attachment");
        if (attachments.front().fileName) one += QStringLiteral(": ") + fromUtf8(attachments.front().fileName);
        parts << one;
    } else if (attachments.size() > 1) {
        parts << QString::number(attachments.size()) + QStringLiteral(" attachments");
    }
    if (hit.date) parts << abbreviatedDateTime(toDateTime(*hit.date));
    if (hit.sourceIds.size() >= 2)
        parts << QStringLiteral("corroborated in ") + QString::number(hit.sourceIds.size()) +
                     QStringLiteral(" sources");
    return parts.isEmpty() ? QStringLiteral("Empty message") : parts.join(QStringLiteral(". "));
}

QString corroborationHelp(const kx::TreskStore::SearchHit& hit) {
    return QStringLiteral("Found in ") + QString::number(hit.sourceIds.size()) + QStringLiteral(" sources: ") +
           joinedSources(hit.sourceIds);
}

QString attachmentSymbol(const std::optional<std::string>& mimeType) {
    const std::string m = mimeType.value_or(std::string());
    auto startsWith = [&](const char* prefix) { return m.rfind(prefix, 0) == 0; };
    if (startsWith("video/")) return QStringLiteral("play.rectangle.fill");
    if (startsWith("image/")) return QStringLiteral("photo");
    if (startsWith("audio/")) return QStringLiteral("waveform");
    if (m == "application/pdf") return QStringLiteral("doc.richtext");
    return QStringLiteral("doc");
}

bool isImageType(const std::optional<std::string>& mimeType) { return mimeType && mimeType->rfind("image/", 0) == 0; }

AttachmentStatus attachmentStatus(const kx::TreskStore::AttachmentRef& attachment, bool archivedFilePresent) {
    if (!archivedFilePresent) {
        if (attachment.hasFile && !*attachment.hasFile)
            return {QStringLiteral("not downloaded on the original device"),
                    QStringLiteral("The source database recorded no file for this attachment. The bytes were never "
                                   "stored on that device.")};
        return {QStringLiteral("bytes not archived"),
                QStringLiteral("The source recorded a file, but its bytes are not in the archive.")};
    }
    if (attachment.totalBytes == 1) return {QStringLiteral("1 byte"), QString()};
    if (attachment.totalBytes > 1)
        return {QLocale().formattedDataSize(attachment.totalBytes, 1, QLocale::DataSizeSIFormat), QString()};
    return {};
}

QString attachmentTitle(const kx::TreskStore::AttachmentRef& attachment) {
    if (!attachment.fileName) return QStringLiteral("Attachment");
    // One line: line breaks and control characters in a stored name become spaces.
    QString name;
    for (QChar c : fromUtf8(attachment.fileName)) {
        if (isDirectionControl(c)) continue;
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
        name += c;
    }
    return name;
}

bool isDirectionControl(QChar c) {
    const char16_t u = c.unicode();
    return u == 0x200E || u == 0x200F || u == 0x061C || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

QString loadEarlierTitle(qint64 older) {
    return QStringLiteral("Load earlier messages (") + QString::number(older) + QStringLiteral(" older)");
}

} // namespace reading
