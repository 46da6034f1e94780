// The export sheet and the sealed-exports panel driven through their widgets:
// every format exported to a temporary folder with its seal checked by
// sha256sum, anchoring against a time-stamp authority on the loopback
// interface (anchored; deferred while it is down; "Retry now" anchors it), a
// failed export, and a sheet closed while its export runs.
#include "app/model/evidence_model.h"
#include "app/ui/text_widgets.h"
#include "core/evidence/seal_file.h"
#include "reading/export_conversation_view.h"
#include "reading/model/evidence_text.h"
#include "reading/sealed_exports_panel.h"
#include "tests/core/evidence/loopback_tsa.h"
#include "tests/reading/reading_fixture.h"

#include <QAbstractButton>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>

using namespace kx;
using namespace kx::test;

namespace {

QString sha256sum(const std::filesystem::path& file) {
    QProcess p;
    p.start(QStringLiteral("sha256sum"), {QString::fromStdString(file.string())});
    EXPECT_TRUE(p.waitForFinished(20000));
    return QString::fromUtf8(p.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);
}

QString textOf(QWidget& sheet, const char* name) {
    if (auto* t = sheet.findChild<MonospacedText*>(QString::fromLatin1(name))) return t->text();
    if (auto* s = sheet.findChild<SymbolTextLabel*>(QString::fromLatin1(name))) return s->text();
    if (auto* l = sheet.findChild<QLabel*>(QString::fromLatin1(name))) return l->text();
    return QStringLiteral("<none>");
}

const std::string kHandle = "+15550001111";

class ExportSheet : public ReadingTest {
protected:
    void SetUp() override {
        ReadingTest::SetUp();
        start();
        const std::string url = tsa.url(), pem = tsa.trustedPem();
        model->evidence().setSealAnchorClientFactory([url, pem] { return SealAnchorClient(url, nullptr, pem); });
        registerSource("src-a", "jorin");
        ArchiveWriter w(root(), "jorin");
        w.conversation(kHandle,
                       {
                           {"E-1", "Grüße aus Köln 😀👍🏽", readingDate(1), false, {}},
                           {"E-2", "東京で会いましょう。明日の朝九時に駅で。", readingDate(2), true, {}},
                           {"E-3", "مرحبا، كيف حالك اليوم؟ שלום לכולם", readingDate(3), false, {}},
                           {"E-4",
                            "a longer line to wrap across the page width, with a family 👨‍👩‍👧‍👦 "
                            "and flags 🇩🇪🇯🇵 and mixed text: hello مرحبا world",
                            readingDate(4),
                            true,
                            {}},
                       });
        summary.handle = kHandle;
        summary.messageCount = 4;
    }

    std::unique_ptr<ExportConversationView> sheet(const std::filesystem::path& to) {
        auto s = std::make_unique<ExportConversationView>(*model, "jorin", summary);
        s->setDestinationChooser([this, to](const QString& name, const QString& ext) {
            asked.emplace_back(name, ext);
            return QString::fromStdString(to.string());
        });
        s->show();
        QCoreApplication::processEvents();
        return s;
    }

    TempDir out;
    LoopbackTimeStampAuthority tsa;
    TreskStore::ConversationSummary summary;
    std::vector<std::pair<QString, QString>> asked;
};

TEST_F(ExportSheet, OpensOnPdfAndSuggestsTheConversationsName) {
    auto s = sheet(std::filesystem::path());
    EXPECT_EQ(s->format(), ExportFormat::pdf);
    EXPECT_TRUE(s->formatPicker()->segment("pdf")->isChecked());
    EXPECT_EQ(s->descriptionLabel()->text(),
              "One thread: sender, handle, time, text and attachment names, with page numbers.");
    EXPECT_EQ(textOf(*s, "messageCount"), "4 messages");
    EXPECT_EQ(s->exportButton()->text(), "Export…");
    EXPECT_FALSE(s->doneButton()->isVisible());
    snapshot(*s, "export-sheet-before", Grab::fitted);

    s->formatPicker()->segment("csv")->click();
    EXPECT_EQ(s->format(), ExportFormat::csv);
    EXPECT_EQ(s->descriptionLabel()->text(), reading::exportFormatDescription(ExportFormat::json));
    // A chooser that gives no path: nothing happens.
    s->startExport();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].first, "+15550001111.csv");
    EXPECT_EQ(asked[0].second, "csv");
    EXPECT_FALSE(s->isExporting());
    EXPECT_FALSE(s->result());

    TreskStore::ConversationSummary one = summary;
    one.messageCount = 1;
    ExportConversationView single(*model, "jorin", one);
    EXPECT_EQ(textOf(single, "messageCount"), "1 message");

    // A group goes by its own name, as in the conversation list and the thread.
    TreskStore::ConversationSummary group = summary;
    group.handle = "chat100001";
    group.name = "Climbing crew";
    ExportConversationView named(*model, "jorin", group);
    EXPECT_EQ(textOf(named, "name"), "Climbing crew");
}

