// Hostile message bodies and attachment names drawn in a thread: each stays in
// its own row, long bodies are drawn in part and copied whole. With
// KX_SNAPSHOT_DIR set, the screens are also saved there as PNG files for a
// person to look at (the browse screen in each state, a thread with every kind
// of attachment, hostile text, the naming sheet).
#include "reading/browse_view.h"
#include "reading/message_delegate.h"
#include "reading/model/attachment_images.h"
#include "reading/model/conversation_list_model.h"
#include "reading/model/thread_model.h"
#include "reading/rename_contact_view.h"
#include "reading/thread_view.h"
#include "tests/reading/reading_fixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLineEdit>
#include <QListView>
#include <QScrollBar>
#include <QSplitter>

using namespace kx;
using namespace kx::test;

namespace {

class Rendering : public ReadingTest {
protected:
    void SetUp() override {
        ReadingTest::SetUp();
        AttachmentImageCache::shared().clear();
    }
    void waitForPictures(QWidget& w) {
        w.repaint();
        EXPECT_TRUE(QTest::qWaitFor([] { return AttachmentImageCache::shared().pending() == 0; }, 20000));
        QCoreApplication::processEvents();
        w.repaint();
    }
};

const std::string kCombining = [] {
    std::string s = "Z";
    for (int i = 0; i < 10000; ++i) s += "\xCC\x81"; // U+0301
    return s;
}();
const std::string kLongLine(1 << 20, 'w');

std::vector<PlannedMessage> hostileBodies() {
    return {
        {"H-0", "left \xE2\x80\xAE reversed text then normal", readingDate(1), false},
        {"H-1",
         "family \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7 and flags "
         "\xF0\x9F\x87\xB3\xF0\x9F\x87\xBF \xF0\x9F\x8E\x89\xF0\x9F\x8E\x89",
         readingDate(2), true},
        {"H-2", kCombining, readingDate(3), false},
        {"H-3", kLongLine, readingDate(4), true},
        {"H-4",
         "\xE6\x98\x8E\xE6\x97\xA5\xE3\x81\xAF\xE5\xB1\xB1\xE3\x81\xB8\xE8\xA1\x8C\xE3\x81\x8D\xE3\x81\xBE"
         "\xE3\x81\x99\xE3\x80\x82\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94",
         readingDate(5), false},
        {"H-5",
         "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D, \xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7",
         readingDate(6), true},
        {"H-6", "   spaces and lines around\n\n", readingDate(7), false},
        {"H-7",
         "names",
         readingDate(8),
         false,
         {{"../../../etc/passwd", "text/plain", std::string("x")},
          {"line\nbreak\x07name.txt", "text/plain", std::nullopt, AttachmentFileState::missing},
          {"\xE2\x80\xAEgpj.exe", "application/octet-stream", std::nullopt, AttachmentFileState::missing}}},
    };
}

} // namespace

TEST_F(Rendering, HostileBodiesAndNamesDrawWithinTheirRows) {
    start();
    ArchiveWriter(root(), "jorin").conversation("+15550001111", hostileBodies());
    TreskStore::ConversationSummary s{"+15550001111", "iMessage", 8, std::nullopt, std::nullopt};
    ThreadView view(*model, "jorin", s);
    view.resize(760, 900);
    view.show();
    ASSERT_TRUE(settle());
    auto& t = view.threadModel();
    ASSERT_EQ(t.rowCount(), 8);
    view.list()->doItemsLayout();
    for (int i = 0; i < t.rowCount(); ++i) {
        const QRect rect = view.list()->visualRect(t.index(i));
        EXPECT_GT(rect.height(), 0) << i;
        EXPECT_LT(rect.height(), 4000) << "row " << i << " is " << rect.height() << " high";
        const auto g = view.delegate().rowGeometry(i, rect);
        EXPECT_LE(g.column.width(), MessageDelegate::kMaxColumnWidth);
        EXPECT_TRUE(rect.contains(g.column)) << i;
    }
    // The 1 MB line is drawn in part, and says so; copying takes it whole.
    EXPECT_TRUE(MessageDelegate::drawnText(t.row(3)).endsWith("Double-click to read the whole message."));
    view.list()->scrollTo(t.index(3), QAbstractItemView::PositionAtTop);
    const QRect longRow = view.list()->visualRect(t.index(3));
    const auto g = view.delegate().rowGeometry(3, longRow);
    QObject owner;
    const auto actions = view.contextActionsAt(g.bubble.center(), &owner);
    ASSERT_FALSE(actions.isEmpty());
    ASSERT_EQ(actions[0]->text(), "Copy");
    actions[0]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text().size(), static_cast<qsizetype>(kLongLine.size()));
    // Texts keep their spaces when shown; the spoken value is trimmed.
    EXPECT_EQ(t.data(t.index(6), Qt::DisplayRole).toString(), "   spaces and lines around\n\n");
    EXPECT_TRUE(t.data(t.index(6), Qt::AccessibleDescriptionRole).toString().startsWith("spaces and lines around. "));

    for (int i = 0; i < t.rowCount(); ++i) {
        view.list()->scrollTo(t.index(i), QAbstractItemView::PositionAtTop);
        QImage canvas(view.list()->viewport()->size(), QImage::Format_ARGB32);
        view.list()->viewport()->render(&canvas);
    }
    view.list()->scrollToTop();
    snapshot(view, "thread-hostile-text");
    view.list()->scrollToBottom();
    snapshot(view, "thread-hostile-text-end");
}

