#pragma once
// Writing an owner's store. Used only by the engine (and by tests that build
// stores): every other part of the application opens stores read-only.
#include "core/archive/archive_records.h"
#include "core/archive/ingester.h"
#include "core/archive/tresk_store.h"
#include "core/sources/source.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kx {

class TreskStoreWriter final : public TreskStore {
public:
    // Opens the store for writing, creating the file (and its folder, 0700) when
    // missing. Throws kx::Error when the file is not a Kelvara store, was written
    // by a newer format, or belongs to another owner.
    static std::unique_ptr<TreskStoreWriter> open(const std::string& path, const std::string& owner, Date now);
    ~TreskStoreWriter() override;

    // Names for handles, asked once per new handle; none records no name.
    void setNameLookup(std::function<std::optional<std::string>(const std::string& handle)> lookup);

    // A first load into an empty store: the conversation and date indexes are
    // dropped until finishBulkLoad builds them (also owed after a load that was
    // cut short, which this reports the same way), and foreign keys are not
    // checked row by row. Returns whether the load goes without them. Outside a
    // transaction only.
    bool beginBulkLoad();
    // Builds the indexes (together: a run stopped meanwhile leaves neither) and,
    // meanwhile, checks every reference in the store (so also those written by a
    // load cut short). Throws when they cannot be built; returns what the check
    // found wrong, as a sentence fragment.
    std::optional<std::string> finishBulkLoad();
    // Whether commits copy the write-ahead log into the database themselves
    // (on by default; off while another connection does it).
    void setAutoCheckpoint(bool on);

    void begin();
    void commit();
    void rollback(); // never throws

    // The store's row for a registry source, created (or its details refreshed) as needed.
    int64_t sourceRow(const Source& source, Date now);
    IngestCursor cursor(int64_t sourceRow) const;
    void setCursor(int64_t sourceRow, const IngestCursor& cursor, Date now);

    void addChat(const ChatRecord& chat);

    struct AddResult {
        int64_t messageId = 0;
        bool inserted = false; // false: the GUID was already stored (merged)
    };
    // Stores a message (or merges it with the stored one of the same GUID) and its
    // attachments, and records that `sourceRow` held it. Object keys given in
    // `objectKeys` (by attachment GUID) are recorded for the attachments.
    AddResult addMessage(const MessageRecord& message, int64_t sourceRow, Date now,
                         const std::unordered_map<std::string, std::string>& objectKeys = {});

    // Attachments whose bytes are not stored yet but which a source recorded as present,
    // with the path it had there: (attachment GUID, path).
    std::vector<std::pair<std::string, std::string>> attachmentsAwaitingBytes(int64_t sourceRow) const;
    void setObjectKey(const std::string& attachmentGuid, const std::string& key);

    // The search index has caught up with these changed texts.
    void clearSearchPending(const std::vector<int64_t>& messageIds);

    // What the store holds, kept up to date by every write (so a run need not
    // count a large archive): messages, messages held by two or more sources, and
    // the extra copies folded into them (sightings beyond the first). Includes
    // what the open transaction added.
    struct Totals {
        int64_t messages = 0;
        int64_t corroborated = 0;
        int64_t duplicateCopies = 0;
        bool operator==(const Totals&) const = default;
    };
    Totals totals() const;

    // The conversation key a message lands in (exposed for filters and tests).
    struct ConversationInfo {
        int64_t id = 0;
        std::string key;
        std::optional<std::string> displayName;
        bool isGroup = false;
    };
    const ConversationInfo& conversationFor(const MessageRecord& message);

