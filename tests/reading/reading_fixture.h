#pragma once
// Shared set-up of the reading screen tests: a private home, in-memory user
// defaults, a started AppModel whose archive root is a fresh folder, and
// archives written through the store writer with made-up conversations,
// bodies and attachment objects.
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/owners_model.h"
#include "app/platform/notification_center.h"
#include "app/platform/user_defaults.h"
#include "app/platform/workspace.h"
#include "core/archive/attachment_store.h"
#include "core/archive/search_index.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/system.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/model_tasks.h"
#include "tests/support/notification_center_double.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/snapshots.h"
#include "tests/support/test_env.h"
#include "tests/support/user_defaults_double.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{';
    for (const auto& s : l) *os << " \"" << s.toStdString() << '"';
    *os << " }";
}

namespace kx::test {

// Records what would have been opened instead of starting a program.
struct RecordingWorkspace final : Workspace {
    std::vector<QUrl> opened;
    bool open(const QUrl& url) override {
        opened.push_back(url);
        return true;
    }
};

// 2024-03-01 09:00 local time plus `minutes`.
inline Date readingDate(std::int64_t minutes) {
    const QDateTime start(QDate(2024, 3, 1), QTime(9, 0));
    return fromUnixSeconds(static_cast<double>(start.toSecsSinceEpoch()) + 60.0 * static_cast<double>(minutes));
}

inline std::string pngBytes(int w, int h, QColor color = QColor(40, 120, 200)) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

// One attachment of a planned message.
struct PlannedAttachment {
    std::optional<std::string> fileName;
    std::optional<std::string> mimeType;
    std::optional<std::string> bytes; // stored as an object when given
    AttachmentFileState state = AttachmentFileState::present;
};

struct PlannedMessage {
    std::string guid;
    std::optional<std::string> text;
    std::optional<Date> date;
    bool isFromMe = false;
    std::vector<PlannedAttachment> attachments = {}; // given, so that a message without any need not say so
    std::vector<std::string> sources = {"src-a"};
};

// Writes an owner's archive under `root`.
class ArchiveWriter {
public:
    ArchiveWriter(const QString& root, const std::string& owner) : owner_(owner) {
        const QString db = OwnersModel::archiveDatabasePath(root, QString::fromStdString(owner));
        attachments_ = OwnersModel::attachmentRootPath(root, QString::fromStdString(owner)).toStdString();
        path_ = db.toStdString();
        w_ = TreskStoreWriter::open(path_, owner, readingDate(0));
        w_->begin();
    }
    ~ArchiveWriter() { finish(); }

    void conversation(const std::string& handle, const std::vector<PlannedMessage>& messages,
                      std::optional<std::string> groupName = std::nullopt) {
        ChatRecord chat;
        chat.guid = "iMessage;-;" + handle;
        chat.identifier = handle;
        chat.service = "iMessage";
        chat.participants = {handle};
        if (groupName) {
            chat.displayName = groupName;
            chat.isGroup = true;
        }
        w_->addChat(chat);
        for (const auto& p : messages) {
            MessageRecord m;
            m.guid = p.guid;
            m.chatGuid = chat.guid;
            m.handle = handle;
            m.service = "iMessage";
            m.text = p.text;
            m.date = p.date;
            m.isFromMe = p.isFromMe;
            std::unordered_map<std::string, std::string> keys;
            int n = 0;
            for (const auto& a : p.attachments) {
                AttachmentRecord r;
                r.guid = "ATT-" + p.guid + "-" + std::to_string(n++);
                r.fileName = a.fileName;
                r.mimeType = a.mimeType;
                r.totalBytes = a.bytes ? static_cast<int64_t>(a.bytes->size()) : 1234;
                r.state = a.state;
                if (a.state != AttachmentFileState::notRecorded)
                    r.recordedPath = "~/Library/Messages/Attachments/" + a.fileName.value_or("file");
                if (a.bytes) keys[r.guid] = AttachmentStore(attachments_).putBytes(*a.bytes);
                m.attachments.push_back(r);
            }
            for (const auto& s : p.sources) w_->addMessage(m, sourceRow(s), readingDate(0), keys);
        }
    }

    // Messages whose conversation and sender could not be read: filed under
    // "unknown" until a later sighting names their conversation.
    void unlinked(const std::vector<PlannedMessage>& messages) {
        for (const auto& p : messages) {
            MessageRecord m;
            m.guid = p.guid;
            m.service = "iMessage";
            m.text = p.text;
            m.date = p.date;
            m.isFromMe = p.isFromMe;
            for (const auto& s : p.sources) w_->addMessage(m, sourceRow(s), readingDate(0), {});
        }
    }

