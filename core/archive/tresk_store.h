#pragma once
// An owner's archive database, "tresk.db" (SQLite, WAL, foreign keys on).
//
// File format (formatVersion 2; a format-1 store is given its records table when
// the engine first opens it). Dates are INTEGER nanoseconds since the Unix
// epoch, NULL when unknown. Tables:
//   meta(key, value)                  "formatVersion", "owner", "createdAt"
//   sources(id, source_id UNIQUE, format, label, path, cursor_row_id, cursor_guid,
//           cursor_extra, first_read, last_read)      one row per registered source read
//   conversations(id, key UNIQUE, display_name, is_group, service)
//                                     key = the chat identifier (the other party's handle for a
//                                     one-to-one chat, "chat…" for a group): chats of several
//                                     services with the same identifier are one conversation
//   chats(guid PK, conversation_id, service)           source chat GUIDs seen
//   handles(id, handle UNIQUE, name)                   name as the run's resolver gave it
//   conversation_handles(conversation_id, handle_id)   group members
//   messages(id, guid UNIQUE, conversation_id, handle_id, service, text, date, date_read,
//            date_delivered, is_from_me, associated_guid, associated_type,
//            thread_originator_guid, date_edited, date_retracted, is_reaction, first_archived)
//                                     one row per message GUID, whatever number of sources held it;
//                                     `text` is the newest body seen
//   message_versions(message_id, text, date, first_seen)  once a message is known to have had
//                                     more than one body (edits, a later sighting with other text):
//                                     every distinct body, so nothing is lost
//   message_sources(message_id, source_id, first_seen, last_seen)  provenance
//   attachments(id, guid UNIQUE, file_name, mime_type, uti, total_bytes, recorded_path,
//               has_file, object_key, is_sticker)
//   message_attachments(message_id, attachment_id, position)
//   attachment_sources(attachment_id, source_id, path, state)  where each source had the bytes
//   search_pending(message_id)        messages whose text changed since the search index saw them
//   records(seq, family, subject, body)  append-only: everything above that an export shows is
//                                     derived from these records (archive_records.h); the manifest
//                                     chains over them
//   conversation_totals(conversation_id, messages, last_date)  per conversation: messages that are
//                                     not reactions and the newest date, kept by the writer; trusted
//                                     while meta "conversationTotalsUpTo" equals the largest message id
//   activity_days(day, messages, first, last), source_activity(source, messages, first, last)
//                                     the real messages (tresk_store_detail.h) of each day and of each
//                                     source, kept by the writer; trusted while meta "activityUpTo"
//                                     equals the newest record's seq
//   conversation_pending(message_id)  messages filed without their conversation (its link could not
//                                     be read), moved when a later sighting names it
// The full-text index lives beside the store in "search.db" (search_index.h).
//
// Only the engine creates or writes a store (TreskStoreWriter). TreskStore opens
// an existing file read-only and never creates one.
#include "core/filters/conversation_profile.h"
#include "core/platform/time.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SQLite {
class Database;
class Statement;
} // namespace SQLite

namespace kx {

class TreskStore {
public:
    // One conversation of the archive.
    struct ConversationSummary {
        std::string handle;              // the conversation key (chat identifier)
        std::string detail;              // the group's name, else the services it was seen on ("iMessage, SMS")
        int64_t messageCount = 0;        // messages (reactions not counted), counted now
        std::optional<Date> lastDate;    // newest message date
        std::optional<std::string> name; // the conversation's own name (a group's), when it has one
        bool operator==(const ConversationSummary&) const = default;
    };

    // One message record, for thread pages and search results.
    struct SearchHit {
        std::string id; // the message GUID
        std::optional<std::string> text;
        std::optional<Date> date;
        std::optional<std::string> senderHandle; // the other party's handle (none for own messages without one)
        std::optional<std::string> chatDisplayName;
        std::vector<std::string> sourceIds; // registry ids of the sources that held it, sorted
        bool isFromMe = false;
        std::string conversationKey;
        std::optional<std::string> service;
        std::optional<Date> dateEdited;
        std::optional<Date> dateRetracted;
        std::optional<std::string> threadOriginatorGuid;
        bool operator==(const SearchHit&) const = default;
    };