    // Called with the number of records written so far while a format-1 store is
    // given its records table (tests stop a migration part way with it).
    static std::function<void(int64_t)> migrationProgress;
    // Called now and then while finishBulkLoad builds the indexes (tests kill or
    // stop a run there with it); true stops the build.
    static std::function<bool()> indexBuildProgress;

private:
    explicit TreskStoreWriter(const std::string& path);
    void createSchema(const std::string& owner, Date now);
    void loadTotals();
    void loadConversationTotals();
    void saveConversationTotalsMark();
    bool readSavedTotals();
    void saveTotals();
    void writeConversationTotals();
    int64_t handleId(const std::string& handle);
    void addRecordsTable();
    void append(int64_t subject, records::Encoder& record);
    void writeRecords();
    void addFirstSighting(int64_t messageId, int64_t sourceRow, int64_t nowNs);
    void writeSightings();
    void addVersion(int64_t messageId, const std::string& guid, const std::string& text,
                    const std::optional<int64_t>& date, int64_t nowNs);
    int64_t storeAttachment(const AttachmentRecord& attachment, const std::optional<std::string>& key);
    const std::string& sourceIdOf(int64_t sourceRow);
    int64_t conversationByKey(const std::string& key, const std::optional<std::string>& displayName, bool isGroup,
                              const std::optional<std::string>& service);
    void fileInConversation(int64_t messageId, const std::string& guid, const ConversationInfo& conversation);
    void loadActivity();
    void noteActivity(int64_t sourceRow, int64_t dateNs, bool newMessage);
    void writeActivity();
    void recountConversation(int64_t conversationId);

    struct Statements;
    std::unique_ptr<Statements> st_;
    std::function<std::optional<std::string>(const std::string&)> nameLookup_;
    std::unordered_map<std::string, int64_t> handles_;
    std::unordered_map<int64_t, std::string> sourceIds_;
    struct {
        int64_t row = 0;
        const std::string* id = nullptr; // in sourceIds_
    } lastSource_;
    std::unordered_map<std::string, ConversationInfo> chats_;         // by chat GUID
    std::unordered_map<std::string, ConversationInfo> conversations_; // by key
    // Rows waiting to be inserted several to a statement (all before the
    // transaction commits).
    static constexpr int kRowsPerInsert = 32;
    struct PendingRecord {
        int family;
        int64_t subject;
        std::string bytes;
    };
    std::vector<PendingRecord> recordsToWrite_;
    struct PendingSightings {
        int64_t firstId = 0, count = 0, sourceRow = 0, nowNs = 0; // messages firstId, firstId + 1, ...
    };
    PendingSightings sightingsToWrite_;
    // Added to conversation_totals when the transaction commits.
    struct ConversationTotals {
        int64_t messages = 0;
        std::optional<int64_t> lastDate;
    };
    std::unordered_map<int64_t, ConversationTotals> totalsToWrite_;
    // The chat, handle and totals the previous message used: consecutive
    // messages of one conversation skip the lookups. Cleared with the maps.
    struct Last {
        std::string chat;
        const ConversationInfo* conversation = nullptr;
        std::string handle;
        int64_t handleId = 0;
        int64_t totalsId = 0;
        ConversationTotals* totals = nullptr;
    } last_;
    // Conversations and handle ids by their row in the reading of the source
    // the messages come from (MessageRecord::rowSpace), which spares the lookups
    // by text: pointers into chats_, ids from handles_. Cleared with the maps.
    struct ByRow {
        int64_t space = 0;
        std::vector<const ConversationInfo*> chats;
        std::vector<int64_t> handles;
    } byRow_;
    const ConversationInfo& conversationOf(const MessageRecord& message);
    int64_t handleOf(const MessageRecord& message);
    bool inTransaction_ = false;
    bool conversationTotalsTouched_ = false;
    void loadPendingConversations();
    std::unordered_set<int64_t> pendingConversation_; // messages waiting for their conversation (conversation_pending)
    // Added to activity_days and source_activity when the transaction commits.
    struct Activity {
        int64_t messages = 0, first = 0, last = 0;
        void add(int64_t dateNs);
    };
    std::unordered_map<int64_t, Activity> daysToWrite_, sourcesToWrite_; // by day, by source row
    // A change the running activity cannot follow (a message became real or
    // stopped being real): the tables are counted afresh when the store next opens.
    bool activityStale_ = false;
    Totals saved_;   // as committed
    Totals pending_; // added by the open transaction
};

// The conversation key of a chat GUID ("iMessage;-;+1555" -> "+1555"), used when a
// source gives no chat identifier.
std::string conversationKeyFromChatGuid(const std::string& chatGuid);

} // namespace kx
