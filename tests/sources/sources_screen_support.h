#pragma once
// Shared set-up of the sources room's screen tests: the real model over a
// private home, a window to show a screen in, and desktop services that record
// instead of opening anything.
#include "app/platform/workspace.h"
#include "tests/app/model/model_test_support.h"

#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

namespace kx::test {

class ScreenTest : public ModelTest {
protected:
    // The desktop as the screens see it: the choosers answer with the test's
    // next path, and the file manager selects items only when the test says
    // so. Only the lowest calls are replaced, so showing a source goes through
    // the application's own fallback to its folder.
    class ScreenWorkspace final : public Workspace {
    public:
        explicit ScreenWorkspace(ScreenTest& test) : test_(test) {}
        bool open(const QUrl& url) override {
            test_.openedFolders << url;
            return true;
        }
        bool askFileManager(const QString& method, const QStringList& uris) override {
            if (method == QStringLiteral("ShowItems")) test_.shownItems << uris;
            return test_.fileManagerSelects;
        }
        QString saveFile(QWidget*, const QString& suggested, const QString& message,
                         const QStringList& fileTypes) override {
            test_.savePrompts << suggested + "|" + message + (fileTypes.isEmpty() ? "" : "|" + fileTypes.join(';'));
            return test_.nextSavePath;
        }
        QString chooseFolder(QWidget*, const QString& message) override {
            test_.folderPrompts << message;
            return test_.nextFolder;
        }

    private:
        ScreenTest& test_;
    };

    void SetUp() override {
        ModelTest::SetUp();
        setWorkspaceForTesting(std::make_shared<ScreenWorkspace>(*this));
    }
    void TearDown() override {
        window.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (model) {
            EXPECT_TRUE(drainModelTasks(*model));
        }
        setWorkspaceForTesting(nullptr);
        ModelTest::TearDown();
    }

    // Shows a screen made by `make` in a window of its own.
    // `exposed` false: returns as soon as it is shown, before any event is
    // processed, so nothing started on showing it can have reported back yet.
    template <typename Screen, typename Make>
    Screen* show(Make make, QSize size = QSize(900, 700), bool exposed = true) {
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        Screen* screen = make(window.get());
        layout->addWidget(screen);
        window->resize(size);
        window->show();
        if (exposed) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        }
        return screen;
    }

    bool settle() { return drainModelTasks(*model); }

    // Generated Messages folders for "jorin" and "sam" under src/, registered
    // as "jorin-folder" and "sam-folder" and scanned.
    void scanJorinAndSam(const fixtures::Options& jorin, const fixtures::Options& sam) {
        fixtures::writeMessagesFolder(home / "src/jorin", jorin);
        fixtures::writeMessagesFolder(home / "src/sam", sam);
        model->mutableRegistry().add(folderSource("jorin-folder", "jorin", home / "src/jorin"));
        model->mutableRegistry().add(folderSource("sam-folder", "sam", home / "src/sam"));
        emit model->registryChanged();
        model->runs().startScan(ScanRequest{});
        EXPECT_TRUE(settle());
    }

    std::unique_ptr<QWidget> window;
    QString nextSavePath;
    QString nextFolder;
    bool fileManagerSelects = false;
    QStringList savePrompts; // suggested name|message[|file types]
    QStringList folderPrompts;
    QStringList shownItems;
    QList<QUrl> openedFolders;
};

} // namespace kx::test