    // One attachment record; the object key is its last field.
    struct AttachmentRef {
        std::string id; // attachment GUID
        std::optional<std::string> fileName;
        std::optional<std::string> mimeType;
        int64_t totalBytes = 0;
        std::optional<bool> hasFile; // false: the source recorded no file for it
        std::optional<std::string>
            objectKey; // the stored object (attachment_store.h), none when its bytes are not archived
        bool operator==(const AttachmentRef&) const = default;
    };

    // A reaction (tapback) to a message.
    struct Reaction {
        std::string id;              // the reaction's own GUID
        std::string targetMessageId; // the GUID it reacts to (prefix removed)
        int64_t type = 0;            // 2000-2005 added, 3000-3005 removed
        std::optional<std::string> senderHandle;
        bool isFromMe = false;
        std::optional<Date> date;
        bool operator==(const Reaction&) const = default;
    };

    struct MessageVersion {
        std::string text;
        std::optional<Date> date; // the edit's date when the source gave one
        Date firstSeen{};
        bool operator==(const MessageVersion&) const = default;
    };

    // Everything stored of one message, for exports and manifests.
    struct StoredMessage {
        SearchHit hit;
        std::optional<std::string> associatedGuid;
        int64_t associatedType = 0;
        bool isReaction = false;
        Date firstArchived{};
    };

    // What one source contributed (duplicate and deletion analysis).
    struct SourceContent {
        std::string sourceId;
        int64_t messageCount = 0;
        std::optional<Date> firstDate;
        std::optional<Date> lastDate;
        std::optional<Date> lastRead;
        bool operator==(const SourceContent&) const = default;
    };
    struct SourceOverlap {
        std::string first, second; // source ids, first < second
        int64_t shared = 0;        // messages held by both
        bool operator==(const SourceOverlap&) const = default;
    };

    // What the filter analysis needs of a conversation.
    using ConversationProfile = ::kx::ConversationProfile;

    // Opens an existing store read-only. Never creates a file. Throws kx::Error
    // when it is missing, not a Kelvara store, or cannot be opened.
    explicit TreskStore(const std::string& path);
    // The same for a caller that never uses the store from two threads at
    // once: its connection then goes without SQLite's own lock on every call.
    struct OneThreadAtATime {};
    TreskStore(const std::string& path, OneThreadAtATime);
    virtual ~TreskStore();
    TreskStore(const TreskStore&) = delete;
    TreskStore& operator=(const TreskStore&) = delete;

    const std::string& path() const { return path_; }

    // One read transaction: while it lives, every read of this store sees the
    // archive as it stood when the snapshot was taken, whatever a concurrent
    // run writes meanwhile (the archive is in WAL mode, so writers are not held
    // up). For reads that span several queries, such as an export read page by
    // page. A snapshot taken while another of this store object lives adds
    // nothing (the outer one holds the state until it ends). Not for a store
    // being written through this same object.
    class ReadSnapshot {
    public:
        ReadSnapshot(ReadSnapshot&& other) noexcept;
        ReadSnapshot& operator=(ReadSnapshot&&) = delete;
        ReadSnapshot(const ReadSnapshot&) = delete;
        ~ReadSnapshot();

    private:
        friend class TreskStore;
        explicit ReadSnapshot(const TreskStore* store) : store_(store) {}
        const TreskStore* store_;
    };
    // Throws kx::Error when the archive cannot be read.
    ReadSnapshot readSnapshot() const;

    // The owner recorded when the store was created.
    std::string owner() const;

