// Attachments in a thread: pictures drawn inline (PNG and HEIC), file rows for
// everything else with their status lines, decoding limits, and "Open", which
// hands a viewer a read-only copy under a name that cannot leave its folder
// and never the archived object itself.
#include "reading/message_delegate.h"
#include "reading/model/attachment_files.h"
#include "reading/model/attachment_images.h"
#include "reading/model/reading_text.h"
#include "reading/model/thread_model.h"
#include "reading/thread_view.h"
#include "tests/reading/reading_fixture.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QListView>
#include <QTemporaryDir>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>

using namespace kx;
using namespace kx::test;

namespace {

class Attachments : public ReadingTest {
protected:
    void SetUp() override {
        ReadingTest::SetUp();
        AttachmentImageCache::shared().clear();
    }
    std::unique_ptr<ThreadView> open(const std::string& handle) {
        TreskStore::ConversationSummary s{handle, "", 1, std::nullopt, std::nullopt};
        auto view = std::make_unique<ThreadView>(*model, "jorin", s);
        view->resize(800, 2400);
        view->show();
        EXPECT_TRUE(settle());
        view->list()->viewport()->repaint(); // drawing the rows starts their decodes
        EXPECT_TRUE(QTest::qWaitFor([] { return AttachmentImageCache::shared().pending() == 0; }, 20000));
        QCoreApplication::processEvents();
        return view;
    }
    MessageDelegate::Geometry geometry(ThreadView& view, int row) {
        view.list()->doItemsLayout();
        return view.delegate().rowGeometry(row, view.list()->visualRect(view.threadModel().index(row)));
    }
};

struct ModeAndBytes {
    std::string bytes;
    std::filesystem::perms mode;
};
ModeAndBytes look(const QString& path) {
    return {readAll(path.toStdString()), std::filesystem::status(path.toStdString()).permissions()};
}

} // namespace

TEST_F(Attachments, PicturesDrawInlineAndEverythingElseAsAFileRowWithItsStatus) {
    start();
    const std::string heic = heicBytes(640, 480, home / "scratch.heic");
    ASSERT_FALSE(heic.empty()) << "libheif has no HEVC encoder here";
    {
        ArchiveWriter w(root(), "jorin");
        PlannedMessage m{"M-0", "\xEF\xBF\xBC", readingDate(1), false};
        m.attachments = {
            {"beach.png", "image/png", pngBytes(900, 600)},
            {"IMG_0001.HEIC", "image/heic", heic},
            {"report.pdf", "application/pdf", std::string("%PDF-1.4 made up")},
            {"lost.jpg", "image/jpeg", std::nullopt, AttachmentFileState::missing},
            {std::nullopt, "image/jpeg", std::nullopt, AttachmentFileState::notRecorded},
            {"broken.jpg", "image/jpeg", std::string("not a picture at all")},
            {"bomb.png", "image/png", pngClaiming(60000, 60000)},
            {"empty.txt", "text/plain", std::string()},
        };
        w.conversation("+15550001111", {m, {"M-1", std::nullopt, readingDate(2), false}});
    }
    auto view = open("+15550001111");
    auto& t = view->threadModel();
    ASSERT_EQ(t.rowCount(), 2);
    const auto& row = t.row(0);
    ASSERT_EQ(row.attachments.size(), 8u);
    const auto g = geometry(*view, 0);
    ASSERT_EQ(g.attachments.size(), 8u);
    // The row was measured again once its pictures had decoded.
    EXPECT_EQ(view->list()->visualRect(t.index(0)).height(), g.height);

    EXPECT_TRUE(g.attachments[0].inlineImage);
    EXPECT_LE(g.attachments[0].rect.width(), 320);
    EXPECT_LE(g.attachments[0].rect.height(), 320);
    EXPECT_EQ(g.attachments[0].rect.width(), 320); // 900x600 fits as 320x213
    EXPECT_TRUE(g.attachments[1].inlineImage) << "the HEIC photo is drawn inline";
    EXPECT_EQ(g.attachments[1].rect.size(), QSize(320, 240));
    EXPECT_FALSE(g.attachments[2].inlineImage);
    EXPECT_FALSE(g.attachments[3].inlineImage);
    EXPECT_TRUE(g.attachments[3].path.isNull());
    EXPECT_FALSE(g.attachments[5].inlineImage) << "a file that does not decode is a file row";
    EXPECT_FALSE(g.attachments[6].inlineImage) << "a picture over the pixel limit is a file row";
    // Only U+FFFC as text, with attachments: no text bubble.
    EXPECT_TRUE(g.bubble.isEmpty());
    // Neither text nor attachments: the "Attachment" bubble.
    EXPECT_FALSE(geometry(*view, 1).bubble.isEmpty());

    EXPECT_EQ(reading::attachmentSymbol(row.attachments[2].mimeType), "doc.richtext");
    EXPECT_EQ(reading::attachmentStatus(row.attachments[2], true).line,
              QLocale().formattedDataSize(16, 1, QLocale::DataSizeSIFormat));
    EXPECT_EQ(reading::attachmentStatus(row.attachments[3], false).line, "bytes not archived");
    EXPECT_EQ(reading::attachmentStatus(row.attachments[4], false).line, "not downloaded on the original device");
    EXPECT_EQ(reading::attachmentTitle(row.attachments[4]), "Attachment");
    EXPECT_TRUE(reading::attachmentStatus(row.attachments[7], true).line.isEmpty()); // zero bytes: no status line
    EXPECT_EQ(t.data(t.index(0), Qt::AccessibleDescriptionRole).toString().left(13), "8 attachments");

    // Drawing every kind stays inside the row.
    QImage canvas(view->list()->viewport()->size(), QImage::Format_ARGB32);
    view->list()->viewport()->render(&canvas);
}

