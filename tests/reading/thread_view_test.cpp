// The thread view driven through its widgets over archives written for each
// test: paging back to the oldest message, day headings where pages meet,
// failed reads and their retry, scrolling, the detail line, and results that
// arrive after the screen is gone.
#include "reading/export_conversation_view.h"
#include "reading/message_delegate.h"
#include "reading/model/reading_text.h"
#include "reading/model/thread_model.h"
#include "reading/thread_view.h"
#include "tests/reading/reading_fixture.h"

#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QToolButton>

using namespace kx;
using namespace kx::test;

namespace {

class Thread : public ReadingTest {
protected:
    // A shown thread view of one conversation, its first page loaded.
    std::unique_ptr<ThreadView> open(const std::string& handle, int64_t listCount = -1, bool wait = true) {
        TreskStore::ConversationSummary s;
        s.handle = handle;
        s.messageCount = listCount;
        if (listCount < 0) {
            TreskStore store(OwnersModel::archiveDatabasePath(root(), "jorin").toStdString());
            s.messageCount = store.conversationMessageCount(handle);
        }
        auto view = std::make_unique<ThreadView>(*model, "jorin", s);
        view->resize(700, 600);
        view->show();
        if (wait) {
            EXPECT_TRUE(settle());
        }
        return view;
    }
    static std::vector<std::string> ids(const ThreadModel& t) {
        std::vector<std::string> out;
        for (int i = 0; i < t.rowCount(); ++i) out.push_back(t.row(i).hit.id);
        return out;
    }
    static std::vector<std::string> expected(int from, int to, const std::string& prefix = "M") {
        std::vector<std::string> out;
        for (int i = from; i < to; ++i) out.push_back(prefix + "-" + std::to_string(i));
        return out;
    }
    void hideArchive() { std::filesystem::rename(archivePath(), archivePath() + ".away"); }
    void restoreArchive() { std::filesystem::rename(archivePath() + ".away", archivePath()); }
    std::string archivePath() const { return OwnersModel::archiveDatabasePath(root(), "jorin").toStdString(); }
};

} // namespace

TEST_F(Thread, PagesBackToTheOldestMessageWithoutGapOrRepeat) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 450);
    auto view = open("+15550001111");
    auto& t = view->threadModel();
    EXPECT_EQ(ids(t), expected(250, 450));
    ASSERT_TRUE(view->loadEarlierButton()->isVisible());
    EXPECT_EQ(view->loadEarlierButton()->text(), "Load earlier messages (250 older)");

    // A second press while the page loads starts nothing.
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    EXPECT_TRUE(t.isLoading());
    EXPECT_TRUE(view->findChild<QProgressBar*>("loadEarlierProgress")->isVisible());
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(50, 450));
    EXPECT_EQ(view->loadEarlierButton()->text(), "Load earlier messages (50 older)");

    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(0, 450));
    EXPECT_FALSE(view->loadEarlierButton()->isVisible());
    EXPECT_FALSE(t.canLoadEarlier());
    t.loadEarlier(); // nothing left: nothing happens
    EXPECT_FALSE(t.isLoading());
}

TEST_F(Thread, CountIsReadFromTheArchiveWhenTheThreadOpens) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 150);
    // The list was read when the conversation had 20 messages; a scan added more since.
    auto view = open("+15550001111", 20);
    EXPECT_EQ(view->threadModel().rowCount(), 150);
    EXPECT_EQ(view->threadModel().total(), 150);
    EXPECT_FALSE(view->loadEarlierButton()->isVisible());

    ArchiveWriter(root(), "jorin").simpleConversation("+15550002222", 0);
    auto empty = open("+15550002222", 0);
    EXPECT_EQ(empty->threadModel().rowCount(), 0);
    EXPECT_FALSE(empty->loadEarlierButton()->isVisible());
}

TEST_F(Thread, WhileTheFirstPageLoadsTheButtonShowsProgress) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 30);
    auto view = open("+15550001111", 30, false);
    EXPECT_TRUE(view->loadEarlierButton()->isVisible());
    EXPECT_TRUE(view->findChild<QProgressBar*>("loadEarlierProgress")->isVisible());
    ASSERT_TRUE(settle());
    EXPECT_FALSE(view->loadEarlierButton()->isVisible());
    EXPECT_EQ(view->threadModel().rowCount(), 30);
}

