#include "reading/message_delegate.h"

#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "reading/model/attachment_images.h"
#include "reading/model/reading_text.h"
#include "reading/model/thread_model.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextLayout>
#include <QToolTip>
#include <QVariantAnimation>

namespace {

constexpr int kSidePadding = 16;
constexpr int kColumnSpacing = 3;
constexpr int kBubblePadX = 11;
constexpr int kBubblePadY = 7;
constexpr int kRowPadX = 10;
constexpr int kRowPadY = 7;
constexpr int kFileSymbol = 20;
constexpr int kPlaceholderW = 200;
constexpr int kPlaceholderH = 150;
constexpr int kEdgePadding = 10;

QTextOption bubbleTextOption() {
    QTextOption o;
    o.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    o.setTextDirection(Qt::LayoutDirectionAuto);
    return o;
}

// Lays `text` out in lines no wider than maxWidth; returns the used size.
QSizeF layoutText(QTextLayout& layout, int maxWidth) {
    layout.setTextOption(bubbleTextOption());
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0, w = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(maxWidth);
        line.setPosition(QPointF(0, y));
        y += line.height();
        w = std::max(w, line.naturalTextWidth());
    }
    layout.endLayout();
    return {std::min<qreal>(w, maxWidth), y};
}

QColor quaternaryFill(const QPalette& pal) {
    QColor c = pal.color(QPalette::Text);
    c.setAlphaF(isDarkPalette(pal) ? 0.16f : 0.09f);
    return c;
}

QFont caption2(QFont f) {
    f.setPointSizeF(f.pointSizeF() * 0.92);
    return f;
}

} // namespace

MessageDelegate::MessageDelegate(ThreadModel& model, QObject* parent) : QStyledItemDelegate(parent), model_(model) {
    bodyFont_ = textFont(TextStyle::body);
    captionFont_ = textFont(TextStyle::caption);
    caption2Font_ = caption2(captionFont_);
    headingFont_ = caption2Font_;
    headingFont_.setWeight(QFont::Medium);
    calloutFont_ = textFont(TextStyle::callout);
    dpr_ = qApp ? qApp->devicePixelRatio() : 1.0;
    connect(&AttachmentImageCache::shared(), &AttachmentImageCache::finished, this, &MessageDelegate::onImageFinished);
    // Kept heights follow the rows; a row whose data changed is measured again.
    kept_.resize(static_cast<size_t>(model_.rowCount()));
    // Rows are put in front a page at a time: moving the records up costs
    // less than a millisecond even with a few hundred thousand loaded.
    connect(&model_, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        kept_.insert(kept_.begin() + first, static_cast<size_t>(last - first + 1), Kept{});
    });
    connect(&model_, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int last) {
        kept_.erase(kept_.begin() + first, kept_.begin() + last + 1);
    });
    connect(&model_, &QAbstractItemModel::modelReset, this,
            [this] { kept_.assign(static_cast<size_t>(model_.rowCount()), Kept{}); });
    connect(&model_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to) { forget(from.row(), to.row()); });
}

void MessageDelegate::fadeInDetail(const std::string& messageId, QWidget* view) {
    if (!fade_) {
        fade_ = new QVariantAnimation(this);
        fade_->setDuration(150);
        fade_->setEasingCurve(QEasingCurve::OutCubic);
        fade_->setStartValue(0.0);
        fade_->setEndValue(1.0);
    }
    fade_->stop();
    fade_->disconnect(this);
    fadingId_ = messageId;
    QPointer<QWidget> target(view);
    connect(fade_, &QVariantAnimation::valueChanged, this, [target] {
        if (target) target->update();
    });
    fade_->start();
}

qreal MessageDelegate::detailOpacity(const std::string& messageId) const {
    if (!fade_ || fade_->state() != QAbstractAnimation::Running || messageId != fadingId_) return 1.0;
    return fade_->currentValue().toReal();
}

void MessageDelegate::onImageFinished() {
    // Rows whose picture finished are measured again; the rest keep their heights.
    emit sizeHintChanged(QModelIndex());
}

QString MessageDelegate::drawnText(const ThreadRow& row) {
    QString text = reading::fromUtf8(row.hit.text);
    if (text.size() > kMaxDrawnCharacters) {
        const qsizetype more = text.size() - kMaxDrawnCharacters;
        int cut = kMaxDrawnCharacters;
        if (text.at(cut - 1).isHighSurrogate()) --cut;
        text = text.left(cut) + QStringLiteral("…\n\n") + QString::number(more) +
               QStringLiteral(" more characters. Double-click to read the whole message.");
    }
    // Line breaks as a text layout understands them.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    for (QChar& c : text)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) c = QChar::LineSeparator;
    return text;
}