TEST_F(Attachments, OpenHandsAViewerAReadOnlyCopyAndLeavesTheArchivedObjectAlone) {
    start();
    const std::string pdf = "%PDF-1.4 a made-up statement";
    const std::string note = "a note";
    {
        ArchiveWriter w(root(), "jorin");
        PlannedMessage m{"M-0", "files", readingDate(1), true};
        m.attachments = {{"statement.pdf", "application/pdf", pdf},
                         {"../../../.config/evil\nname\x01.txt", "text/plain", note},
                         {"gone.pdf", "application/pdf", std::nullopt, AttachmentFileState::missing},
                         {"zero.bin", "application/octet-stream", std::string()}};
        w.conversation("+15550001111", {m});
    }
    auto view = open("+15550001111");
    const auto g = geometry(*view, 0);
    ASSERT_EQ(g.attachments.size(), 4u);
    const QString object = g.attachments[0].path;
    ASSERT_FALSE(object.isNull());
    const auto before = look(object);
    const std::string treeBefore = snapshotTree(root().toStdString());

    view->clickAt(g.attachments[0].rect.center());
    ASSERT_EQ(opened->opened.size(), 1u);
    const QString copy = opened->opened[0].toLocalFile();
    EXPECT_NE(copy, object);
    EXPECT_EQ(QFileInfo(copy).fileName(), "statement.pdf");
    EXPECT_TRUE(copy.startsWith(reading::openCopiesFolder() + "/"));
    EXPECT_EQ(readAll(copy.toStdString()), pdf);
    EXPECT_EQ(QFileInfo(copy).permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther), 0);

    // A hostile name stays inside the copy's own folder, on one line.
    view->clickAt(g.attachments[1].rect.center());
    ASSERT_EQ(opened->opened.size(), 2u);
    const QFileInfo hostile(opened->opened[1].toLocalFile());
    EXPECT_EQ(hostile.fileName(), "configevilname.txt");
    EXPECT_EQ(QFileInfo(hostile.absolutePath()).absolutePath(),
              QFileInfo(reading::openCopiesFolder()).absoluteFilePath());
    EXPECT_EQ(readAll(hostile.absoluteFilePath().toStdString()), note);

    // Without an archived file a click does nothing and the menu offers nothing.
    view->clickAt(g.attachments[2].rect.center());
    EXPECT_EQ(opened->opened.size(), 2u);
    QObject owner;
    EXPECT_TRUE(view->contextActionsAt(g.attachments[2].rect.center(), &owner).isEmpty());

    // A zero-byte file still opens.
    view->clickAt(g.attachments[3].rect.center());
    EXPECT_EQ(opened->opened.size(), 3u);

    const auto actions = view->contextActionsAt(g.attachments[0].rect.center(), &owner);
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Open");
    EXPECT_EQ(actions[1]->text(), "Show in Folder");
    actions[1]->trigger();
    ASSERT_EQ(opened->opened.size(), 4u);
    EXPECT_EQ(opened->opened[3].toLocalFile(), QFileInfo(object).absolutePath());

    const auto after = look(object);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.mode, before.mode);
    EXPECT_EQ(snapshotTree(root().toStdString()), treeBefore);
    EXPECT_TRUE(model->lastError().isNull());
}

