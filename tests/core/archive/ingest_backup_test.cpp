// Reading generated device backup folders.
#include "core/archive/device_backup.h"
#include "core/archive/ingest_sources.h"
#include "core/platform/error.h"
#include "tests/core/archive/ingest_test_support.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace fx = kx::fixtures;
namespace stdfs = std::filesystem;
using kx::test::CollectingSink;

namespace {

kx::Source backupSource(const stdfs::path& p) {
    kx::Source s;
    s.id = "phone";
    s.owner = "jorin";
    s.path = p.string();
    s.format = kx::SourceFormat::iosDeviceBackup;
    return s;
}

struct Counts {
    std::int64_t present = 0, missing = 0, refused = 0;
};

Counts countAttachments(const CollectingSink& sink) {
    Counts c;
    for (const auto& m : sink.messages)
        for (const auto& a : m.attachments) {
            if (a.state == kx::AttachmentFileState::present) ++c.present;
            else if (a.state == kx::AttachmentFileState::missing) ++c.missing;
            else if (a.state == kx::AttachmentFileState::refused) ++c.refused;
        }
    return c;
}

std::string errorOf(const kx::Source& s) {
    kx::IOSDeviceBackupIngester reader;
    return kx::test::errorOf(reader, s);
}

// A backup of 21 messages whose three attachments are all held.
void writeSmallBackup(const stdfs::path& at) {
    fx::Options o;
    o.messages = 21;
    o.missingAttachmentEvery = 0;
    fx::writeDeviceBackup(at, o, {});
}

} // namespace

TEST(IngestBackup, ShardedAndFlatLayoutsWithBinaryOrXmlPlistsAreRead) {
    for (bool sharded : {true, false})
        for (bool binary : {true, false}) {
            kx::test::TempDir dir;
            fx::Options o;
            o.schema = sharded ? fx::Schema::macosCurrent : fx::Schema::ios13;
            o.nanosecondDates = sharded;
            o.messages = 200;
            o.walOnlyMessages = 10;
            fx::BackupOptions b;
            b.sharded = sharded;
            b.binaryPlists = binary;
            const auto sum = fx::writeDeviceBackup(dir / "backup", o, b);
            const std::string before = kx::test::snapshotTree(dir.path());

            const auto info = kx::DeviceBackup::readInfo(dir / "backup");
            EXPECT_EQ(info.deviceName, "Fixture iPhone");
            EXPECT_FALSE(info.isEncrypted);

            CollectingSink sink;
            kx::IOSDeviceBackupIngester reader;
            const auto out = reader.ingest(backupSource(dir / "backup"), {}, sink);
            EXPECT_EQ(out.messagesRead, sum.messages) << sharded << binary;
            EXPECT_TRUE(sink.has(fx::messageGuid(210))) << "rows of the backed-up -wal are read";
            EXPECT_EQ(sink.get(fx::messageGuid(3)).text, fx::messageText(3));
            const auto c = countAttachments(sink);
            EXPECT_EQ(c.present, sum.attachmentsPresent);
            EXPECT_EQ(c.missing, sum.attachmentsMissing);
            EXPECT_EQ(c.refused, 0);
            for (const auto& m : sink.messages)
                for (const auto& a : m.attachments)
                    if (a.resolvedPath) {
                        EXPECT_EQ(kx::test::readAll(*a.resolvedPath).rfind("JPEG fixture bytes", 0), 0u);
                    }
            EXPECT_EQ(kx::test::snapshotTree(dir.path()), before) << "the backup folder changed";

            CollectingSink again;
            reader.ingest(backupSource(dir / "backup"), sink.cursor, again);
            EXPECT_TRUE(again.messages.empty());
        }
}

TEST(IngestBackup, EncryptedStrippedAndMessagelessBackupsAreReportedClearly) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 40;

    fx::BackupOptions enc;
    enc.encrypted = true;
    fx::writeDeviceBackup(dir / "enc", o, enc);
    auto why = errorOf(backupSource(dir / "enc"));
    EXPECT_NE(why.find("is encrypted"), std::string::npos) << why;

    // Encrypted, but the copy lost its Manifest.plist: the unreadable Manifest.db says so.
    stdfs::remove(dir / "enc" / "Manifest.plist");
    why = errorOf(backupSource(dir / "enc"));
    EXPECT_NE(why.find("may be encrypted or damaged"), std::string::npos) << why;

    fx::BackupOptions stripped;
    stripped.stripped = true;
    const auto sum = fx::writeDeviceBackup(dir / "stripped", o, stripped);
    CollectingSink sink;
    kx::IOSDeviceBackupIngester reader;
    reader.ingest(backupSource(dir / "stripped"), {}, sink);
    EXPECT_EQ(static_cast<std::int64_t>(sink.messages.size()), sum.messages);
    EXPECT_EQ(countAttachments(sink).missing, sum.attachments);

    fx::BackupOptions none;
    none.includeMessages = false;
    fx::writeDeviceBackup(dir / "none", o, none);
    why = errorOf(backupSource(dir / "none"));
    EXPECT_NE(why.find("holds no messages database"), std::string::npos) << why;

    why = errorOf(backupSource(dir / "missing"));
    EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
    stdfs::create_directories(dir / "plain");
    why = errorOf(backupSource(dir / "plain"));
    EXPECT_NE(why.find("not a device backup"), std::string::npos) << why;
}

