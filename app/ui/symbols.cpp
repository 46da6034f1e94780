#include "app/ui/symbols.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QPixmapCache>
#include <QScreen>
#include <QSvgRenderer>
#include <algorithm>

namespace {

const std::vector<SymbolEntry> kTable = {
    {"archivebox", "archive"},
    {"arrow.clockwise", "rotate-clockwise"},
    {"arrow.down.circle", "circle-arrow-down"},
    {"arrow.down.circle.fill", "circle-arrow-down-filled"},
    {"arrow.down.right.circle.fill", "circle-arrow-down-right-filled"},
    {"arrow.right.circle", "circle-arrow-right"},
    {"arrow.triangle.2.circlepath", "refresh"},
    {"arrow.up", "arrow-up"},
    {"bell", "bell"},
    {"bell.badge", "bell-ringing"},
    {"bell.slash", "bell-off"},
    {"bubble.left.and.bubble.right", "messages"},
    {"chart.bar.xaxis", "chart-bar"},
    {"checkmark", "check"},
    {"checkmark.circle", "circle-check"},
    {"checkmark.circle.fill", "circle-check-filled"},
    {"checkmark.seal", "rosette-discount-check"},
    {"checkmark.seal.fill", "rosette-discount-check-filled"},
    {"checkmark.shield", "shield-check"},
    {"checkmark.shield.fill", "shield-check-filled"},
    {"chevron.down", "chevron-down"},
    {"chevron.right", "chevron-right"},
    {"circle", "circle"},
    {"circle.dashed", "circle-dashed"},
    {"circle.slash", "circle-off"},
    {"clock", "clock"},
    {"clock.arrow.circlepath", "history"},
    {"clock.badge.exclamationmark", "clock-exclamation"},
    {"clock.badge.questionmark", "clock-question"},
    {"desktopcomputer", "device-desktop"},
    {"doc", "file"},
    {"doc.on.doc", "copy"},
    {"doc.on.doc.fill", "copy-filled"},
    {"doc.richtext", "file-text"},
    {"equal.circle", "equal"},
    {"exclamationmark.octagon.fill", "alert-octagon-filled"},
    {"exclamationmark.shield", "shield-exclamation"},
    {"exclamationmark.shield.fill", "shield-exclamation"},
    {"exclamationmark.triangle", "alert-triangle"},
    {"exclamationmark.triangle.fill", "alert-triangle-filled"},
    {"externaldrive", "database"},
    {"externaldrive.badge.plus", "database-plus"},
    {"externaldrive.badge.questionmark", "database-search"},
    {"gearshape", "settings"},
    {"hand.raised", "hand-stop"},
    {"heart.text.square", "heart-rate-monitor"},
    {"info.circle", "info-circle"},
    {"internaldrive", "server-2"},
    {"key.fill", "key-filled"},
    {"key.horizontal.fill", "key-filled"},
    {"laptopcomputer", "device-laptop"},
    {"largecircle.filled.circle", "circle-dot-filled"},
    {"line.3.horizontal.decrease.circle", "filter"},
    {"link", "link"},
    {"link.badge.plus", "link-plus"},
    {"list.bullet.indent", "list-tree"},
    {"lock", "lock"},
    {"lock.icloud", "cloud-lock"},
    {"lock.shield", "shield-lock"},
    {"lock.slash.fill", "lock-off"},
    {"magnifyingglass", "search"},
    {"minus.circle", "circle-minus"},
    {"moon.zzz", "zzz"},
    {"nosign", "ban"},
    {"paperclip", "paperclip"},
    {"person.2", "users"},
    {"person.2.badge.gearshape", "user-cog"},
    {"person.fill", "user-filled"},
    {"person.text.rectangle", "id"},
    {"photo", "photo"},
    {"play.rectangle.fill", "movie"},
    {"plus", "plus"},
    {"plus.circle.fill", "circle-plus-filled"},
    {"plus.rectangle.on.folder", "folder-plus"},
    {"questionmark.circle", "help-circle"},
    {"questionmark.circle.fill", "help-circle-filled"},
    {"seal", "rosette"},
    {"shield.lefthalf.filled", "shield-half-filled"},
    {"square.and.arrow.down", "download"},
    {"square.and.arrow.up", "upload"},
    {"tray", "inbox"},
    {"tray.and.arrow.down", "download"},
    {"waveform", "wave-sine"},
    {"xmark.circle.fill", "circle-x-filled"},
    {"xmark.octagon.fill", "square-rounded-x-filled"},
    {"xmark.seal.fill", "rosette-discount-check-off"},
    {"xmark.shield.fill", "shield-x"},
};

QByteArray loadSvg(const QString& path) {
    static QHash<QString, QByteArray> cache;
    auto it = cache.find(path);
    if (it != cache.end()) return *it;
    QFile f(path);
    QByteArray bytes;
    if (f.open(QIODevice::ReadOnly)) bytes = f.readAll();
    // Tabler's outline strokes are 2 units wide on a 24-unit grid; at the small
    // sizes of sidebars and buttons a slightly thinner stroke reads closer to the
    // system's symbols.
    bytes.replace("stroke-width=\"2\"", "stroke-width=\"1.75\"");
    cache.insert(path, bytes);
    return bytes;
}

// Draws an SVG whose strokes and fills use "currentColor" in a chosen colour.
class SymbolIconEngine final : public QIconEngine {
public:
    SymbolIconEngine(QByteArray svg, QColor fixed) : svg_(std::move(svg)), fixed_(fixed), svgHash_(qHash(svg_)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const QColor c = colorFor(mode);
        QByteArray bytes = svg_;
        bytes.replace("currentColor", c.name(QColor::HexRgb).toLatin1());
        QSvgRenderer renderer(bytes);
        if (!renderer.isValid()) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        if (c.alphaF() < 1.0) painter->setOpacity(painter->opacity() * c.alphaF());
        // Keep the square aspect; centre within the rectangle.
        const int side = std::min(rect.width(), rect.height());
        const QRect square(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2, side, side);
        renderer.render(painter, square);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    // Rendered once per symbol, colour, size and scale: lists paint the same
    // few symbols on every row, and rendering an SVG is far dearer than a blit.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        const QString key = QStringLiteral("kx.symbol/%1/%2/%3x%4/%5")
                                .arg(svgHash_)
                                .arg(colorFor(mode).name(QColor::HexArgb))
                                .arg(size.width())
                                .arg(size.height())
                                .arg(scale);
        QPixmap pm;
        if (QPixmapCache::find(key, &pm)) return pm;
        pm = QPixmap(size * scale);
        pm.fill(Qt::transparent);
        {
            QPainter p(&pm);
            paint(&p, QRect(QPoint(0, 0), pm.size()), mode, state);
        }
        pm.setDevicePixelRatio(scale);
        QPixmapCache::insert(key, pm);
        return pm;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new SymbolIconEngine(svg_, fixed_); }
    QString key() const override { return QStringLiteral("KelvaraSymbol"); }

private:
    QColor colorFor(QIcon::Mode mode) const {
        const QPalette pal = QApplication::palette();
        if (mode == QIcon::Disabled) return pal.color(QPalette::Disabled, QPalette::WindowText);
        if (fixed_.isValid()) return fixed_;
        if (mode == QIcon::Selected) return pal.color(QPalette::HighlightedText);
        return pal.color(QPalette::WindowText);
    }

