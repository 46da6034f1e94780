// Store queries for the coverage and deletion analyses.
#include "core/archive/tresk_store_analysis.h"

#include "core/archive/tresk_store_detail.h"
#include "core/platform/error.h"

namespace kx {

namespace {

using store_detail::fromNanos;
using store_detail::guarded;
using store_detail::kNanosPerDay;
using store_detail::kRealMessage;
using store_detail::optDate;

} // namespace

std::vector<TreskStore::DayActivity> TreskStore::activityByDay() const {
    return guarded(path_, [&] {
        std::vector<DayActivity> out;
        const auto snapshot = readSnapshot();
        if (store_detail::activityCurrent(*db_)) {
            SQLite::Statement kept(*db_, "SELECT day, messages, first, last FROM activity_days ORDER BY day");
            while (kept.executeStep())
                out.push_back({kept.getColumn(0).getInt64(), kept.getColumn(1).getInt64(),
                               fromNanos(kept.getColumn(2).getInt64()), fromNanos(kept.getColumn(3).getInt64())});
            return out;
        }
        // Integer division that rounds down also for dates before 1970.
        SQLite::Statement q(*db_, std::string("SELECT (m.date - ((m.date % ?1) + ?1) % ?1) / ?1 AS day, count(*), "
                                              "min(m.date), max(m.date) FROM messages m WHERE ") +
                                      kRealMessage + " GROUP BY day ORDER BY day");
        q.bind(1, kNanosPerDay);
        while (q.executeStep())
            out.push_back({q.getColumn(0).getInt64(), q.getColumn(1).getInt64(), fromNanos(q.getColumn(2).getInt64()),
                           fromNanos(q.getColumn(3).getInt64())});
        return out;
    });
}

std::vector<TreskStore::SourceSpan> TreskStore::sourceSpans() const {
    return guarded(path_, [&] {
        std::vector<SourceSpan> out;
        const auto snapshot = readSnapshot();
        if (store_detail::activityCurrent(*db_)) {
            SQLite::Statement kept(*db_, "SELECT s.source_id, a.first, a.last, coalesce(a.messages, 0) FROM sources s "
                                         "LEFT JOIN source_activity a ON a.source = s.id ORDER BY s.source_id");
            while (kept.executeStep())
                out.push_back({kept.getColumn(0).getString(), optDate(kept.getColumn(1)), optDate(kept.getColumn(2)),
                               kept.getColumn(3).getInt64()});
            return out;
        }
        SQLite::Statement q(*db_,
                            std::string("SELECT s.source_id, min(m.date), max(m.date), count(m.id) FROM sources s "
                                        "LEFT JOIN message_sources ms ON ms.source_id = s.id "
                                        "LEFT JOIN messages m ON m.id = ms.message_id AND ") +
                                kRealMessage + " GROUP BY s.id ORDER BY s.source_id");
        while (q.executeStep())
            out.push_back({q.getColumn(0).getString(), optDate(q.getColumn(1)), optDate(q.getColumn(2)),
                           q.getColumn(3).getInt64()});
        return out;
    });
}

std::unique_ptr<TreskStore::ContentCheck> TreskStore::contentCheck() const {
    return guarded(path_, [&] { return std::make_unique<ContentCheck>(*db_); });
}

struct TreskStore::ContentCheck::Statements {
    SQLite::Statement findMessage, findVersion, otherSources, findAttachment;
    explicit Statements(SQLite::Database& db)
        : findMessage(db, "SELECT id, text FROM messages WHERE guid = ?"),
          findVersion(db, "SELECT 1 FROM message_versions WHERE message_id = ? AND text = ? LIMIT 1"),
          otherSources(db, "SELECT 1 FROM message_sources ms JOIN sources s ON s.id = ms.source_id "
                           "WHERE ms.message_id = ? AND s.source_id != ? LIMIT 1"),
          findAttachment(db, "SELECT object_key FROM attachments WHERE guid = ?") {}
};

TreskStore::ContentCheck::ContentCheck(SQLite::Database& db) : s_(std::make_unique<Statements>(db)) {}
TreskStore::ContentCheck::~ContentCheck() = default;

TreskStore::ContentCheck::MessageState TreskStore::ContentCheck::message(const std::string& guid,
                                                                         const std::optional<std::string>& text,
                                                                         const std::string& sourceId) {
    MessageState state;
    auto& q = s_->findMessage;
    q.reset();
    q.bind(1, guid);
    if (!q.executeStep()) return state;
    state.archived = true;
    const int64_t id = q.getColumn(0).getInt64();
    const bool storedNull = q.getColumn(1).isNull();
    const std::string stored = storedNull ? std::string() : q.getColumn(1).getString();
    // A source without a body (none, or an empty one after an unsend) holds no
    // text the archive could lack.
    if (!text || text->empty() || (!storedNull && *text == stored)) {
        state.bodyKept = true;
    } else {
        auto& v = s_->findVersion;
        v.reset();
        v.bind(1, id);
        v.bind(2, *text);
        state.bodyKept = v.executeStep();
    }
    auto& o = s_->otherSources;
    o.reset();
    o.bind(1, id);
    o.bind(2, sourceId);
    state.heldElsewhere = o.executeStep();
    return state;
}

TreskStore::ContentCheck::AttachmentState TreskStore::ContentCheck::attachment(const std::string& guid) {
    AttachmentState state;
    auto& q = s_->findAttachment;
    q.reset();
    q.bind(1, guid);
    if (!q.executeStep()) return state;
    state.known = true;
    if (!q.getColumn(0).isNull()) state.objectKey = q.getColumn(0).getString();
    return state;
}

} // namespace kx
