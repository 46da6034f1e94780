#include "core/archive/ingest_sources.h"

#include "core/archive/device_backup.h"
#include "core/archive/ingest_messages.h"
#include "core/archive/snapshot.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

namespace kx {

namespace stdfs = std::filesystem;

namespace {

// The Messages folder a source path names (the folder, or the chat.db in it).
stdfs::path messagesFolder(const std::string& path) {
    stdfs::path p(path);
    if (p.filename() == "chat.db" && !fs::isDirectory(p)) return p.parent_path();
    return p;
}

// A rerun on files nobody has written since the cursor was taken: nothing can
// be new, so nothing is copied or read.
bool unchangedSince(const DatabaseSnapshot::Files& files, const IngestCursor& from, IngestSink& sink) {
    if (from.empty()) return false;
    const std::string recorded = filesFingerprint(from.extra);
    if (recorded.empty() || recorded != DatabaseSnapshot::fingerprintOf(files)) return false;
    sink.checkpoint(from);
    return true;
}

// Stands between the reader of an on-demand snapshot and the sink: messages
// are handed on with the checkpoint that follows them, so that once the
// database is seen changing (the snapshot moved) nothing read after the last
// checkpoint handed on reaches the sink, and a whole copy read from that
// checkpoint delivers each message once. (Should a very long stretch come
// without a checkpoint, it is handed on in parts; a message of such a part may
// then be delivered again, which the store merges.)
class HeldSink final : public IngestSink {
public:
    HeldSink(IngestSink& to, const DatabaseSnapshot& snapshot) : to_(to), snapshot_(snapshot) {}

    void chat(const ChatRecord& chat) override {
        if (!snapshot_.moved()) to_.chat(chat);
    }
    void message(MessageRecord&& m) override {
        if (snapshot_.moved()) return;
        held_.push_back(std::move(m));
        if (held_.size() >= kMaxHeld) passOn();
    }
    void checkpoint(const IngestCursor& cursor) override {
        if (snapshot_.moved()) return;
        passOn();
        to_.checkpoint(cursor);
        last_ = cursor;
    }
    bool shouldStop() const override { return snapshot_.moved() || to_.shouldStop(); }

    // The read ended without the database changing: the rest goes on.
    void finish() {
        if (!snapshot_.moved()) passOn();
    }
    const std::optional<IngestCursor>& lastCheckpoint() const { return last_; }

private:
    static constexpr std::size_t kMaxHeld = 5000;
    void passOn() {
        for (auto& m : held_) to_.message(std::move(m));
        held_.clear();
    }
    IngestSink& to_;
    const DatabaseSnapshot& snapshot_;
    std::vector<MessageRecord> held_;
    std::optional<IngestCursor> last_;
};

// Reads a message database that changed since `from` (or was never read) from
// an on-demand snapshot: the database is read where it lies, each read checked
// to come from the state the snapshot began with, so reading starts at once and
// nothing of it is copied. When the database changes while it is read, what was
// read up to the last checkpoint is kept and the rest is read from a whole copy.
IngestOutcome readDatabase(const DatabaseSnapshot::Files& files, const AttachmentLocator& locator,
                           const IngestCursor& from, IngestSink& sink) {
    IngestCursor start = from;
    std::unique_ptr<DatabaseSnapshot> onDemand;
    try {
        onDemand = std::make_unique<DatabaseSnapshot>(files, DatabaseSnapshot::Copy::onDemand);
    } catch (const Error&) {
        // read from a whole copy below, which says why if it cannot be made either
    }
    if (onDemand) {
        HeldSink held(sink, *onDemand);
        try {
            IngestOutcome outcome = readMessageDatabase(onDemand->handle(), locator, from, held, onDemand.get());
            held.finish();
            if (!onDemand->moved()) return outcome;
        } catch (const Error&) {
            held.finish();
            if (!onDemand->moved()) throw;
        }
        if (held.lastCheckpoint()) start = *held.lastCheckpoint();
        onDemand.reset();
    }
    DatabaseSnapshot snapshot(files);
    return readMessageDatabase(snapshot.handle(), locator, start, sink, &snapshot);
}

IngestOutcome readMessagesFolder(const stdfs::path& root, const IngestCursor& from, IngestSink& sink) {
    if (!fs::exists(root)) throw Error("the Messages folder " + root.string() + " does not exist");
    if (!fs::isDirectory(root)) throw Error(root.string() + " is not a folder");
    const stdfs::path db = root / "chat.db";
    if (!fs::exists(db)) throw Error("there is no Messages database (chat.db) in " + root.string());
    DatabaseSnapshot::Files files;
    files.main = db;
    if (unchangedSince(files, from, sink)) return {};
    FolderAttachmentLocator locator(root);
    return readDatabase(files, locator, from, sink);
}

// Attachments of a device backup: "~/Library/SMS/Attachments/..." (or the same
// below "/var/mobile/") is the MediaDomain file "Library/SMS/Attachments/...".
class BackupAttachmentLocator final : public AttachmentLocator {
public:
    explicit BackupAttachmentLocator(const DeviceBackup& backup) : backup_(backup) {}

