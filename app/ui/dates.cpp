#include "app/ui/dates.h"

#include "app/ui/counts.h"

#include <QDateTime>
#include <QLocale>

#include <chrono>
#include <cmath>
#include <cstdint>

namespace {

double secondsBetween(kx::Date a, kx::Date b) { return std::chrono::duration<double>(b - a).count(); }

QString plural(int64_t n, const char* unit) {
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? QString::fromLatin1(unit)
                                                     : pluralNoun(QString::fromLatin1(unit)));
}

} // namespace

QString relativeShort(kx::Date when, kx::Date now) {
    const double delta = secondsBetween(when, now);
    const bool future = delta < 0;
    const auto s = static_cast<int64_t>(std::floor(std::abs(delta)));
    QString body;
    if (s < 60) body = QStringLiteral("%1 sec").arg(s);
    else if (s < 3600) body = QStringLiteral("%1 min").arg(s / 60);
    else if (s < 86400) {
        body = QStringLiteral("%1 hr").arg(s / 3600);
        if (const int64_t m = (s % 3600) / 60; m > 0) body += QStringLiteral(", %1 min").arg(m);
    } else if (s < 86400LL * 365) {
        const int64_t days = s / 86400;
        body = plural(days, "day");
        if (const int64_t h = (s % 86400) / 3600; days < 7 && h > 0) body += QStringLiteral(", %1 hr").arg(h);
    } else {
        body = plural(s / (86400LL * 365), "year");
    }
    return future ? "in " + body : body + " ago";
}

QString relativeNamed(kx::Date when, kx::Date now) {
    const double delta = secondsBetween(when, now);
    const bool future = delta < 0;
    const auto s = static_cast<int64_t>(std::floor(std::abs(delta)));
    auto phrase = [future](const QString& amount) { return future ? "in " + amount : amount + " ago"; };
    if (s < 1) return QStringLiteral("now");
    if (s < 60) return phrase(plural(s, "second"));
    if (s < 3600) return phrase(plural(s / 60, "minute"));
    if (s < 86400) return phrase(plural(s / 3600, "hour"));
    const int64_t days = s / 86400;
    if (days == 1) return future ? QStringLiteral("tomorrow") : QStringLiteral("yesterday");
    if (days < 7) return phrase(plural(days, "day"));
    if (days < 14) return future ? QStringLiteral("next week") : QStringLiteral("last week");
    if (days < 30) return phrase(plural(days / 7, "week"));
    if (days < 60) return future ? QStringLiteral("next month") : QStringLiteral("last month");
    if (days < 365) return phrase(plural(days / 30, "month"));
    if (days < 730) return future ? QStringLiteral("next year") : QStringLiteral("last year");
    return phrase(plural(days / 365, "year"));
}

int relativeRefreshMs(kx::Date when, kx::Date now) {
    const double s = std::abs(secondsBetween(when, now));
    if (s < 60) return 1000;
    if (s < 86400) return 30 * 1000;
    return 10 * 60 * 1000;
}

QDate localDate(kx::Date date) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().date();
}

QString mediumDate(kx::Date date) {
    const QLocale locale;
    const QDate d = localDate(date);
    // The locale's own order of day and month, with the month abbreviated.
    const QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
    const qsizetype m = shortFormat.indexOf(QLatin1Char('M'));
    const qsizetype dd = shortFormat.indexOf(QLatin1Char('d'));
    const qsizetype y = shortFormat.indexOf(QLatin1Char('y'));
    if (y >= 0 && y < m) return locale.toString(d, QStringLiteral("yyyy MMM d"));
    if (m >= 0 && dd >= 0 && m < dd) return locale.toString(d, QStringLiteral("MMM d, yyyy"));
    return locale.toString(d, QStringLiteral("d MMM yyyy"));
}