    QByteArray svg_;
    QColor fixed_;
    size_t svgHash_;
};

} // namespace

const std::vector<SymbolEntry>& symbolTable() { return kTable; }

QString symbolResourcePath(const QString& symbol) {
    const QByteArray key = symbol.toUtf8();
    const std::string_view wanted(key.constData(), static_cast<size_t>(key.size()));
    const auto it = std::lower_bound(kTable.begin(), kTable.end(), wanted,
                                     [](const SymbolEntry& e, std::string_view s) { return e.symbol < s; });
    if (it == kTable.end() || it->symbol != wanted) return {};
    return QStringLiteral(":/kelvara/icons/%1.svg")
        .arg(QString::fromUtf8(it->file.data(), static_cast<qsizetype>(it->file.size())));
}

QIcon symbolIcon(const QString& symbol, const QColor& color) {
    QString path = symbolResourcePath(symbol);
    if (path.isEmpty()) path = symbolResourcePath(QStringLiteral("questionmark.circle"));
    return QIcon(new SymbolIconEngine(loadSvg(path), color));
}

QPixmap symbolPixmap(const QString& symbol, int logicalSize, const QColor& color) {
    qreal dpr = 1.0;
    if (auto* screen = QGuiApplication::primaryScreen()) dpr = screen->devicePixelRatio();
    const QIcon icon = symbolIcon(symbol, color);
    return icon.pixmap(QSize(logicalSize, logicalSize), dpr);
}
