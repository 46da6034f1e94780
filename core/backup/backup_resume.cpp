#include "core/backup/backup_resume.h"

#include "core/backup/backup_engine.h"
#include "core/backup/backup_objects.h"
#include "core/platform/fs.h"
#include "core/platform/hex.h"
#include "core/platform/json_file.h"

#include <algorithm>

namespace kx {

namespace stdfs = std::filesystem;
using nlohmann::json;

ResumeState loadResume(const std::optional<stdfs::path>& path) {
    ResumeState out;
    if (!path) return out;
    JsonLoad load = loadJsonFile(*path);
    if (load.state != JsonLoad::State::loaded) return out; // a damaged file only costs a fresh upload
    try {
        for (const auto& u : load.value.at("uploads")) {
            ResumeEntry e;
            e.destination = u.at("destination").get<std::string>();
            e.name = u.at("name").get<std::string>();
            e.fingerprint = u.at("fingerprint").get<std::string>();
            e.keyId = u.at("keyId").get<std::string>();
            e.nonce = u.at("nonce").get<std::string>();
            e.uploadId = u.at("uploadId").get<std::string>();
            e.partSize = u.at("partSize").get<uint64_t>();
            for (const auto& p : u.at("parts")) e.parts[p.at("number").get<int>()] = p.at("tag").get<std::string>();
            out.uploads.push_back(std::move(e));
        }
    } catch (const std::exception&) {
        out.uploads.clear();
    }
    try {
        if (load.value.contains("cleanup"))
            for (const auto& c : load.value.at("cleanup"))
                out.cleanup.push_back({c.at("destination").get<std::string>(), c.at("name").get<std::string>()});
    } catch (const std::exception&) {
        out.cleanup.clear();
    }
    if (const auto packs = load.value.find("packs"); packs != load.value.end() && packs->is_array()) out.packs = *packs;
    return out;
}

void saveResume(const std::optional<stdfs::path>& path, const ResumeState& state) {
    if (!path) return;
    json uploads = json::array();
    for (const auto& e : state.uploads) {
        json parts = json::array();
        for (const auto& [n, tag] : e.parts) parts.push_back({{"number", n}, {"tag", tag}});
        uploads.push_back({{"destination", e.destination},
                           {"name", e.name},
                           {"fingerprint", e.fingerprint},
                           {"keyId", e.keyId},
                           {"nonce", e.nonce},
                           {"partSize", e.partSize},
                           {"uploadId", e.uploadId},
                           {"parts", parts}});
    }
    json cleanup = json::array();
    for (const auto& c : state.cleanup) cleanup.push_back({{"destination", c.destination}, {"name", c.name}});
    // Written atomically (temporary file, then rename) but not flushed to disk:
    // losing the latest version to a power cut only means resending a part.
    json saved = {{"uploads", uploads}, {"cleanup", cleanup}};
    if (!state.packs.empty()) saved["packs"] = state.packs;
    std::string text = saved.dump(2);
    if (path->has_parent_path()) fs::createPrivateDirectories(path->parent_path());
    try {
        fs::writeFileAtomic(*path, text, fs::kPrivateFileMode, fs::Durability::renamedOnly);
    } catch (const Error& e) {
        throw Error("could not save the resume state " + path->string() + " (" + e.what() + ")");
    }
}

void changeResume(std::mutex& m, const std::optional<stdfs::path>& path, const std::function<void(ResumeState&)>& fn) {
    if (!path) return;
    std::lock_guard<std::mutex> lock(m);
    ResumeState state = loadResume(path);
    fn(state);
    saveResume(path, state);
}

BackupEngine::Uploaded BackupEngine::uploadFile(const stdfs::path& plain, const std::string& name,
                                                const std::string& fingerprint, ObjectClass cls, int threads,
                                                const std::function<void(uint64_t)>& sent,
                                                const std::function<void()>& partDone, bool hashPlain) {
    uint64_t plainSize = stdfs::file_size(plain);
    uint64_t sealedSize = TreskCrypto::sealedSize(plainSize);
    uint64_t partSize = options_.partSize ? options_.partSize : dest_->partSizeFor(sealedSize);
    Uploaded out;
    out.sealedSize = sealedSize;

    if (sealedSize <= partSize) {
        StreamNonce nonce = TreskCrypto::freshNonce();
        out.nonce = lowerHex(nonce.data(), nonce.size());
        TreskCrypto::SealingReader reader(crypto_, plain, name, nonce, hashPlain);
        out.storeConfirmed =
            dest_->putConfirmed(name, sealedSize,
                                [&](uint64_t off, unsigned char* buf, size_t n) { reader.read(off, buf, n); }, cls,
                                {{"kx-plain-size", std::to_string(plainSize)}, {"kx-nonce", out.nonce}});
        out.sealedPlainSha = reader.plainSha256();
        sent(sealedSize);
        partDone();
        return out;
    }

    const std::string identity = dest_->resumeIdentity();
    auto sameUpload = [&](const ResumeEntry& x) { return x.destination == identity && x.name == name; };
    auto update = [&](const std::function<void(std::vector<ResumeEntry>&)>& change) {
        changeResume(resumeMutex_, resumePath_, [&](ResumeState& st) { change(st.uploads); });
    };

    // An upload recorded by an earlier run continues only with the same bytes:
    // the fingerprint is the plaintext's content hash, so a file that changed
    // starts afresh with a fresh nonce and no nonce ever seals two plaintexts.
    std::optional<ResumeEntry> entry;
    update([&](std::vector<ResumeEntry>& entries) {
        for (auto it = entries.begin(); it != entries.end();) {
            if (sameUpload(*it)) {
                bool same = it->fingerprint == fingerprint && it->keyId == crypto_.keyId() &&
                            it->partSize == partSize && nonceFromHex(it->nonce).has_value();
                if (same && !entry) {
                    entry = *it;
                    ++it;
                    continue;
                }
                // Another file, key or part size: never splice; drop the old upload.
                dest_->abortUpload(it->name, it->uploadId);
                it = entries.erase(it);
                continue;
            }
            ++it;
        }
    });

    auto startFresh = [&] {
        ResumeEntry e;
        e.destination = identity;
        e.name = name;
        e.fingerprint = fingerprint;
        e.keyId = crypto_.keyId();
        StreamNonce n = TreskCrypto::freshNonce();
        e.nonce = lowerHex(n.data(), n.size());
        e.partSize = partSize;
        e.uploadId = dest_->beginUpload(name, partSize, cls,
                                        {{"kx-plain-size", std::to_string(plainSize)}, {"kx-nonce", e.nonce}});
        update([&](std::vector<ResumeEntry>& entries) {
            std::erase_if(entries, sameUpload);
            entries.push_back(e);
        });
        return e;
    };
    auto forget = [&] { update([&](std::vector<ResumeEntry>& entries) { std::erase_if(entries, sameUpload); }); };
    const int partCount = static_cast<int>((sealedSize + partSize - 1) / partSize);
    // The run that recorded an upload may have completed it and stopped before
    // forgetting it: the object is then in place, sealed with the recorded nonce.
    auto alreadyStored = [&](const ResumeEntry& e) {
        if (storedNonce(name, sealedSize) != e.nonce) return false;
        forget();
        sent(sealedSize);
        for (int i = 0; i < partCount; ++i) partDone();
        out.resumed = true;
        out.nonce = e.nonce;
        return true;
    };

    bool stale = entry.has_value(); // recorded by an earlier run
    if (stale && alreadyStored(*entry)) return out;
    bool resumed = stale && !entry->parts.empty();
    ResumeEntry e = entry ? *entry : startFresh();
    std::mutex partsMutex;
    if (!dest_->partsSideBySide()) threads = 1;
    for (int attempt = 0;; ++attempt) {
        // Parts stored one after the other are sealed by one reader, which then
        // knows the hash of the plaintext it sealed when it read all of it.
        std::optional<TreskCrypto::SealingReader> inOrder;
        if (threads == 1) inOrder.emplace(crypto_, plain, name, *nonceFromHex(e.nonce), hashPlain);
        std::vector<int> todo;
        for (int part = 1; part <= partCount; ++part) {
            if (e.parts.count(part)) {
                sent(std::min(partSize, sealedSize - static_cast<uint64_t>(part - 1) * partSize));
                partDone();
            } else {
                todo.push_back(part);
            }
        }
        try {
            parallelFor(todo.size(), threads, [&](size_t i) {
                int part = todo[i];
                uint64_t off = static_cast<uint64_t>(part - 1) * partSize;
                uint64_t n = std::min(partSize, sealedSize - off);
                std::optional<TreskCrypto::SealingReader> own;
                if (!inOrder) own.emplace(crypto_, plain, name, *nonceFromHex(e.nonce));
                TreskCrypto::SealingReader& reader = inOrder ? *inOrder : *own;
                std::string tag = dest_->uploadPart(name, e.uploadId, part, off, n,
                                                    [&](uint64_t o, unsigned char* buf, size_t k) {
                                                        reader.read(o, buf, k);
                                                    });
                {
                    std::lock_guard<std::mutex> lock(partsMutex);
                    e.parts[part] = tag;
                    ResumeEntry snapshot = e;
                    update([&](std::vector<ResumeEntry>& entries) {
                        for (auto& x : entries)
                            if (sameUpload(x)) x = snapshot;
                    });
                    sent(n);
                    partDone();
                }
                if (options_.afterPart) options_.afterPart(name, part);
            });
            std::vector<std::pair<int, std::string>> parts(e.parts.begin(), e.parts.end());
            dest_->completeUpload(name, e.uploadId, parts);
            if (inOrder) out.sealedPlainSha = inOrder->plainSha256();
        } catch (const UploadNotFound&) {
            // The destination forgot the upload (expired, aborted or completed):
            // use what is stored when it is this upload, else start over once.
            if (stale && attempt == 0 && alreadyStored(e)) return out;
            forget();
            if (attempt > 0) throw;
            resumed = false;
            e = startFresh();
            continue;
        } catch (const DestinationRefused&) {
            // An upload from an earlier run that the destination now refuses,
            // whatever became of it, never blocks the backup: the object starts again.
            if (!stale || attempt > 0) throw;
            if (alreadyStored(e)) return out;
            dest_->abortUpload(name, e.uploadId);
            forget();
            resumed = false;
            e = startFresh();
            continue;
        }
        break;
    }
    forget();
    out.resumed = resumed;
    out.nonce = e.nonce;
    return out;
}

} // namespace kx
