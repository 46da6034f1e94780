// The small GUI helpers: counts, symbols, colours, clipboard, banners, choosers.
#include "app/platform/workspace.h"
#include "app/ui/app_style.h"
#include "app/ui/clipboard.h"
#include "app/ui/counts.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QSvgRenderer>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <memory>

TEST(Counts, NounAgreesWithTheCount) {
    const QString text = QStringLiteral("^[%lld message](inflect: true) archived");
    EXPECT_EQ(inflected(text, 1), QStringLiteral("1 message archived"));
    EXPECT_EQ(inflected(text, 2), QStringLiteral("2 messages archived"));
    EXPECT_EQ(inflected(text, 0), QStringLiteral("0 messages archived"));
    EXPECT_EQ(inflected(text, -1), QStringLiteral("-1 messages archived"));
    EXPECT_EQ(inflected(text, 1234567), QStringLiteral("1234567 messages archived"));
}

TEST(Counts, OnlyTheLastWordOfThePhraseIsInflected) {
    EXPECT_EQ(inflected(QStringLiteral("^[%lld coverage gap](inflect: true)"), 3), QStringLiteral("3 coverage gaps"));
    EXPECT_EQ(inflected(QStringLiteral("^[%lld unique message](inflect: true) archived"), 5),
              QStringLiteral("5 unique messages archived"));
    EXPECT_EQ(inflected(QStringLiteral("^[%lld source](inflect: true) hold identical content"), 2),
              QStringLiteral("2 sources hold identical content"));
    // Adjectives have no plural.
    EXPECT_EQ(inflected(QStringLiteral("^[%lld new](inflect: true) this run"), 7), QStringLiteral("7 new this run"));
    EXPECT_EQ(inflected(QStringLiteral("^[%lld new message](inflect: true) "), 7), QStringLiteral("7 new messages "));
}

TEST(Counts, TextOutsideTheBracketsAndMalformedTextStayAsTheyAre) {
    EXPECT_EQ(inflected(QStringLiteral("and %lld more"), 4), QStringLiteral("and 4 more"));
    EXPECT_EQ(inflected(QStringLiteral("^[%lld seal](inflect: true) waiting, ^[%lld day](inflect: true)"), 2),
              QStringLiteral("2 seals waiting, 2 days"));
    // An unclosed bracket is left verbatim rather than eaten.
    EXPECT_EQ(inflected(QStringLiteral("^[%lld message"), 2), QStringLiteral("^[2 message"));
    // Nothing but the number inside: nothing to inflect.
    EXPECT_EQ(inflected(QStringLiteral("^[%lld](inflect: true)"), 2), QStringLiteral("2"));
}

TEST(Counts, EnglishPlurals) {
    EXPECT_EQ(pluralNoun(QStringLiteral("result")), QStringLiteral("results"));
    EXPECT_EQ(pluralNoun(QStringLiteral("match")), QStringLiteral("matches"));
    EXPECT_EQ(pluralNoun(QStringLiteral("address")), QStringLiteral("addresses"));
    EXPECT_EQ(pluralNoun(QStringLiteral("entry")), QStringLiteral("entries"));
    EXPECT_EQ(pluralNoun(QStringLiteral("day")), QStringLiteral("days"));
    EXPECT_EQ(pluralNoun(QStringLiteral("Mac")), QStringLiteral("Macs"));
    EXPECT_EQ(pluralNoun(QStringLiteral("person")), QStringLiteral("people"));
    EXPECT_EQ(pluralNoun(QStringLiteral("Person")), QStringLiteral("People"));
    EXPECT_EQ(pluralNoun(QStringLiteral("new")), QStringLiteral("new"));
}

TEST(Symbols, EverySymbolHasAShippedValidSvg) {
    const auto& table = symbolTable();
    ASSERT_GE(table.size(), 80u);
    for (size_t i = 0; i < table.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(table[i - 1].symbol, table[i].symbol) << "table must be sorted and unique";
        }
        const QString symbol = QString::fromUtf8(table[i].symbol.data(),
                                                 static_cast<qsizetype>(table[i].symbol.size()));
        const QString path = symbolResourcePath(symbol);
        ASSERT_FALSE(path.isEmpty()) << symbol.toStdString();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        QSvgRenderer renderer(f.readAll());
        EXPECT_TRUE(renderer.isValid()) << path.toStdString();
    }
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/kelvara/icons/LICENSE")));
}

TEST(Symbols, TheMainWindowsSymbolsAreKnown) {
    for (const char* s : {"externaldrive", "chart.bar.xaxis", "bubble.left.and.bubble.right", "magnifyingglass",
                          "lock.icloud", "line.3.horizontal.decrease.circle", "heart.text.square", "person.2",
                          "exclamationmark.triangle.fill", "xmark.circle.fill", "archivebox", "info.circle"}) {
        EXPECT_FALSE(symbolResourcePath(QString::fromLatin1(s)).isEmpty()) << s;
    }
    EXPECT_TRUE(symbolResourcePath(QStringLiteral("no.such.symbol")).isEmpty());
    EXPECT_TRUE(symbolResourcePath(QString()).isEmpty());
}

