// The search screen driven through its widgets over archives written by the
// tests: its content states in order, the header and rows, literal queries,
// a damaged archive, several owners, and a screen closed mid-search.
#include "app/model/app_model.h"
#include "app/model/runs_model.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "reading/browse_view.h"
#include "reading/model/conversation_list_model.h"
#include "reading/model/search_model.h"
#include "reading/search_view.h"
#include "tests/fixtures/fixtures.h"
#include "tests/reading/reading_fixture.h"
#include "tests/support/log_capture.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <map>
#include <set>

using namespace kx;
using namespace kx::test;

namespace {

QString rowText(QWidget* row, const char* name) {
    if (auto* l = row->findChild<QLabel*>(QString::fromLatin1(name))) return l->text();
    if (auto* s = row->findChild<SymbolTextLabel*>(QString::fromLatin1(name))) return s->text();
    return QStringLiteral("<none>");
}

class SearchScreen : public ReadingTest {
protected:
    void SetUp() override {
        ReadingTest::SetUp();
        start();
    }
    std::unique_ptr<SearchView> open() {
        auto view = std::make_unique<SearchView>(*model);
        view->resize(760, 560);
        view->show();
        QCoreApplication::processEvents();
        return view;
    }
    // Types the query and presses Return; waits for the search to finish.
    void search(SearchView& view, const QString& query) {
        view.queryField()->setText(query);
        QTest::keyClick(view.queryField(), Qt::Key_Return);
        ASSERT_TRUE(settle());
        QCoreApplication::processEvents();
    }
};

TEST_F(SearchScreen, WithoutSourcesItOffersTheSourcesScreenAndCannotSearch) {
    auto view = open();
    EXPECT_EQ(view->contentState(), "noSources");
    EXPECT_FALSE(view->ownerPicker()->isVisible());
    view->queryField()->setText("anything");
    // No owner to search: the button stays disabled and Return does nothing.
    EXPECT_FALSE(view->searchButton()->isEnabled());
    QTest::keyClick(view->queryField(), Qt::Key_Return);
    EXPECT_FALSE(view->searchModel().isSearching());
    snapshot(*view, "search-no-sources");
    model->setRoute(Route::search);
    auto* go = view->findChild<QPushButton*>("contentUnavailableAction");
    ASSERT_NE(go, nullptr);
    go->click();
    EXPECT_EQ(model->route(), Route::sources);
}

TEST_F(SearchScreen, HeaderRowsAndTheStatesInOrder) {
    registerSource("src-a", "jorin");
    {
        ArchiveWriter w(root(), "jorin");
        std::vector<PlannedMessage> many;
        for (int i = 0; i < 450; ++i)
            many.push_back(
                {"T-" + std::to_string(i), "the train leaves at " + std::to_string(i), readingDate(i), false, {}});
        w.conversation("+15550001111", many);
        std::vector<PlannedMessage> special = {
            {"S-0", "mine, seen three times", readingDate(1000), true, {}, {"src-a", "src-b", "src-c"}},
            {"S-1", std::nullopt, readingDate(1001), false, {}},
            {"S-2", "no date here, three times", std::nullopt, false, {}},
            {"S-3", "東京で会いましょう 🎉 see you", readingDate(1003), false, {}, {"src-a", "src-b"}},
            {"S-4", "quote \"hi\" star * and AND and - dash", readingDate(1004), false, {}},
        };
        w.conversation("+15550002222", special);
    }
    auto view = open();
    EXPECT_EQ(view->owner(), "jorin");
    EXPECT_FALSE(view->ownerPicker()->isVisible()) << "one owner: no picker";
    EXPECT_EQ(view->contentState(), "prompt");
    EXPECT_FALSE(view->searchButton()->isEnabled());
    snapshot(*view, "search-prompt");

    view->queryField()->setText("train");
    EXPECT_TRUE(view->searchButton()->isEnabled());
    view->searchButton()->click();
    EXPECT_EQ(view->contentState(), "searching");
    EXPECT_FALSE(view->searchButton()->isEnabled());
    QTest::keyClick(view->queryField(), Qt::Key_Return); // ignored while one runs
    snapshot(*view, "search-searching");
    ASSERT_TRUE(settle());
    EXPECT_EQ(view->contentState(), "results");
    EXPECT_EQ(view->countLabel()->text(), "450 results");
    EXPECT_TRUE(view->showingFirstLabel()->isVisible());
    EXPECT_EQ(view->showingFirstLabel()->text(), "· showing first 200");
    EXPECT_TRUE(view->elapsedLabel()->text().startsWith("· "));
    EXPECT_TRUE(view->elapsedLabel()->text().endsWith("ms"));
    ASSERT_EQ(view->rows().size(), 200);
    EXPECT_EQ(view->rows().front()->property("messageId").toString(), "T-449") << "newest first";
    snapshot(*view, "search-results-many");

    search(*view, "three times");
    ASSERT_EQ(view->rows().size(), 2);
    EXPECT_EQ(view->countLabel()->text(), "2 results");
    EXPECT_FALSE(view->showingFirstLabel()->isVisible());
    QWidget* mine = view->rows()[0];
    QWidget* undated = view->rows()[1];
    EXPECT_EQ(mine->property("messageId").toString(), "S-0");
    EXPECT_EQ(rowText(mine, "you"), "You");
    auto* seal = mine->findChild<SymbolTextLabel*>("corroborated");
    ASSERT_NE(seal, nullptr);
    EXPECT_EQ(seal->text(), "corroborated in 3 sources");
    EXPECT_EQ(seal->toolTip(), "src-a, src-b, src-c");
    EXPECT_EQ(undated->findChild<QLabel*>("date"), nullptr);
    EXPECT_EQ(undated->findChild<SymbolTextLabel*>("you"), nullptr);
    EXPECT_EQ(undated->findChild<SymbolTextLabel*>("corroborated"), nullptr);
    EXPECT_EQ(rowText(undated, "text"), "no date here, three times");

    // One result: the noun agrees.
    search(*view, "東京で会いましょう");
    ASSERT_EQ(view->rows().size(), 1);
    EXPECT_EQ(view->countLabel()->text(), "1 result");
    snapshot(*view, "search-results-cjk-emoji");

    // Quotes, "*", "AND" and "-" are words like any other, never query syntax:
    // words find their messages, and punctuation the index holds no word for
    // finds nothing rather than failing.
    for (const QString q : {"AND", "\"hi\"", "star AND dash", "star -dash"}) {
        search(*view, q);
        ASSERT_EQ(view->rows().size(), 1) << q.toStdString();
        EXPECT_EQ(view->rows()[0]->property("messageId").toString(), "S-4") << q.toStdString();
    }
    for (const QString q : {"-", "*", "NOT", "\"", "a OR b"}) {
        search(*view, q);
        EXPECT_EQ(view->contentState(), "noResults") << q.toStdString();
    }

    // Spaces are searched as typed: no words, so no results, and the search-empty view.
    view->queryField()->setText("   ");
    EXPECT_TRUE(view->searchButton()->isEnabled());
    search(*view, "   ");
    EXPECT_EQ(view->contentState(), "noResults");
    search(*view, "zebra");
    EXPECT_EQ(view->contentState(), "noResults");
    EXPECT_EQ(view->noResultsPanel()->title(), "No Results for “zebra”");
    snapshot(*view, "search-no-results");
}

// Over a scanned Messages database, whose own messages in a one-to-one chat
// carry no handle: the owner's messages are the owner's, and a conversation
// has the name the browse screen gives it.
TEST_F(SearchScreen, OwnMessagesAreTheOwnersAndConversationsAreNamedAsBrowseNamesThem) {
    fixtures::Options o;
    o.messages = 60;
    o.handles = 3;
    o.groupChats = 1;
    o.reactionEvery = 0;
    o.bodyOnlyEvery = 0;
    fixtures::writeMessagesFolder(home / "copies" / "a", o);
    registerSource("a", "jorin");
    model->runs().startScan(ScanRequest{});
    ASSERT_TRUE(settle());
    ASSERT_TRUE(model->report() && model->report()->succeeded());

    BrowseView browse(*model);
    ASSERT_TRUE(settle());
    std::map<std::string, QString> browseNames;
    for (int i = 0; i < browse.conversations().rowCount(); ++i)
        browseNames[browse.conversations().summary(i).handle] = browse.conversations().index(i).data().toString();
    EXPECT_EQ(browseNames["chat100001"], "Group 1");

    auto view = open();
    search(*view, "Message");
    const auto& hits = view->searchModel().results();
    ASSERT_EQ(view->rows().size(), static_cast<int>(hits.size()));
    ASSERT_GE(hits.size(), 60u);
    std::set<QString> seen;
    for (size_t i = 0; i < hits.size(); ++i) {
        const auto& hit = hits[i];
        const QString title = rowText(view->rows()[static_cast<int>(i)], "sender");
        const QString conversation = browseNames[hit.conversationKey];
        ASSERT_FALSE(conversation.isEmpty()) << hit.conversationKey;
        if (hit.isFromMe) EXPECT_EQ(title, "You · " + conversation) << hit.id;
        else if (hit.conversationKey == "chat100001")
            EXPECT_EQ(title, QString::fromStdString(*hit.senderHandle) + " · Group 1");
        else EXPECT_EQ(title, conversation) << hit.id;
        seen.insert(title);
    }
    EXPECT_TRUE(seen.count("You · Group 1"));
    snapshot(*view, "search-names-senders-and-conversations");
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const QString& t) {
        return t.startsWith("You · ") && !t.contains("Group");
    })) << "an own message of a one-to-one conversation";
}

