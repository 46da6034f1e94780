#include "sources/source_row.h"

#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "sources/source_display.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <memory>

namespace sources {

// ---- Model ----

SourceListModel::SourceListModel(std::function<kx::Date()> now, QObject* parent)
    : QAbstractListModel(parent), now_(std::move(now)) {}

void SourceListModel::setRows(std::vector<RowData> rows) {
    bool sameSources = rows.size() == rows_.size();
    for (size_t i = 0; sameSources && i < rows.size(); ++i) sameSources = rows[i].source.id == rows_[i].source.id;
    if (!sameSources) {
        beginResetModel();
        rows_ = std::move(rows);
        heights_.assign(rows_.size(), {0, 0});
        endResetModel();
        return;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == rows_[i]) continue;
        rows_[i] = std::move(rows[i]);
        heights_[i] = {0, 0};
        const QModelIndex at = index(static_cast<int>(i));
        emit dataChanged(at, at);
        // The row's height may have changed (a note or a verdict came or went).
        emit expandedChanged(at);
    }
}

bool SourceListModel::isExpanded(int row) const {
    if (row < 0 || row >= rowCount()) return false;
    return expanded_.count(rows_[static_cast<size_t>(row)].source.id) > 0;
}

void SourceListModel::toggleExpanded(int row) {
    if (row < 0 || row >= rowCount()) return;
    const std::string& id = rows_[static_cast<size_t>(row)].source.id;
    if (!expanded_.erase(id)) expanded_.insert(id);
    heights_[static_cast<size_t>(row)] = {0, 0};
    const QModelIndex at = index(row);
    emit dataChanged(at, at, {ExpandedRole});
    emit expandedChanged(at);
}

int SourceListModel::cachedHeight(int row, int fontGeneration) const {
    if (row < 0 || row >= rowCount()) return 0;
    const auto& [height, generation] = heights_[static_cast<size_t>(row)];
    return generation == fontGeneration ? height : 0;
}

void SourceListModel::cacheHeight(int row, int fontGeneration, int height) const {
    if (row >= 0 && row < rowCount()) heights_[static_cast<size_t>(row)] = {height, fontGeneration};
}

int SourceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant SourceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const RowData& r = rows_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: return rowTitle(r.source);
    case Qt::AccessibleTextRole: return rowAccessibleLabel(r.source);
    case Qt::AccessibleDescriptionRole: return rowAccessibleValue(r.source, r.status, now_());
    case Qt::ToolTipRole: return singleLine(r.source.path);
    case ExpandedRole: return isExpanded(index.row());
    case SourceIdRole: return QString::fromStdString(r.source.id);
    default: return {};
    }
}

// ---- Layout ----

