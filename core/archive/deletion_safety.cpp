// Deletion safety: could a source's files be deleted without losing anything?
//
// Each registered source is read afresh through its reader (which never writes
// to it) and every message and attachment it holds now is checked against the
// owner's archive. Nothing is trusted from earlier runs: not the cursors, not
// the provenance of a past scan, not an earlier attachment check.
//
// Verdict rules, strictest first:
//  do not delete     something the source holds now is not safely in the archive:
//                    a message whose GUID the archive lacks (not scanned yet, left
//                    out by a filter rule, a row without an identifier), a body the
//                    archive does not keep (edited since the last scan), an
//                    attachment file whose bytes are not stored, whose stored copy
//                    is missing or no longer hashes to its key, or whose size
//                    differs from the stored copy. Also, always, this machine's
//                    live Messages database, which Messages keeps writing to.
//  unknown           nothing is known to be missing, but something could not be
//                    confirmed: the source or the archive could not be read, the
//                    kind of source holds no messages Kelvara can read, the reader
//                    reported problems (undecodable bodies), attachments point
//                    outside the source's folder, or the source held no messages.
//  verified redundant every message of the source is in the archive by GUID with
//                    its text, and every attachment file the source holds is stored
//                    and its stored copy was re-hashed in full by this analysis and
//                    matches its key (a full sweep of the source's attachments).
// Attachments the source lists without a file (offloaded, stripped) hold no
// bytes to lose; they are mentioned but do not change the verdict.
#include "core/archive/tresk_engine.h"

#include "core/archive/archive_layout.h"
#include "core/archive/attachment_store.h"
#include "core/archive/tresk_store_analysis.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <filesystem>
#include <map>
#include <sys/stat.h>

