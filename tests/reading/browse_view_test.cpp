// The browse screen driven through its widgets: the left pane's states in their
// order, owners, the conversation list over an archive scanned from a generated
// Messages folder, filtering, naming contacts, and loads that finish after
// another owner was chosen or after the screen is gone.
#include "app/model/runs_model.h"
#include "reading/browse_view.h"
#include "reading/model/conversation_list_model.h"
#include "reading/model/reading_text.h"
#include "reading/model/thread_model.h"
#include "reading/rename_contact_view.h"
#include "reading/thread_view.h"
#include "tests/fixtures/fixtures.h"
#include "tests/reading/reading_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/model_test_access.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QToolButton>

using namespace kx;
using namespace kx::test;

namespace {

class Browse : public ReadingTest {
protected:
    std::unique_ptr<BrowseView> show() {
        auto view = std::make_unique<BrowseView>(*model);
        view->resize(1000, 700);
        view->show();
        EXPECT_TRUE(settle());
        return view;
    }
    QStringList rowNames(BrowseView& v) {
        QStringList out;
        for (int i = 0; i < v.filtered().rowCount(); ++i) out << v.filtered().index(i, 0).data().toString();
        return out;
    }
    QAction* action(const QList<QAction*>& actions, const QString& text) {
        for (auto* a : actions)
            if (a->text() == text) return a;
        return nullptr;
    }
    QPushButton* actionButton(QWidget* panel) { return panel->findChild<QPushButton*>("contentUnavailableAction"); }
};

} // namespace

TEST_F(Browse, TheListSideSaysWhyThereIsNothingToListInItsOrder) {
    start();
    // No owner and no source: nothing loads, "No sources connected".
    {
        auto view = show();
        EXPECT_EQ(view->listState(), "noSources");
        EXPECT_FALSE(view->ownerPicker()->isVisible());
        EXPECT_FALSE(view->conversations().isLoading());
        QTest::mouseClick(actionButton(view->listSide()->currentWidget()), Qt::LeftButton);
        EXPECT_EQ(model->route(), Route::sources);
    }
    // A source but no archive yet: "Nothing archived yet"; "Scan now" goes to Sources, then scans.
    registerSource("a", "jorin");
    model->setRoute(Route::browse);
    {
        auto view = show();
        EXPECT_EQ(view->listState(), "nothingArchived");
        auto* scan = actionButton(view->listSide()->currentWidget());
        ModelTestAccess::setIsRunning(model->runs(), true);
        EXPECT_FALSE(scan->isEnabled());
        ModelTestAccess::setIsRunning(model->runs(), false);
        ASSERT_TRUE(scan->isEnabled());
        QTest::mouseClick(scan, Qt::LeftButton);
        EXPECT_EQ(model->route(), Route::sources);
        EXPECT_TRUE(model->runs().isRunning());
        ASSERT_TRUE(settle());
    }
    // Conversations in the archive, but the source list emptied: the sources check comes first.
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 3);
    {
        auto view = show();
        EXPECT_EQ(view->listState(), "list");
    }
    model->mutableRegistry().remove("a");
    {
        auto view = show();
        EXPECT_EQ(view->listState(), "noSources");
    }
}

// An archive whose conversations cannot be read lists nothing, and the log says
// why, for a person who reports that nothing shows.
TEST_F(Browse, AnUnreadableConversationListIsEmptyAndLogsWhy) {
    start();
    registerSource("src-a", "jorin");
    { ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 5); }
    sqlite3(OwnersModel::archiveDatabasePath(root(), "jorin").toStdString(), "DROP TABLE chats;");
    LogCapture log("kelvara.reading");
    auto view = show();
    EXPECT_EQ(view->conversations().rowCount(), 0);
    ASSERT_FALSE(log.messages().isEmpty());
    EXPECT_TRUE(log.messages()[0].startsWith("The conversations in jorin's archive could not be read: "))
        << log.messages()[0].toStdString();
    EXPECT_TRUE(log.messages()[0].contains("chats")) << log.messages()[0].toStdString();
}

