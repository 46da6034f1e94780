#include "tests/support/test_env.h"

#include <QApplication>
#include <cstdlib>
#include <gmock/gmock.h>

int main(int argc, char** argv) {
    kx::test::isolateEnvironment();
    // Widget tests never need a real display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QApplication::setOrganizationDomain("dunholt.com");
    QApplication::setApplicationName("Kelvara");
    ::testing::InitGoogleMock(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    kx::test::removeIsolatedEnvironment();
    return rc;
}
