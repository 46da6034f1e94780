#include "reading/model/attachment_images.h"

#include "app/platform/logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>

#include <libheif/heif.h>

#include <memory>

namespace reading {

namespace {

QSize fitting(QSize size, QSize box) {
    if (size.width() <= box.width() && size.height() <= box.height()) return size;
    return size.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

QImage decodeHeif(const QByteArray& bytes, QSize box, const ImageLimits& limits) {
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(), heif_context_free);
    if (!ctx) return {};
    heif_context_set_maximum_image_size_limit(ctx.get(), 32768);
    if (heif_context_read_from_memory_without_copy(ctx.get(), bytes.constData(), static_cast<size_t>(bytes.size()),
                                                   nullptr)
            .code != heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &rawHandle).code != heif_error_Ok || !rawHandle) return {};
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(rawHandle,
                                                                                    heif_image_handle_release);
    const qint64 w = heif_image_handle_get_width(handle.get());
    const qint64 h = heif_image_handle_get_height(handle.get());
    if (w <= 0 || h <= 0 || w * h > limits.maxPixels) return {};
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code !=
            heif_error_Ok ||
        !rawImage)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    int stride = 0;
    const uint8_t* data = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int iw = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int ih = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!data || iw <= 0 || ih <= 0 || stride < iw * 4) return {};
    const QImage view(data, iw, ih, stride, QImage::Format_RGBA8888);
    const QSize target = fitting(view.size(), box);
    if (target == view.size()) return view.copy();
    return view.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

bool looksLikeHeif(const QByteArray& head) {
    if (head.size() < 12) return false;
    return heif_check_filetype(reinterpret_cast<const uint8_t*>(head.constData()), static_cast<int>(head.size())) ==
           heif_filetype_yes_supported;
}

QImage decodeAttachmentImage(const QString& path, QSize box, const ImageLimits& limits) {
    if (box.isEmpty()) return {};
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0 || info.size() > limits.maxFileBytes) return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray head = file.peek(64);
    if (looksLikeHeif(head)) {
        const QByteArray bytes = file.readAll();
        if (bytes.size() != info.size()) return {};
        return decodeHeif(bytes, box, limits);
    }
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(static_cast<int>(limits.maxPixels * 4 / (1024 * 1024)) + 1);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() ||
        static_cast<qint64>(size.width()) * static_cast<qint64>(size.height()) > limits.maxPixels)
        return {};
    const QSize target = fitting(size, box);
    if (target != size) reader.setScaledSize(target);
    QImage image = reader.read();
    if (image.isNull()) return {};
    // Readers that cannot scale while decoding hand back the full picture.
    if (image.width() > box.width() || image.height() > box.height())
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

} // namespace reading

AttachmentImageCache& AttachmentImageCache::shared() {
    static QPointer<AttachmentImageCache> cache;
    if (!cache) cache = new AttachmentImageCache(QCoreApplication::instance());
    return *cache;
}

AttachmentImageCache::AttachmentImageCache(QObject* parent) : QObject(parent) {
    pool_.setMaxThreadCount(2);
    images_.setMaxCost(96 * 1024); // KB
    static const bool heifReady = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)heifReady;
}

AttachmentImageCache::~AttachmentImageCache() { pool_.waitForDone(); }

QString AttachmentImageCache::key(const QString& path, QSize box) {
    return path + QLatin1Char('@') + QString::number(box.width()) + QLatin1Char('x') + QString::number(box.height());
}

AttachmentImageCache::Lookup AttachmentImageCache::lookup(const QString& path, QSize box) {
    const QString k = key(path, box);
    if (const QImage* image = images_.object(k)) return {State::ready, *image};
    if (failed_.contains(k)) return {State::failed, {}};
    if (pending_.contains(k)) return {State::loading, {}};
    pending_.insert(k);
    const auto limits = limits_;
    // The destructor waits for the pool, so `this` outlives every decode; the
    // queued result is discarded with the object.
    pool_.start([this, path, box, k, limits] {
        QImage image = reading::decodeAttachmentImage(path, box, limits);
        QMetaObject::invokeMethod(
            this,
            [this, path, k, image = std::move(image)] {
                pending_.remove(k);
                if (image.isNull()) {
                    // Drawn as a placeholder; the file itself stays as it is.
                    qCWarning(lcReading, "The picture %s could not be read or is too large to draw.", qPrintable(path));
                    failed_.insert(k);
                } else images_.insert(k, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes() / 1024));
                emit finished(path);
            },
            Qt::QueuedConnection);
    });
    return {State::loading, {}};
}

std::optional<AttachmentImageCache::Lookup> AttachmentImageCache::peek(const QString& path, QSize box) const {
    const QString k = key(path, box);
    if (const QImage* image = images_.object(k)) return Lookup{State::ready, *image};
    if (failed_.contains(k)) return Lookup{State::failed, {}};
    if (pending_.contains(k)) return Lookup{State::loading, {}};
    return std::nullopt;
}

void AttachmentImageCache::clear() {
    pool_.waitForDone();
    QCoreApplication::sendPostedEvents(this);
    images_.clear();
    failed_.clear();
    pending_.clear();
}
