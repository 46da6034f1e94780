#include "core/backup/backup_story.h"

#include "core/backup/carried_head.h"
#include "core/backup/generation_memory.h"
#include "core/platform/fs.h"

namespace kx {

namespace {

std::string counted(size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string joined(const std::vector<std::string>& items, const std::string& last = ", ") {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : i + 1 == items.size() ? last : ", ") + items[i];
    return out;
}

// " (made <date>)" for a manifest's creation time; nothing when it is unknown.
std::string made(const std::string& createdAt, const StoryTerms& terms) {
    const std::optional<Date> at = parseISO8601(createdAt);
    return at ? " (made " + terms.date(*at) + ")" : "";
}

std::string rolledBackSentence(const RolledBack& r, const StoryTerms& terms) {
    const std::string found = r.foundGeneration == 0 && r.foundAt.empty()
                                  ? "The backup " + terms.thisMachine + " last wrote to " + terms.destination +
                                        made(r.rememberedAt, terms) + " is no longer there"
                                  : "The backup at " + terms.destination + made(r.foundAt, terms) +
                                        " is older than the one " + terms.thisMachine + " last wrote there" +
                                        made(r.rememberedAt, terms) +
                                        ": it was rolled back, by a sync app, a snapshot being put back or by hand";
    return found + ". This backup read back everything stored there and brought it up to date.";
}

} // namespace

BackupEngine::Options backupRunOptions(const std::string& owner, const std::string& configDir, std::string machineID) {
    BackupEngine::Options options;
    options.generations = fs::appendComponent(configDir, GenerationMemory::kFileName);
    options.manifestHead = headToCarry(owner);
    options.pendingAnchors = anchorsToCarry(configDir);
    options.machineID = std::move(machineID);
    return options;
}

std::string mergedSentence(const MergedBackup& m, const StoryTerms& terms) {
    std::vector<std::string> parts;
    if (m.messagesAdded) parts.push_back(counted(m.messagesAdded, "message", "messages") + " it brought back");
    if (m.messagesGrown)
        parts.push_back("the edits, unsends or sightings of " + counted(m.messagesGrown, "message", "messages"));
    if (m.attachmentsAdded) parts.push_back(counted(m.attachmentsAdded, "attachment file", "attachment files"));
    std::string s = "Before backing up, this archive took in what only the backup at " + terms.destination +
                    made(m.createdAt, terms) + " held: " + joined(parts, " and ") + ".";
    if (!m.attachmentsMissing.empty())
        s += " " + counted(m.attachmentsMissing.size(), "attachment", "attachments") +
             " named there could not be read from it; this archive records " +
             (m.attachmentsMissing.size() == 1 ? "it" : "them") + " without the file.";
    return s;
}

std::string earlierBackupSentence(const EarlierBackup& earlier, const StoryTerms& terms,
                                  const std::string& howToRestore) {
    return "The backup before it" + made(earlier.createdAt, terms) +
           (earlier.whole ? " is still there whole" : " is still there with a database that opens and matches") +
           " and can be restored instead, without what was backed up after it: " + howToRestore + ".";
}

BackupStory tellBackup(const UploadReceipt& r, const StoryTerms& terms) {
    BackupStory story;
    // Damage left behind is never told as a verified backup, whatever else was checked.
    story.verified = r.verification == UploadReceipt::Verification::verified && r.unrepaired.empty();
    story.headline = terms.owner + "'s archive is backed up to " + terms.destination + ", encrypted" +
                     (story.verified ? " and verified." : " (NOT verified).");
    if (r.resumed) story.resumed = "Resumed from a previous interrupted upload.";
    story.figures = std::to_string(r.bytes) + " bytes were sent; " + counted(r.storedChecked, "object", "objects") +
                    " stored by earlier runs " + (r.storedChecked == 1 ? "was" : "were") + " read back and checked.";
    if (r.storeConfirmed)
        story.findings.push_back(counted(r.storeConfirmed, "object", "objects") + " written by this run " +
                                 (r.storeConfirmed == 1 ? "was" : "were") + " checked by " + terms.destination +
                                 "'s own checksum of what it received, not yet read back; every object is read "
                                 "back within " +
                                 std::to_string(kAuditCycle) + " backups.");
    if (r.merged) story.findings.push_back(mergedSentence(*r.merged, terms));
    if (r.rolledBack) story.findings.push_back(rolledBackSentence(*r.rolledBack, terms));
    if (!r.damaged.empty())
        story.findings.push_back("Damaged at " + terms.destination + " and sent again: " + joined(r.damaged) + ".");
    if (!r.unrepaired.empty())
        story.findings.push_back("Damaged at " + terms.destination + " and not sent again, because " +
                                 terms.thisMachine + " no longer holds them: " + joined(r.unrepaired) + ".");
    return story;
}

std::vector<std::string> BackupStory::sentences(bool withFigures) const {
    std::vector<std::string> out{headline};
    if (!resumed.empty()) out.push_back(resumed);
    if (withFigures) out.push_back(figures);
    out.insert(out.end(), findings.begin(), findings.end());
    return out;
}

std::string BackupStory::text(bool withFigures) const {
    std::string out;
    for (const std::string& s : sentences(withFigures)) out += (out.empty() ? "" : " ") + s;
    return out;
}

} // namespace kx