TEST_F(Browse, AConversationEmptiedWhenItsMessagesMovedToTheirOwnIsNotListed) {
    start();
    registerSource("a", "jorin");
    const std::vector<PlannedMessage> messages = {{"U-1", "first", readingDate(1), false, {}, {"src-a"}},
                                                  {"U-2", "second", readingDate(2), true, {}, {"src-a"}}};
    {
        // A scan that could not read which conversation they belong to.
        ArchiveWriter archive(root(), "jorin");
        archive.simpleConversation("+15550001111", 3);
        archive.unlinked(messages);
    }
    {
        auto view = show();
        EXPECT_EQ(rowNames(*view).size(), 2);
    }
    {
        // A later scan reads the link: they move to their conversation.
        ArchiveWriter archive(root(), "jorin");
        archive.conversation("+15550002222", messages);
    }
    TreskStore store(OwnersModel::archiveDatabasePath(root(), "jorin").toStdString());
    bool unknownEmpty = false;
    for (const auto& c : store.conversations("jorin"))
        if (c.handle == "unknown") unknownEmpty = c.messageCount == 0;
    ASSERT_TRUE(unknownEmpty) << "the unknown conversation is still in the store, with no message";
    auto view = show();
    ASSERT_EQ(view->conversations().rowCount(), 2);
    for (int i = 0; i < view->conversations().rowCount(); ++i)
        EXPECT_GT(view->conversations().summary(i).messageCount, 0) << i;
}

TEST_F(Browse, ListsAScannedArchiveAndFiltersWithoutReloading) {
    start();
    fixtures::Options o;
    o.messages = 120;
    fixtures::writeMessagesFolder(home / "copies" / "a", o);
    registerSource("a", "jorin");
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    ASSERT_TRUE(model->report() && model->report()->succeeded());

    auto view = show();
    ASSERT_EQ(view->listState(), "list");
    auto& list = view->conversations();
    ASSERT_GT(list.rowCount(), 2);
    // Rows in the archive's order, each with its name, caption line and spoken label.
    TreskStore store(OwnersModel::archiveDatabasePath(root(), "jorin").toStdString());
    const auto summaries = store.conversations("jorin");
    ASSERT_EQ(static_cast<int>(summaries.size()), list.rowCount());
    for (int i = 0; i < list.rowCount(); ++i) {
        const auto& s = summaries[static_cast<size_t>(i)];
        EXPECT_EQ(list.summary(i), s);
        const QModelIndex index = list.index(i);
        const QString count = QString::number(s.messageCount);
        EXPECT_TRUE(index.data(ConversationListModel::SecondLineRole).toString().contains(count + " message"));
        EXPECT_TRUE(index.data(Qt::AccessibleTextRole).toString().endsWith(", " + count + " messages"));
    }

    // Filtering narrows the rows and never reads the archive again.
    QSignalSpy loads(&list, &ConversationListModel::isLoadingChanged);
    const int all = view->filtered().rowCount();
    const QString wanted = QString::fromStdString(summaries[0].handle).right(4);
    QTest::keyClicks(view->filterField(), wanted);
    EXPECT_GE(view->filtered().rowCount(), 1);
    EXPECT_LT(view->filtered().rowCount(), all);
    QTest::keyClicks(view->filterField(), "no such name at all");
    EXPECT_EQ(view->filtered().rowCount(), 0);
    EXPECT_EQ(view->listState(), "list"); // not "Nothing archived yet"
    view->filterField()->clear();
    EXPECT_EQ(view->filtered().rowCount(), all);
    EXPECT_EQ(loads.count(), 0);

    // Selecting a row shows its thread; another row builds a fresh one.
    view->listView()->setCurrentIndex(view->filtered().index(0, 0));
    ASSERT_TRUE(view->thread());
    QPointer<ThreadView> first = view->thread();
    ASSERT_TRUE(settle());
    EXPECT_GT(first->threadModel().rowCount(), 0) << first->threadModel().loadProblem().toStdString();
    view->listView()->setCurrentIndex(view->filtered().index(1, 0));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(view->selected()->handle, summaries[1].handle);

    // A right click on another row (for its menu) keeps the thread being read.
    QPointer<ThreadView> reading = view->thread();
    const QRect third = view->listView()->visualRect(view->filtered().index(2, 0));
    QTest::mouseClick(view->listView()->viewport(), Qt::RightButton, {}, third.center());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->selected()->handle, summaries[1].handle);
    EXPECT_EQ(view->thread(), reading.data());
    QTest::mouseClick(view->listView()->viewport(), Qt::LeftButton, {}, third.center());
    EXPECT_EQ(view->selected()->handle, summaries[2].handle);
}