TEST_F(Thread, AFailedFirstPageIsReadAgainAsTheNewestPage) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 450);
    hideArchive();
    auto view = open("+15550001111", 450);
    auto& t = view->threadModel();
    EXPECT_EQ(t.rowCount(), 0);
    EXPECT_TRUE(view->problemLabel()->isVisible());
    EXPECT_TRUE(view->problemLabel()->text().startsWith("These messages could not be read"));
    ASSERT_TRUE(view->loadEarlierButton()->isVisible());
    EXPECT_EQ(view->loadEarlierButton()->text(), "Load earlier messages (450 older)");

    restoreArchive();
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(250, 450)); // the newest page, not the one before it
    EXPECT_FALSE(view->problemLabel()->isVisible());
    EXPECT_EQ(view->loadEarlierButton()->text(), "Load earlier messages (250 older)");
}

TEST_F(Thread, AFailedEarlierPageIsRetriedForTheSameWindow) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 450);
    auto view = open("+15550001111");
    auto& t = view->threadModel();
    hideArchive();
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(250, 450)); // nothing moved
    EXPECT_TRUE(view->problemLabel()->isVisible());
    EXPECT_EQ(view->loadEarlierButton()->text(), "Load earlier messages (250 older)");

    restoreArchive();
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(50, 450)); // the window that failed, no page skipped
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(ids(t), expected(0, 450));
}

TEST_F(Thread, DayHeadingsAreRecomputedWhereAPrependedPageMeetsTheOldFirstMessage) {
    start();
    {
        ArchiveWriter w(root(), "jorin");
        // 260 messages: two undated, then 258 dated ones, all on one day from
        // message 10 on, so the old first message (60) shares the day of the
        // page put before it.
        std::vector<PlannedMessage> list;
        list.push_back({"U-0", "no date", std::nullopt, false, {}, {"src-a"}});
        list.push_back({"U-1", "no date", std::nullopt, false, {}, {"src-a"}});
        for (int i = 2; i < 260; ++i)
            list.push_back(
                {"M-" + std::to_string(i), "text", readingDate(i < 10 ? -2880 + i : i), i % 2 == 0, {}, {"src-a"}});
        w.conversation("+15550001111", list);
    }
    auto view = open("+15550001111");
    auto& t = view->threadModel();
    ASSERT_EQ(t.rowCount(), 200);
    EXPECT_EQ(t.row(0).hit.id, "M-60");
    EXPECT_TRUE(t.row(0).headingDue); // the first loaded message always has one
    EXPECT_FALSE(t.row(1).headingDue);

    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    ASSERT_EQ(t.rowCount(), 260);
    EXPECT_EQ(t.row(0).hit.id, "U-0");
    EXPECT_FALSE(t.row(0).headingDue); // no date: never
    EXPECT_FALSE(t.row(1).headingDue);
    EXPECT_TRUE(t.row(2).headingDue); // a dated message after an undated one: always
    EXPECT_FALSE(t.row(3).headingDue);
    EXPECT_FALSE(t.row(9).headingDue);
    EXPECT_TRUE(t.row(10).headingDue); // message 10 starts a new day
    EXPECT_EQ(t.row(60).hit.id, "M-60");
    EXPECT_FALSE(t.row(60).headingDue); // same day as the message now before it
    int headings = 0;
    for (int i = 0; i < t.rowCount(); ++i) headings += t.row(i).headingDue ? 1 : 0;
    EXPECT_EQ(headings, 2);
}

TEST_F(Thread, OpensAtTheNewestMessageAndKeepsTheReadMessageInPlaceWhenPrepending) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 450);
    auto view = open("+15550001111");
    auto* bar = view->list()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    const QRect last = view->list()->visualRect(view->threadModel().index(199));
    EXPECT_LE(last.bottom(), view->list()->viewport()->height());

    // Scroll to a message in the middle and load an earlier page.
    bar->setValue(bar->maximum() / 2);
    const QModelIndex top = view->list()->indexAt(QPoint(1, 1));
    ASSERT_TRUE(top.isValid());
    const std::string reading = view->threadModel().row(top.row()).hit.id;
    const int offset = view->list()->visualRect(top).top();
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    const int row = view->threadModel().rowOf(reading);
    ASSERT_EQ(row, top.row() + 200);
    EXPECT_EQ(view->list()->visualRect(view->threadModel().index(row)).top(), offset);
}

