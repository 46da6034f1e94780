#include "app/ui/counts.h"

#include <QHash>
#include <QSet>

namespace {

const QString kOpen = QStringLiteral("^[");
const QString kClose = QStringLiteral("](inflect: true)");

bool isVowel(QChar c) { return QStringLiteral("aeiou").contains(c.toLower()); }

// Puts the last word of a phrase in the plural.
QString pluralPhrase(const QString& phrase) {
    qsizetype end = phrase.size();
    while (end > 0 && !phrase.at(end - 1).isLetter()) --end;
    qsizetype start = end;
    while (start > 0 && phrase.at(start - 1).isLetter()) --start;
    // Nothing to inflect, or only the "%lld" placeholder itself.
    if (start == end || (start > 0 && phrase.at(start - 1) == u'%')) return phrase;
    return phrase.left(start) + pluralNoun(phrase.mid(start, end - start)) + phrase.mid(end);
}

} // namespace

QString pluralNoun(const QString& noun) {
    if (noun.isEmpty()) return noun;
    // Words that have no plural form (adjectives, participles) or an irregular one.
    static const QSet<QString> invariant = {
        QStringLiteral("new"),    QStringLiteral("kept"),    QStringLiteral("more"),  QStringLiteral("archived"),
        QStringLiteral("unique"), QStringLiteral("missing"), QStringLiteral("sheep"), QStringLiteral("series"),
    };
    static const QHash<QString, QString> irregular = {
        {QStringLiteral("person"), QStringLiteral("people")},
        {QStringLiteral("child"), QStringLiteral("children")},
        {QStringLiteral("this"), QStringLiteral("these")},
    };
    const QString lower = noun.toLower();
    if (invariant.contains(lower)) return noun;
    if (auto it = irregular.find(lower); it != irregular.end()) {
        QString p = *it;
        if (noun.at(0).isUpper()) p[0] = p.at(0).toUpper();
        return p;
    }
    const bool upper = noun.size() > 1 && noun == noun.toUpper() && noun.at(0).isLetter();
    auto suffix = [&](const QString& s) { return upper ? s.toUpper() : s; };
    if (lower.endsWith(u's') || lower.endsWith(u'x') || lower.endsWith(u'z') || lower.endsWith(QStringLiteral("ch")) ||
        lower.endsWith(QStringLiteral("sh")))
        return noun + suffix(QStringLiteral("es"));
    if (lower.size() >= 2 && lower.endsWith(u'y') && !isVowel(lower.at(lower.size() - 2)))
        return noun.left(noun.size() - 1) + suffix(QStringLiteral("ies"));
    return noun + suffix(QStringLiteral("s"));
}

QString inflected(const QString& text, qint64 count) {
    const QString number = QString::number(count);
    QString out;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype open = text.indexOf(kOpen, pos);
        if (open < 0) {
            out += text.mid(pos);
            break;
        }
        const qsizetype close = text.indexOf(kClose, open + kOpen.size());
        if (close < 0) {
            out += text.mid(pos);
            break;
        }
        out += text.mid(pos, open - pos);
        QString phrase = text.mid(open + kOpen.size(), close - open - kOpen.size());
        if (count != 1) phrase = pluralPhrase(phrase);
        out += phrase;
        pos = close + kClose.size();
    }
    out.replace(QStringLiteral("%lld"), number);
    return out;
}