    // Plain messages "<prefix>-<i>" for i in [first, first+count), one every
    // `minutesApart` minutes, alternating sent and received.
    void simpleConversation(const std::string& handle, int count, const std::string& prefix = "M", int minutesApart = 1,
                            int first = 0) {
        std::vector<PlannedMessage> list;
        for (int i = first; i < first + count; ++i)
            list.push_back({prefix + "-" + std::to_string(i),
                            "Message " + std::to_string(i),
                            readingDate(static_cast<int64_t>(i) * minutesApart),
                            i % 2 == 0,
                            {},
                            {"src-a"}});
        conversation(handle, list);
    }

    void finish() {
        if (!w_) return;
        w_->commit();
        const auto indexed = SearchIndexer::catchUp(path_);
        if (!indexed.problem) {
            w_->begin();
            w_->clearSearchPending(indexed.reindexed);
            w_->commit();
        }
        w_.reset();
    }

    const std::string& path() const { return path_; }
    const std::string& attachmentsFolder() const { return attachments_; }

private:
    int64_t sourceRow(const std::string& id) {
        auto it = rows_.find(id);
        if (it != rows_.end()) return it->second;
        Source s;
        s.id = id;
        s.owner = owner_;
        s.path = "/nowhere/" + id;
        return rows_[id] = w_->sourceRow(s, readingDate(0));
    }

    std::string owner_, path_, attachments_;
    std::unique_ptr<TreskStoreWriter> w_;
    std::map<std::string, int64_t> rows_;
};

// Runs the sqlite3 tool on a database, as someone changing an archive would.
inline void sqlite3(const std::string& db, const QString& sql) {
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {QString::fromStdString(db), sql});
    ASSERT_TRUE(p.waitForFinished(20000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

class ReadingTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
    }
    void TearDown() override {
        model.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        setWorkspaceForTesting(nullptr);
        ModelTest::TearDown();
    }

    QString root() const { return model->destinationRoot(); }
    void registerSource(const std::string& id, const std::string& owner) {
        ASSERT_TRUE(model->mutableRegistry().add(folderSource(id, owner, home / "copies" / id)));
    }
    bool settle() { return drainModelTasks(*model); }
    std::filesystem::path configDirFile(const char* name) const {
        return std::filesystem::path(model->configDir().toStdString()) / name;
    }

    std::shared_ptr<RecordingWorkspace> opened;
};

} // namespace kx::test

#include <libheif/heif.h>

namespace kx::test {

// A small HEIC photo, encoded with libheif's HEVC encoder; empty when the
// library has no encoder here.
inline std::string heicBytes(int w, int h, const std::filesystem::path& scratch) {
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    std::string out;
    if (heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder).code == heif_error_Ok) {
        heif_image* image = nullptr;
        heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
        heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
        int stride = 0;
        uint8_t* p = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* px = p + y * stride + x * 3;
                px[0] = static_cast<uint8_t>(200 - y * 100 / h);
                px[1] = static_cast<uint8_t>(90 + x * 120 / w);
                px[2] = 60;
            }
        if (heif_context_encode_image(ctx, image, encoder, nullptr, nullptr).code == heif_error_Ok &&
            heif_context_write_to_file(ctx, scratch.c_str()).code == heif_error_Ok)
            out = readAll(scratch);
        heif_image_release(image);
        heif_encoder_release(encoder);
    }
    heif_context_free(ctx);
    return out;
}

// A PNG whose header announces `w` x `h` pixels but which holds almost nothing:
// what a decompression bomb looks like before decoding.
inline std::string pngClaiming(uint32_t w, uint32_t h) {
    std::string png = pngBytes(4, 4);
    auto put = [&](size_t at, uint32_t v) {
        png[at] = static_cast<char>(v >> 24);
        png[at + 1] = static_cast<char>(v >> 16);
        png[at + 2] = static_cast<char>(v >> 8);
        png[at + 3] = static_cast<char>(v);
    };
    put(16, w); // IHDR width and height follow the signature and chunk header
    put(20, h);
    uint32_t crc = 0xFFFFFFFFu; // over the chunk type and data
    for (size_t i = 12; i < 29; ++i) {
        crc ^= static_cast<uint8_t>(png[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    put(29, crc ^ 0xFFFFFFFFu);
    return png;
}

} // namespace kx::test