    // Every conversation, newest activity first (conversations without dated
    // messages last, then by key). `owner` names the store's owner; a store holds
    // one owner, so it selects nothing further.
    std::vector<ConversationSummary> conversations(const std::string& owner) const;
    std::vector<ConversationProfile> conversationProfiles(const std::string& owner) const;

    // At most `limit` messages of a conversation, starting `offset` messages after
    // its oldest, oldest first. Reactions are not messages here.
    std::vector<SearchHit> messages(const std::string& owner, const std::string& conversationKey, int64_t limit,
                                    int64_t offset) const;
    // One page of a conversation for reading it backwards from its newest message.
    struct ThreadPage {
        std::vector<SearchHit> messages; // oldest first
        // Nothing of the conversation comes before the page's first message.
        bool reachesOldest = false;
        // The conversation's message count (reactions not counted), read in the
        // same snapshot as the page; only when asked for.
        std::optional<int64_t> total;
    };
    // The `limit` messages that come right before the message `beforeId` (in the
    // order of `messages`: date, undated first, then storage order), or the newest
    // `limit` without `beforeId`. Seeks through the conversation's index, so a
    // page deep in a long conversation costs what the newest one does. Throws
    // kx::Error when `beforeId` is not a message of that conversation.
    ThreadPage threadPage(const std::string& conversationKey, const std::optional<std::string>& beforeId, int64_t limit,
                          bool withTotal) const;
    // The `limit` messages that come right after the message `afterId` (in the
    // order of `messages`), or the oldest `limit` without `afterId`: a
    // conversation read from its oldest message on, page by page (an export).
    // Seeks as threadPage does. Throws kx::Error when `afterId` is not a message
    // of that conversation.
    std::vector<SearchHit> messagesAfter(const std::string& conversationKey, const std::optional<std::string>& afterId,
                                         int64_t limit) const;
    // Messages of a conversation, reactions not counted; 0 for an unknown key.
    int64_t conversationMessageCount(const std::string& conversationKey) const;
    std::map<std::string, std::vector<AttachmentRef>> attachments(const std::vector<std::string>& messageIds) const;
    std::map<std::string, std::vector<Reaction>> reactions(const std::vector<std::string>& messageIds) const;
    // Every body a message is known to have had (none for a message never seen
    // with more than one), undated ones first, then by date.
    std::vector<MessageVersion> versions(const std::string& messageId) const;
    // The same look-up prepared once, for the versions of many messages in turn
    // (an export). Valid while the store lives; one thread at a time.
    class VersionReader;
    std::unique_ptr<VersionReader> versionReader() const;
    // Registry ids of the sources that held a message, sorted.
    std::vector<std::string> sources(const std::string& messageId) const;

    // Full-text search. The query is taken as literal words: every run of
    // non-space characters is one word to find (quotes, "*", "AND", "-" are just
    // characters); all words must occur. A query without words gives no hits.
    // Newest first. handle: only messages of that handle; from/to: date range
    // (inclusive). Throws kx::Error on a store failure (never an empty result).
    std::vector<SearchHit> search(const std::string& query, const std::string& owner,
                                  const std::optional<std::string>& handle, const std::optional<Date>& from,
                                  const std::optional<Date>& to, int64_t limit) const;
    // Searches with more matches than this many times their limit walk the
    // messages by date.
    static constexpr int64_t kWalkByDateAbove = 20;
    // Every match of the query, counted (reactions are never indexed).
    int64_t searchCount(const std::string& query, const std::string& owner) const;
    // search() without a handle or dates, and searchCount(), read together from
    // one state of the archive, counting once.
    struct SearchResults {
        std::vector<SearchHit> hits;
        int64_t total = 0;
    };
    SearchResults searchWithTotal(const std::string& query, const std::string& owner, int64_t limit) const;

    // Figures for the run report.
    int64_t messageCount() const;      // messages and reactions, each GUID once
    int64_t corroboratedCount() const; // held by two or more sources
    int64_t duplicateCopies() const;   // provenance rows beyond the first per message
    // Distinct object keys referenced by attachments, sorted.
    std::vector<std::string> objectKeys() const;