QSize MessageDelegate::imageSize(const ThreadRow& row, size_t i, const QString& path, bool start) const {
    (void)row;
    (void)i;
    const QSize box(qRound(kImageBox * dpr_), qRound(kImageBox * dpr_));
    auto& cache = AttachmentImageCache::shared();
    if (!start) {
        // Measuring must not start decodes for rows that are never drawn.
        const auto found = cache.peek(path, box);
        if (!found) return {kPlaceholderW, kPlaceholderH};
        if (found->state == AttachmentImageCache::State::failed) return {};
        if (found->state == AttachmentImageCache::State::loading) return {kPlaceholderW, kPlaceholderH};
        return (QSizeF(found->image.size()) / dpr_).toSize().expandedTo(QSize(1, 1));
    }
    const auto look = cache.lookup(path, box);
    if (look.state == AttachmentImageCache::State::failed) return {};
    if (look.state == AttachmentImageCache::State::loading) return {kPlaceholderW, kPlaceholderH};
    return (QSizeF(look.image.size()) / dpr_).toSize().expandedTo(QSize(1, 1));
}

unsigned MessageDelegate::pictureState(const ThreadRow& row, bool* any) const {
    unsigned s = 0, bit = 1;
    const QSize box(qRound(kImageBox * dpr_), qRound(kImageBox * dpr_));
    const auto& paths = model_.objectPaths(row);
    for (size_t i = 0; i < row.attachments.size(); ++i) {
        const auto& a = row.attachments[i];
        if (reading::isImageType(a.mimeType) && !paths[i].isNull()) {
            if (any) *any = true;
            const auto found = AttachmentImageCache::shared().peek(paths[i], box);
            if (found && found->state != AttachmentImageCache::State::loading)
                s |= bit * (found->state == AttachmentImageCache::State::ready ? 1u : 2u);
        }
        bit <<= 2;
    }
    return s;
}

const MessageDelegate::TextBlock& MessageDelegate::textBlock(const ThreadRow& row, int maxWidth) const {
    const QString key = QString::fromStdString(row.hit.id) + QLatin1Char('@') + QString::number(maxWidth);
    if (const TextBlock* found = layouts_.object(key)) return *found;
    auto* block = new TextBlock;
    block->layout = std::make_unique<QTextLayout>(drawnText(row), bodyFont_);
    const QSizeF s = layoutText(*block->layout, maxWidth);
    block->size = QSize(static_cast<int>(std::ceil(s.width())), static_cast<int>(std::ceil(s.height())));
    // Costed by length, so a few long texts do not crowd out the rows on screen.
    const qsizetype cost = 1 + block->layout->text().size() / 256;
    layouts_.insert(key, block, cost); // a drawn text is never longer than the cache holds
    return *block;
}