TEST(Symbols, IconsAreDrawnInTheRequestedColour) {
    const QColor orange = toneColor(Tone::orange);
    const QImage img = symbolIcon(QStringLiteral("exclamationmark.triangle.fill"), orange).pixmap(32, 32).toImage();
    ASSERT_FALSE(img.isNull());
    int coloured = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.alpha() == 255) {
                EXPECT_EQ(c.rgb(), orange.rgb());
                ++coloured;
            }
        }
    EXPECT_GT(coloured, 100);
    // An unknown symbol still draws something (a question mark), never nothing.
    const QImage unknown = symbolIcon(QStringLiteral("no.such.symbol")).pixmap(32, 32).toImage();
    EXPECT_FALSE(unknown.isNull());
}

TEST(Colours, ToneColoursFollowTheColourLanguageAndTheDarkPalette) {
    QPalette light;
    light.setColor(QPalette::Window, Qt::white);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    EXPECT_EQ(toneColor(Tone::green, light), QColor(0x34, 0xC7, 0x59));
    EXPECT_EQ(toneColor(Tone::orange, light), QColor(0xFF, 0x95, 0x00));
    EXPECT_EQ(toneColor(Tone::red, light), QColor(0xFF, 0x3B, 0x30));
    EXPECT_EQ(toneColor(Tone::red, dark), QColor(0xFF, 0x45, 0x3A));
    EXPECT_NE(toneColor(Tone::yellow, light), toneColor(Tone::orange, light));
    EXPECT_NEAR(toneBackground(Tone::orange, 0.12).alphaF(), 0.12, 0.01);
}

TEST(Clipboard, CopyReplacesTheContentsWithPlainTextOnly) {
    QClipboard* cb = QGuiApplication::clipboard();
    auto* rich = new QMimeData;
    rich->setHtml(QStringLiteral("<b>old</b>"));
    rich->setText(QStringLiteral("old"));
    cb->setMimeData(rich);
    copyToPasteboard(QStringLiteral("KTRESK1-abc def"));
    EXPECT_EQ(cb->text(), QStringLiteral("KTRESK1-abc def"));
    const QMimeData* now = cb->mimeData();
    ASSERT_NE(now, nullptr);
    EXPECT_FALSE(now->hasHtml());
}

