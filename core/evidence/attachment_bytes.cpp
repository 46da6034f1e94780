#include "core/evidence/attachment_bytes.h"

#include "core/archive/archive_records.h"
#include "core/archive/attachment_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace kx {

std::string AttachmentBytesProblem::what() const {
    std::string who = "attachment " + attachmentGuid;
    if (!fileName.empty()) who += " (\"" + fileName + "\")";
    if (!messageGuid.empty()) who += " of message " + messageGuid;
    if (found.empty()) return "the stored file of " + who + " is missing, so the bytes archived for it are gone";
    return "the stored file of " + who + " no longer holds the bytes that were archived: its SHA-256 is " + found +
           ", not " + key;
}

std::string AttachmentBytesProblem::sentence() const { return "T" + what().substr(1) + "."; }

std::string storedObjectDigest(const std::string& attachmentsFolder, const std::string& key) {
    if (!AttachmentStore::isValidKey(key)) return {};
    const auto path = AttachmentStore(attachmentsFolder).objectPath(key);
    try {
        if (fs::exists(path.string())) return AttachmentStore::hashFile(path);
    } catch (const Error&) {
        // unreadable: as good as missing
    }
    return {};
}

namespace {

int hashingThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 8u));
}

} // namespace

std::optional<AttachmentBytesProblem> checkAttachmentBytes(const std::string& databasePath,
                                                           const std::string& attachmentsFolder) {
    if (!fs::isRegularFile(databasePath)) throw Error("there is no archive at " + databasePath);
    try {
        SQLite::Database db(databasePath, SQLite::OPEN_READONLY | SQLite::OPEN_FULLMUTEX);
        db.setBusyTimeout(5000);
        db.exec("PRAGMA query_only = ON");
        SQLite::Transaction snapshot(db, SQLite::TransactionBehavior::DEFERRED);
        // Each object once, by the first attachment that names it. The threads
        // take the next row from the one statement in turn.
        SQLite::Statement objects(db, "SELECT MIN(id), object_key FROM attachments WHERE object_key IS NOT NULL "
                                      "GROUP BY object_key");
        std::mutex mutex;
        std::int64_t firstBad = std::numeric_limits<std::int64_t>::max();
        std::string badKey, badFound;
        std::exception_ptr error;
        bool done = false;
        auto work = [&] {
            for (;;) {
                std::int64_t id = 0;
                std::string key;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (error || done) return;
                    if (!objects.executeStep()) {
                        done = true;
                        return;
                    }
                    id = objects.getColumn(0).getInt64();
                    key = objects.getColumn(1).getString();
                }
                const std::string found = storedObjectDigest(attachmentsFolder, key);
                if (found != key) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (id < firstBad) {
                        firstBad = id;
                        badKey = key;
                        badFound = found;
                    }
                }
            }
        };
        std::vector<std::thread> threads;
        const int n = hashingThreads();
        for (int i = 0; i < n; ++i)
            threads.emplace_back([&] {
                try {
                    work();
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!error) error = std::current_exception();
                }
            });
        for (auto& t : threads) t.join();
        if (error) std::rethrow_exception(error);
        if (firstBad == std::numeric_limits<std::int64_t>::max()) return std::nullopt;

        AttachmentBytesProblem p;
        p.key = badKey;
        p.found = badFound;
        // The record that holds the key (an archive made before records has none).
        const std::string position = records::hasRecordsTable(db)
                                         ? "(SELECT MAX(seq) FROM records WHERE family = " +
                                               std::to_string(records::attachments) +
                                               " AND subject = a.id AND hex(substr(body, 5, 1)) = hex('" +
                                               std::string(1, records::kObject) + "'))"
                                         : std::string("0");
        SQLite::Statement about(db, "SELECT a.guid, COALESCE(a.file_name, ''), "
                                    "COALESCE((SELECT m.guid FROM message_attachments ma JOIN messages m "
                                    "ON m.id = ma.message_id WHERE ma.attachment_id = a.id ORDER BY m.id LIMIT 1), "
                                    "''), COALESCE(" +
                                        position + ", 0) FROM attachments a WHERE a.id = ?");
        about.bind(1, firstBad);
        if (about.executeStep()) {
            p.attachmentGuid = about.getColumn(0).getString();
            p.fileName = about.getColumn(1).getString();
            p.messageGuid = about.getColumn(2).getString();
            p.recordPosition = about.getColumn(3).getInt64();
        }
        return p;
    } catch (const SQLite::Exception& e) {
        throw Error("the archive's attachments could not be read: " + std::string(e.what()));
    }
}

} // namespace kx
