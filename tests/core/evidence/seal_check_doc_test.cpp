// The commands of docs/checking-a-seal.md, run as written: they pass on a sealed
// export anchored by an authority whose certificate has lapsed since, on a seal
// made before the archive grew and on one still waiting for its anchor, and fail,
// naming the check, on a changed copy, a changed seal, edited anchor fields, or a
// changed archive.
#include "core/archive/archive_layout.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/export_and_seal.h"
#include "core/evidence/seal_anchor_client.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/core/evidence/documented_checks.h"
#include "tests/core/evidence/loopback_tsa.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

// The shell blocks of the page that check something (those starting "set -eu").
std::string documentedChecks() {
    std::string script;
    for (const std::string& block : test::sealCheckShellBlocks())
        if (block.rfind("set -eu\n", 0) == 0) script += block;
    return script;
}

class DocumentedSealCheck : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v jq openssl python3 sqlite3 basenc >/dev/null 2>&1") != 0)
            KX_SKIP_WITHOUT_PEER(
                "jq, openssl, python3, sqlite3 or basenc is not installed (scripts/setup.sh installs them)");
        paths = ArchiveLayout((dir / "Archive").string()).owner("jorin");
        test::addMessages(paths.database,
                          {.count = 12, .attachmentEvery = 4, .texts = {"Zoë's \"quoted\" text", "naïve café 😀"}});
        ExportRequest r;
        r.archiveRoot = (dir / "Archive").string();
        r.owner = "jorin";
        r.conversationKey = "+15550001111";
        r.format = ExportFormat::json;
        r.destinationPath = (dir / "Alice Example.json").string();
        r.appVersion = "1.0 (1)";
        r.now = test::fixtureDate(100);
        MapContactResolver names{{{"+15550001111", "Alice Example"}}};
        SealFile seal = exportAndSeal(r, names);
        const auto then = std::chrono::system_clock::now() - std::chrono::hours(24 * kDaysAgo);
        seal.anchor = SealAnchorClient(tsa.url(), nullptr, tsa.trustedPem(), [then] { return then; }).anchor(seal);
        exportPath = r.destinationPath;
        sealPath = SealFile::path(exportPath);
        seal.write(sealPath);
        test::writeAll(dir / "authority-root.pem", tsa.trustedPem());
    }

    // Runs the documented checks in a scratch folder; the exit status.
    int check(const std::string& exportFile, const std::string& sealFile, std::string* output = nullptr) {
        const auto scratch = dir / ("scratch-" + std::to_string(++runs));
        stdfs::create_directories(scratch);
        test::writeAll(scratch / "check.sh", documentedChecks());
        auto quoted = [](const std::string& s) { return "'" + s + "'"; };
        const std::string command = "cd " + quoted(scratch.string()) + " && export_file=" + quoted(exportFile) +
                                    " seal_file=" + quoted(sealFile) +
                                    " authority_root=" + quoted((dir / "authority-root.pem").string()) +
                                    " archive=" + quoted(paths.database) + " manifest=" + quoted(paths.manifest) +
                                    " bash check.sh > out.txt 2>&1";
        const int status = std::system(command.c_str());
        if (output) *output = test::readAll(scratch / "out.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static constexpr int kDaysAgo = 30;
    test::TempDir dir;
    test::LoopbackTimeStampAuthority tsa{kDaysAgo};
    OwnerPaths paths;
    std::string exportPath, sealPath;
    int runs = 0;
};

TEST_F(DocumentedSealCheck, HoldsForTheSealedExportAndFailsForChangedCopies) {
    const std::string script = documentedChecks();
    ASSERT_NE(script.find("openssl ts -verify"), std::string::npos);
    ASSERT_NE(script.find("sha256sum"), std::string::npos);

    std::string out;
    EXPECT_EQ(check(exportPath, sealPath, &out), 0) << out;
    EXPECT_NE(out.find("Verification: OK"), std::string::npos) << out;
    EXPECT_NE(out.find("4. The seal names link 19 of the chain of the archive's 19 records."), std::string::npos)
        << out;

    // One byte of the export changed.
    std::string bytes = test::readAll(exportPath);
    bytes[bytes.size() / 2] = bytes[bytes.size() / 2] == 'a' ? 'b' : 'a';
    const auto changed = dir / "changed.json";
    test::writeAll(changed, bytes);
    EXPECT_NE(check(changed.string(), sealPath, &out), 0) << out;
    EXPECT_NE(out.find("1. Failed: the export's SHA-256 is not the one in the seal."), std::string::npos) << out;

    // A seal whose description was rewritten, digest and all: the anchor no longer holds.
    const auto forged = dir / "forged.kxseal.json";
    {
        auto s = SealFile::fromJson(nlohmann::json::parse(test::readAll(sealPath)));
        ASSERT_EQ(s.description.rfind("Conversation with", 0), 0u) << s.description;
        s.description.replace(0, 17, "Conversation from");
        test::writeAll(forged, s.toJson().dump(2)); // with a digest that matches the rewritten fields
    }
    EXPECT_NE(check(exportPath, forged.string(), &out), 0) << out;
    EXPECT_NE(out.find("2. The seal's fields are the ones that were signed."), std::string::npos) << out;
    EXPECT_NE(out.find("3. Failed: the token is not a signature of these fields"), std::string::npos) << out;

    // The seal's readable anchor fields edited: the token says otherwise.
    const auto original = SealFile::fromJson(nlohmann::json::parse(test::readAll(sealPath)));
    ASSERT_TRUE(original.anchor);
    SealFile redated = original, reserialed = original;
    redated.anchor->anchoredAt += std::chrono::hours(24 * 20);
    reserialed.anchor->serialNumber = "1" + reserialed.anchor->serialNumber;
    for (const SealFile* altered : {&redated, &reserialed}) {
        const auto path = dir / "altered.kxseal.json";
        test::writeAll(path, altered->toJson().dump(2));
        EXPECT_NE(check(exportPath, path.string(), &out), 0) << out;
        EXPECT_NE(out.find("Verification: OK"), std::string::npos) << out;
        EXPECT_NE(out.find(altered == &redated ? "3. Failed: the seal's anchoredAt is not the time in the token."
                                               : "3. Failed: the seal's serialNumber is not the one in the token."),
                  std::string::npos)
            << out;
    }

    // A record of the archive changed: the chain no longer ends at the head.
    test::tamper(paths.database, "UPDATE records SET body = substr(body, 1, length(body) - 1) || CAST('x' AS BLOB) "
                                 "WHERE seq = 3");
    EXPECT_NE(check(exportPath, sealPath, &out), 0) << out;
    EXPECT_NE(out.find("3. The anchor holds."), std::string::npos) << out;
    EXPECT_NE(out.find("4. Failed: the seal's head is not a link of the chain of the archive's 19 records."),
              std::string::npos)
        << out;

    // A record removed: the numbering says where.
    test::tamper(paths.database, "DELETE FROM records WHERE seq = 5");
    EXPECT_NE(check(exportPath, sealPath, &out), 0) << out;
    EXPECT_NE(out.find("4. Failed: record 5 is missing from the archive (the numbering goes on at 6)."),
              std::string::npos)
        << out;
}

TEST_F(DocumentedSealCheck, ASealMadeBeforeTheArchiveGrewStillHoldsAndAPendingOneSaysSo) {
    // One more message archived and the conversation exported again: the
    // manifest is renewed, and the first seal names an earlier link.
    test::addMessages(paths.database, {.first = 13, .count = 1});
    ExportRequest r;
    r.archiveRoot = (dir / "Archive").string();
    r.owner = "jorin";
    r.conversationKey = "+15550001111";
    r.format = ExportFormat::csv;
    r.destinationPath = (dir / "Alice again.csv").string();
    r.appVersion = "1.0 (1)";
    r.now = test::fixtureDate(200);
    MapContactResolver names;
    const SealFile later = exportAndSeal(r, names); // not anchored: the seal waits
    later.write(SealFile::path(r.destinationPath));

    std::string out;
    EXPECT_EQ(check(exportPath, sealPath, &out), 0) << out;
    EXPECT_NE(out.find("4. The seal names link 19 of the chain of the archive's 20 records."), std::string::npos)
        << out;

    EXPECT_EQ(check(r.destinationPath, SealFile::path(r.destinationPath), &out), 0) << out;
    EXPECT_NE(out.find("3. Not anchored yet: no authority has signed this seal, so it proves no time."),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("ASN1"), std::string::npos) << out;
    EXPECT_NE(out.find("4. The seal names link 20 of the chain of the archive's 20 records."), std::string::npos)
        << out;
}

} // namespace
} // namespace kx