namespace kx {

namespace {

using Verdict = SourceDeletionReport::Verdict;

std::string count(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Checks what one source delivers against the owner's archive.
class CheckSink final : public IngestSink {
public:
    CheckSink(TreskStore::ContentCheck* check, AttachmentStore* objects,
              std::map<std::string, AttachmentStore::Check>& verified, std::string sourceId)
        : check_(check), objects_(objects), verified_(verified), sourceId_(std::move(sourceId)) {}

    void chat(const ChatRecord&) override {}
    void checkpoint(const IngestCursor&) override {}

    void message(MessageRecord&& m) override {
        ++read;
        if (m.guid.empty()) {
            ++notArchived;
            ++unique;
            return;
        }
        try {
            checkMessage(m);
            for (const auto& a : m.attachments) checkAttachment(a);
        } catch (const Error&) {
            throw;
        } catch (const std::exception& e) {
            archiveProblem = e.what();
            throw Error(std::string("the archive could not be read (") + e.what() + ")");
        }
    }

    int64_t read = 0, inArchive = 0, notArchived = 0, unique = 0, changed = 0;
    int64_t attachments = 0, hashVerified = 0, notStored = 0, damaged = 0, sizeDiffers = 0, absent = 0, refused = 0;
    std::optional<std::string> archiveProblem;

private:
    void checkMessage(const MessageRecord& m) {
        if (!check_) {
            ++notArchived;
            ++unique;
            return;
        }
        const auto st = check_->message(m.guid, m.text, sourceId_);
        if (!st.archived) {
            ++notArchived;
            ++unique;
            return;
        }
        ++inArchive;
        if (!st.heldElsewhere) ++unique;
        bool kept = st.bodyKept;
        for (const auto& e : m.edits)
            if (kept && e.text && !e.text->empty()) kept = check_->message(m.guid, e.text, sourceId_).bodyKept;
        if (!kept) ++changed;
    }

    void checkAttachment(const AttachmentRecord& a) {
        switch (a.state) {
        case AttachmentFileState::notRecorded: return;
        case AttachmentFileState::missing: ++absent; return;
        case AttachmentFileState::refused: ++refused; return;
        case AttachmentFileState::present: break;
        }
        ++attachments;
        const auto st = check_ ? check_->attachment(a.guid) : TreskStore::ContentCheck::AttachmentState{};
        if (!st.objectKey || !objects_ || !AttachmentStore::isValidKey(*st.objectKey)) {
            ++notStored;
            return;
        }
        auto it = verified_.find(*st.objectKey);
        if (it == verified_.end()) it = verified_.emplace(*st.objectKey, objects_->verify(*st.objectKey)).first;
        if (it->second != AttachmentStore::Check::verified) {
            ++damaged;
            return;
        }
        std::error_code e1, e2;
        const auto sourceSize = a.resolvedPath ? std::filesystem::file_size(*a.resolvedPath, e1) : 0;
        const auto storedSize = std::filesystem::file_size(objects_->objectPath(*st.objectKey), e2);
        if (!a.resolvedPath || e1 || e2 || sourceSize != storedSize) {
            ++sizeDiffers;
            return;
        }
        ++hashVerified;
    }

    TreskStore::ContentCheck* check_;
    AttachmentStore* objects_;
    std::map<std::string, AttachmentStore::Check>& verified_;
    std::string sourceId_;
};

std::optional<int64_t> bytesOnDisk(const std::string& path) {
    namespace sfs = std::filesystem;
    std::error_code ec;
    const auto status = sfs::symlink_status(path, ec);
    if (ec) return std::nullopt;
    if (sfs::is_regular_file(status)) {
        const auto n = sfs::file_size(path, ec);
        return ec ? std::nullopt : std::optional<int64_t>(static_cast<int64_t>(n));
    }
    if (!sfs::is_directory(status)) return std::nullopt;
    int64_t total = 0;
    sfs::recursive_directory_iterator it(path, sfs::directory_options::skip_permission_denied, ec), end;
    if (ec) return std::nullopt;
    for (; it != end; it.increment(ec)) {
        if (ec) return std::nullopt;
        std::error_code fe;
        if (it->is_regular_file(fe) && !it->is_symlink(fe)) total += static_cast<int64_t>(it->file_size(fe));
    }
    return total;
}

struct OwnerArchive {
    std::optional<std::string> problem; // the archive could not be opened
    std::unique_ptr<TreskStore> store;  // none when the owner has no archive yet
    std::unique_ptr<TreskStore::ContentCheck> check;
    std::unique_ptr<AttachmentStore> objects;
    std::map<std::string, AttachmentStore::Check> verified; // each object hashed once per analysis
};

} // namespace

DeletionSafetyReport TreskEngine::deletionSafety(bool measureBytes) const {
    if (root_.empty()) throw Error("no archive folder was given");
    DeletionSafetyReport report;
    std::map<std::string, OwnerArchive> archives;

    for (const auto& src : registry_.sources()) {
        SourceDeletionReport r;
        r.sourceId = src.id;
        r.path = src.path;
        r.label = src.label.value_or("");
        if (measureBytes) r.bytesOnDisk = bytesOnDisk(src.path);
        std::vector<std::string> loss, doubt, notes;

        auto finish = [&] {
            if (src.format == SourceFormat::liveChatDB)
                loss.push_back(
                    "This is this computer's live Messages database. Messages keeps adding to it, so it is never "
                    "safe to delete.");
            r.verdict = !loss.empty()    ? Verdict::doNotDelete
                        : !doubt.empty() ? Verdict::unknown
                                         : Verdict::verifiedRedundant;
            for (auto* list : {&loss, &doubt, &notes}) r.reasons.insert(r.reasons.end(), list->begin(), list->end());
            report.sources.push_back(std::move(r));
        };

        const auto ingester = ingesters_.find(src.format);
        if (holdsNoMessages(src.format) || !ingester) {
            doubt.push_back("Kelvara cannot read messages from this kind of source, so it cannot tell what deleting "
                            "it would lose.");
            finish();
            continue;
        }

        auto [it, fresh] = archives.try_emplace(src.owner);
        OwnerArchive& archive = it->second;
        if (fresh) {
            try {
                const OwnerPaths paths = ArchiveLayout(root_).owner(src.owner);
                if (fs::isRegularFile(paths.database)) {
                    archive.store = std::make_unique<TreskStore>(paths.database);
                    // Two owner names can map to one folder ("a/b" and "a_b"); the
                    // archive there belongs to the owner it records, and only to it.
                    const std::string recorded = archive.store->owner();
                    if (!recorded.empty() && recorded != src.owner)
                        throw Error("its folder holds the archive of \"" + recorded + "\"");
                    archive.check = archive.store->contentCheck();
                    archive.objects = std::make_unique<AttachmentStore>(paths.attachments);
                }
            } catch (const std::exception& e) {
                archive.problem = e.what();
                archive.store.reset();
                archive.check.reset();
            }
        }
        if (archive.problem) {
            doubt.push_back("The archive of \"" + src.owner + "\" could not be read (" + *archive.problem +
                            "), so nothing about this source can be confirmed.");
            finish();
            continue;
        }

        CheckSink sink(archive.check.get(), archive.objects.get(), archive.verified, src.id);
        IngestOutcome outcome;
        std::optional<std::string> readProblem;
        try {
            outcome = ingester->ingest(src, IngestCursor{}, sink);
        } catch (const std::exception& e) {
            readProblem = e.what();
        }
        r.messagesRead = sink.read;
        r.messagesInArchive = sink.inArchive;
        r.uniqueMessages = sink.unique;
        r.attachments = sink.attachments;
        r.hashVerifiedAttachments = sink.hashVerified;

        if (!archive.store && sink.read > 0)
            loss.push_back("There is no archive for \"" + src.owner +
                           "\" yet, so none of this source's messages are "
                           "archived. Run a scan first.");
        else if (sink.notArchived > 0)
            loss.push_back(count(sink.notArchived, "message", "messages") + " in this source " +
                           (sink.notArchived == 1 ? "is" : "are") +
                           " not in the archive (not scanned yet, or left out by a filter rule).");
        if (outcome.rowsSkipped > 0)
            loss.push_back(count(outcome.rowsSkipped, "row", "rows") + " of this source could not be read as " +
                           (outcome.rowsSkipped == 1 ? "a message" : "messages") + ", so " +
                           (outcome.rowsSkipped == 1 ? "it is" : "they are") + " not in the archive.");
        if (sink.changed > 0)
            loss.push_back(count(sink.changed, "message has", "messages have") +
                           " text in this source that the archive does not hold (edited since the last scan).");
        if (sink.notStored > 0)
            loss.push_back(count(sink.notStored, "attachment file is", "attachment files are") +
                           " in this source but not stored in the archive.");
        if (sink.damaged > 0)
            loss.push_back(count(sink.damaged, "stored attachment copy is", "stored attachment copies are") +
                           " missing or no longer match" + (sink.damaged == 1 ? "es" : "") +
                           " its checksum; this source may hold the only good bytes.");
        if (sink.sizeDiffers > 0)
            loss.push_back(count(sink.sizeDiffers, "attachment file differs", "attachment files differ") +
                           " in size from the stored copy.");

        if (sink.archiveProblem)
            doubt.push_back("The archive of \"" + src.owner + "\" could not be read while checking (" +
                            *sink.archiveProblem + "), so the check did not finish.");
        else if (readProblem)
            doubt.push_back("This source could not be read in full now (" + *readProblem +
                            "), so the check did not finish.");
        for (const auto& w : outcome.warnings) doubt.push_back("While reading this source: " + w);
        if (sink.refused > 0)
            doubt.push_back(count(sink.refused, "attachment points", "attachments point") +
                            " outside this source's folder and " + (sink.refused == 1 ? "was" : "were") +
                            " not read, so Kelvara cannot tell whether " + (sink.refused == 1 ? "its" : "their") +
                            " bytes are kept.");
        if (sink.read == 0 && !readProblem)
            doubt.push_back("Kelvara found no messages in this source, so there is nothing to compare. Check it "
                            "yourself before deleting it.");

        if (sink.absent > 0)
            notes.push_back(count(sink.absent, "attachment is", "attachments are") +
                            " listed by this source without a file in it; deleting the source loses none of " +
                            (sink.absent == 1 ? "its" : "their") + " bytes.");
        if (loss.empty() && doubt.empty()) {
            notes.push_back("Every one of the " + count(sink.read, "message", "messages") +
                            " in this source is in the archive.");
            if (sink.attachments > 0)
                notes.push_back(
                    "All " + count(sink.attachments, "attachment file", "attachment files") +
                    " are stored in the archive, and the stored copies were checked byte for byte just now.");
            if (sink.unique > 0)
                notes.push_back(count(sink.unique, "message is", "messages are") +
                                " in no other source; the archive holds the only other copy.");
        }
        finish();
    }
    return report;
}

} // namespace kx