namespace {

struct Fonts {
    int generation = 0;
    QFont headline = textFont(TextStyle::headline);
    QFont caption = textFont(TextStyle::caption);
    QFont captionBold;
    QFont captionMedium;
    // Measured once: every row of a long list is laid out with them.
    QFontMetrics headlineMetrics{headline};
    QFontMetrics captionMetrics{caption};
    QFontMetrics captionBoldMetrics{caption};
    Fonts() {
        captionBold = caption;
        captionBold.setWeight(QFont::Bold);
        captionMedium = caption;
        captionMedium.setWeight(QFont::Medium);
        captionBoldMetrics = QFontMetrics(captionBold);
    }
};

// The fonts for the application font in use; measured again when it changes.
const Fonts& fonts() {
    static std::unique_ptr<Fonts> f;
    static QFont measuredFor;
    static int generation = 0;
    if (!f || QApplication::font() != measuredFor) {
        measuredFor = QApplication::font();
        f = std::make_unique<Fonts>();
        f->generation = ++generation;
    }
    return *f;
}

constexpr int kDot = 9;
constexpr int kHeaderGap = 12;
constexpr int kBlockGap = 5;
constexpr int kSymbol = 14;

// Everything about one row's geometry, computed the same way for painting,
// sizing and hit-testing.
struct RowLayout {
    // Header
    QRect dot, title, path, meta, right;
    // Duplicate note
    std::optional<DuplicateLook> dup;
    QRect dupSymbol;
    std::vector<QRect> dupLines; // first line, explanation, note
    // Badge
    QRect badgeHeader, badgeSymbol, badgeText, badgeUnique, badgeChevron;
    std::vector<QRect> detailLines;
    int height = 0;
};

RowLayout layoutRow(const RowData& r, bool expanded, const QRect& rect) {
    const Fonts& f = fonts();
    const QFontMetrics &hm = f.headlineMetrics, &cm = f.captionMetrics, &cbm = f.captionBoldMetrics;
    RowLayout L;
    const int left = rect.left() + SourceRowDelegate::kHorizontalPadding;
    const int right = rect.right() - SourceRowDelegate::kHorizontalPadding;
    int y = rect.top() + SourceRowDelegate::kVerticalPadding;

    // Header: dot, text column, flexible space, "last scanned".
    const QString rightText = r.source.lastScanned ? QStringLiteral("000 days, 00 hr ago")
                                                   : QStringLiteral("never scanned");
    const int rightWidth = std::min(cm.horizontalAdvance(rightText), std::max(60, (right - left) / 3));
    const int columnLeft = left + kDot + kHeaderGap;
    const int columnRight = right - rightWidth - kHeaderGap;
    const int columnWidth = std::max(40, columnRight - columnLeft);
    L.title = QRect(columnLeft, y, columnWidth, hm.height());
    L.path = QRect(columnLeft, L.title.bottom() + 1 + 3, columnWidth, cm.height());
    L.meta = QRect(columnLeft, L.path.bottom() + 1 + 3, columnWidth, cm.height() + 4);
    const int headerBottom = L.meta.bottom() + 1;
    const int headerMid = (y + headerBottom) / 2;
    L.dot = QRect(left, headerMid - kDot / 2, kDot, kDot);
    L.right = QRect(right - rightWidth, headerMid - cm.height() / 2, rightWidth, cm.height());
    y = headerBottom;

    const int indentLeft = left + SourceRowDelegate::kIndent;
    const int indentWidth = std::max(40, right - indentLeft);
    if (r.duplicate) L.dup = duplicateLook(*r.duplicate);
    if (L.dup) {
        y += kBlockGap;
        L.dupSymbol = QRect(indentLeft, y + 1, kSymbol, kSymbol);
        const int textLeft = indentLeft + kSymbol + 6;
        const int textWidth = std::max(40, right - textLeft);
        for (int i = 0; i < 3; ++i) {
            L.dupLines.emplace_back(textLeft, y, textWidth, cm.height());
            y += cm.height() + 1;
        }
    }

    if (r.deletion) {
        y += kBlockGap;
        const VerdictLook look = verdictLook(r.deletion->verdict);
        const int lineH = std::max(cbm.height(), kSymbol);
        int x = indentLeft;
        L.badgeSymbol = QRect(x, y + (lineH - kSymbol) / 2, kSymbol, kSymbol);
        x += kSymbol + 6;
        L.badgeText = QRect(x, y, cbm.horizontalAdvance(look.text), lineH);
        x = L.badgeText.right() + 1 + 6;
        const QString unique = uniqueMessagesText(r.deletion->uniqueMessages);
        if (!unique.isEmpty()) {
            // A little slack: elision measures slightly wider than the advance.
            L.badgeUnique = QRect(x, y, std::min(cm.horizontalAdvance(unique) + 4, std::max(0, right - x - 20)), lineH);
            x = L.badgeUnique.right() + 1 + 6;
        }
        L.badgeChevron = QRect(x, y + (lineH - 10) / 2, 10, 10);
        L.badgeHeader = QRect(indentLeft, y, L.badgeChevron.right() + 1 - indentLeft, lineH);
        y += lineH;
        if (expanded) {
            y += 2;
            const size_t lines = 2 + r.deletion->reasons.size();
            for (size_t i = 0; i < lines; ++i) {
                L.detailLines.emplace_back(indentLeft + 4, y, std::max(40, indentWidth - 4), cm.height());
                y += cm.height() + 2;
            }
        }
    }
    L.height = y + SourceRowDelegate::kVerticalPadding - rect.top();
    return L;
}

QStringList detailTexts(const kx::SourceDeletionReport& d) {
    QStringList lines = {countsLine(d), attachmentsLine(d)};
    for (const auto& reason : d.reasons) lines << QStringLiteral("\u2022 ") + singleLine(reason);
    return lines;
}

// One thing a row draws. Painting and the texts tests read come from the same list.
struct Piece {
    enum Kind { text, dot, capsule, symbol } kind = text;
    QRect rect;
    QString content; // the text, or the symbol name
    QFont font;
    QColor color;
    Qt::TextElideMode elide = Qt::ElideRight;
    Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter;
};

std::vector<Piece> rowPieces(const RowData& r, bool expanded, const QRect& rect, kx::Date now, const QPalette& pal) {
    const RowLayout L = layoutRow(r, expanded, rect);
    const Fonts& f = fonts();
    const QColor text = pal.color(QPalette::Text);
    const QColor secondary = secondaryTextColor();
    const QColor tertiary = tertiaryTextColor();
    std::vector<Piece> out;
    auto addText = [&](const QRect& at, const QFont& font, const QColor& color, const QString& s,
                       Qt::TextElideMode elide = Qt::ElideRight,
                       Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
        out.push_back(Piece{Piece::text, at, s, font, color, elide, align});
    };
    auto addSymbol = [&](const QRect& at, const QString& name, const QColor& color) {
        out.push_back(Piece{Piece::symbol, at, name, QFont(), color});
    };

    // Header
    const StatusLook status = statusLook(r.status);
    out.push_back(Piece{Piece::dot, L.dot, QString(), QFont(), status.color()});
    addText(L.title, f.headline, text, rowTitle(r.source));
    addText(L.path, f.caption, secondary, singleLine(r.source.path), Qt::ElideMiddle);

    // Owner capsule, format, status.
    const QFontMetrics& cm = f.captionMetrics;
    const QString owner = singleLine(r.source.owner);
    const int ownerMax = std::max(30, L.meta.width() * 2 / 5);
    const int ownerWidth = std::min(cm.horizontalAdvance(owner), ownerMax - 12);
    const QRect capsule(L.meta.left(), L.meta.top(), ownerWidth + 12, L.meta.height());
    QColor quaternary = text;
    quaternary.setAlphaF(0.1f);
    out.push_back(Piece{Piece::capsule, capsule, QString(), QFont(), quaternary});
    addText(capsule.adjusted(6, 0, -6, 0), f.caption, text, owner);
    int x = capsule.right() + 1 + 8;
    const QString format = formatText(r.source.format);
    const QRect formatRect(x, L.meta.top(), std::max(0, std::min(cm.horizontalAdvance(format), L.meta.right() - x)),
                           L.meta.height());
    addText(formatRect, f.caption, secondary, format);
    x = formatRect.right() + 1 + 8;
    if (r.status != kx::SourceStatus::ready)
        addText(QRect(x, L.meta.top(), std::max(0, L.meta.right() - x), L.meta.height()), f.captionBold, status.color(),
                status.text.toUpper());

    // Last scanned
    if (r.source.lastScanned)
        addText(L.right, f.caption, secondary, relativeShort(*r.source.lastScanned, now), Qt::ElideLeft,
                Qt::AlignRight | Qt::AlignVCenter);
    else
        addText(L.right, f.caption, toneColor(Tone::orange), QStringLiteral("never scanned"), Qt::ElideRight,
                Qt::AlignRight | Qt::AlignVCenter);

    // Duplicate note
    if (L.dup) {
        addSymbol(L.dupSymbol, L.dup->symbol, toneColor(Tone::blue));
        addText(L.dupLines[0], f.captionMedium, text, L.dup->firstLine);
        addText(L.dupLines[1], f.caption, secondary, singleLine(r.duplicate->explanation));
        addText(L.dupLines[2], f.caption, tertiary, QString::fromLatin1(kNothingRemovedNote));
    }

    // Verdict badge
    if (r.deletion) {
        const VerdictLook look = verdictLook(r.deletion->verdict);
        addSymbol(L.badgeSymbol, look.symbol, look.color());
        addText(L.badgeText, f.captionBold, look.color(), look.text, Qt::ElideNone);
        if (!L.badgeUnique.isNull())
            addText(L.badgeUnique, f.caption, secondary, uniqueMessagesText(r.deletion->uniqueMessages));
        addSymbol(L.badgeChevron, expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"),
                  secondary);
        if (expanded) {
            const QStringList lines = detailTexts(*r.deletion);
            for (size_t i = 0; i < L.detailLines.size() && i < static_cast<size_t>(lines.size()); ++i)
                addText(L.detailLines[i], f.caption, secondary, lines[static_cast<qsizetype>(i)]);
        }
    }
    return out;
}

// A text piece as drawn: shortened only when its advance exceeds its room
// (eliding alone measures a little wider and would cut texts that fit).
QString shownText(const Piece& piece) {
    if (piece.elide == Qt::ElideNone) return piece.content;
    const QFontMetrics fm(piece.font);
    if (fm.horizontalAdvance(piece.content) <= piece.rect.width()) return piece.content;
    return fm.elidedText(piece.content, piece.elide, piece.rect.width());
}

void drawPiece(QPainter* p, const Piece& piece) {
    switch (piece.kind) {
    case Piece::dot:
        p->setPen(Qt::NoPen);
        p->setBrush(piece.color);
        p->drawEllipse(piece.rect);
        return;
    case Piece::capsule:
        p->setPen(Qt::NoPen);
        p->setBrush(piece.color);
        p->drawRoundedRect(piece.rect, piece.rect.height() / 2.0, piece.rect.height() / 2.0);
        return;
    case Piece::symbol: p->drawPixmap(piece.rect, symbolPixmap(piece.content, piece.rect.width(), piece.color)); return;
    case Piece::text: {
        if (piece.rect.width() <= 0) return;
        p->setFont(piece.font);
        p->setPen(piece.color);
        const QString shown = shownText(piece);
        QTextOption o(piece.align);
        o.setWrapMode(QTextOption::NoWrap);
        // Data never turns the row around: every line is laid out left to right.
        o.setTextDirection(Qt::LeftToRight);
        p->drawText(QRectF(piece.rect), shown, o);
        return;
    }
    }
}

} // namespace