TEST_F(Thread, ClickingABubbleTogglesItsDetailLine) {
    start();
    {
        ArchiveWriter w(root(), "jorin");
        PlannedMessage m{"M-0", "Twice seen", readingDate(5), true, {}, {"src-a", "src-b"}};
        w.conversation("+15550001111", {m});
    }
    auto view = open("+15550001111");
    auto& t = view->threadModel();
    ASSERT_EQ(t.rowCount(), 1);
    const QRect rect = view->list()->visualRect(t.index(0));
    const auto g = view->delegate().rowGeometry(0, rect);
    ASSERT_FALSE(g.bubble.isEmpty());
    EXPECT_GT(g.bubble.left(), rect.center().x()); // a sent message sits on the trailing side
    QTest::mouseClick(view->list()->viewport(), Qt::LeftButton, {}, g.bubble.center());
    EXPECT_TRUE(t.row(0).showDetail);
    // The line fades in over 0.15 s.
    EXPECT_LT(view->delegate().detailOpacity("M-0"), 1.0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->delegate().detailOpacity("M-0") == 1.0; }, 3000));
    const auto open = view->delegate().rowGeometry(0, view->list()->visualRect(t.index(0)));
    EXPECT_FALSE(open.detail.isEmpty());
    EXPECT_EQ(view->list()->visualRect(t.index(0)).height(), open.height); // the row grew with it
    EXPECT_FALSE(open.seal.isEmpty());                                     // two sources: the corroboration label
    EXPECT_EQ(t.data(t.index(0), Qt::AccessibleTextRole).toString(), "You said");
    EXPECT_TRUE(t.data(t.index(0), Qt::AccessibleDescriptionRole).toString().endsWith("corroborated in 2 sources"));
    QTest::mouseClick(view->list()->viewport(), Qt::LeftButton, {}, open.bubble.center());
    EXPECT_FALSE(t.row(0).showDetail);
}

TEST_F(Thread, ResultsArrivingAfterTheScreenIsGoneAreDropped) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 450);
    for (int i = 0; i < 5; ++i) {
        auto view = open("+15550001111", 450, false);
        QPointer<ThreadModel> thread(&view->threadModel());
        view.reset(); // the route changed while the page was read
        EXPECT_TRUE(thread.isNull());
    }
    EXPECT_TRUE(settle());
    // Still usable afterwards.
    auto view = open("+15550001111");
    EXPECT_EQ(view->threadModel().rowCount(), 200);
}

TEST_F(Thread, TitleIsTheResolvedNameAndFollowsRenaming) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 3);
    QWidget window;
    window.setWindowTitle("Kelvara");
    window.resize(700, 600);
    TreskStore::ConversationSummary s{"+15550001111", "iMessage", 3, std::nullopt, std::nullopt};
    auto* view = new ThreadView(*model, "jorin", s, &window);
    window.show();
    ASSERT_TRUE(settle());
    EXPECT_EQ(view->titleLabel()->text(), "+15550001111");
    EXPECT_EQ(window.windowTitle(), "+15550001111");
    auto o = model->contacts().overrides();
    o.set("+15550001111", "Mum");
    model->contacts().setOverrides(o);
    EXPECT_EQ(view->titleLabel()->text(), "Mum");
    EXPECT_EQ(window.windowTitle(), "Mum");
    // "Export…" opens the export sheet for this conversation, once.
    EXPECT_EQ(view->exportButton()->text(), "Export…");
    view->exportButton()->click();
    ASSERT_NE(view->exportSheet(), nullptr);
    EXPECT_EQ(view->exportSheet()->conversationName(), "Mum");
    EXPECT_TRUE(view->exportSheet()->isVisible());
    ExportConversationView* sheet = view->exportSheet();
    view->exportButton()->click();
    EXPECT_EQ(view->exportSheet(), sheet);
    sheet->cancelButton()->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->exportSheet(), nullptr);
    delete view;
    EXPECT_EQ(window.windowTitle(), "Kelvara");
}

TEST_F(Thread, ALongGroupNameIsCutShortBesideExportNotClipped) {
    start();
    ArchiveWriter(root(), "jorin").simpleConversation("chat100001", 3);
    const QString name = "#family-trip-planning-summer-2019-at-the-lake-house-with-everyone-who-can-come";
    QWidget window;
    window.resize(420, 400);
    TreskStore::ConversationSummary s{"chat100001", name.toStdString(), 3, std::nullopt, name.toStdString()};
    auto* view = new ThreadView(*model, "jorin", s, &window);
    view->resize(window.size());
    window.show();
    ASSERT_TRUE(settle());
    QLabel* title = view->titleLabel();
    // The whole name is the window's title and the tooltip; the line shows
    // what fits, with an ellipsis, and ends before the button.
    EXPECT_EQ(window.windowTitle(), name);
    EXPECT_EQ(title->toolTip(), name);
    EXPECT_TRUE(title->text().endsWith(QChar(0x2026))) << title->text().toStdString();
    EXPECT_TRUE(name.startsWith(title->text().chopped(1)));
    EXPECT_LE(title->fontMetrics().horizontalAdvance(title->text()), title->contentsRect().width());
    EXPECT_LE(title->geometry().right(), view->exportButton()->geometry().left());
    snapshot(window, "thread-long-group-name");
}