MessageDelegate::Geometry MessageDelegate::rowGeometry(int rowIndex, const QRect& rowRect) const {
    Geometry g;
    const ThreadRow& row = model_.row(rowIndex);
    const bool sent = row.hit.isFromMe;
    int y = rowRect.top();
    // The thread is padded by kEdgePadding above its first and below its last message.
    const bool firstRow = rowIndex == 0, lastRow = rowIndex == model_.rowCount() - 1;
    if (firstRow) y += kEdgePadding;
    if (row.headingDue) {
        const int h = QFontMetrics(headingFont_).height() + 20;
        g.heading = QRect(rowRect.left(), y, rowRect.width(), h);
        y += h;
    }
    y += 1;
    const int inner = std::max(40, rowRect.width() - 2 * kSidePadding);
    const int colMax = columnWidth(rowRect.width());
    const int leading = rowRect.left() + kSidePadding;
    const int trailing = rowRect.left() + kSidePadding + inner;
    auto place = [&](QSize size) {
        size.setWidth(std::min(size.width(), colMax));
        const int x = sent ? trailing - size.width() : leading;
        return QRect(QPoint(x, y), size);
    };
    int colTop = y;
    bool firstPart = true;
    auto advance = [&](const QRect& r) {
        y = r.bottom() + 1;
        firstPart = false;
    };
    auto gap = [&] {
        if (!firstPart) y += kColumnSpacing;
    };
    const QFontMetrics cfm(captionFont_), c2fm(caption2Font_);
    for (size_t i = 0; i < row.attachments.size(); ++i) {
        const auto& a = row.attachments[i];
        AttachmentPlace p;
        p.path = model_.objectPaths(row)[i];
        QSize size;
        if (!p.path.isNull() && reading::isImageType(a.mimeType)) size = imageSize(row, i, p.path, false);
        gap();
        if (size.isValid() && !size.isEmpty()) {
            p.inlineImage = true;
            p.rect = place(size);
        } else {
            const auto status = reading::attachmentStatus(a, !p.path.isNull());
            const int textW = std::max(cfm.horizontalAdvance(reading::attachmentTitle(a)),
                                       status.line.isEmpty() ? 0 : c2fm.horizontalAdvance(status.line));
            const int h = 2 * kRowPadY + cfm.height() + (status.line.isEmpty() ? 0 : 1 + c2fm.height());
            // A few pixels of slack so a name that fits is never elided by rounding.
            p.rect = place(QSize(2 * kRowPadX + kFileSymbol + 8 + textW + 4, std::max(h, kFileSymbol + 2 * kRowPadY)));
        }
        advance(p.rect);
        g.attachments.push_back(std::move(p));
    }
    // The text bubble, or the paperclip bubble of a message with nothing else to show.
    if (row.hasText || row.attachments.empty()) {
        gap();
        QSize content;
        if (row.hasText) {
            content = textBlock(row, colMax - 2 * kBubblePadX).size;
        } else {
            const QFontMetrics fm(calloutFont_);
            content = QSize(fm.height() + 4 + fm.horizontalAdvance(QStringLiteral("Attachment")), fm.height());
        }
        g.bubble = place(content + QSize(2 * kBubblePadX, 2 * kBubblePadY));
        g.text = g.bubble.adjusted(kBubblePadX, kBubblePadY, -kBubblePadX, -kBubblePadY);
        advance(g.bubble);
    }
    if (row.showDetail) {
        gap();
        const QString time = row.hit.date ? reading::shortTime(reading::toDateTime(*row.hit.date)) : QString();
        int w = c2fm.horizontalAdvance(time);
        int sealW = 0;
        if (row.hit.sourceIds.size() >= 2) {
            sealW = c2fm.height() + 2 + c2fm.horizontalAdvance(QString::number(row.hit.sourceIds.size()));
            w += (time.isEmpty() ? 0 : 6) + sealW;
        }
        g.detail = place(QSize(std::max(w, 1), c2fm.height()));
        if (sealW) g.seal = QRect(g.detail.right() + 1 - sealW, g.detail.top(), sealW, g.detail.height());
        advance(g.detail);
    }
    const int colBottom = y;
    int left = INT_MAX, right = INT_MIN;
    auto widen = [&](const QRect& r) {
        if (r.isEmpty()) return;
        left = std::min(left, r.left());
        right = std::max(right, r.right());
    };
    for (const auto& p : g.attachments) widen(p.rect);
    widen(g.bubble);
    widen(g.detail);
    if (left <= right) g.column = QRect(left, colTop, right - left + 1, colBottom - colTop);
    g.height = (colBottom + 1) - rowRect.top() + (lastRow ? kEdgePadding : 0);
    return g;
}

int MessageDelegate::columnWidth(int rowWidth) {
    const int inner = std::max(40, rowWidth - 2 * kSidePadding);
    return std::max(40, std::min(kMaxColumnWidth, inner - kMinOppositeSpace));
}

bool MessageDelegate::setViewportWidth(int width) {
    const bool changes = columnWidth(std::max(100, width)) != columnWidth(rowWidth());
    viewportWidth_ = width;
    return changes;
}

unsigned char MessageDelegate::edges(int index) const {
    return static_cast<unsigned char>((index == 0 ? 1 : 0) | (static_cast<size_t>(index) + 1 == kept_.size() ? 2 : 0));
}

void MessageDelegate::measure(int index) const {
    Kept& k = kept_.at(static_cast<size_t>(index));
    bool pictures = false;
    k.pictures = pictureState(model_.row(index), &pictures);
    k.hasPictures = pictures;
    k.height = rowGeometry(index, QRect(0, 0, rowWidth(), 0)).height;
    k.column = static_cast<short>(columnWidth(rowWidth()));
    k.edges = edges(index);
}

