#include "core/backup/backup_engine.h"

#include "core/archive/archive_layout.h"
#include "core/backup/archive_walk.h"
#include "core/backup/backup_objects.h"
#include "core/backup/compression.h"
#include "core/backup/generation_memory.h"
#include "core/backup/restore_staging.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace kx {

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

// Attachment files are named in a backup's manifest by their path in the owner
// folder: "attachments/...".
std::string attachmentsPrefix() { return std::string(ArchiveLayout::kAttachmentsFolder) + "/"; }

// The rows of the messages table of a restored database; none when it cannot be read.
std::optional<int64_t> countMessages(const std::string& dbFile) {
    try {
        SQLite::Database db(dbFile, SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "SELECT count(*) FROM messages");
        if (!q.executeStep()) return std::nullopt;
        return q.getColumn(0).getInt64();
    } catch (const SQLite::Exception&) {
        return std::nullopt;
    }
}

// Each file a restore left out, with what it is in the archive: an attachment
// is named with its file name and the messages it belongs to (by sender's date
// and GUID), as far as the restored database tells.
std::vector<std::string> describeLostFiles(const std::string& dbFile, const std::vector<std::string>& lost) {
    std::vector<std::string> out(lost.begin(), lost.end());
    if (lost.empty()) return out;
    try {
        SQLite::Database db(dbFile, SQLite::OPEN_READONLY);
        SQLite::Statement q(db, "SELECT coalesce(a.file_name, a.guid), m.guid FROM attachments a "
                                "LEFT JOIN message_attachments ma ON ma.attachment_id = a.id "
                                "LEFT JOIN messages m ON m.id = ma.message_id WHERE a.object_key = ?1 ORDER BY m.date");
        for (std::string& line : out) {
            if (line.rfind(attachmentsPrefix(), 0) != 0) continue;
            q.reset();
            q.bind(1, line.substr(line.rfind('/') + 1));
            std::string fileName, messages;
            while (q.executeStep()) {
                if (!q.isColumnNull(0)) fileName = q.getColumn(0).getString();
                if (!q.isColumnNull(1)) messages += (messages.empty() ? "" : ", ") + q.getColumn(1).getString();
            }
            if (!fileName.empty())
                line += " (\"" + fileName + "\"" + (messages.empty() ? "" : ", of message " + messages) + ")";
        }
    } catch (const SQLite::Exception&) {
        // What the database cannot tell, the files are named without.
    }
    return out;
}

// What identifies the stored copy a manifest entry records: one read whole for
// one manifest is the same copy for another entry recording it alike.
std::string copyOf(const json& entry) {
    return entry.value("name", "") + "|" + entry.value(kPackField, "") + "|" +
           std::to_string(entry.value(kOffsetField, uint64_t(0))) + "|" +
           std::to_string(entry.value("sealedSize", uint64_t(0))) + "|" + entry.value("nonce", "");
}

std::string foundText(const RolledBack& r, const std::string& destinationLabel) {
    if (r.foundGeneration == 0 && r.foundAt.empty())
        return "The backup this computer last wrote to " + destinationLabel + " (" +
               generationText(r.rememberedGeneration, r.rememberedAt) + ") is no longer there";
    return "The backup at " + destinationLabel + " (" + generationText(r.foundGeneration, r.foundAt) +
           ") is older than the one this computer last wrote there (" +
           generationText(r.rememberedGeneration, r.rememberedAt) +
           "): it was rolled back, by a sync app, a snapshot being put back or by hand";
}

} // namespace

EarlierBackupAvailable::EarlierBackupAvailable(const std::string& why, EarlierBackup found)
    : BackupError(why + "; the backup before it, made " +
                  (found.createdAt.empty() ? std::string("at an unknown time") : found.createdAt) +
                  ", is still there with a database that opens and matches, and can be restored instead"),
      failure(why), earlier(std::move(found)) {}

std::string rolledBackAfterRestore(const RolledBack& r, const std::string& destinationLabel) {
    return foundText(r, destinationLabel) + ". What was restored is that older backup: messages archived after it "
                                            "are not in it.";
}

