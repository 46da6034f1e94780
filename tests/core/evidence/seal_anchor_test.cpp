// Anchoring against a real time-stamp authority on the loopback interface.
#include "core/evidence/pending_anchor_store.h"
#include "core/evidence/seal_anchor_client.h"

#include "core/platform/error.h"
#include "tests/core/evidence/loopback_tsa.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <thread>

namespace kx {
namespace {

using Mode = test::LoopbackTimeStampAuthority::Mode;

SealFile sampleSeal(const std::string& name = "Alice.json") {
    SealFile s;
    s.exportFile = name;
    s.sha256 = std::string(64, 'd');
    s.size = 10;
    s.format = ExportFormat::json;
    s.description = "Conversation with Alice";
    s.appVersion = "1.0 (1)";
    s.sealedAt = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
    return s;
}

class SealAnchorTest : public ::testing::Test {
protected:
    SealAnchorClient client() const { return SealAnchorClient(tsa.url(), nullptr, tsa.trustedPem()); }
    test::LoopbackTimeStampAuthority tsa;
};

TEST_F(SealAnchorTest, AnchorsAgainstTheTrustedAuthority) {
    const SealFile seal = sampleSeal();
    const SealAnchor anchor = client().anchor(seal);
    EXPECT_EQ(tsa.requests(), 1);
    EXPECT_EQ(anchor.authority, tsa.url());
    EXPECT_NE(anchor.summary.find("UTC by Kelvara Test TSA, serial "), std::string::npos) << anchor.summary;
    EXPECT_FALSE(anchor.token.empty());
    EXPECT_LT(std::chrono::abs(anchor.anchoredAt - std::chrono::system_clock::now()), std::chrono::minutes(5));
    EXPECT_NO_THROW(client().verifyAnchor(seal, anchor));

    // The receipt belongs to this seal only.
    SealFile other = seal;
    other.description = "something else";
    EXPECT_THROW(client().verifyAnchor(other, anchor), SealAnchorError);
}

TEST_F(SealAnchorTest, RefusesForgedOrMismatchedAnswers) {
    for (Mode mode : {Mode::wrongNonce, Mode::wrongImprint, Mode::untrustedSigner, Mode::httpError, Mode::garbage}) {
        tsa.setMode(mode);
        EXPECT_THROW(client().anchor(sampleSeal()), SealAnchorError) << static_cast<int>(mode);
    }
    tsa.setMode(Mode::honest);
    // Without a certificate of its own the client trusts the system's authorities,
    // which never signed this test authority: refused, not waved through.
    SealAnchorClient builtIn(tsa.url());
    EXPECT_THROW(builtIn.anchor(sampleSeal()), SealAnchorError);
    // A trusted certificate that is not PEM is an error, not "trust everything".
    SealAnchorClient bogus(tsa.url(), nullptr, std::string("not a certificate"));
    EXPECT_THROW(bogus.anchor(sampleSeal()), SealAnchorError);
}

TEST_F(SealAnchorTest, SaysWhenTheServerCannotBeReached) {
    tsa.stop();
    try {
        client().anchor(sampleSeal());
        FAIL() << "anchored without a server";
    } catch (const SealAnchorError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("The seal server could not be reached (", 0), 0u) << e.what();
    }
}

TEST_F(SealAnchorTest, TheCertificatesMustBeValidAtTheClientsTime) {
    SealAnchorClient late(tsa.url(), nullptr, tsa.trustedPem(),
                          [] { return std::chrono::system_clock::now() + std::chrono::hours(24 * 30); });
    EXPECT_THROW(late.anchor(sampleSeal()), SealAnchorError);
}

TEST_F(SealAnchorTest, ReadableFieldsComeFromTheTokenAndEditsAreCaught) {
    SealFile seal = sampleSeal();
    seal.anchor = client().anchor(seal);
    // Round trip through the stored JSON: the reader gets back what the token says.
    const SealFile stored = SealFile::fromJson(seal.toJson());
    ASSERT_TRUE(stored.anchor);
    EXPECT_EQ(client().verifyAnchor(stored, *stored.anchor), *seal.anchor);

    SealAnchor earlier = *stored.anchor;
    earlier.anchoredAt -= std::chrono::hours(24 * 365);
    SealAnchor reserialed = *stored.anchor;
    reserialed.serialNumber = "1" + reserialed.serialNumber;
    SealAnchor resummarised = *stored.anchor;
    resummarised.summary = "2001-01-01 00:00:00 UTC by Kelvara Test TSA, serial 1";
    for (const SealAnchor& edited : {earlier, reserialed, resummarised}) {
        try {
            client().verifyAnchor(stored, edited);
            ADD_FAILURE() << "edited anchor accepted: " << edited.summary;
        } catch (const SealAnchorError& e) {
            EXPECT_NE(std::string(e.what()).find("altered"), std::string::npos) << e.what();
        }
    }
}

TEST(SealAnchorReceipt, OutlivesTheAuthoritysCertificate) {
    // A receipt issued thirty days ago by an authority whose certificates lapsed
    // three days after that: checked today, as of its own time, it holds.
    test::LoopbackTimeStampAuthority lapsed(30);
    const auto then = std::chrono::system_clock::now() - std::chrono::hours(24 * 30);
    const SealFile seal = sampleSeal();
    const SealAnchor anchor = SealAnchorClient(lapsed.url(), nullptr, lapsed.trustedPem(), [then] {
                                  return then;
                              }).anchor(seal);
    EXPECT_LT(std::chrono::abs(anchor.anchoredAt - then), std::chrono::minutes(5));
    const SealAnchorClient today(lapsed.url(), nullptr, lapsed.trustedPem());
    EXPECT_EQ(today.verifyAnchor(seal, anchor), anchor);
    // A fresh answer today would be refused: the certificates are not valid now.
    EXPECT_THROW(today.anchor(seal), SealAnchorError);
    SealFile other = seal;
    other.description = "something else";
    EXPECT_THROW(today.verifyAnchor(other, anchor), SealAnchorError);
}

class PendingAnchorFlow : public SealAnchorTest {
protected:
    Date now = std::chrono::system_clock::now();
    test::TempDir config;
    test::TempDir exports;
    PendingAnchorStore store{config.path().string(), [this] { return now; }};
};

TEST_F(PendingAnchorFlow, AnchorsAtOnceWhenTheAuthorityAnswers) {
    const std::string path = (exports / "Alice.json.kxseal.json").string();
    auto result = store.anchorOrDefer(path, sampleSeal(), client());
    EXPECT_FALSE(result.problem);
    ASSERT_TRUE(result.seal.anchor);
    EXPECT_EQ(SealFile::read(path), result.seal);
    EXPECT_EQ(store.count(), 0);
}

TEST_F(PendingAnchorFlow, WaitsWhileTheAuthorityIsDownAndAnchorsOnRetry) {
    tsa.stop();
    const std::string path = (exports / "Alice.json.kxseal.json").string();
    const SealFile seal = sampleSeal();
    auto result = store.anchorOrDefer(path, seal, client());
    ASSERT_TRUE(result.problem);
    EXPECT_FALSE(result.seal.anchor);
    EXPECT_EQ(SealFile::read(path), seal); // the seal is complete on disk
    EXPECT_EQ(store.count(), 1);

    // A second store over the same folder (the next launch) sees the same queue.
    PendingAnchorStore relaunched(config.path().string(), [this] { return now; });
    EXPECT_EQ(relaunched.count(), 1);

    auto first = relaunched.retry(client(), false);
    EXPECT_FALSE(first.skipped);
    EXPECT_EQ(first.tried, 1);
    EXPECT_EQ(first.anchored, 0);
    EXPECT_EQ(first.stillWaiting, 1);

    tsa.start();
    now += std::chrono::minutes(5);
    auto recent = relaunched.retry(client(), false);
    EXPECT_TRUE(recent.skipped);
    EXPECT_EQ(recent.stillWaiting, 1);
    EXPECT_EQ(recent.tried, 0);

    auto forced = relaunched.retry(client(), true);
    EXPECT_FALSE(forced.skipped);
    EXPECT_EQ(forced.tried, 1);
    EXPECT_EQ(forced.anchored, 1);
    EXPECT_EQ(forced.stillWaiting, 0);
    EXPECT_EQ(store.count(), 0);
    const SealFile anchored = SealFile::read(path);
    ASSERT_TRUE(anchored.anchor);
    EXPECT_NO_THROW(client().verifyAnchor(anchored, *anchored.anchor));
    EXPECT_EQ(anchored.sealDigest(), seal.sealDigest());

    // After the interval an unforced pass runs again (and has nothing to do).
    now += PendingAnchorStore::kRecentCheckInterval + std::chrono::minutes(1);
    auto idle = relaunched.retry(client(), false);
    EXPECT_FALSE(idle.skipped);
    EXPECT_EQ(idle.tried + idle.settled + idle.stillWaiting, 0);
}

TEST_F(PendingAnchorFlow, APassStopsAtAServerThatDoesNotAnswer) {
    tsa.stop();
    for (const char* name : {"a", "b", "c"})
        store.anchorOrDefer((exports / (std::string(name) + ".kxseal.json")).string(), sampleSeal(name), client());
    auto pass = store.retry(client(), true);
    EXPECT_EQ(pass.tried, 1);
    EXPECT_EQ(pass.stillWaiting, 3);
    // A server that answers wrongly does not stop the pass: each seal is tried.
    tsa.start();
    tsa.setMode(Mode::httpError);
    pass = store.retry(client(), true);
    EXPECT_EQ(pass.tried, 3);
    EXPECT_EQ(pass.stillWaiting, 3);
}

// Records how many seals the queue held while the authority was being asked.
class WatchingSession : public HttpSession {
public:
    explicit WatchingSession(const PendingAnchorStore& store) : store_(store) {}
    HttpReply post(const std::string&, const std::string&, const std::string&, std::chrono::seconds) override {
        seen = store_.count();
        throw Error("Connection reset by peer");
    }
    int seen = -1;

private:
    const PendingAnchorStore& store_;
};

TEST_F(PendingAnchorFlow, ASealIsQueuedBeforeTheAuthorityIsAsked) {
    auto session = std::make_shared<WatchingSession>(store);
    SealAnchorClient watched(tsa.url(), session, tsa.trustedPem());
    auto result = store.anchorOrDefer((exports / "a.kxseal.json").string(), sampleSeal("a"), watched);
    EXPECT_EQ(session->seen, 1); // had the process ended here, the seal would still be waiting
    ASSERT_TRUE(result.problem);
    EXPECT_NE(result.problem->find("Connection reset by peer"), std::string::npos);
    EXPECT_NE(test::readAll(store.filePath()).find("Connection reset by peer"), std::string::npos);
    // Exporting to the same path again replaces the waiting seal instead of adding one.
    store.anchorOrDefer((exports / "a.kxseal.json").string(), sampleSeal("a"), watched);
    EXPECT_EQ(store.count(), 1);
}

TEST_F(PendingAnchorFlow, AForgedAnswerLeavesTheSealWaiting) {
    tsa.setMode(Mode::untrustedSigner);
    const std::string path = (exports / "Alice.json.kxseal.json").string();
    auto result = store.anchorOrDefer(path, sampleSeal(), client());
    ASSERT_TRUE(result.problem);
    EXPECT_NE(result.problem->find("refused"), std::string::npos) << *result.problem;
    tsa.setMode(Mode::wrongImprint);
    auto pass = store.retry(client(), true);
    EXPECT_EQ(pass.tried, 1);
    EXPECT_EQ(pass.anchored, 0);
    EXPECT_EQ(pass.stillWaiting, 1);
    EXPECT_FALSE(SealFile::read(path).anchor);
}

TEST_F(PendingAnchorFlow, SealsThatAreGoneOrReplacedAreSettledWithoutAnAttempt) {
    tsa.stop();
    const std::string gone = (exports / "gone.json.kxseal.json").string();
    const std::string replaced = (exports / "replaced.json.kxseal.json").string();
    const std::string waiting = (exports / "waiting.json.kxseal.json").string();
    store.anchorOrDefer(gone, sampleSeal("gone.json"), client());
    store.anchorOrDefer(replaced, sampleSeal("replaced.json"), client());
    store.anchorOrDefer(waiting, sampleSeal("waiting.json"), client());
    ASSERT_EQ(store.count(), 3);
    std::filesystem::remove(gone);
    SealFile edited = SealFile::read(replaced);
    edited.description = "someone else's seal";
    edited.write(replaced);
    tsa.start();
    auto pass = store.retry(client(), true);
    EXPECT_EQ(pass.settled, 2);
    EXPECT_EQ(pass.tried, 1);
    EXPECT_EQ(pass.anchored, 1);
    EXPECT_EQ(pass.stillWaiting, 0);
    EXPECT_FALSE(SealFile::read(replaced).anchor); // never anchored what it did not seal
}

TEST_F(PendingAnchorFlow, ASealOnAFolderThatIsNotThereKeepsWaiting) {
    tsa.stop();
    const auto drive = exports / "usb-drive";
    std::filesystem::create_directory(drive);
    const std::string path = (drive / "a.json.kxseal.json").string();
    store.anchorOrDefer(path, sampleSeal("a.json"), client());
    std::filesystem::rename(drive, exports / "unplugged");
    tsa.start();
    auto pass = store.retry(client(), true);
    EXPECT_EQ(pass.settled, 0);
    EXPECT_EQ(pass.stillWaiting, 1);
    std::filesystem::rename(exports / "unplugged", drive);
    pass = store.retry(client(), true);
    EXPECT_EQ(pass.anchored, 1);
    EXPECT_EQ(store.count(), 0);
}

TEST_F(PendingAnchorFlow, ASealThatCannotBeWrittenIsAnErrorAndNothingIsQueued) {
    const std::string path = (exports / "missing-folder" / "a.json.kxseal.json").string();
    EXPECT_THROW(store.anchorOrDefer(path, sampleSeal(), client()), Error);
    EXPECT_EQ(store.count(), 0);
    EXPECT_EQ(tsa.requests(), 0);
}

TEST_F(PendingAnchorFlow, ExportsQueueSafelyWhileARetryRuns) {
    tsa.stop();
    for (int i = 0; i < 5; ++i)
        store.anchorOrDefer((exports / ("old" + std::to_string(i) + ".kxseal.json")).string(),
                            sampleSeal("old" + std::to_string(i)), client());
    ASSERT_EQ(store.count(), 5);
    std::thread retrier([&] {
        for (int round = 0; round < 3; ++round) store.retry(client(), true);
    });
    std::vector<std::thread> exporters;
    for (int t = 0; t < 4; ++t)
        exporters.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                const std::string name = "new" + std::to_string(t) + "-" + std::to_string(i);
                store.anchorOrDefer((exports / (name + ".kxseal.json")).string(), sampleSeal(name), client());
            }
        });
    for (auto& th : exporters) th.join();
    retrier.join();
    EXPECT_EQ(store.count(), 25); // none lost, none doubled
    tsa.start();
    auto pass = store.retry(client(), true);
    EXPECT_EQ(pass.anchored, 25);
    EXPECT_EQ(store.count(), 0);
}

} // namespace
} // namespace kx