bool MessageDelegate::stateChanged(int index) const {
    const Kept& k = kept_.at(static_cast<size_t>(index));
    return k.column < 0 || k.edges != edges(index) ||
           (k.hasPictures && k.pictures != pictureState(model_.row(index), nullptr));
}

bool MessageDelegate::isCurrent(int index) const {
    return !stateChanged(index) && kept_.at(static_cast<size_t>(index)).column == columnWidth(rowWidth());
}

bool MessageDelegate::refresh(int index) const {
    if (isCurrent(index)) return false;
    const int before = kept_.at(static_cast<size_t>(index)).height;
    measure(index);
    return kept_.at(static_cast<size_t>(index)).height != before;
}

int MessageDelegate::keptHeight(int index) const { return kept_.at(static_cast<size_t>(index)).height; }

void MessageDelegate::forget(int first, int last) {
    for (int i = std::max(first, 0); i <= last && i < static_cast<int>(kept_.size()); ++i)
        kept_[static_cast<size_t>(i)].column = -1;
}

QSize MessageDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    (void)option;
    // A row measured for another width keeps its height as an estimate until
    // the thread view refreshes it on its way onto the screen.
    if (stateChanged(index.row())) measure(index.row());
    return {rowWidth(), kept_[static_cast<size_t>(index.row())].height};
}

void MessageDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const ThreadRow& row = model_.row(index.row());
    const QPalette& pal = option.palette;
    const bool sent = row.hit.isFromMe;
    painter->save();
    painter->setClipRect(option.rect);
    painter->setRenderHint(QPainter::Antialiasing);
    // Start decodes for the pictures of rows being drawn.
    for (size_t i = 0; i < row.attachments.size(); ++i) {
        const auto& a = row.attachments[i];
        if (reading::isImageType(a.mimeType)) {
            const QString& path = model_.objectPaths(row)[i];
            if (!path.isNull()) imageSize(row, i, path, true);
        }
    }
    const Geometry g = rowGeometry(index.row(), option.rect);
    const QColor secondary = secondaryTextColor();

    if (!g.heading.isEmpty() && row.hit.date) {
        painter->setFont(headingFont_);
        painter->setPen(secondary);
        painter->drawText(g.heading, Qt::AlignCenter | Qt::TextSingleLine, reading::dayHeading(row.day));
    }

    const QSize box(qRound(kImageBox * dpr_), qRound(kImageBox * dpr_));
    for (size_t i = 0; i < g.attachments.size(); ++i) {
        const auto& p = g.attachments[i];
        const auto& a = row.attachments[i];
        if (p.inlineImage) {
            QPainterPath clip;
            clip.addRoundedRect(QRectF(p.rect), 13, 13);
            const auto found = AttachmentImageCache::shared().peek(p.path, box);
            if (found && found->state == AttachmentImageCache::State::ready) {
                painter->save();
                painter->setClipPath(clip, Qt::IntersectClip);
                painter->drawImage(QRectF(p.rect), found->image);
                painter->restore();
            } else {
                painter->fillPath(clip, quaternaryFill(pal));
                const QPixmap icon = symbolPixmap(QStringLiteral("photo"), 28, secondary);
                painter->drawPixmap(p.rect.center() - QPoint(14, 14), icon);
            }
            continue;
        }
        QPainterPath bg;
        bg.addRoundedRect(QRectF(p.rect), 11, 11);
        painter->fillPath(bg, quaternaryFill(pal));
        const QRect inner = p.rect.adjusted(kRowPadX, kRowPadY, -kRowPadX, -kRowPadY);
        const QPixmap icon = symbolPixmap(reading::attachmentSymbol(a.mimeType), kFileSymbol, secondary);
        painter->drawPixmap(QPoint(inner.left(), p.rect.center().y() - kFileSymbol / 2), icon);
        const QRect textRect = inner.adjusted(kFileSymbol + 8, 0, 0, 0);
        const auto status = reading::attachmentStatus(a, !p.path.isNull());
        const QFontMetrics cfm(captionFont_), c2fm(caption2Font_);
        const int blockH = cfm.height() + (status.line.isEmpty() ? 0 : 1 + c2fm.height());
        int ty = p.rect.center().y() - blockH / 2;
        painter->setFont(captionFont_);
        painter->setPen(pal.color(QPalette::Text));
        painter->drawText(QRect(textRect.left(), ty, textRect.width(), cfm.height()),
                          Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                          cfm.elidedText(reading::attachmentTitle(a), Qt::ElideMiddle, textRect.width()));
        if (!status.line.isEmpty()) {
            ty += cfm.height() + 1;
            painter->setFont(caption2Font_);
            painter->setPen(secondary);
            painter->drawText(QRect(textRect.left(), ty, textRect.width(), c2fm.height()),
                              Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine,
                              c2fm.elidedText(status.line, Qt::ElideRight, textRect.width()));
        }
    }

    if (!g.bubble.isEmpty()) {
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(g.bubble), 15, 15);
        painter->fillPath(bubble, sent ? pal.color(QPalette::Highlight) : quaternaryFill(pal));
        const QColor fg = sent ? QColor(Qt::white) : pal.color(QPalette::Text);
        if (row.hasText) {
            const TextBlock& block = textBlock(row, g.text.width());
            painter->save();
            painter->setClipPath(bubble, Qt::IntersectClip);
            painter->setPen(fg);
            block.layout->draw(painter, g.text.topLeft());
            painter->restore();
        } else {
            const QFontMetrics fm(calloutFont_);
            const QPixmap clip = symbolPixmap(QStringLiteral("paperclip"), fm.height(), sent ? fg : secondary);
            painter->drawPixmap(g.text.topLeft(), clip);
            painter->setFont(calloutFont_);
            painter->setPen(sent ? fg : secondary);
            painter->drawText(g.text.adjusted(fm.height() + 4, 0, 0, 0), Qt::AlignLeading | Qt::AlignVCenter,
                              QStringLiteral("Attachment"));
        }
    }

    if (!g.detail.isEmpty()) {
        painter->setOpacity(detailOpacity(row.hit.id));
        painter->setFont(caption2Font_);
        painter->setPen(secondary);
        const QString time = row.hit.date ? reading::shortTime(reading::toDateTime(*row.hit.date)) : QString();
        painter->drawText(g.detail, Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine, time);
        if (!g.seal.isEmpty()) {
            const int s = g.seal.height();
            painter->drawPixmap(g.seal.topLeft(), symbolPixmap(QStringLiteral("checkmark.seal.fill"), s, secondary));
            painter->drawText(g.seal.adjusted(s + 2, 0, 0, 0), Qt::AlignLeading | Qt::AlignVCenter,
                              QString::number(row.hit.sourceIds.size()));
        }
    }
    painter->restore();
}