TEST(IngestBackup, AttachmentPathsThatLeaveTheMediaAreRefused) {
    kx::test::TempDir dir;
    writeSmallBackup(dir / "b");
    const auto sms = dir / "b" / "3d" / kx::DeviceBackup::kMessagesFileID;
    ASSERT_TRUE(stdfs::exists(sms));
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(sms.c_str(), &h), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(h,
                           "UPDATE attachment SET filename = '~/Library/SMS/../../../../etc/passwd' WHERE ROWID = 1;"
                           "UPDATE attachment SET filename = '/etc/passwd' WHERE ROWID = 2;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(h);
    CollectingSink sink;
    kx::IOSDeviceBackupIngester reader;
    reader.ingest(backupSource(dir / "b"), {}, sink);
    const auto c = countAttachments(sink);
    EXPECT_EQ(c.refused, 2);
    EXPECT_EQ(c.present, 1);
}

TEST(IngestBackup, FileIdsAreTheSha1OfDomainAndPath) {
    EXPECT_EQ(kx::DeviceBackup::fileID("HomeDomain", "Library/SMS/sms.db"), kx::DeviceBackup::kMessagesFileID);
    EXPECT_EQ(fx::backupFileID("HomeDomain", "Library/SMS/sms.db"), kx::DeviceBackup::kMessagesFileID);
}

TEST(IngestBackup, TheFileListIsReadOnlyWhenAnAttachmentNeedsIt) {
    kx::test::TempDir dir;
    fx::Options o;
    o.messages = 60;
    const auto sum = fx::writeDeviceBackup(dir / "b", o, {});
    kx::IOSDeviceBackupIngester reader;
    CollectingSink first;
    reader.ingest(backupSource(dir / "b"), {}, first);
    ASSERT_EQ(static_cast<std::int64_t>(first.messages.size()), sum.messages);

    // A damaged Manifest.db does not stop the messages, and an unchanged backup
    // is not read again at all.
    kx::test::writeAll(dir / "b" / "Manifest.db", std::string(4096, 'j'));
    CollectingSink rerun;
    EXPECT_NO_THROW(reader.ingest(backupSource(dir / "b"), first.cursor, rerun));
    EXPECT_TRUE(rerun.messages.empty());
    CollectingSink full;
    EXPECT_NO_THROW(reader.ingest(backupSource(dir / "b"), {}, full));
    EXPECT_EQ(full.messages.size(), first.messages.size());
    EXPECT_EQ(countAttachments(full).missing, sum.attachmentsMissing);
}

TEST(IngestBackup, LinksInTheBackupAreRefusedWithASentenceNotTakenAsMissing) {
    kx::test::TempDir dir;
    writeSmallBackup(dir / "b");

    // An attachment entry replaced by a link to an identical copy elsewhere.
    CollectingSink first;
    kx::IOSDeviceBackupIngester reader;
    reader.ingest(backupSource(dir / "b"), {}, first);
    std::optional<stdfs::path> stored;
    for (const auto& m : first.messages)
        for (const auto& a : m.attachments)
            if (a.resolvedPath && !stored) stored = *a.resolvedPath;
    ASSERT_TRUE(stored);
    const auto present = countAttachments(first).present;
    stdfs::copy_file(*stored, dir / "elsewhere");
    stdfs::remove(*stored);
    stdfs::create_symlink(dir / "elsewhere", *stored);
    CollectingSink linked;
    reader.ingest(backupSource(dir / "b"), {}, linked);
    const auto c = countAttachments(linked);
    EXPECT_EQ(c.refused, 1);
    EXPECT_EQ(c.missing, 0);
    EXPECT_EQ(c.present, present - 1);
    for (const auto& m : linked.messages)
        for (const auto& a : m.attachments)
            if (a.state == kx::AttachmentFileState::refused) {
                EXPECT_NE(a.problem.value_or("").find("symbolic link"), std::string::npos) << a.problem.value_or("");
            }

    // The messages database itself replaced by a link to a real copy.
    const auto sms = dir / "b" / "3d" / kx::DeviceBackup::kMessagesFileID;
    stdfs::copy_file(sms, dir / "sms-copy.db");
    stdfs::remove(sms);
    stdfs::create_symlink(dir / "sms-copy.db", sms);
    const auto why = errorOf(backupSource(dir / "b"));
    EXPECT_NE(why.find("is a symbolic link, which Kelvara does not follow"), std::string::npos) << why;
    EXPECT_EQ(why.find("holds no messages database"), std::string::npos) << why;

    // A linked shard folder is not followed either.
    stdfs::remove(sms);
    stdfs::copy_file(dir / "sms-copy.db", sms);
    ASSERT_EQ(errorOf(backupSource(dir / "b")), "");
    stdfs::rename(dir / "b" / "3d", dir / "shard");
    stdfs::create_symlink(dir / "shard", dir / "b" / "3d");
    EXPECT_NE(errorOf(backupSource(dir / "b")).find("does not follow"), std::string::npos);
}
