#pragma once
// Pictures of archived image attachments, decoded off the GUI thread.
//
// decodeAttachmentImage reads one archived file and returns it scaled to fit a
// box, never enlarged. Qt's own formats are scaled while decoding; HEIC/HEIF
// (most phone photos, which Qt cannot read here) is decoded with libheif. A
// file over the byte limit, a picture over the pixel limit (a decompression
// bomb announces its size in its header, which is checked before decoding) or
// anything that does not decode gives a null image: the caller then shows the
// attachment as a file row.
//
// AttachmentImageCache is the process-wide cache the thread view draws from: a
// lookup either returns the decoded picture, says it failed, or starts decoding
// it on the cache's own pool and answers "loading"; `finished` is emitted on
// the GUI thread when a decode ends. Pictures are kept up to a memory budget,
// failures for the life of the process (archived objects never change).
#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <optional>

namespace reading {

struct ImageLimits {
    qint64 maxFileBytes = 80LL * 1024 * 1024;
    qint64 maxPixels = 60LL * 1000 * 1000;
};

QImage decodeAttachmentImage(const QString& path, QSize box, const ImageLimits& limits = {});
// Whether the bytes start like a HEIF container (HEIC, AVIF and friends).
bool looksLikeHeif(const QByteArray& head);

} // namespace reading

class AttachmentImageCache : public QObject {
    Q_OBJECT
public:
    enum class State { loading, ready, failed };
    struct Lookup {
        State state = State::loading;
        QImage image;
    };

    // The application's cache (created on first use, lives as long as the application object).
    static AttachmentImageCache& shared();

    explicit AttachmentImageCache(QObject* parent = nullptr);
    ~AttachmentImageCache() override;

    // The picture of `path` scaled into `box` (device pixels), or its state.
    Lookup lookup(const QString& path, QSize box);
    // The same without starting a decode: nothing when it was never asked for.
    std::optional<Lookup> peek(const QString& path, QSize box) const;
    void setLimits(const reading::ImageLimits& limits) { limits_ = limits; }
    // Forgets every picture and failure (tests).
    void clear();
    // Decodes waiting or running (tests wait for 0).
    int pending() const { return static_cast<int>(pending_.size()); }

signals:
    void finished(const QString& path);

private:
    static QString key(const QString& path, QSize box);

    QThreadPool pool_;
    QCache<QString, QImage> images_;
    QSet<QString> failed_;
    QSet<QString> pending_;
    reading::ImageLimits limits_;
};