// ---- Delegate ----

SourceRowDelegate::SourceRowDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QSize SourceRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = qobject_cast<const SourceListModel*>(index.model());
    if (!model) return QStyledItemDelegate::sizeHint(option, index);
    const int width = std::max(option.rect.width(), 300);
    const int generation = fonts().generation;
    int height = model->cachedHeight(index.row(), generation);
    if (height == 0) {
        height = layoutRow(model->row(index.row()), model->isExpanded(index.row()), QRect(0, 0, width, 1000)).height +
                 1;
        model->cacheHeight(index.row(), generation, height);
    }
    return {width, height};
}

QRect SourceRowDelegate::badgeHeaderRect(const QRect& rowRect, const QModelIndex& index) const {
    const auto* model = qobject_cast<const SourceListModel*>(index.model());
    if (!model) return {};
    return layoutRow(model->row(index.row()), model->isExpanded(index.row()), rowRect).badgeHeader;
}

bool SourceRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) {
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        auto* list = qobject_cast<SourceListModel*>(model);
        if (list && me->button() == Qt::LeftButton &&
            badgeHeaderRect(option.rect, index).contains(me->position().toPoint())) {
            list->toggleExpanded(index.row());
            return true;
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

void SourceRowDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = qobject_cast<const SourceListModel*>(index.model());
    if (!model) return QStyledItemDelegate::paint(p, option, index);
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->setClipRect(option.rect);
    if (option.state & QStyle::State_Selected) p->fillRect(option.rect, toneBackground(Tone::blue, 0.12));
    // A hairline between rows, inset like the text.
    p->fillRect(QRect(option.rect.left() + kHorizontalPadding, option.rect.bottom(),
                      option.rect.width() - 2 * kHorizontalPadding, 1),
                separatorColor());
    for (const Piece& piece :
         rowPieces(model->row(index.row()), model->isExpanded(index.row()), option.rect, model->now(), option.palette))
        drawPiece(p, piece);
    p->restore();
}

QStringList SourceRowDelegate::visibleTexts(const SourceListModel& model, int row, int width) {
    QStringList out;
    for (const Piece& piece : rowPieces(model.row(row), model.isExpanded(row), QRect(0, 0, width, 1000), model.now(),
                                        QApplication::palette())) {
        if (piece.kind != Piece::text || piece.rect.width() <= 0) continue;
        out << shownText(piece);
    }
    return out;
}

// ---- Duplicate banners ----

void IdenticalGroupModel::setGroups(std::vector<std::vector<std::string>> groups) {
    if (groups == groups_) return;
    beginResetModel();
    groups_ = std::move(groups);
    endResetModel();
}

int IdenticalGroupModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(groups_.size());
}

