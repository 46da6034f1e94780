#include "core/evidence/pending_anchor_store.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace kx {
namespace {

// A transport whose server never answers.
class UnreachableSession : public HttpSession {
public:
    HttpReply post(const std::string&, const std::string&, const std::string&, std::chrono::seconds) override {
        throw Error("Couldn't connect to server");
    }
};

SealFile seal(const std::string& name) {
    SealFile s;
    s.exportFile = name;
    s.sha256 = std::string(64, 'c');
    s.size = 3;
    s.description = "d";
    s.appVersion = "1";
    s.sealedAt = *parseISO8601("2026-03-01T10:00:00Z");
    return s;
}

TEST(PendingAnchorStore, StartsEmptyWithoutCreatingAnything) {
    test::TempDir dir;
    PendingAnchorStore store(dir.path().string(), [] { return Date{}; });
    EXPECT_EQ(store.count(), 0);
    EXPECT_FALSE(store.loadProblem());
    EXPECT_FALSE(std::filesystem::exists(dir / PendingAnchorStore::kFileName));
}

TEST(PendingAnchorStore, DamagedQueueIsReportedAndNeverOverwritten) {
    test::TempDir dir;
    test::writeAll(dir / PendingAnchorStore::kFileName, "{ damaged");
    PendingAnchorStore store(dir.path().string(), [] { return Date{}; });
    EXPECT_EQ(store.count(), 0);
    ASSERT_TRUE(store.loadProblem());

    SealAnchorClient client("http://127.0.0.1:9/", std::make_shared<UnreachableSession>());
    auto result = store.anchorOrDefer((dir / "a.json.kxseal.json").string(), seal("a.json"), client);
    ASSERT_TRUE(result.problem);
    EXPECT_NE(result.problem->find("could not be queued"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir / "a.json.kxseal.json"));
    EXPECT_EQ(test::readAll(dir / PendingAnchorStore::kFileName), "{ damaged");
    auto pass = store.retry(client, true);
    EXPECT_EQ(pass.tried, 0);
}

} // namespace
} // namespace kx
