// One backup run told by the application and by kxctl: the same sentences in
// the same order, each front end with its own word for this machine and its
// own way of writing dates, kxctl with its figures; and never "verified" over
// damage the run could not repair.
#include "core/backup/backup_story.h"

#include <gtest/gtest.h>

using namespace kx;

namespace {

const StoryTerms app{"jorin", "AWS S3", "this Mac", [](Date d) { return "on day " + formatISO8601(d).substr(8, 2); }};
const StoryTerms kxctl{"jorin", "AWS S3", "this computer", formatISO8601};

} // namespace

TEST(BackupStory, OneReceiptIsOneStoryInBothFrontEnds) {
    UploadReceipt r;
    r.verification = UploadReceipt::Verification::verified;
    r.bytes = 4096;
    r.resumed = true;
    r.storedChecked = 1;
    r.storeConfirmed = 2;
    r.damaged = {"attachments/a.jpg", "the archive database"};
    r.merged = MergedBackup{7, 3, 1, {}, 2, "2026-12-10T13:18:42.831Z"};
    r.rolledBack = RolledBack{3, "2026-12-04T09:00:00.000Z", 5, "2026-12-09T09:00:00.000Z"};

    EXPECT_EQ(tellBackup(r, app).text(false),
              "jorin's archive is backed up to AWS S3, encrypted and verified. Resumed from a previous interrupted "
              "upload. 2 objects written by this run were checked by AWS S3's own checksum of what it received, not "
              "yet read back; every object is read back within 30 backups. Before backing up, this archive took in "
              "what only the backup at AWS S3 (made on day 10) held: 7 messages it brought back, the edits, unsends "
              "or sightings of 3 messages and 1 attachment file. The backup at AWS S3 (made on day 04) is older than "
              "the one this Mac last wrote there (made on day 09): it was rolled back, by a sync app, a snapshot "
              "being put back or by hand. This backup read back everything stored there and brought it up to date. "
              "Damaged at AWS S3 and sent again: attachments/a.jpg, the archive database.");

    // kxctl: the same sentences, with its figures after the resumed one, its
    // own word for this machine and its own dates.
    std::vector<std::string> expected = tellBackup(r, app).sentences(false);
    expected.insert(expected.begin() + 2,
                    "4096 bytes were sent; 1 object stored by earlier runs was read back and checked.");
    expected[4] = "Before backing up, this archive took in what only the backup at AWS S3 (made "
                  "2026-12-10T13:18:42.831Z) held: 7 messages it brought back, the edits, unsends or sightings of 3 "
                  "messages and 1 attachment file.";
    expected[5] = "The backup at AWS S3 (made 2026-12-04T09:00:00.000Z) is older than the one this computer last "
                  "wrote there (made 2026-12-09T09:00:00.000Z): it was rolled back, by a sync app, a snapshot being "
                  "put back or by hand. This backup read back everything stored there and brought it up to date.";
    EXPECT_EQ(tellBackup(r, kxctl).sentences(true), expected);
}

TEST(BackupStory, DamageLeftUnrepairedIsNeverVerifiedAndUnknownDatesAreLeftOut) {
    UploadReceipt r;
    r.verification = UploadReceipt::Verification::verified;
    r.unrepaired = {"attachments/b.mov"};
    r.merged = MergedBackup{1, 0, 0, {"ATT-1", "ATT-2"}, 0, ""};
    r.rolledBack = RolledBack{0, "", 4, "not a date"};
    const BackupStory story = tellBackup(r, app);
    EXPECT_FALSE(story.verified);
    EXPECT_EQ(story.text(false),
              "jorin's archive is backed up to AWS S3, encrypted (NOT verified). Before backing up, this archive took "
              "in what only the backup at AWS S3 held: 1 message it brought back. 2 attachments named there could not "
              "be read from it; this archive records them without the file. The backup this Mac last wrote to AWS S3 "
              "is no longer there. This backup read back everything stored there and brought it up to date. Damaged "
              "at AWS S3 and not sent again, because this Mac no longer holds them: attachments/b.mov.");
}

TEST(BackupStory, TheEarlierBackupIsOfferedInEachFrontEndsWordsAndCalledWholeOnlyWhenItsFilesWereChecked) {
    EXPECT_EQ(earlierBackupSentence({1, "2026-12-10T13:18:42.831Z", true}, app, "choose it in the list of backups"),
              "The backup before it (made on day 10) is still there whole and can be restored instead, without what "
              "was backed up after it: choose it in the list of backups.");
    EXPECT_EQ(earlierBackupSentence({1, "", false}, kxctl, "run the restore again with --previous"),
              "The backup before it is still there with a database that opens and matches and can be restored "
              "instead, without what was backed up after it: run the restore again with --previous.");
}