TEST_F(ExportSheet, EveryFormatIsWrittenSealedAndAnchored) {
    for (auto format : kExportFormatAllCases) {
        const std::string ext = exportFormatExtension(format);
        const auto to = out / ("Alice." + ext);
        auto s = sheet(to);
        s->setFormat(format);
        s->exportButton()->click();
        EXPECT_TRUE(s->isExporting());
        EXPECT_EQ(s->exportButton()->text(), "Exporting…");
        EXPECT_FALSE(s->exportButton()->isEnabled());
        EXPECT_TRUE(s->cancelButton()->isEnabled());
        ASSERT_TRUE(settle());
        ASSERT_TRUE(s->result()) << s->problem().toStdString();
        EXPECT_FALSE(s->isExporting());
        EXPECT_TRUE(s->doneButton()->isVisible());
        EXPECT_FALSE(s->exportButton()->isVisible());
        EXPECT_FALSE(s->formatPicker()->isVisible());
        EXPECT_EQ(textOf(*s, "exported"), "Exported and sealed");
        EXPECT_EQ(textOf(*s, "exportPath"), QString::fromStdString(to.string()));
        EXPECT_EQ(textOf(*s, "sealPath"), "Seal: " + QString::fromStdString(to.string()) + ".kxseal.json");
        // The digest shown is the export's, as anyone can check it.
        const QString digest = sha256sum(to);
        EXPECT_EQ(digest.size(), 64);
        EXPECT_EQ(textOf(*s, "digest"), "sha256 " + digest);
        EXPECT_EQ(QString::fromStdString(SealFile::read(SealFile::path(to.string())).sha256), digest);
        EXPECT_TRUE(textOf(*s, "anchored").startsWith("Anchored ")) << textOf(*s, "anchored").toStdString();
        EXPECT_EQ(s->findChild<SymbolTextLabel*>("notAnchored"), nullptr);
        if (format == ExportFormat::pdf) snapshot(*s, "export-sheet-anchored", Grab::fitted);
        s->doneButton()->click();
        EXPECT_FALSE(s->isVisible());
    }
    EXPECT_EQ(model->evidence().pendingAnchorCount(), 0);
}

TEST_F(ExportSheet, ReturnExportsThenClosesTheSheetAndDoesNothingWhileItExports) {
    const auto to = out / "Alice.pdf";
    auto s = sheet(to);
    QTest::keyClick(s.get(), Qt::Key_Return);
    ASSERT_EQ(asked.size(), 1u);
    ASSERT_TRUE(s->isExporting());
    // "Exporting…" cannot be pressed, by the keyboard either.
    QTest::keyClick(s.get(), Qt::Key_Return);
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_TRUE(s->isVisible());
    ASSERT_TRUE(settle());
    ASSERT_TRUE(s->result()) << s->problem().toStdString();
    EXPECT_TRUE(std::filesystem::exists(to));
    // Once exported, Return is "Done".
    QTest::keyClick(s.get(), Qt::Key_Return);
    EXPECT_FALSE(s->isVisible());
    EXPECT_EQ(s->QDialog::result(), QDialog::Accepted);
    EXPECT_EQ(asked.size(), 1u);
}

