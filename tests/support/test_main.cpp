#include "tests/support/test_env.h"

#include <gmock/gmock.h>

int main(int argc, char** argv) {
    kx::test::isolateEnvironment();
    ::testing::InitGoogleMock(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    kx::test::removeIsolatedEnvironment();
    return rc;
}