QVariant IdenticalGroupModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return identicalBannerLines(group(index.row())).join(QStringLiteral(". "));
    if (role == Qt::ToolTipRole) return identicalBannerLines(group(index.row())).value(1);
    return {};
}

QStringList identicalBannerLines(const std::vector<std::string>& group) {
    QStringList ids;
    for (const auto& id : group) ids << singleLine(id);
    return {identicalGroupTitle(static_cast<qsizetype>(group.size())), ids.join(QStringLiteral(", ")),
            QStringLiteral("Keeping them all costs a scan each run. Nothing has been removed \u2014 that decision is "
                           "yours.")};
}

int identicalBannerHeight() {
    const QFontMetrics title(textFont(TextStyle::callout)), caption(textFont(TextStyle::caption));
    return title.height() + 2 * (caption.height() + 1) + 3;
}

QSize IdenticalGroupDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), identicalBannerHeight()};
}

void IdenticalGroupDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* m = static_cast<const IdenticalGroupModel*>(index.model());
    const QStringList lines = identicalBannerLines(m->group(index.row()));
    QFont title = textFont(TextStyle::callout);
    title.setWeight(QFont::Medium);
    const QFont caption = textFont(TextStyle::caption);
    const QColor colors[] = {option.palette.color(QPalette::WindowText), secondaryTextColor(), tertiaryTextColor()};
    const QFont* fontsFor[] = {&title, &caption, &caption};
    p->save();
    p->setClipRect(option.rect);
    const QRect r = option.rect;
    p->drawPixmap(QRect(r.left(), r.top() + 1, 16, 16),
                  symbolPixmap(QStringLiteral("doc.on.doc.fill"), 16, toneColor(Tone::blue)));
    int y = r.top();
    for (int i = 0; i < 3; ++i) {
        const Piece piece{Piece::text, QRect(r.left() + 26, y, r.width() - 26, QFontMetrics(*fontsFor[i]).height()),
                          lines[i], *fontsFor[i], colors[i]};
        drawPiece(p, piece);
        y += piece.rect.height() + 1;
    }
    p->restore();
}

} // namespace sources
