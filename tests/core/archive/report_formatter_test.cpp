#include "core/archive/report_formatter.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using kx::SourceDeletionReport;
using kx::test::TempDir;

namespace {

SourceDeletionReport source(const std::string& id, const std::string& path, SourceDeletionReport::Verdict v) {
    SourceDeletionReport s;
    s.sourceId = id;
    s.path = path;
    s.verdict = v;
    s.messagesRead = s.messagesInArchive = 10;
    return s;
}

} // namespace

TEST(DeletionDryRunScript, HostilePathsStayInertWhenTheScriptRuns) {
    TempDir dir;
    const fs::path victim = dir / "victim";
    fs::create_directories(victim);
    kx::test::writeAll(victim / "keep.txt", "precious");
    const std::string pwned = (dir / "pwned").string();

    kx::DeletionSafetyReport report;
    using V = SourceDeletionReport::Verdict;
    report.sources.push_back(source("plain", victim.string(), V::verifiedRedundant));
    report.sources.push_back(source("subst", victim.string() + "/$(touch " + pwned + "1)", V::verifiedRedundant));
    report.sources.push_back(source("quote", victim.string() + "/'; touch " + pwned + "2; '", V::verifiedRedundant));
    report.sources.push_back(source("newline", victim.string() + "/x\ntouch " + pwned + "3\n#", V::verifiedRedundant));
    report.sources.push_back(source("backtick", "`touch " + pwned + "4`", V::verifiedRedundant));
    auto bad = source("label", victim.string(), V::doNotDelete);
    bad.label = "evil\nrm -rf " + victim.string();
    bad.reasons = {"one\ntouch " + pwned + "5"};
    report.sources.push_back(bad);

    const std::string script = kx::ReportFormatter::deletionDryRunScript(report);
    // No line outside a comment may start a delete.
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("rm ") != std::string::npos) {
            EXPECT_EQ(line.rfind("# ", 0), 0u) << line;
        }
    }

    const fs::path scriptPath = dir / "kelvara-dry-run.sh";
    kx::test::writeAll(scriptPath, script);
    kx::PosixProcessRunner runner;
    kx::ProcessRequest req;
    req.program = "/bin/bash";
    req.arguments = {scriptPath.string()};
    const auto result = runner.run(req);
    ASSERT_TRUE(result.succeeded()) << result.standardError;
    EXPECT_NE(result.standardOutput.find("Would delete: " + victim.string()), std::string::npos);
    EXPECT_NE(result.standardOutput.find("Nothing was deleted."), std::string::npos);
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(fs::exists(pwned + std::to_string(i))) << i;
    EXPECT_EQ(kx::test::readAll(victim / "keep.txt"), "precious");
}

TEST(DeletionDryRunScript, UncommentedDeleteLineNamesExactlyThePath) {
    // Even a delete line the user uncomments must see the path as one word.
    TempDir dir;
    const std::string odd = (dir / "a b\n'c\\d$(x)").string();
    fs::create_directories(odd);
    const std::string word = kx::ReportFormatter::shellQuote(odd);
    kx::test::writeAll(dir / "t.sh", "set -eu\n[ -d " + word + " ] && printf '%s' " + word + "\n");
    kx::PosixProcessRunner runner;
    kx::ProcessRequest req;
    req.program = "/bin/bash";
    req.arguments = {(dir / "t.sh").string()};
    const auto r = runner.run(req);
    ASSERT_TRUE(r.succeeded()) << r.standardError;
    EXPECT_EQ(r.standardOutput, odd);
}

TEST(DeletionDryRunScript, OnlyVerifiedRedundantSourcesGetADeleteLine) {
    kx::DeletionSafetyReport report;
    using V = SourceDeletionReport::Verdict;
    report.sources.push_back(source("safe", "/data/safe", V::verifiedRedundant));
    report.sources.push_back(source("unsafe", "/data/unsafe", V::doNotDelete));
    report.sources.push_back(source("unknown", "/data/unknown", V::unknown));
    const std::string script = kx::ReportFormatter::deletionDryRunScript(report);
    EXPECT_NE(script.find("# rm -rf -- $'/data/safe'"), std::string::npos);
    EXPECT_EQ(script.find("rm -rf -- $'/data/unsafe'"), std::string::npos);
    EXPECT_EQ(script.find("rm -rf -- $'/data/unknown'"), std::string::npos);
    EXPECT_NE(script.find("set -eu"), std::string::npos);
    EXPECT_NE(script.find("1 of 3 sources verified redundant"), std::string::npos);
}
