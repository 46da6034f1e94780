#include "core/evidence/seal_file.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kx {
namespace {

SealFile sampleSeal() {
    SealFile s;
    s.exportFile = "Alice.pdf";
    s.sha256 = std::string(64, 'a');
    s.size = 1234;
    s.format = ExportFormat::pdf;
    s.description = "Conversation with Alice — 3 messages";
    s.manifestHead = std::string(64, 'b');
    s.appVersion = "1.0 (7)";
    s.sealedAt = *parseISO8601("2026-03-01T10:00:00.000Z");
    return s;
}

TEST(SealFile, PathKeepsTheWholeExportName) {
    EXPECT_EQ(SealFile::path("/x/Alice.pdf"), "/x/Alice.pdf.kxseal.json");
    EXPECT_NE(SealFile::path("/x/Alice.pdf"), SealFile::path("/x/Alice.csv"));
}

TEST(SealFile, WritesAndReadsBackTheSameSeal) {
    test::TempDir dir;
    SealFile s = sampleSeal();
    s.anchor = SealAnchor{"http://tsa", "2026-03-01 10:00 UTC", *parseISO8601("2026-03-01T10:00:01.000Z"), "0a",
                          "AAAA"};
    const std::string path = (dir / "Alice.pdf.kxseal.json").string();
    s.write(path);
    EXPECT_EQ(SealFile::read(path), s);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    SealFile noHead = sampleSeal();
    noHead.manifestHead.reset();
    noHead.write(path);
    EXPECT_EQ(SealFile::read(path), noHead);
}

TEST(SealFile, DigestCoversWhatWasSealedButNotTheAnchor) {
    SealFile a = sampleSeal();
    SealFile b = a;
    b.anchor = SealAnchor{"http://tsa", "x", {}, "01", "AA=="};
    EXPECT_EQ(a.sealDigest(), b.sealDigest());
    b.description += ".";
    EXPECT_NE(a.sealDigest(), b.sealDigest());
    SealFile c = a;
    c.manifestHead.reset();
    EXPECT_NE(a.sealDigest(), c.sealDigest());
}

TEST(SealFile, RefusesAnEditedOrDamagedSeal) {
    test::TempDir dir;
    const auto path = dir / "s.kxseal.json";
    sampleSeal().write(path.string());
    std::string text = test::readAll(path);
    const auto pos = text.find("1.0 (7)");
    ASSERT_NE(pos, std::string::npos);
    text.replace(pos, 7, "1.0 (8)");
    test::writeAll(path, text);
    EXPECT_THROW(SealFile::read(path.string()), Error);

    test::writeAll(path, "{not json");
    EXPECT_THROW(SealFile::read(path.string()), Error);
    test::writeAll(path, R"({"kind":"kelvara-seal","version":1,"sha256":5})");
    EXPECT_THROW(SealFile::read(path.string()), Error);
    EXPECT_THROW(SealFile::read((dir / "missing.kxseal.json").string()), Error);
}

TEST(SealFile, WriteIntoAMissingFolderIsAnError) {
    test::TempDir dir;
    EXPECT_THROW(sampleSeal().write((dir / "no-such-folder" / "a.kxseal.json").string()), Error);
}

} // namespace
} // namespace kx
