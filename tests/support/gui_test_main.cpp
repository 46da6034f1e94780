#include "tests/support/test_env.h"

#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <gmock/gmock.h>
#include <string_view>

int main(int argc, char** argv) {
    kx::test::isolateEnvironment();
    // Widget tests never need a real display. The screen they get is a
    // laptop's (1440x900) rather than the offscreen default of 800x600, so
    // windows open at their own sizes and can be placed on it. A second,
    // smaller screen (1280x720) to its right is there for tests that put a
    // window on it.
    const auto screens = kx::test::home() / "offscreen-screens.json";
    std::ofstream(screens) << R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1440, "height": 900,)"
                              R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},)"
                              R"( {"name": "small", "x": 1440, "y": 0, "width": 1280, "height": 720,)"
                              R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!platform || std::string_view(platform) == "offscreen")
        setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens.string()).c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setOrganizationDomain("dunholt.com");
    QApplication::setApplicationName("Kelvara");
    ::testing::InitGoogleMock(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    kx::test::removeIsolatedEnvironment();
    return rc;
}