TEST_F(ExportSheet, ADeferredAnchorWaitsAndRetryNowAnchorsIt) {
    SealedExportsPanel panel(*model);
    panel.resize(520, 200);
    panel.show();
    EXPECT_TRUE(panel.noneWaitingLabel()->isVisible());
    EXPECT_FALSE(panel.retryButton()->isVisible());
    snapshot(panel, "sealed-exports-none");

    tsa.stop();
    const auto to = out / "Alice.json";
    auto s = sheet(to);
    s->setFormat(ExportFormat::json);
    s->startExport();
    ASSERT_TRUE(settle());
    ASSERT_TRUE(s->result()) << s->problem().toStdString();
    EXPECT_EQ(textOf(*s, "notAnchored"), "Not anchored yet");
    EXPECT_TRUE(textOf(*s, "anchorProblem")
                    .endsWith(" The seal is complete on disk; the anchor will be retried at the next launch."));
    EXPECT_EQ(s->findChild<SymbolTextLabel*>("anchored"), nullptr);
    EXPECT_TRUE(std::filesystem::exists(SealFile::path(to.string())));
    snapshot(*s, "export-sheet-deferred", Grab::fitted);

    EXPECT_EQ(model->evidence().pendingAnchorCount(), 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(panel.waitingLabel()->isVisible());
    EXPECT_EQ(panel.waitingLabel()->text(), "1 seal waiting to be anchored");
    EXPECT_FALSE(panel.lastRetryLabel()->isVisible());
    // Alone on its row the button keeps its own width.
    EXPECT_EQ(panel.retryButton()->width(), panel.retryButton()->sizeHint().width());

    // The server still down: the pass reports it and the seal keeps waiting.
    panel.retryButton()->click();
    EXPECT_EQ(panel.retryButton()->text(), "Retrying…");
    EXPECT_FALSE(panel.retryButton()->isEnabled());
    EXPECT_FALSE(model->evidence().retryPendingAnchors(true)) << "one pass at a time";
    ASSERT_TRUE(settle());
    EXPECT_EQ(panel.retryButton()->text(), "Retry now");
    EXPECT_EQ(panel.lastRetryLabel()->text(), "Anchored 0 of 1; 1 still waiting.");
    snapshot(panel, "sealed-exports-waiting");

    tsa.start();
    panel.retryButton()->click();
    ASSERT_TRUE(settle());
    EXPECT_EQ(model->evidence().pendingAnchorCount(), 0);
    EXPECT_TRUE(panel.noneWaitingLabel()->isVisible());
    EXPECT_FALSE(panel.retryButton()->isVisible());
    EXPECT_TRUE(SealFile::read(SealFile::path(to.string())).anchor);
}

TEST_F(ExportSheet, AFailedExportShowsItsSentenceAndKeepsTheEarlierFile) {
    const auto to = out / "Alice.json";
    writeAll(to, "earlier export");
    writeAll(SealFile::path(to.string()), "earlier seal");
    TreskStore::ConversationSummary missing;
    missing.handle = "+19990000000";
    ExportConversationView s(*model, "jorin", missing);
    s.setDestinationChooser([&](const QString&, const QString&) { return QString::fromStdString(to.string()); });
    s.show();
    s.startExport();
    ASSERT_TRUE(settle());
    EXPECT_FALSE(s.result());
    EXPECT_TRUE(s.problem().startsWith("The conversation was not exported: ")) << s.problem().toStdString();
    EXPECT_TRUE(s.problemLabel()->isVisible());
    EXPECT_EQ(s.problemLabel()->text(), s.problem());
    EXPECT_TRUE(s.exportButton()->isEnabled());
    EXPECT_TRUE(s.formatPicker()->isVisible());
    EXPECT_EQ(readAll(to), "earlier export");
    EXPECT_EQ(readAll(SealFile::path(to.string())), "earlier seal");
    snapshot(s, "export-sheet-failed", Grab::fitted);

    // Cancelling the save dialog afterwards leaves the sentence in place.
    s.setDestinationChooser([](const QString&, const QString&) { return QString(); });
    s.startExport();
    EXPECT_TRUE(s.problemLabel()->isVisible());
}

TEST_F(ExportSheet, ASheetClosedMidExportStillLeavesASealedExport) {
    tsa.stop();
    const auto to = out / "Alice.pdf";
    auto s = sheet(to);
    s->startExport();
    ASSERT_TRUE(s->isExporting());
    s->cancelButton()->click(); // closes; the export goes on
    s.reset();
    ASSERT_TRUE(settle());
    EXPECT_TRUE(std::filesystem::exists(to));
    EXPECT_EQ(QString::fromStdString(SealFile::read(SealFile::path(to.string())).sha256), sha256sum(to));
    EXPECT_EQ(model->evidence().pendingAnchorCount(), 1);
}

TEST_F(ExportSheet, APdfOfEmojiCjkAndRightToLeftTextSpansPages) {
    const std::vector<std::string> lines =
        {"Grüße aus Köln 😀👍🏽 — see you at the station",
         "東京で会いましょう。明日の朝九時に駅で待っています。",
         "مرحبا، كيف حالك اليوم؟ أراك غدا في المحطة",
         "שלום לכולם, נתראה מחר בתחנה",
         "family 👨‍👩‍👧‍👦 flags 🇩🇪🇯🇵 and mixed: hello مرحبا world 你好",
         "한국어 문장도 들어 있습니다 🎉"};
    {
        ArchiveWriter w(root(), "jorin");
        std::vector<PlannedMessage> many;
        for (int i = 0; i < 90; ++i)
            many.push_back({"P-" + std::to_string(i),
                            lines[static_cast<size_t>(i) % lines.size()],
                            readingDate(100 + i),
                            i % 3 == 0,
                            {}});
        w.conversation("+15550003333", many);
    }
    TreskStore::ConversationSummary c;
    c.handle = "+15550003333";
    c.messageCount = 90;
    const auto to = out / "Mixed scripts.pdf";
    ExportConversationView s(*model, "jorin", c);
    s.setDestinationChooser([&](const QString&, const QString&) { return QString::fromStdString(to.string()); });
    s.startExport();
    ASSERT_TRUE(settle());
    ASSERT_TRUE(s.result()) << s.problem().toStdString();
    const std::string pdf = readAll(to);
    EXPECT_EQ(pdf.rfind("%PDF-", 0), 0u);
    EXPECT_EQ(QString::fromStdString(s.result()->seal.sha256), sha256sum(to));
    // For a person to look at (pdftoppm renders its pages).
    if (const QString dir = snapshotFolder(); !dir.isEmpty())
        writeAll(QDir(dir).filePath("export-mixed-scripts.pdf").toStdString(), pdf);
}

TEST(ExportFileName, SuggestedNamesAreSafeFileNames) {
    using reading::suggestedExportFileName;
    EXPECT_EQ(suggestedExportFileName("Work/Play: 2024", ExportFormat::pdf), "Work-Play- 2024.pdf");
    EXPECT_EQ(suggestedExportFileName("Mum", ExportFormat::csv), "Mum.csv");
    EXPECT_EQ(suggestedExportFileName("  line\none\ttab\x01\x7f end  ", ExportFormat::json), "lineonetab end.json");
    EXPECT_EQ(suggestedExportFileName(QString::fromUtf8("a\u2028b\u0085c"), ExportFormat::json), "abc.json");
    EXPECT_EQ(suggestedExportFileName("..hidden", ExportFormat::pdf), "--hidden.pdf");
    EXPECT_EQ(suggestedExportFileName("../../etc/passwd", ExportFormat::pdf), "---..-etc-passwd.pdf");
    EXPECT_EQ(suggestedExportFileName("", ExportFormat::csv), "Conversation.csv");
    EXPECT_EQ(suggestedExportFileName(" \n\r ", ExportFormat::csv), "Conversation.csv");
    EXPECT_EQ(suggestedExportFileName(".", ExportFormat::csv), "-.csv");

    // Long names stop at 200 bytes of UTF-8, on a character boundary.
    const QString cjk = QString::fromUtf8("東").repeated(150);  // 3 bytes each
    const QString emoji = QString::fromUtf8("😀").repeated(120); // 4 bytes each, two UTF-16 units
    const QString mixed = QStringLiteral("a") + QString::fromUtf8("😀").repeated(60);
    for (const QString& name : {cjk, emoji, mixed}) {
        const QString file = suggestedExportFileName(name, ExportFormat::pdf);
        ASSERT_TRUE(file.endsWith(".pdf"));
        const QByteArray base = file.chopped(4).toUtf8();
        EXPECT_LE(base.size(), 200);
        EXPECT_GT(base.size(), 195);
        EXPECT_EQ(QString::fromUtf8(base).toUtf8(), base) << "no cut character";
        EXPECT_FALSE(file.contains(QChar::ReplacementCharacter));
        EXPECT_TRUE(name.startsWith(file.chopped(4)));
    }
}

} // namespace