RestoreReport BackupEngine::restore(const std::string& remoteName, const stdfs::path& targetFolder,
                                    const ProgressCallback& progress, bool previousBackup) {
    const std::string legacyDbName = fullName(remoteName);
    const std::string manifestName = legacyDbName + ".manifest";
    const OwnerPaths target = ArchiveLayout::inFolder(targetFolder.string());
    if (fs::exists(target.database))
        throw BackupError(targetFolder.string() + " already holds an archive; restore into an empty folder");
    requireEmptyRestoreTarget(targetFolder); // before anything is downloaded
    RestoreReport report;
    std::optional<std::string> sealed;
    if (previousBackup) {
        sealed = readRaw(manifestName + kReplacedManifestSuffix);
        if (!sealed) throw BackupError("there is no earlier backup of " + remoteName + " at " + dest_->label());
        report.fromReplacedManifest = true;
    } else {
        ManifestInPlace found = manifestInPlace(manifestName);
        sealed = std::move(found.sealed);
        report.fromManifestCopy = found.fromCopy;
        report.fromReplacedManifest = found.fromReplaced;
        report.manifestTrouble = found.manifestTrouble;
    }
    if (!sealed) throw BackupError("there is no backup of " + remoteName + " at " + dest_->label());
    json m = json::parse(crypto_.open(*sealed, manifestName), nullptr, false); // (the kept copy is sealed alike)
    const int format = m.is_object() ? m.value("format", 0) : 0;
    if (format < 1 || format > 3 || !m.contains("database") || !m.contains("objects"))
        throw BackupError("the backup's manifest is not in a form this version understands");
    if (m.value("remoteName", "") != remoteName) throw SealError("the backup's manifest belongs to another archive");
    report.generation = m.value("generation", uint64_t(0));
    if (auto when = parseISO8601(m.value("createdAt", ""))) report.backedUpAt = *when;
    if (const auto head = m.find("manifestHead"); head != m.end() && head->is_object()) {
        CarriedManifestHead carried{head->value("recordCount", int64_t(0)), head->value("chainHead", ""),
                                    head->value("generatedAt", "")};
        if (carried.recordCount > 0 && !carried.chainHead.empty()) report.manifestHead = std::move(carried);
    }
    if (const auto anchors = m.find("pendingAnchors"); anchors != m.end() && anchors->is_array())
        report.pendingAnchors = anchors->dump();
    if (options_.generations && !previousBackup) { // (an earlier backup, asked for, is older by design)
        auto last = GenerationMemory(*options_.generations).lastWritten(dest_->resumeIdentity(), manifestName);
        if (last && last->generation > report.generation)
            report.rolledBack = RolledBack{report.generation, m.value("createdAt", ""), last->generation,
                                           last->createdAt};
    }

    // A stored object that is not the copy the manifest records. In the first
    // layout a backup run that stopped between writing its objects and its
    // manifest left exactly that; since then objects are never written over, so
    // a difference means someone put another copy there.
    auto notRecorded = [&](const std::string& what) {
        if (format == 1)
            throw BackupError("the backup at " + dest_->label() + " is unfinished: a backup run stopped after it " +
                              "replaced " + what + " but before it recorded the new copy, so it cannot be restored " +
                              "as it stands. Run the backup again from the computer that holds the archive to store " +
                              "a complete one");
        throw SealError(what + " is not the copy this backup recorded (an older or other copy was put in its place)");
    };
    auto objectName = [&](const std::string& name) {
        checkRemoteName(name, "object name");
        if (name.compare(0, prefix_.size() + 1, prefix_ + "/") != 0)
            throw SealError("the backup's manifest names an object outside its own place");
        return name;
    };

    RestoreStaging staging(targetFolder);

    const json& dbEntry = m.at("database");
    const std::string dbName = format == 1 ? legacyDbName : objectName(dbEntry.value("name", ""));
    BackupProgress p;
    const json& objects = m.at("objects");
    p.parts = 1;
    p.total = dbEntry.value("sealedSize", int64_t(0));
    for (const auto& o : objects) {
        if (!isArchiveFilePath(o.value("path", ""))) continue;
        ++p.parts;
        p.total += o.value("sealedSize", int64_t(0));
    }

    const std::string stagedDb = ArchiveLayout::inFolder(staging.path().string()).database;
    try {
        StreamNonce nonce{};
        const bool compressed = dbEntry.value("encoding", "") == kZstdEncoding;
        if (dbEntry.contains("encoding") && !compressed)
            throw BackupError("the backup's database is stored in a form this version does not know");
        std::string storedSha;
        std::string dbSha = restoreObject(
            *dest_, crypto_, dbName, dbEntry.value("sealedSize", uint64_t(0)), stagedDb, &nonce,
            [&] { notRecorded("the stored archive database"); }, format == 1, compressed, &storedSha);
        if (dbSha != dbEntry.value("sha256", "") ||
            lowerHex(nonce.data(), nonce.size()) != dbEntry.value("nonce", "") ||
            (compressed && storedSha != dbEntry.value("encodedSha256", "")))
            notRecorded("the stored archive database");
    } catch (const Error& e) {
        // Without its database nothing of the archive can be restored. The
        // backup before this one may still hold a whole one: it is offered.
        if (format == 1 || previousBackup || report.fromReplacedManifest) throw;
        if (auto earlier = previousBackupAt(manifestName, remoteName, dbName))
            throw EarlierBackupAvailable(e.what(), std::move(*earlier));
        throw;
    }
    report.databaseBytes = dbEntry.value("size", uint64_t(0));
    report.messages = countMessages(stagedDb);
    p.done += dbEntry.value("sealedSize", int64_t(0));
    ++p.part;
    if (progress) progress(p);

    // Every file that opens and matches is restored; one that does not is left
    // out, named, and the archive put in place is said to be incomplete. Files
    // are fetched side by side, those stored in packs a pack at a time; a
    // failure to reach the destination stops it all.
    struct Wanted {
        std::string rel, name;
        const json* entry;
    };
    struct Fetch { // one object at the destination: a file's own, or a pack
        std::string pack;
        std::vector<Wanted> files;
    };
    std::vector<Fetch> fetches;
    std::map<std::string, size_t> packFetch;
    for (const auto& o : objects) {
        std::string rel = o.value("path", "");
        checkRemoteName(rel, "attachment path");
        if (rel.rfind(attachmentsPrefix(), 0) != 0 && !isEvidenceFilePath(rel))
            throw SealError("the backup's manifest names a file outside the archive");
        if (!isArchiveFilePath(rel)) continue; // a file still being written when an older version backed it up
        Wanted w{rel, objectName(o.value("name", "")), &o};
        if (!o.contains(kPackField)) {
            fetches.push_back({"", {std::move(w)}});
            continue;
        }
        const std::string pack = objectName(o.value(kPackField, ""));
        auto [at, added] = packFetch.emplace(pack, fetches.size());
        if (added) fetches.push_back({pack, {}});
        fetches[at->second].files.push_back(std::move(w));
    }
    std::vector<std::string> lost;
    std::mutex restoredMutex;
    auto restoreFile = [&](const Wanted& w, const std::function<bool(const ByteSink&)>& source) {
        const json& o = *w.entry;
        const stdfs::path file = staging.path() / w.rel;
        bool ok = true;
        try {
            StreamNonce objectNonce{};
            std::string sha = restoreObject(
                *dest_, crypto_, w.name, o.value("sealedSize", uint64_t(0)), file, &objectNonce,
                [&] { notRecorded("the stored object for " + w.rel); }, format == 1, false, nullptr, source);
            if (lowerHex(objectNonce.data(), objectNonce.size()) != o.value("nonce", "") ||
                (o.contains("sha256") && sha != o.value("sha256", "")))
                notRecorded("the stored object for " + w.rel);
        } catch (const SealError&) {
            if (format == 1) throw;
            ok = false;
        } catch (const MissingObject&) {
            if (format == 1) throw;
            ok = false;
        }
        if (!ok) {
            std::error_code ec;
            stdfs::remove(file, ec); // never a file that did not check out
        }
        std::lock_guard<std::mutex> lock(restoredMutex);
        if (ok) ++report.objects;
        else lost.push_back(w.rel);
        p.done += o.value("sealedSize", int64_t(0));
        ++p.part;
        if (progress) progress(p);
    };
    parallelFor(fetches.size(), options_.threads, [&](size_t i) {
        const Fetch& f = fetches[i];
        if (f.pack.empty()) return restoreFile(f.files.front(), {});
        // The pack is read once, up to the end of the last file it holds here.
        uint64_t end = 0;
        for (const Wanted& w : f.files)
            end = std::max(end, w.entry->value(kOffsetField, uint64_t(0)) + w.entry->value("sealedSize", uint64_t(0)));
        const std::optional<std::string> bytes = readHead(*dest_, f.pack, end);
        for (const Wanted& w : f.files)
            restoreFile(w, [&](const ByteSink& sink) {
                const uint64_t offset = w.entry->value(kOffsetField, uint64_t(0));
                if (!bytes) return false;
                if (offset < bytes->size())
                    sink(reinterpret_cast<const unsigned char*>(bytes->data()) + offset,
                         static_cast<size_t>(
                             std::min<uint64_t>(w.entry->value("sealedSize", uint64_t(0)), bytes->size() - offset)));
                return true;
            });
    });
    std::sort(lost.begin(), lost.end());
    for (const std::string& rel : lost) { // and no folder made only for a file left out
        std::error_code ec;
        for (stdfs::path dir = (staging.path() / rel).parent_path(); dir != staging.path() && stdfs::is_empty(dir, ec);
             dir = dir.parent_path())
            stdfs::remove(dir, ec);
    }
    report.unrestored = describeLostFiles(stagedDb, lost);
    // What was left out may be only what the latest run stored: the backup
    // before it is then offered when it restores whole. Of what it names, what
    // this restore read whole is not read again.
    if (!lost.empty() && format > 1 && !previousBackup && !report.fromReplacedManifest) {
        std::set<std::string> readWhole = {copyOf(dbEntry)};
        const std::set<std::string> left(lost.begin(), lost.end());
        for (const auto& o : objects)
            if (const std::string rel = o.value("path", ""); isArchiveFilePath(rel) && !left.count(rel))
                readWhole.insert(copyOf(o));
        report.earlierWhole = previousBackupAt(manifestName, remoteName, {}, &readWhole);
    }

    staging.putInPlace();
    return report;
}