TEST(Banner, ShowsTextVerbatimSelectableAndReportsDismissal) {
    BannerWidget banner(BannerWidget::Kind::error, QStringLiteral("exclamationmark.triangle.fill"));
    banner.setText(QStringLiteral("<b>not bold</b> & %1"));
    banner.setDismissible(true, QStringLiteral("Dismiss error"));
    banner.resize(500, 60);
    banner.show();
    EXPECT_EQ(banner.textLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(banner.text(), QStringLiteral("<b>not bold</b> & %1"));
    EXPECT_TRUE(banner.textLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(banner.textLabel()->wordWrap());
    EXPECT_EQ(banner.dismissButton()->accessibleName(), QStringLiteral("Dismiss error"));
    QSignalSpy spy(&banner, &BannerWidget::dismissRequested);
    QTest::mouseClick(banner.dismissButton(), Qt::LeftButton);
    EXPECT_EQ(spy.count(), 1);
    // The background is tinted orange.
    const QImage img = banner.grab().toImage();
    const QColor corner = img.pixelColor(2, 2);
    EXPECT_GT(corner.red(), corner.blue());
}

TEST(Banner, InformationalBannerIsBlueWithoutDismissButton) {
    BannerWidget* b = informationalBanner(QStringLiteral("Scans read your sources; they never change them."));
    b->resize(500, 60);
    b->show();
    EXPECT_FALSE(b->dismissButton()->isVisible());
    const QImage img = b->grab().toImage();
    const QColor corner = img.pixelColor(2, 2);
    EXPECT_GT(corner.blue(), corner.red());
    EXPECT_EQ(b->textLabel()->palette().color(QPalette::WindowText), toneColor(Tone::blue));
    delete b;
}

TEST(IconLabel, PairsTheSymbolWithTheTitle) {
    std::unique_ptr<QWidget> w(iconLabel(QStringLiteral("Scan Now"), QStringLiteral("arrow.clockwise")));
    auto* title = w->findChild<QLabel*>(QStringLiteral("iconLabelTitle"));
    auto* symbol = w->findChild<QLabel*>(QStringLiteral("iconLabelSymbol"));
    ASSERT_NE(title, nullptr);
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(title->text(), QStringLiteral("Scan Now"));
    EXPECT_FALSE(symbol->pixmap().isNull());
    EXPECT_EQ(w->accessibleName(), QStringLiteral("Scan Now"));
    QObject parent;
    QAction* a = iconAction(QStringLiteral("Add Source"), QStringLiteral("plus"), &parent);
    EXPECT_EQ(a->text(), QStringLiteral("Add Source"));
    EXPECT_FALSE(a->icon().isNull());
}

TEST(ContentUnavailable, ShowsTitleDescriptionAndAtMostOneAction) {
    ContentUnavailableWidget empty(QStringLiteral("No Conversations"), QStringLiteral("bubble.left.and.bubble.right"),
                                   QStringLiteral("Run a scan to fill the archive."));
    EXPECT_EQ(empty.title(), QStringLiteral("No Conversations"));
    auto* description = empty.findChild<QLabel*>(QStringLiteral("contentUnavailableDescription"));
    ASSERT_NE(description, nullptr);
    EXPECT_EQ(description->text(), QStringLiteral("Run a scan to fill the archive."));
    QPushButton* first = empty.setAction(QStringLiteral("Scan Now"));
    QPushButton* second = empty.setAction(QStringLiteral("Scan All Sources"));
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->text(), QStringLiteral("Scan All Sources"));
    EXPECT_EQ(empty.findChildren<QPushButton*>().size(), 1);
}

TEST(ContentUnavailable, ANarrowPanelWrapsTheDescriptionInsteadOfCuttingIt) {
    const QString text = QStringLiteral("Your sources are connected but have not been scanned.");
    // A pane narrower than the text, as the browse screen's list side is.
    QWidget pane;
    auto* layout = new QVBoxLayout(&pane);
    auto* empty = new ContentUnavailableWidget(QStringLiteral("Nothing archived yet"), QStringLiteral("tray"), text);
    layout->addWidget(empty);
    auto* description = empty->findChild<QLabel*>(QStringLiteral("contentUnavailableDescription"));
    ASSERT_NE(description, nullptr);
    const int natural = description->fontMetrics().horizontalAdvance(text);
    pane.setFixedSize(natural / 2 + 40, 400);
    pane.show();
    QCoreApplication::processEvents();
    EXPECT_LE(description->geometry().right(), empty->width());
    EXPECT_GE(description->geometry().left(), 0);
    // Two lines or more, all within the label.
    EXPECT_GE(description->height(), 2 * description->fontMetrics().height());
    // Given room again, it returns to one line.
    pane.setFixedSize(natural + 200, 400);
    QCoreApplication::processEvents();
    EXPECT_GE(description->width(), natural);
}

// The desktop's real choosers, answered as a person would: the save chooser
// offers only the file types it is given, the folder chooser says what it is for.
TEST(Choosers, TheyOfferTheFileTypesAndCarryTheMessageTheyAreGiven) {
    QStringList offered;
    QString title;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        offered = dialog->nameFilters();
        title = dialog->windowTitle();
        dialog->reject();
    });
    poll.start(10);
    EXPECT_TRUE(workspace()
                    .saveFile(nullptr, QStringLiteral("key.txt"), QString(), {QStringLiteral("Plain text (*.txt)")})
                    .isNull());
    EXPECT_EQ(offered, QStringList{QStringLiteral("Plain text (*.txt)")});
    EXPECT_TRUE(workspace().chooseFolder(nullptr, QStringLiteral("Choose the shared folder on this Mac.")).isNull());
    EXPECT_EQ(title, QStringLiteral("Choose the shared folder on this Mac."));
}

// A destructive menu item ("Remove my name") is drawn in red, its neighbours
// in the ordinary text colour.
TEST(ApplicationStyle, DrawsDestructiveMenuItemsInRed) {
    std::unique_ptr<QStyle> style(makeApplicationStyle());
    ASSERT_NE(style, nullptr);
    QMenu menu;
    menu.setStyle(style.get());
    QAction* plain = menu.addAction(QStringLiteral("Edit name…"));
    QAction* remove = menu.addAction(QStringLiteral("Remove my name"));
    remove->setProperty(kDestructiveAction, true);
    menu.adjustSize();
    const QImage shot = menu.grab().toImage();
    const auto reddish = [&](QAction* action) {
        const QRect r = menu.actionGeometry(action);
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c.red() > 150 && c.green() < 110 && c.blue() < 110) ++n;
            }
        return n;
    };
    EXPECT_GT(reddish(remove), 20);
    EXPECT_EQ(reddish(plain), 0);
}

// A button's title has room at either end, however long it is.
TEST(ApplicationStyle, ButtonsLeaveRoomAroundTheirTitles) {
    std::unique_ptr<QStyle> style(makeApplicationStyle());
    ASSERT_NE(style, nullptr);
    for (const QString& title :
         {QStringLiteral("I already have a recovery key"), QStringLiteral("Remove from this list")}) {
        QPushButton button(title);
        button.setStyle(style.get());
        const int text = button.fontMetrics().horizontalAdvance(title);
        EXPECT_GE(button.sizeHint().width(), text + 28) << title.toStdString();
    }
}