TEST_F(Browse, AFilterThatHidesTheOpenConversationNeverChangesWhatIsOpen) {
    start();
    registerSource("a", "jorin");
    {
        ArchiveWriter w(root(), "jorin");
        w.simpleConversation("+15550001111", 2, "A", 1, 0);
        w.simpleConversation("+15550002222", 2, "B", 1, 10);
        w.simpleConversation("+15550003333", 2, "C", 1, 20);
    }
    auto view = show();
    ASSERT_EQ(rowNames(*view), (QStringList{"+15550003333", "+15550002222", "+15550001111"}));
    const QRect second = view->listView()->visualRect(view->filtered().index(1, 0));
    QTest::mouseClick(view->listView()->viewport(), Qt::LeftButton, {}, second.center());
    ASSERT_TRUE(settle());
    ASSERT_TRUE(view->selected() && view->thread());
    QPointer<ThreadView> open = view->thread();
    ASSERT_EQ(view->windowTitle(), "+15550002222");
    auto markedRow = [&] {
        const QModelIndex current = view->listView()->currentIndex();
        const bool selected = view->listView()->selectionModel()->isSelected(current);
        return current.isValid() && selected ? current.data().toString() : QString();
    };
    auto stillOpen = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(open);
        EXPECT_EQ(view->thread(), open.data());
        EXPECT_EQ(view->selected()->handle, "+15550002222");
        EXPECT_EQ(view->windowTitle(), "+15550002222");
    };

    // Hidden by the filter: nothing else opens, and no other row is marked.
    QTest::keyClicks(view->filterField(), "1111");
    EXPECT_EQ(rowNames(*view), QStringList{"+15550001111"});
    stillOpen();
    EXPECT_EQ(markedRow(), QString());
    snapshot(*view, "browse-filter-hides-the-open-conversation");
    // Shown again (a wider filter, then none): its row is marked again.
    QTest::keyClick(view->filterField(), Qt::Key_Backspace);
    QTest::keyClick(view->filterField(), Qt::Key_Backspace);
    QTest::keyClick(view->filterField(), Qt::Key_Backspace);
    QTest::keyClick(view->filterField(), Qt::Key_Backspace);
    QTest::keyClicks(view->filterField(), "2");
    stillOpen();
    EXPECT_EQ(markedRow(), "+15550002222");
    QTest::keyClicks(view->filterField(), "no such row");
    stillOpen();
    view->filterField()->clear();
    EXPECT_EQ(view->filtered().rowCount(), 3);
    stillOpen();
    EXPECT_EQ(markedRow(), "+15550002222");

    // Choosing a row while filtered still opens it.
    QTest::keyClicks(view->filterField(), "3333");
    QTest::mouseClick(view->listView()->viewport(), Qt::LeftButton, {},
                      view->listView()->visualRect(view->filtered().index(0, 0)).center());
    EXPECT_EQ(view->selected()->handle, "+15550003333");
}

TEST_F(Browse, ChoosingAnotherOwnerDropsTheEarlierLoadAndClearsTheSelection) {
    start();
    registerSource("a", "jorin");
    registerSource("b", "sam");
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 3);
    {
        ArchiveWriter w(root(), "sam");
        w.simpleConversation("+15550002222", 2);
        w.simpleConversation("+15550003333", 2, "N", 1, 5);
    }
    auto view = std::make_unique<BrowseView>(*model);
    view->show();
    EXPECT_TRUE(view->ownerPicker()->isVisible());
    EXPECT_EQ(view->conversations().owner(), "jorin");
    EXPECT_EQ(view->listState(), "loading");
    // Choose the other owner before jorin's list has arrived.
    auto* samButton = view->ownerPicker()->findChild<QToolButton*>("owner:sam");
    ASSERT_TRUE(samButton);
    QTest::mouseClick(samButton, Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(view->conversations().owner(), "sam");
    EXPECT_EQ(rowNames(*view), (QStringList{"+15550003333", "+15550002222"}));

    view->listView()->setCurrentIndex(view->filtered().index(0, 0));
    ASSERT_TRUE(view->selected());
    view->chooseOwner("jorin");
    EXPECT_FALSE(view->selected());
    EXPECT_EQ(view->thread(), nullptr);
    ASSERT_TRUE(settle());
    EXPECT_EQ(rowNames(*view), QStringList{"+15550001111"});

    // The screen goes away while its list loads: the result is dropped.
    view->chooseOwner("sam");
    view.reset();
    EXPECT_TRUE(settle());
}