std::optional<EarlierBackup> BackupEngine::previousBackupAt(const std::string& manifestName,
                                                            const std::string& remoteName, const std::string& dbName,
                                                            const std::set<std::string>* readWhole) {
    try {
        auto sealed = readRaw(manifestName + kReplacedManifestSuffix);
        if (!sealed) return std::nullopt;
        json m = json::parse(crypto_.open(*sealed, manifestName));
        const int format = m.value("format", 0);
        if (format < 2 || format > 3 || m.value("remoteName", "") != remoteName) return std::nullopt;
        auto ours = [&](const std::string& name) {
            checkRemoteName(name, "object name");
            return name.compare(0, prefix_.size() + 1, prefix_ + "/") == 0;
        };
        // Whether the stored copy an entry records opens and holds content with that hash.
        auto intact = [&](const json& entry, const std::string& sha) {
            if (readWhole && readWhole->count(copyOf(entry))) return true;
            const std::string name = entry.value("name", ""), pack = entry.value(kPackField, "");
            if (!ours(name) || (!pack.empty() && !ours(pack))) return false;
            auto nonce = checkStored(name, entry.value("sealedSize", uint64_t(0)), sha, pack,
                                     entry.value(kOffsetField, uint64_t(0)));
            return nonce && *nonce == entry.value("nonce", "");
        };
        const json& db = m.at("database");
        if (db.value("name", "") == dbName || !intact(db, storedContentSha(db))) return std::nullopt;
        if (readWhole) {
            std::vector<const json*> files;
            for (const auto& o : m.at("objects"))
                if (isArchiveFilePath(o.value("path", ""))) files.push_back(&o);
            std::atomic<bool> whole{true};
            parallelFor(files.size(), options_.threads, [&](size_t i) {
                if (whole && !intact(*files[i], files[i]->value("sha256", ""))) whole = false;
            });
            if (!whole) return std::nullopt;
        }
        return EarlierBackup{m.value("generation", uint64_t(0)), m.value("createdAt", ""), readWhole != nullptr};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace kx
