#include "core/platform/error.h"
#include "core/platform/json_file.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace {

std::string failureOf(const std::string& bytes) {
    try {
        kx::parseVersionedObject(bytes, "the file does not hold names");
    } catch (const kx::Error& e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST(VersionedObject, AcceptsThisVersionOrNoneAndNamesEveryOtherProblem) {
    EXPECT_EQ(failureOf("{}"), "");
    EXPECT_EQ(failureOf("{\"version\": null}"), "");
    EXPECT_EQ(failureOf("{\"version\": 1, \"names\": {}}"), "");
    EXPECT_EQ(failureOf("{\"names\": "), "the file is not valid JSON at byte 11");
    EXPECT_EQ(failureOf("[1]"), "the file does not hold names");
    EXPECT_EQ(failureOf("{\"version\": \"1\"}"), "its version is not a number");
    EXPECT_EQ(failureOf("{\"version\": 2}"), "it was written by a newer version of Kelvara");
}

TEST(DamagedFiles, RemembersByResolvedPathUntilForgotten) {
    kx::test::TempDir dir;
    kx::DamagedFiles files;
    const std::string path = (dir / "names.json").string();
    EXPECT_FALSE(files.problem(path));
    files.remember(path, "the file is not valid JSON at byte 3");
    EXPECT_EQ(files.problem((dir / "." / "names.json").string()), "the file is not valid JSON at byte 3");
    EXPECT_FALSE(files.problem((dir / "other.json").string()));
    files.forget(path);
    EXPECT_FALSE(files.problem(path));
}