TEST_F(SearchScreen, ALongConversationNameIsCutShortBeforeTheDate) {
    const std::string name = "#family-trip-planning-summer-2019-at-the-lake-house-with-everyone-who-can-come-along";
    registerSource("src-a", "jorin");
    {
        ArchiveWriter w(root(), "jorin");
        w.conversation("chat100001", {{"M-0", "see you at the lake", readingDate(1), false, {}}}, name);
    }
    auto view = open();
    view->resize(560, 400);
    search(*view, "lake");
    ASSERT_EQ(view->rows().size(), 1);
    QWidget* row = view->rows()[0];
    auto* sender = row->findChild<QLabel*>(QStringLiteral("sender"));
    auto* date = row->findChild<QLabel*>(QStringLiteral("date"));
    ASSERT_TRUE(sender && date);
    // The whole title is the tooltip; the line shows what fits, and the date
    // stays whole inside the row, which stays inside the screen.
    EXPECT_TRUE(sender->toolTip().endsWith(QString::fromStdString(name)));
    EXPECT_TRUE(sender->text().endsWith(QChar(0x2026))) << sender->text().toStdString();
    EXPECT_LE(sender->fontMetrics().horizontalAdvance(sender->text()), sender->contentsRect().width());
    EXPECT_LE(sender->geometry().right(), date->geometry().left());
    EXPECT_GE(date->width(), date->sizeHint().width());
    EXPECT_LE(row->mapTo(view.get(), QPoint(row->width(), 0)).x(), view->width());
    snapshot(*view, "search-long-conversation-name");
}

