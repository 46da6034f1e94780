// The add-source sheet driven through its fields: what keeps "Add" disabled and
// says why, and what a source added through it holds.
#include "sources/add_source_view.h"
#include "sources/sources_view.h"
#include "tests/sources/sources_screen_support.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace fs = std::filesystem;

namespace {

class AddSourceViewTest : public kx::test::ScreenTest {
protected:
    sources::AddSourceView* openSheet() {
        auto* view = show<sources::SourcesView>(
            [this](QWidget* parent) { return new sources::SourcesView(*model, parent); });
        QTest::mouseClick(view->addSourceButton(), Qt::LeftButton);
        sources::AddSourceView* sheet = view->addSheet();
        EXPECT_NE(sheet, nullptr);
        return sheet;
    }
    static void type(QLineEdit* field, const QString& text) {
        field->clear();
        QTest::keyClicks(field, text);
    }
};

} // namespace

TEST_F(AddSourceViewTest, AFreshSheetIsEmptyWithTheFolderFormatAndAddDisabled) {
    start();
    sources::AddSourceView* sheet = openSheet();
    for (QLineEdit* f : {sheet->identifierField(), sheet->ownerField(), sheet->labelField(), sheet->pathField()})
        EXPECT_TRUE(f->text().isEmpty());
    EXPECT_EQ(sheet->formatPicker()->currentText(), QStringLiteral("macOS Messages folder"));
    QStringList offered;
    for (int i = 0; i < sheet->formatPicker()->count(); ++i) offered << sheet->formatPicker()->itemText(i);
    EXPECT_EQ(offered, (QStringList{"macOS Messages folder", "Live Messages database", "iOS device backup"}));
    EXPECT_TRUE(sheet->problems().isEmpty());
    EXPECT_FALSE(sheet->addButton()->isEnabled());

    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    EXPECT_TRUE(model->registry().sources().empty());
}

TEST_F(AddSourceViewTest, ACopiedFolderChosenThroughTheChooserIsRegisteredExactlyAsTyped) {
    start();
    messagesFolder(home / "Copied Messages");
    sources::AddSourceView* sheet = openSheet();
    type(sheet->identifierField(), QStringLiteral("jorin-t7-archive"));
    type(sheet->ownerField(), QStringLiteral("Jorin Vale"));
    type(sheet->labelField(), QStringLiteral("   "));
    EXPECT_FALSE(sheet->addButton()->isEnabled()) << "no path yet";

    nextFolder.clear(); // the chooser cancelled: nothing changes
    QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);
    EXPECT_TRUE(sheet->pathField()->text().isEmpty());
    nextFolder = QString::fromStdString((home / "Copied Messages").string());
    QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->pathField()->text(), nextFolder);
    EXPECT_TRUE(sheet->problems().isEmpty());
    ASSERT_TRUE(sheet->addButton()->isEnabled());

    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    EXPECT_FALSE(sheet->isVisible());
    const kx::Source* s = model->registry().find("jorin-t7-archive");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->owner, "Jorin Vale");
    EXPECT_EQ(s->path, (home / "Copied Messages").string());
    EXPECT_EQ(s->format, kx::SourceFormat::macosMessagesFolder);
    EXPECT_EQ(s->label, std::optional<std::string>("   ")) << "a label of spaces is kept";
    EXPECT_FALSE(s->lastScanned.has_value());
    EXPECT_FALSE(model->runs().isRunning()) << "adding does not scan";
    // Saved: a restart finds it.
    const auto reloaded = kx::SourceRegistry::loadOrReport(configDir() / "sources.json");
    ASSERT_EQ(reloaded.registry.sources().size(), 1u);
    EXPECT_EQ(reloaded.registry.sources()[0], *s);
}

TEST_F(AddSourceViewTest, TheFormatAndAnEmptyLabelAreStoredAsChosen) {
    start();
    kx::test::writeAll(home / "backup/Manifest.db", "x"); // a file counts as existing
    sources::AddSourceView* sheet = openSheet();
    type(sheet->identifierField(), QStringLiteral("phone"));
    type(sheet->ownerField(), QStringLiteral("jorin"));
    type(sheet->pathField(), QString::fromStdString((home / "backup/Manifest.db").string()));
    sheet->formatPicker()->setCurrentIndex(2);
    ASSERT_TRUE(sheet->addButton()->isEnabled());
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    const kx::Source* s = model->registry().find("phone");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->format, kx::SourceFormat::iosDeviceBackup);
    EXPECT_FALSE(s->label.has_value());
}

TEST_F(AddSourceViewTest, EachRefusalKeepsAddDisabledAndSaysWhy) {
    start();
    messagesFolder(home / "folder");
    model->mutableRegistry().add(folderSource("taken", "jorin", home / "folder"));
    emit model->registryChanged();
    sources::AddSourceView* sheet = openSheet();
    type(sheet->identifierField(), QStringLiteral("new-one"));
    type(sheet->ownerField(), QStringLiteral("jorin"));

    // A path that does not exist; emptying it removes the warning.
    type(sheet->pathField(), QStringLiteral("/no/such/place"));
    EXPECT_EQ(sheet->problems(), QStringList{QStringLiteral("That path does not exist")});
    EXPECT_FALSE(sheet->addButton()->isEnabled());
    sheet->pathField()->clear();
    EXPECT_TRUE(sheet->problems().isEmpty());
    type(sheet->pathField(), QString::fromStdString((home / "folder").string()));
    EXPECT_TRUE(sheet->addButton()->isEnabled());

    // An identifier that is already registered.
    type(sheet->identifierField(), QStringLiteral("taken"));
    EXPECT_EQ(sheet->problems(), QStringList{QStringLiteral("That identifier is already registered")});
    EXPECT_FALSE(sheet->addButton()->isEnabled());
    sheet->add(); // even when forced, nothing is replaced
    EXPECT_EQ(model->registry().sources().size(), 1u);
    EXPECT_TRUE(sheet->isVisible());
    type(sheet->identifierField(), QStringLiteral("new-one"));

    // Owners that cannot name an archive folder get the model's sentence.
    for (const QString& bad : {QStringLiteral("."), QStringLiteral("..")}) {
        type(sheet->ownerField(), bad);
        const QString expected = model->owners().ownerProblem(bad);
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_EQ(sheet->problems(), QStringList{expected}) << bad.toStdString();
        EXPECT_FALSE(sheet->addButton()->isEnabled());
    }
    // "a/b" would share the folder "a_b" with an owner that already has it.
    model->mutableRegistry().add(folderSource("ab", "a_b", home / "folder"));
    emit model->registryChanged();
    type(sheet->ownerField(), QStringLiteral("a/b"));
    EXPECT_EQ(sheet->problems().size(), 1);
    EXPECT_FALSE(sheet->addButton()->isEnabled());

    type(sheet->ownerField(), QStringLiteral("Jorin"));
    EXPECT_TRUE(sheet->problems().isEmpty());
    EXPECT_TRUE(sheet->addButton()->isEnabled());
}