    std::vector<SourceContent> sourceContents() const;
    std::vector<SourceOverlap> sourceOverlaps() const;

    // Coverage and deletion analysis (tresk_store_analysis.cpp). A "real" message
    // is a dated message that is not a reaction and has text or an attachment:
    // empty rows (which real databases hold by the thousand, often on one date)
    // never count as activity.
    struct DayActivity {
        int64_t day = 0;      // whole days since 1970-01-01 UTC
        int64_t messages = 0; // real messages that day
        Date first{}, last{}; // earliest and latest of them
        bool operator==(const DayActivity&) const = default;
    };
    std::vector<DayActivity> activityByDay() const;
    // Per source (registry id): the first and last real message it contributed.
    struct SourceSpan {
        std::string sourceId;
        std::optional<Date> first, last;
        int64_t realMessages = 0;
        bool operator==(const SourceSpan&) const = default;
    };
    std::vector<SourceSpan> sourceSpans() const;
    // Prepared look-ups of messages and attachments by GUID, for checking a
    // source's contents against the archive. Valid while the store lives; one
    // thread at a time. Defined in tresk_store_analysis.h.
    class ContentCheck;
    std::unique_ptr<ContentCheck> contentCheck() const;

    // Every message in (date, GUID) order, undated last.
    void forEachMessage(const std::function<void(const StoredMessage&)>& visit) const;

    static constexpr int kFormatVersion = 2;
    // How much of tresk.db the connections of one walk over the whole store (a
    // manifest, a check, an export) map for reading, together; each maps its
    // share, and SQLite reads the rest through its own small cache. Every page
    // touched through a map stays in the process's resident size, once per
    // connection, so an unbounded map shows a seal at the store's size.
    static constexpr int64_t kWalkMapBytes = int64_t(96) << 20;

protected:
    // The messages of a conversation that come after the message `anchorId`
    // (`later`) or before it, nearest first, at most `limit`; from either end
    // of the conversation without an anchor.
    std::vector<SearchHit> seekFrom(int64_t conversation, const std::string& conversationKey,
                                    const std::optional<std::string>& anchorId, bool later, int64_t limit) const;
    // The conversation's row id; 0 for an unknown key.
    int64_t conversationId(const std::string& conversationKey) const;
    // Whether conversation_totals is there and up to date with the messages.
    bool conversationTotalsCurrent() const;
    // Attaches the search index ("search.db" beside the store) as "idx"; throws
    // kx::Error when it does not exist yet.
    void attachSearchIndex() const;
    // The newest `limit` messages the FTS5 expression matches (the store's
    // search), and the number of all matches when `total` is given.
    std::vector<SearchHit> findMatches(const std::string& match, const std::optional<std::string>& handle,
                                       const std::optional<Date>& from, const std::optional<Date>& to, int64_t limit,
                                       int64_t* total) const;
    // Whether the store has its newest-first index (older stores get it when
    // next opened for writing).
    bool hasDateIndex() const;

    mutable bool searchAttached_ = false;
    struct SearchMatches;
    mutable std::unique_ptr<SearchMatches> searchMatches_; // one search at a time
    struct WritableTag {};
    TreskStore(const std::string& path, WritableTag);
    TreskStore(const std::string& path, int openFlags);
    std::string path_;
    std::unique_ptr<SQLite::Database> db_;
};

class TreskStore::VersionReader {
public:
    ~VersionReader();
    VersionReader(const VersionReader&) = delete;
    VersionReader& operator=(const VersionReader&) = delete;
    std::vector<MessageVersion> read(const std::string& messageId);

private:
    friend class TreskStore;
    VersionReader(const std::string& path, SQLite::Database& db);
    const std::string& path_;
    std::unique_ptr<SQLite::Statement> query_;
};

} // namespace kx