bool MessageDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                const QModelIndex& index) {
    if (!event || !view || !index.isValid() || event->type() != QEvent::ToolTip) return false;
    const ThreadRow& row = model_.row(index.row());
    const Geometry g = rowGeometry(index.row(), option.rect);
    const QPoint pos = event->pos();
    QString help;
    for (size_t i = 0; i < g.attachments.size(); ++i) {
        if (!g.attachments[i].rect.contains(pos)) continue;
        const auto& a = row.attachments[i];
        help = g.attachments[i].inlineImage ? (a.fileName ? reading::attachmentTitle(a) : QString())
                                            : reading::attachmentStatus(a, !g.attachments[i].path.isNull()).help;
        break;
    }
    if (help.isNull() && g.seal.contains(pos)) help = reading::corroborationHelp(row.hit);
    if (help.isNull() && g.column.contains(pos) && row.hit.date)
        help = reading::abbreviatedDateTime(reading::toDateTime(*row.hit.date));
    if (help.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QToolTip::showText(event->globalPos(), help, view);
    return true;
}

QWidget* MessageDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
    // The whole text, read-only, for selecting and copying.
    auto* edit = new QPlainTextEdit(parent);
    edit->setObjectName(QStringLiteral("messageText"));
    edit->setReadOnly(true);
    edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    edit->setFont(bodyFont_);
    edit->setFrameShape(QFrame::StyledPanel);
    return edit;
}

void MessageDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    if (auto* edit = qobject_cast<QPlainTextEdit*>(editor)) {
        edit->setPlainText(reading::fromUtf8(model_.row(index.row()).hit.text));
        edit->selectAll();
    }
}

void MessageDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
    const Geometry g = rowGeometry(index.row(), option.rect);
    QRect r = g.bubble.isEmpty() ? g.column : g.bubble;
    const QWidget* viewport = editor->parentWidget();
    if (viewport) {
        r.setHeight(std::max(r.height(), 60));
        r = r.intersected(viewport->rect().adjusted(4, 4, -4, -4));
        if (r.height() < 60) r.setHeight(std::min(200, viewport->height() - 8));
    }
    editor->setGeometry(r);
}