TEST_F(SearchScreen, AnOwnerWithoutAnArchiveFindsNothing) {
    registerSource("src-a", "jorin");
    auto view = open();
    search(*view, "train");
    EXPECT_EQ(view->contentState(), "noResults");
    EXPECT_TRUE(model->lastError().isEmpty());
}

TEST_F(SearchScreen, ASearchThatCannotRunSaysSoAndIsNeverNoResults) {
    registerSource("src-a", "jorin");
    { ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 5); }
    auto view = open();
    search(*view, "Message");
    ASSERT_EQ(view->contentState(), "results");

    // The archive file damaged in place.
    const auto db = OwnersModel::archiveDatabasePath(root(), "jorin").toStdString();
    std::filesystem::remove(db + "-wal");
    std::filesystem::remove(db + "-shm");
    writeAll(db, std::string(8192, 'x'));
    LogCapture log("kelvara.reading");
    search(*view, "Message");
    EXPECT_EQ(view->contentState(), "failed");
    EXPECT_TRUE(view->failureLabel()->text().startsWith("The search could not be run: jorin's archive could not be "))
        << view->failureLabel()->text().toStdString();
    EXPECT_TRUE(view->rows().isEmpty() || view->searchModel().results().empty());
    // The same sentence is logged, for a person who reports that nothing shows.
    EXPECT_EQ(log.messages(), QStringList{view->failureLabel()->text()});
    snapshot(*view, "search-failed");
}

TEST_F(SearchScreen, TwoOwnersArePickedAndSearchedSeparately) {
    registerSource("src-b", "vale");
    registerSource("src-a", "jorin");
    {
        ArchiveWriter a(root(), "jorin");
        a.conversation("+1555", {{"J-1", "lighthouse for jorin", readingDate(1), false, {}}});
    }
    {
        ArchiveWriter b(root(), "vale");
        b.conversation("+1666", {{"V-1", "lighthouse for vale", readingDate(1), false, {}},
                                 {"V-2", "another lighthouse", readingDate(2), false, {}}});
    }
    auto view = open();
    ASSERT_TRUE(view->ownerPicker()->isVisible());
    ASSERT_EQ(view->ownerPicker()->count(), 2);
    EXPECT_EQ(view->ownerPicker()->itemText(0), "jorin");
    EXPECT_EQ(view->ownerPicker()->itemText(1), "vale");
    EXPECT_EQ(view->owner(), "jorin");
    search(*view, "lighthouse");
    EXPECT_EQ(view->rows().size(), 1);
    view->ownerPicker()->setCurrentIndex(1);
    EXPECT_EQ(view->owner(), "vale");
    EXPECT_EQ(view->rows().size(), 1) << "changing the owner does not search by itself";
    search(*view, "lighthouse");
    EXPECT_EQ(view->rows().size(), 2);
}

TEST_F(SearchScreen, AScreenClosedMidSearchDropsTheResult) {
    registerSource("src-a", "jorin");
    { ArchiveWriter(root(), "jorin").simpleConversation("+15550001111", 50); }
    auto view = open();
    view->queryField()->setText("Message");
    view->runSearch();
    EXPECT_TRUE(view->searchModel().isSearching());
    view.reset();
    EXPECT_TRUE(settle());
    QCoreApplication::processEvents();
}

} // namespace
