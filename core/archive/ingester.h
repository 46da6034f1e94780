#pragma once
// What a message-source reader (an "ingester") produces, and the interface every
// reader implements.
//
// A reader reads one registered Source and hands what it finds to an IngestSink:
// conversations first (or at least before the first message that refers to
// them), then messages in the order of the source's own row ids, each with its
// attachments. A reader NEVER writes to the source: it reads any database it
// opens through a private snapshot (snapshot.h) and leaves the source's folder
// exactly as it found it.
//
// Incremental runs: the engine keeps, per source, the IngestCursor the reader
// last reported at a checkpoint, and hands it back on the next run. The reader
// resumes after it when the cursor still fits the source; when it does not (the
// source was replaced by an older or different copy, rows went missing, the
// database was rebuilt), the reader ignores the cursor, reads the source from the
// beginning and says so in IngestOutcome::restartedFromBeginning. Messages are
// keyed by GUID in the archive, so reading a message twice never stores it twice.
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kx {

// One conversation as the source holds it (a row of the source's `chat` table).
struct ChatRecord {
    std::string guid;                       // "iMessage;-;+15551234567", "iMessage;+;chat123456"
    std::string identifier;                 // chat_identifier: the other party's handle, or "chat123456" for a group
    std::optional<std::string> displayName; // a group's name, when it has one
    std::optional<std::string> service;     // "iMessage", "SMS", ...
    bool isGroup = false;                   // style 43
    std::vector<std::string> participants;  // handle ids of the members (chat_handle_join)
};

// Where an attachment's bytes are, as far as the reader could tell.
enum class AttachmentFileState {
    present,     // resolvedPath names a regular file inside the source's root
    missing,     // the database names a file, but it is not there (offloaded, stripped backup)
    refused,     // the recorded path escapes the source's root ("../", absolute elsewhere, symlink out): not read
    notRecorded, // the database records no file at all (filename NULL)
};

struct AttachmentRecord {
    std::string guid;                    // attachment.guid
    std::optional<std::string> fileName; // transfer_name, else the last component of filename
    std::optional<std::string> mimeType;
    std::optional<std::string> uti;
    int64_t totalBytes = 0;                            // as recorded by the source (0 when unknown)
    std::optional<std::string> recordedPath;           // attachment.filename exactly as stored
    std::optional<std::filesystem::path> resolvedPath; // absolute path inside the source's root; set only when present
    AttachmentFileState state = AttachmentFileState::notRecorded;
    std::optional<std::string> problem; // why it is missing or refused, a sentence fragment
    bool isSticker = false;
};

// One earlier body of an edited message (from message_summary_info).
struct EditRecord {
    std::optional<Date> date;
    std::optional<std::string> text;
};

struct MessageRecord {
    std::string guid;                   // message.guid: the key across every source
    std::string chatGuid;               // the conversation it belongs to; empty when it belongs to none
    std::optional<std::string> handle;  // the other party's handle id (sender of a received message); none when unknown
    std::optional<std::string> service; // "iMessage", "SMS", "MMS", "RCS"; none when NULL
    std::optional<std::string> text;    // `text`, else the body decoded from attributedBody; none when there is none
    std::optional<Date> date;           // none when the source stores 0
    std::optional<Date> dateRead;
    std::optional<Date> dateDelivered;
    bool isFromMe = false;
    // Reactions (tapbacks): associated_message_type 2000-2005 add, 3000-3005 remove;
    // associatedMessageGuid keeps the source's prefix ("p:0/", "bp:") as stored.
    std::optional<std::string> associatedMessageGuid;
    int64_t associatedMessageType = 0;
    std::optional<std::string> threadOriginatorGuid; // reply threads
    std::optional<Date> dateEdited;
    std::optional<Date> dateRetracted;         // unsent
    std::vector<EditRecord> edits;             // earlier bodies, oldest first
    std::vector<AttachmentRecord> attachments; // in the source's join order
    int64_t sourceRowId = 0;                   // the row id in the source (diagnostics only)
    // The row ids in the source of the chat chatGuid names and of the handle
    // `handle` names (0 when not known), numbered as in one reading of the
    // source, which `rowSpace` names (each reading a number of its own, unique
    // in the process; 0: none). Within one rowSpace a row always names the same
    // chat or handle, so the writer may look them up by row instead of by text.
    int64_t rowSpace = 0;
    int64_t sourceChatRow = 0;
    int64_t sourceHandleRow = 0;
};

// Where a reader got to. The engine stores it only together with every message
// delivered before it, and hands it back unchanged on the next run.
struct IngestCursor {
    int64_t lastRowId = 0; // highest message row id fully delivered (0 = nothing read yet)
    std::string lastGuid;  // the GUID of that row, to notice a replaced source
    std::string extra;     // anything else the reader needs (its own text format); may be empty

    bool empty() const { return lastRowId == 0 && lastGuid.empty() && extra.empty(); }
    bool operator==(const IngestCursor&) const = default;
};

// What a reader delivers to. Implemented by the engine (and by test doubles).
class IngestSink {
public:
    virtual ~IngestSink() = default;
    virtual void chat(const ChatRecord& chat) = 0;
    virtual void message(MessageRecord&& message) = 0;
    // Everything delivered so far is complete up to `cursor`: a later run may
    // resume after it. Call it as often as is cheap (every few hundred messages,
    // and once at the end).
    virtual void checkpoint(const IngestCursor& cursor) = 0;
    // True when the engine wants the reader to stop early (a limit was reached).
    // The reader then returns normally; what it checkpointed stays valid.
    virtual bool shouldStop() const { return false; }
};

// What reading one source came to. Per-message problems the reader survived
// (undecodable bodies, junk rows) go into `warnings`; missing and refused
// attachment files are counted by the engine from the records themselves.
struct IngestOutcome {
    int64_t messagesRead = 0;            // message records delivered
    int64_t rowsSkipped = 0;             // rows the reader could not turn into a message
    bool restartedFromBeginning = false; // the cursor did not fit; the source was read from the start
    bool noMessages = false;             // the format holds no messages (registered for coverage only)
    int64_t rowsRechecked = 0;           // earlier rows looked at again for edits and unsends
    std::vector<std::string> warnings;   // sentences worth showing in the run's errors
};

class Ingester {
public:
    virtual ~Ingester() = default;
    // The source format this reader is made for.
    virtual SourceFormat format() const = 0;
    // Reads `source`, resuming after `from` when it still fits. Throws kx::Error
    // with a readable sentence fragment when the source cannot be read at all
    // (missing, encrypted backup, pre-iOS 6 schema, damaged database); the engine
    // records it against this source and goes on with the others.
    virtual IngestOutcome ingest(const Source& source, const IngestCursor& from, IngestSink& sink) = 0;
};

// The ingesters a run may use, one per format (the first one made for a format wins).
class IngesterRegistry {
public:
    IngesterRegistry() = default;
    explicit IngesterRegistry(std::vector<std::shared_ptr<Ingester>> ingesters) : ingesters_(std::move(ingesters)) {}

    const std::vector<std::shared_ptr<Ingester>>& ingesters() const { return ingesters_; }
    // The ingester for a format, or null when none is registered for it.
    std::shared_ptr<Ingester> find(SourceFormat format) const {
        for (const auto& i : ingesters_)
            if (i && i->format() == format) return i;
        return nullptr;
    }

private:
    std::vector<std::shared_ptr<Ingester>> ingesters_;
};

} // namespace kx