TEST_F(Browse, NamingAContactUpdatesTheRowsAndTheThreadAndCanBeUndone) {
    start();
    registerSource("a", "jorin");
    ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 3);
    auto view = show();
    ASSERT_EQ(rowNames(*view), QStringList{"+15550001111"});
    view->listView()->setCurrentIndex(view->filtered().index(0, 0));
    ASSERT_TRUE(settle());
    auto* thread = view->thread();
    ASSERT_TRUE(thread);

    // Unknown handle: "Name this contact…" and "Copy handle"; no second text.
    auto actions = view->rowActions(0, view.get());
    ASSERT_TRUE(action(actions, "Name this contact…"));
    EXPECT_FALSE(action(actions, "Remove my name"));
    const QString day = reading::mediumDate(QDate(2024, 3, 1));
    EXPECT_EQ(view->filtered().index(0, 0).data(ConversationListModel::SecondLineRole).toString(),
              "3 messages · " + day);
    EXPECT_EQ(view->filtered().index(0, 0).data(Qt::AccessibleTextRole).toString(), "+15550001111, 3 messages");
    action(actions, "Copy handle")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "+15550001111");

    // Cancel changes nothing, even after typing.
    action(actions, "Name this contact…")->trigger();
    ASSERT_TRUE(view->renameSheet());
    auto* sheet = view->renameSheet();
    EXPECT_EQ(sheet->nameField()->text(), ""); // nothing known: an empty field
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    QTest::keyClicks(sheet->nameField(), "Someone");
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(model->contacts().overrides().empty());

    // Spaces around the name are not stored; only spaces and tabs keep Save disabled.
    action(view->rowActions(0, view.get()), "Name this contact…")->trigger();
    sheet = view->renameSheet();
    QTest::keyClicks(sheet->nameField(), " \t ");
    EXPECT_FALSE(sheet->saveButton()->isEnabled());
    sheet->nameField()->clear();
    QTest::keyClicks(sheet->nameField(), "  Mum  ");
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(view->renameSheet());
    EXPECT_EQ(model->contacts().overrides().name("+15550001111"), std::optional<std::string>("Mum"));
    EXPECT_NE(readAll(configDirFile("contacts-overrides.json")).find("Mum"), std::string::npos);
    EXPECT_EQ(rowNames(*view), QStringList{"Mum"});
    EXPECT_EQ(view->filtered().index(0, 0).data(ConversationListModel::SecondLineRole).toString(),
              "+15550001111 · 3 messages · " + day);
    EXPECT_EQ(view->filtered().index(0, 0).data(Qt::AccessibleTextRole).toString(), "Mum, +15550001111, 3 messages");
    EXPECT_EQ(thread->threadModel().title(), "Mum");
    // The filter finds the typed name.
    QTest::keyClicks(view->filterField(), "mu");
    EXPECT_EQ(view->filtered().rowCount(), 1);
    view->filterField()->clear();

    // A typed name offers editing (prefilled) and removal.
    actions = view->rowActions(0, view.get());
    ASSERT_TRUE(action(actions, "Edit name…"));
    EXPECT_FALSE(action(actions, "Name this contact…"));
    action(actions, "Edit name…")->trigger();
    sheet = view->renameSheet();
    EXPECT_EQ(sheet->nameField()->text(), "Mum");
    sheet->nameField()->setText("Mother");
    QTest::mouseClick(sheet->saveButton(), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(rowNames(*view), QStringList{"Mother"});

    action(view->rowActions(0, view.get()), "Remove my name")->trigger();
    EXPECT_TRUE(model->contacts().overrides().empty());
    EXPECT_EQ(rowNames(*view), QStringList{"+15550001111"});
    EXPECT_EQ(thread->threadModel().title(), "+15550001111");
    EXPECT_EQ(readAll(configDirFile("contacts-overrides.json")).find("Mother"), std::string::npos);
}