    void locate(AttachmentRecord& rec) const override {
        if (!rec.recordedPath || rec.recordedPath->empty()) {
            rec.state = AttachmentFileState::notRecorded;
            return;
        }
        const std::string& recorded = *rec.recordedPath;
        std::string rel;
        for (std::string_view prefix : {"~/", "/var/mobile/", "/private/var/mobile/"})
            if (recorded.compare(0, prefix.size(), prefix) == 0) {
                rel = recorded.substr(prefix.size());
                break;
            }
        if (rel.empty()) {
            rec.state = AttachmentFileState::refused;
            rec.problem = "its recorded path lies outside the device's media";
            return;
        }
        if (rel == ".." || rel.rfind("../", 0) == 0 || rel.find("/../") != std::string::npos ||
            (rel.size() >= 3 && rel.compare(rel.size() - 3, 3, "/..") == 0)) {
            rec.state = AttachmentFileState::refused;
            rec.problem = "its recorded path leads out of the device's media";
            return;
        }
        const std::string id = DeviceBackup::fileID("MediaDomain", rel);
        if (auto stored = backup_.storedFileById(id)) {
            rec.state = AttachmentFileState::present;
            rec.resolvedPath = *stored;
            return;
        }
        if (backup_.linkedFileById(id)) {
            rec.state = AttachmentFileState::refused;
            rec.problem = "its file in the backup is a symbolic link, which Kelvara does not follow";
            return;
        }
        rec.state = AttachmentFileState::missing;
        bool listed = false;
        try {
            listed = backup_.listed(id);
        } catch (const Error&) {
            // An unreadable Manifest.db only makes the reason less precise.
        }
        rec.problem = listed ? "the backup lists the file but does not hold it" : "the backup does not hold the file";
    }

private:
    const DeviceBackup& backup_;
};

} // namespace

IngestOutcome MacOSMessagesFolderIngester::ingest(const Source& source, const IngestCursor& from, IngestSink& sink) {
    if (source.path.empty()) throw Error("the source has no path");
    return readMessagesFolder(messagesFolder(source.path), from, sink);
}

IngestOutcome LiveChatDBIngester::ingest(const Source& source, const IngestCursor& from, IngestSink& sink) {
    const stdfs::path root = source.path.empty() ? stdfs::path(systemInfo().homeDirectory()) / "Library" / "Messages"
                                                 : messagesFolder(source.path);
    return readMessagesFolder(root, from, sink);
}

IngestOutcome IOSDeviceBackupIngester::ingest(const Source& source, const IngestCursor& from, IngestSink& sink) {
    if (source.path.empty()) throw Error("the source has no path");
    DeviceBackup backup(source.path);
    auto sms = backup.storedFileById(DeviceBackup::kMessagesFileID);
    if (!sms) {
        if (auto link = backup.linkedFileById(DeviceBackup::kMessagesFileID))
            throw Error("the device backup's messages database " + link->string() +
                        " is a symbolic link, which Kelvara does not follow");
        throw Error("the device backup at " + source.path +
                    " holds no messages database; it may be a stripped copy or a backup made without messages");
    }
    DatabaseSnapshot::Files files;
    files.main = *sms;
    files.baseName = "sms.db";
    // In a backup the companions are separate entries; without them use paths
    // that do not exist so nothing beside the stored file is picked up.
    files.wal =
        backup.storedFile("HomeDomain", "Library/SMS/sms.db-wal").value_or(backup.root() / ".kelvara-no-such-file");
    files.shm =
        backup.storedFile("HomeDomain", "Library/SMS/sms.db-shm").value_or(backup.root() / ".kelvara-no-such-file");
    if (unchangedSince(files, from, sink)) return {};
    BackupAttachmentLocator locator(backup);
    return readDatabase(files, locator, from, sink);
}

NonMessageSourceIngester::NonMessageSourceIngester(SourceFormat format) : format_(format) {
    if (!holdsNoMessages(format))
        throw Error("the format " + toString(format) + " holds messages and needs its own reader");
}

IngestOutcome NonMessageSourceIngester::ingest(const Source& source, const IngestCursor&, IngestSink&) {
    if (source.path.empty() || !fs::exists(source.path))
        throw Error("the source " + (source.path.empty() ? std::string("(no path)") : source.path) + " is not there");
    IngestOutcome outcome;
    outcome.noMessages = true;
    return outcome;
}

std::shared_ptr<Ingester> makeMacOSMessagesFolderIngester() { return std::make_shared<MacOSMessagesFolderIngester>(); }
std::shared_ptr<Ingester> makeLiveChatDBIngester() { return std::make_shared<LiveChatDBIngester>(); }
std::shared_ptr<Ingester> makeIOSDeviceBackupIngester() { return std::make_shared<IOSDeviceBackupIngester>(); }
std::shared_ptr<Ingester> makeNonMessageSourceIngester(SourceFormat format) {
    return std::make_shared<NonMessageSourceIngester>(format);
}

std::vector<std::shared_ptr<Ingester>> makeDefaultIngesters() {
    return {makeMacOSMessagesFolderIngester(), makeLiveChatDBIngester(), makeIOSDeviceBackupIngester(),
            makeNonMessageSourceIngester(SourceFormat::iosBackupNoMessages),
            makeNonMessageSourceIngester(SourceFormat::htmlExport)};
}

} // namespace kx