namespace {

// Bodies of one to a dozen lines of words, so rows change height with the width.
void wrappingConversation(ArchiveWriter w, const std::string& handle, int count) {
    std::vector<PlannedMessage> list;
    for (int i = 0; i < count; ++i) {
        std::string text = "Message " + std::to_string(i);
        for (int k = 0; k < (i * 37) % 90; ++k) text += " word" + std::to_string(k);
        list.push_back({"M-" + std::to_string(i), text, readingDate(i), i % 3 == 0, {}, {"src-a"}});
    }
    w.conversation(handle, list);
}

// Stands in for the thread's delegate in its list and notes where the last
// paint drew each row, so a test sees what was on screen.
class PaintRecorder : public QStyledItemDelegate {
public:
    explicit PaintRecorder(ThreadView& view) : view_(view), inner_(view.delegate()) {
        connect(&inner_, &QAbstractItemDelegate::sizeHintChanged, this, &QAbstractItemDelegate::sizeHintChanged);
        view.list()->setItemDelegate(this);
    }
    QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override { return inner_.sizeHint(o, i); }
    void paint(QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        drawn[i.row()] = o.rect;
        inner_.paint(p, o, i);
    }
    // Paints the list, checks that every row drawn had the list's width and the
    // height it has at that width and that the rows met without gap or overlap,
    // and returns the message drawn at the top and its top.
    std::pair<std::string, int> paintAndCheck() {
        QCoreApplication::processEvents();
        drawn.clear();
        view_.list()->viewport()->repaint();
        const int width = view_.list()->viewport()->width();
        EXPECT_FALSE(drawn.empty());
        std::pair<std::string, int> top{"", 0};
        for (const auto& [row, rect] : drawn) {
            EXPECT_EQ(rect.height(), inner_.rowGeometry(row, QRect(0, 0, width, 0)).height)
                << "row " << row << " drawn at width " << width;
            EXPECT_EQ(rect.width(), width) << "row " << row;
            if (drawn.count(row - 1)) {
                EXPECT_EQ(rect.top(), drawn[row - 1].bottom() + 1) << "row " << row;
            }
            if (rect.top() <= 0 && rect.bottom() >= 0) top = {view_.threadModel().row(row).hit.id, rect.top()};
        }
        return top;
    }
    mutable std::map<int, QRect> drawn;

private:
    ThreadView& view_;
    MessageDelegate& inner_;
};

} // namespace

TEST_F(Thread, AfterAWidthChangeShownRowsHaveTheirNewHeightsAndTheReadMessageStaysPut) {
    start();
    wrappingConversation(ArchiveWriter(root(), "jorin"), "+15550001111", 1100);
    auto view = open("+15550001111");
    PaintRecorder screen(*view);
    auto& t = view->threadModel();
    for (int page = 0; page < 4; ++page) {
        QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
        ASSERT_TRUE(settle());
    }
    ASSERT_EQ(t.rowCount(), 1000);
    auto* bar = view->list()->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const auto reading = screen.paintAndCheck();
    ASSERT_FALSE(reading.first.empty());
    snapshot(*view, "thread-width-700");

    for (int width : {420, 360, 900, 380}) {
        view->resize(width, 600);
        EXPECT_EQ(screen.paintAndCheck(), reading) << "at width " << width;
        snapshot(*view, "thread-width-" + QString::number(width));
    }
    // Rows far from the screen were not measured for the new width.
    EXPECT_FALSE(view->delegate().isCurrent(0));
    EXPECT_FALSE(view->delegate().isCurrent(999));

    // The next page is measured as it arrives; the message read stays in place.
    QTest::mouseClick(view->loadEarlierButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    ASSERT_EQ(t.rowCount(), 1100);
    EXPECT_EQ(screen.paintAndCheck(), reading);
    EXPECT_TRUE(view->delegate().isCurrent(0));
    EXPECT_FALSE(view->delegate().isCurrent(1099));

    // Rows reached by scrolling are measured before they are drawn.
    for (int value : {0, bar->maximum() / 4, bar->maximum()}) {
        bar->setValue(value);
        screen.paintAndCheck();
    }
}

TEST_F(Thread, AThreadAtItsNewestMessageStaysThereThroughAWidthChange) {
    start();
    wrappingConversation(ArchiveWriter(root(), "jorin"), "+15550001111", 300);
    auto view = open("+15550001111");
    PaintRecorder screen(*view);
    auto* bar = view->list()->verticalScrollBar();
    ASSERT_EQ(bar->value(), bar->maximum());
    for (int width : {380, 800}) {
        view->resize(width, 600);
        screen.paintAndCheck();
        EXPECT_EQ(bar->value(), bar->maximum());
        ASSERT_TRUE(screen.drawn.count(199));
        EXPECT_EQ(screen.drawn[199].bottom(), view->list()->viewport()->height() - 1);
    }
}
