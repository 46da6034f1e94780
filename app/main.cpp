// Kelvara: a verified, encrypted archive of one person's or household's
// Messages history.
#include "app/shell/kelvara_app.h"
#include "app/ui/app_style.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"

#include <kelvara/version.h>

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationDomain(QStringLiteral("dunholt.com"));
    QApplication::setOrganizationName(QStringLiteral("Dunholt"));
    QApplication::setApplicationName(QStringLiteral("Kelvara"));
    QApplication::setApplicationVersion(QStringLiteral(KELVARA_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("com.dunholt.kelvara"));
    applyApplicationStyle(app);
    QApplication::setWindowIcon(symbolIcon(QStringLiteral("archivebox"), toneColor(Tone::blue)));

    KelvaraApp kelvara(KelvaraApp::defaultOptions());
    kelvara.showMainWindow();
    return app.exec();
}