TEST(AttachmentCopies, OldCopiesAreSweptAndAFolderThatIsALinkIsRefused) {
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QString object = scratch.filePath("object");
    {
        QFile f(object);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("bytes");
    }
    TreskStore::AttachmentRef a;
    a.id = "a";
    a.fileName = "note.txt";
    const QString base = scratch.filePath("copies");
    const auto first = reading::makeReadOnlyCopy(object, a, base);
    ASSERT_FALSE(first.path.isNull()) << first.problem.toStdString();
    // Made two days ago: removed by the next copy. A fresh one stays.
    const QString oldFolder = QFileInfo(first.path).absolutePath();
    const auto twoDaysAgo = std::chrono::system_clock::now() - std::chrono::hours(48);
    const timespec when{static_cast<time_t>(std::chrono::system_clock::to_time_t(twoDaysAgo)), 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, oldFolder.toUtf8().constData(), times, 0), 0);
    const auto second = reading::makeReadOnlyCopy(object, a, base);
    ASSERT_FALSE(second.path.isNull());
    EXPECT_FALSE(QFileInfo::exists(oldFolder));
    const auto third = reading::makeReadOnlyCopy(object, a, base);
    EXPECT_TRUE(QFileInfo::exists(second.path));
    EXPECT_TRUE(QFileInfo::exists(third.path));

    // A folder that is a link (made first by someone else, say) is never written through.
    const QString elsewhere = scratch.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    const QString link = scratch.filePath("linked");
    ASSERT_TRUE(QFile::link(elsewhere, link));
    const auto refused = reading::makeReadOnlyCopy(object, a, link);
    EXPECT_TRUE(refused.path.isNull());
    EXPECT_TRUE(refused.problem.startsWith("The attachment could not be opened: "));
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

TEST(AttachmentNames, NamesForCopiesNeverLeaveTheirFolder) {
    using reading::safeAttachmentFileName;
    EXPECT_EQ(safeAttachmentFileName(std::string("photo.jpg")), "photo.jpg");
    EXPECT_EQ(safeAttachmentFileName(std::string("../../x")), "x");
    EXPECT_EQ(safeAttachmentFileName(std::string("..")), "Attachment");
    EXPECT_EQ(safeAttachmentFileName(std::string("/")), "Attachment");
    EXPECT_EQ(safeAttachmentFileName(std::nullopt), "Attachment");
    EXPECT_EQ(safeAttachmentFileName(std::string("a\\b/c\td\r\ne")), "abcde");
    EXPECT_EQ(safeAttachmentFileName(std::string(".hidden")), "hidden");
    // A right-to-left override would show "gpj.exe" as "exe.jpg" in a file manager.
    EXPECT_EQ(safeAttachmentFileName(std::string("\xE2\x80\xAEgpj.exe")), "gpj.exe");
    EXPECT_EQ(safeAttachmentFileName(std::string("a\xE2\x81\xA7"
                                                 "b\xE2\x80\x8F.txt")),
              "ab.txt");
    const QString longName = safeAttachmentFileName(std::string(500, 'x') + ".jpeg");
    EXPECT_LE(longName.toUtf8().size(), 200);
    EXPECT_TRUE(longName.endsWith(".jpeg"));
    const QString emoji = safeAttachmentFileName(std::string(300, 'a') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80.png");
    EXPECT_LE(emoji.toUtf8().size(), 200);
    EXPECT_FALSE(emoji.contains(QChar(0xFFFD)));
}

TEST(AttachmentImages, DecodingKeepsWithinItsBoxAndItsLimits) {
    TempDir dir;
    writeAll(dir / "wide.png", pngBytes(2000, 500));
    const QImage wide = reading::decodeAttachmentImage(QString::fromStdString((dir / "wide.png").string()), {320, 320});
    EXPECT_EQ(wide.size(), QSize(320, 80));
    writeAll(dir / "small.png", pngBytes(40, 30));
    EXPECT_EQ(reading::decodeAttachmentImage(QString::fromStdString((dir / "small.png").string()), {320, 320}).size(),
              QSize(40, 30)); // never enlarged
    reading::ImageLimits tight;
    tight.maxPixels = 500 * 500;
    EXPECT_TRUE(reading::decodeAttachmentImage(QString::fromStdString((dir / "wide.png").string()), {320, 320}, tight)
                    .isNull());
    tight = {};
    tight.maxFileBytes = 100;
    EXPECT_TRUE(reading::decodeAttachmentImage(QString::fromStdString((dir / "wide.png").string()), {320, 320}, tight)
                    .isNull());
    writeAll(dir / "bomb.png", pngClaiming(100000, 100000));
    EXPECT_TRUE(
        reading::decodeAttachmentImage(QString::fromStdString((dir / "bomb.png").string()), {320, 320}).isNull());
    EXPECT_TRUE(
        reading::decodeAttachmentImage(QString::fromStdString((dir / "missing.png").string()), {320, 320}).isNull());
}
