#include "reading/model/evidence_text.h"

#include "app/ui/counts.h"
#include "reading/model/reading_text.h"

namespace reading {

namespace {

constexpr qsizetype kMaxNameBytes = 200;

bool isDropped(char32_t c) {
    // C0 and C1 controls, DEL, and the line and paragraph separators.
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

} // namespace

QString suggestedExportFileName(const QString& conversationName, kx::ExportFormat format) {
    QString name;
    for (char32_t c : conversationName.toUcs4()) {
        if (isDropped(c)) continue;
        if (c == U'/' || c == U':') c = U'-';
        name += QString::fromUcs4(&c, 1);
    }
    name = name.trimmed();
    for (qsizetype i = 0; i < name.size() && name[i] == QLatin1Char('.'); ++i) name[i] = QLatin1Char('-');
    // Cut whole characters until the UTF-8 form fits.
    QList<uint> chars = name.toUcs4();
    qsizetype bytes = name.toUtf8().size();
    while (bytes > kMaxNameBytes && !chars.isEmpty()) {
        const uint c = chars.takeLast();
        bytes -= c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    name = QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData()), chars.size()).trimmed();
    if (name.isEmpty()) name = QStringLiteral("Conversation");
    return name + QLatin1Char('.') + QString::fromStdString(kx::exportFormatExtension(format));
}

QString exportFormatDescription(kx::ExportFormat format) {
    if (format == kx::ExportFormat::pdf)
        return QStringLiteral("One thread: sender, handle, time, text and attachment names, with page numbers.");
    return QStringLiteral("Every message with guid, UTC and local time, sender name and raw handle, text, attachment "
                          "names and hashes, and the sources that corroborate it.");
}

QString deferredAnchorText(const std::optional<std::string>& anchorProblem) {
    const QString why = anchorProblem ? QString::fromStdString(*anchorProblem)
                                      : QStringLiteral("The seal server could not be reached.");
    return why + QStringLiteral(" The seal is complete on disk; the anchor will be retried at the next launch.");
}

QString manifestDate(kx::Date generatedAt) { return abbreviatedDateTime(toDateTime(generatedAt)); }

QString shortHead(const std::string& chainHead) {
    return QString::fromStdString(chainHead).left(16) + QStringLiteral("…");
}

QString replaceManifestQuestion(kx::Date generatedAt) {
    return QStringLiteral("Replace the manifest sealed on ") + manifestDate(generatedAt) +
           QStringLiteral("? The old one is kept beside it.");
}

QString waitingSealsText(int count) {
    return inflected(QStringLiteral("^[%lld seal](inflect: true) waiting to be anchored"), count);
}

ManifestStateText manifestStateText(const OwnerManifestState& state) {
    using Kind = OwnerManifestState::Kind;
    ManifestStateText t;
    switch (state.kind) {
    case Kind::present:
        t.label = QStringLiteral("Sealed ") + manifestDate(state.generatedAt);
        t.symbol = QStringLiteral("seal");
        t.detail = inflected(QStringLiteral("^[%lld message](inflect: true) covered. Not verified since."),
                             state.messageCount);
        break;
    case Kind::unreadable:
        t.label = QStringLiteral("The manifest could not be read");
        t.symbol = QStringLiteral("exclamationmark.triangle.fill");
        t.tone = Tone::red;
        t.detail = QString::fromStdString(state.reason);
        break;
    case Kind::unknown:
        t.label = QStringLiteral("Not checked");
        t.symbol = QStringLiteral("questionmark.circle");
        break;
    case Kind::notGenerated:
        t.label = QStringLiteral("No manifest yet");
        t.symbol = QStringLiteral("seal");
        t.detail = QStringLiteral("A manifest is a hash chain over every archived message. Once generated, any later "
                                  "edit, deletion or insertion is detectable.");
        break;
    case Kind::verified: {
        const auto& r = state.result;
        switch (r.status) {
        case 0:
            t.label = inflected(QStringLiteral("Intact — all ^[%lld message](inflect: true) unchanged"),
                                r.unchangedCount);
            t.symbol = QStringLiteral("checkmark.seal.fill");
            t.tone = Tone::green;
            t.detail = QStringLiteral("Sealed ") + manifestDate(state.generatedAt) + QStringLiteral(".");
            break;
        case 1:
            t.label = QStringLiteral("BROKEN — the archive has changed since it was sealed");
            t.symbol = QStringLiteral("xmark.seal.fill");
            t.tone = Tone::red;
            if (r.note) t.detail = QString::fromStdString(*r.note);
            if (const auto& d = r.firstDifference) {
                t.differenceLine = QStringLiteral("First difference at position ") + QString::number(d->position);
                if (!d->guid.empty())
                    t.differenceLine += QStringLiteral(", ") + QString::fromStdString(d->subject) +
                                        QStringLiteral(" ") + QString::fromStdString(d->guid);
                t.hashesLine = QStringLiteral("expected ") + QString::fromStdString(d->expectedHash) +
                               QStringLiteral(" · found ") + QString::fromStdString(d->foundHash);
            }
            break;
        case 2:
            t.label = QStringLiteral("Intact — every sealed message unchanged");
            t.symbol = QStringLiteral("checkmark.seal.fill");
            t.tone = Tone::green;
            t.detail = QString::number(r.archiveCount - r.manifestCount) +
                       QStringLiteral(" message(s) archived since the seal. That is normal growth, not a change to "
                                      "what was sealed.");
            break;
        case 3:
            // Only later versions, sources or details may be gone, with every
            // message still there: the core's note says what.
            t.label = r.archiveCount < r.manifestCount ? QStringLiteral("Messages removed from the end")
                                                       : QStringLiteral("Records removed from the end");
            t.symbol = QStringLiteral("exclamationmark.triangle.fill");
            t.tone = Tone::orange;
            t.detail = QStringLiteral("The seal covers ") + QString::number(r.manifestCount) +
                       QStringLiteral(" messages; the archive now holds ") + QString::number(r.archiveCount) +
                       QStringLiteral(". ") +
                       (r.note ? QString::fromStdString(*r.note) : QStringLiteral("Everything still present matches."));
            break;
        default:
            t.label = QStringLiteral("Cannot be checked by this version");
            t.symbol = QStringLiteral("questionmark.circle.fill");
            t.tone = Tone::orange;
            t.detail = r.note ? QString::fromStdString(*r.note) : QString();
            break;
        }
        break;
    }
    }
    return t;
}

} // namespace reading