TEST_F(Rendering, Screens) {
    if (snapshotFolder().isEmpty()) GTEST_SKIP() << "set KX_SNAPSHOT_DIR to save the screens";
    start();
    {
        BrowseView v(*model);
        v.resize(1100, 720);
        v.show();
        ASSERT_TRUE(settle());
        snapshot(v, "browse-no-sources");
    }
    registerSource("a", "jorin");
    {
        BrowseView v(*model);
        v.resize(1100, 720);
        v.show();
        ASSERT_TRUE(settle());
        snapshot(v, "browse-nothing-archived");
    }
    const std::string heic = heicBytes(1200, 900, home / "scratch.heic");
    {
        ArchiveWriter w(root(), "jorin");
        w.simpleConversation("+447700900123", 40, "A", 600);
        w.simpleConversation("sam.okafor@example.com", 12, "B", 300);
        w.simpleConversation("+15550104477", 3, "C", 5000);
        std::vector<PlannedMessage> mum = {
            {"D-1", "Are you coming on Sunday? Dad is doing the roast.", readingDate(-3000), false},
            {"D-2", "Yes! I'll bring dessert.", readingDate(-2990), true},
            {"D-3", "Lovely. Bring the photos from the trip too", readingDate(-2980), false, {}, {"src-a", "src-b"}},
            {"D-4",
             "\xEF\xBF\xBC",
             readingDate(-1500),
             true,
             {{"beach.png", "image/png", pngBytes(1024, 680, QColor(70, 140, 210))}}},
            {"D-5", "And the one from the cliffs", readingDate(-1498), true, {{"IMG_2041.HEIC", "image/heic", heic}}},
            {"D-6", "Wow, what a view", readingDate(-1490), false},
            {"D-7",
             "Here is the booking",
             readingDate(-20),
             true,
             {{"Booking confirmation.pdf", "application/pdf", std::string(48213, 'p')}}},
            {"D-8",
             std::nullopt,
             readingDate(-10),
             false,
             {{"voice memo.m4a", "audio/mp4", std::nullopt, AttachmentFileState::missing},
              {std::nullopt, "video/quicktime", std::nullopt, AttachmentFileState::notRecorded}}},
            {"D-9", std::nullopt, readingDate(-5), false},
            {"D-10", "See you soon \xF0\x9F\x98\x8A", readingDate(2), false, {}, {"src-a", "src-b", "src-c"}},
        };
        w.conversation("+447700900555", mum);
        w.conversation("chat99887766",
                       {{"G-1", "Who's in for Saturday?", readingDate(100), false},
                        {"G-2", "Me!", readingDate(101), true}},
                       std::string("Climbing crew"));
    }
    auto o = model->contacts().overrides();
    o.set("+447700900555", "Mum");
    o.set("sam.okafor@example.com", "Sam Okafor");
    model->contacts().setOverrides(o);

    BrowseView v(*model);
    v.resize(1100, 720);
    v.show();
    ASSERT_TRUE(settle());
    snapshot(v, "browse-list");
    const int mumRow = v.conversations().rowOf("+447700900555");
    v.listView()->setCurrentIndex(v.filtered().mapFromSource(v.conversations().index(mumRow)));
    ASSERT_TRUE(settle());
    auto* thread = v.thread();
    ASSERT_TRUE(thread);
    waitForPictures(*thread);
    thread->threadModel().toggleDetail(2);
    thread->threadModel().toggleDetail(9);
    thread->list()->doItemsLayout();
    thread->list()->scrollToBottom();
    snapshot(v, "browse-thread-bottom");
    thread->list()->scrollToTop();
    snapshot(v, "browse-thread-top");

    v.rename(v.conversations().summary(v.conversations().rowOf("+15550104477")));
    ASSERT_TRUE(v.renameSheet());
    v.renameSheet()->show();
    snapshot(*v.renameSheet(), "rename-sheet");
    v.renameSheet()->reject();

    // A long conversation: the load-earlier button above the newest page.
    ArchiveWriter(root(), "jorin").simpleConversation("+15550109999", 450, "L", 60);
    v.conversations().reload();
    ASSERT_TRUE(settle());
    v.listView()->setCurrentIndex(
        v.filtered().mapFromSource(v.conversations().index(v.conversations().rowOf("+15550109999"))));
    ASSERT_TRUE(settle());
    v.thread()->list()->scrollToTop();
    snapshot(v, "browse-thread-load-earlier");

    registerSource("b", "household-mac");
    BrowseView two(*model);
    two.resize(1100, 720);
    two.show();
    two.chooseOwner("jorin");
    ASSERT_TRUE(settle());
    two.filterField()->setText("s");
    snapshot(two, "browse-two-owners-filtered");
    BrowseView loading(*model);
    loading.resize(1100, 720);
    loading.show();
    ASSERT_EQ(loading.listState(), "loading");
    snapshot(loading, "browse-loading", Grab::asItIs);
    ASSERT_TRUE(settle());
}
