// Manifest speed: generating and verifying the manifest of a large archive,
// printed beside the time sha256sum takes over the same bytes (every record the
// chain covers, one after the other), then the parts of that work on their own.
// Each figure is the best of several runs, as the machine may be busy. Beside
// the times, the resident size the process reached while generating and while
// verifying (what a system monitor shows during a seal), against 150 MB.
// Then verifying an archive whose attachments hold `attachmentMB` of stored
// bytes, beside sha256sum over the same files, in the same run: the target is
// within 1.5 times sha256sum (median, with the spread of the runs).
//
//   bench_manifest [messages=1000000] [folder=/tmp/kelvara-bench-manifest] [runs=3] [attachmentMB=1024]
//
// The archives are generated once into the folder and reused by later runs.
#include "core/archive/archive_records.h"
#include "core/archive/attachment_store.h"
#include "core/archive/tresk_store_writer.h"
#include "core/evidence/tresk_manifest.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The row of the one source every bench message comes from.
std::int64_t benchSource(kx::TreskStoreWriter& w, kx::Date now) {
    kx::Source src;
    src.id = "bench-source";
    src.owner = "bench";
    src.path = "/nowhere";
    return w.sourceRow(src, now);
}

// A one-to-one iMessage chat with `handle`.
kx::ChatRecord addChat(kx::TreskStoreWriter& w, const std::string& handle) {
    kx::ChatRecord chat;
    chat.identifier = handle;
    chat.guid = "iMessage;-;" + handle;
    chat.service = "iMessage";
    chat.participants = {handle};
    w.addChat(chat);
    return chat;
}

void buildArchive(const std::string& path, long long count) {
    std::printf("building an archive of %lld messages at %s ...\n", count, path.c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    const kx::Date now = kx::fromUnixSeconds(1733700000);
    auto w = kx::TreskStoreWriter::open(path, "bench", now);
    w->begin();
    const auto row = benchSource(*w, now);
    const int chats = 40;
    for (int c = 0; c < chats; ++c) addChat(*w, "+1555000" + std::to_string(1000 + c));
    static const char* words[] = {"see",  "you",    "at", "the",   "station", "tomorrow", "thanks",
                                  "for",  "dinner", "😀",  "on",    "my",      "way",      "running",
                                  "late", "call",   "me", "later", "ok"};
    for (long long i = 1; i <= count; ++i) {
        kx::MessageRecord m;
        m.guid = "BENCH-" + std::to_string(i);
        const int c = static_cast<int>(i % chats);
        m.chatGuid = "iMessage;-;+1555000" + std::to_string(1000 + c);
        m.handle = "+1555000" + std::to_string(1000 + c);
        m.service = "iMessage";
        std::string text;
        const int n = 4 + static_cast<int>((i * 7919) % 28);
        for (int k = 0; k < n; ++k) {
            if (k) text += ' ';
            text += words[(i + k * 31) % (sizeof words / sizeof *words)];
        }
        m.text = text;
        m.date = kx::fromUnixSeconds(1500000000.0 + static_cast<double>(i) * 60.0);
        m.isFromMe = i % 3 == 0;
        w->addMessage(m, row, now);
        if (i % 100000 == 0) {
            w->commit();
            w->begin();
            std::printf("  %lld\n", i);
            std::fflush(stdout);
        }
    }
    w->commit();
    std::printf("built in %.1f s\n", seconds(start, Clock::now()));
}

// The resident size (VmRSS, or with `peak` VmHWM) of this process, in MB.
double residentMB(bool peak) {
    std::ifstream status("/proc/self/status");
    const std::string key = peak ? "VmHWM:" : "VmRSS:";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::atof(line.c_str() + key.size()) / 1024.0;
    return 0;
}

// The peak resident size while f runs (the peak is set back to the present
// size first; -1 where the system cannot do that).
template <typename F>
double peakResidentWhile(F&& f) {
    const bool reset = static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5" << std::flush);
    f();
    return reset ? residentMB(true) : -1;
}

// An archive of `megabytes` MB of attachment bytes, in files of 4 MB, one per
// message; the stored files are listed in `list` for sha256sum.
void buildAttachmentArchive(const std::filesystem::path& db, long long megabytes, const std::filesystem::path& list) {
    std::printf("building an archive with %lld MB of attachments at %s ...\n", megabytes, db.c_str());
    std::fflush(stdout);
    const kx::Date now = kx::fromUnixSeconds(1733700000);
    auto w = kx::TreskStoreWriter::open(db.string(), "bench", now);
    kx::AttachmentStore objects(db.parent_path() / "attachments");
    w->begin();
    const auto row = benchSource(*w, now);
    const kx::ChatRecord chat = addChat(*w, "+15550001000");
    std::ofstream files(list, std::ios::trunc);
    constexpr std::size_t kFile = 4u << 20;
    std::string bytes(kFile, '\0');
    std::uint64_t x = 88172645463325252ull;
    for (long long i = 1; i <= megabytes / 4; ++i) {
        for (std::size_t k = 0; k + 8 <= bytes.size(); k += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(bytes.data() + k, &x, 8);
        }
        const std::string key = objects.putBytes(bytes);
        files << objects.objectPath(key).string() << "\n";
        kx::MessageRecord m;
        m.guid = "ATTACHED-" + std::to_string(i);
        m.chatGuid = chat.guid;
        m.handle = chat.identifier;
        m.service = "iMessage";
        m.text = "photo " + std::to_string(i);
        m.date = kx::fromUnixSeconds(1500000000.0 + static_cast<double>(i) * 60.0);
        kx::AttachmentRecord a;
        a.guid = "ATT-" + m.guid;
        a.fileName = "photo-" + std::to_string(i) + ".jpg";
        a.mimeType = "image/jpeg";
        a.totalBytes = static_cast<std::int64_t>(kFile);
        a.state = kx::AttachmentFileState::missing;
        m.attachments.push_back(a);
        w->addMessage(m, row, now, {{a.guid, key}});
    }
    w->commit();
}

// The best of `runs` timings of f (the machine may be shared).
template <typename F>
double best(int runs, F&& f) {
    double out = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto a = Clock::now();
        f();
        out = std::min(out, seconds(a, Clock::now()));
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const long long count = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const std::filesystem::path folder = argc > 2 ? argv[2] : "/tmp/kelvara-bench-manifest";
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const std::filesystem::path archive = folder / ("archive-" + std::to_string(count)) / "tresk.db";
    if (!std::filesystem::exists(archive)) buildArchive(archive.string(), count);

    kx::TreskStore store(archive.string());
    const std::string manifestPath = (folder / "bench.manifest.json").string();

    kx::TreskManifest::File manifest;
    const double before = residentMB(false);
    const double genPeak = peakResidentWhile(
        [&] { manifest = kx::TreskManifest::generate(store, "bench", std::chrono::system_clock::now(), 1000); });
    const double gen = best(runs, [&] {
        manifest = kx::TreskManifest::generate(store, "bench", std::chrono::system_clock::now(), 1000);
    });
    std::filesystem::remove(manifestPath);
    const double write = best(1, [&] { kx::TreskManifest::write(manifest, manifestPath); });
    std::optional<kx::TreskManifest::File> read;
    const double readTime = best(1, [&] { read = kx::TreskManifest::read(manifestPath); });
    kx::TreskManifest::VerificationResult result;
    const double verifyPeak = peakResidentWhile([&] { result = kx::TreskManifest::verify(store, *read); });
    const double verify = best(runs, [&] { result = kx::TreskManifest::verify(store, *read); });

    // The parts of that work on their own, on one connection each.
    SQLite::Database db(archive.string(), SQLite::OPEN_READONLY);
    const kx::TreskManifest::RecordWalk walk = [&db](const kx::TreskManifest::RecordVisitor& visit) {
        kx::records::walk(db, visit);
    };
    long long total = 0;
    const double walkOnly = best(runs, [&] {
        total = 0;
        walk([&](std::int64_t, std::string_view bytes) {
            total += static_cast<long long>(bytes.size());
            return true;
        });
    });
    const double chainOnly = best(runs, [&] {
        (void)kx::TreskManifest::generate(walk, "bench", std::chrono::system_clock::now(), 1000);
    });
    const double tablesOnly = best(1, [&] {
        db.exec("BEGIN");
        (void)kx::records::checkTables(db);
        db.exec("COMMIT");
    });

    // The same bytes the chain covers, in one file, for sha256sum.
    const std::filesystem::path bytesFile = folder / "canonical.bin";
    {
        std::ofstream out(bytesFile, std::ios::binary | std::ios::trunc);
        kx::records::walk(db, [&](std::int64_t, std::string_view bytes) {
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            return true;
        });
    }
    // Warm the page cache, then time sha256sum.
    (void)std::system(("cat '" + bytesFile.string() + "' > /dev/null").c_str());
    int rc = 0;
    const double sha = best(runs,
                            [&] { rc |= std::system(("sha256sum '" + bytesFile.string() + "' > /dev/null").c_str()); });
    std::filesystem::remove(bytesFile);

    std::printf("messages: %lld, records: %lld, record bytes: %lld (%.1f MB), manifest file: %.1f MB, status %d\n",
                static_cast<long long>(manifest.messageCount), static_cast<long long>(manifest.recordCount), total,
                static_cast<double>(total) / 1e6, static_cast<double>(std::filesystem::file_size(manifestPath)) / 1e6,
                result.status);
    std::printf("best of %d runs, %u cores\n", runs, std::thread::hardware_concurrency());
    std::printf("%-28s %8.3f s\n", "sha256sum (same bytes)", sha);
    std::printf("%-28s %8.3f s   %.2fx sha256sum\n", "generate manifest", gen, gen / sha);
    std::printf("%-28s %8.3f s\n", "write manifest", write);
    std::printf("%-28s %8.3f s   %.2fx sha256sum (reading the file: %.3f s)\n", "read + verify manifest",
                verify + readTime, (verify + readTime) / sha, readTime);
    std::printf("parts, one connection each:\n");
    std::printf("  %-26s %8.3f s\n", "records walked", walkOnly);
    std::printf("  %-26s %8.3f s   %.2fx sha256sum\n", "records chained", chainOnly, chainOnly / sha);
    std::printf("  %-26s %8.3f s\n", "tables checked", tablesOnly);
    std::printf("resident size: %.1f MB before, peak %.1f MB generating, %.1f MB verifying   target < 150 MB: %s\n",
                before, genPeak, verifyPeak, genPeak >= 0 && genPeak < 150 && verifyPeak < 150 ? "met" : "NOT met");

    // Attachment bytes: the whole check of an archive whose weight is its
    // attachments, beside sha256sum over the same files, run in turn.
    const long long megabytes = argc > 4 ? std::atoll(argv[4]) : 1024;
    const std::filesystem::path attached = folder / ("attachments-" + std::to_string(megabytes)) / "tresk.db";
    const std::filesystem::path list = attached.parent_path() / "files.txt";
    if (!std::filesystem::exists(attached)) buildAttachmentArchive(attached, megabytes, list);
    kx::TreskStore attachedStore(attached.string());
    const auto attachedManifest = kx::TreskManifest::generate(attachedStore, "bench", std::chrono::system_clock::now(),
                                                              1000);
    const std::string sums = "xargs -a '" + list.string() + "' sha256sum > /dev/null";
    (void)std::system(("xargs -a '" + list.string() + "' cat > /dev/null").c_str()); // warm the page cache
    std::vector<double> ours, theirs;
    for (int i = 0; i < std::max(runs, 3); ++i) {
        const auto a = Clock::now();
        result = kx::TreskManifest::verify(attachedStore, attachedManifest);
        ours.push_back(seconds(a, Clock::now()));
        const auto b = Clock::now();
        rc |= std::system(sums.c_str());
        theirs.push_back(seconds(b, Clock::now()));
    }
    auto sorted = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    auto median = [](const std::vector<double>& v) {
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    ours = sorted(ours);
    theirs = sorted(theirs);
    const double ratio = median(ours) / median(theirs);
    std::printf("attachments: %lld MB in %zu files, status %d, %zu runs each\n", megabytes,
                static_cast<std::size_t>(megabytes / 4), result.status, ours.size());
    std::printf("%-28s %8.3f s (median; %.3f to %.3f)\n", "sha256sum (same files)", median(theirs), theirs.front(),
                theirs.back());
    std::printf("%-28s %8.3f s (median; %.3f to %.3f)   %.2fx sha256sum, target 1.5x: %s\n", "verify with attachments",
                median(ours), ours.front(), ours.back(), ratio, ratio <= 1.5 ? "met" : "NOT met");
    return rc == 0 && result.status == 0 ? 0 : 1;
}
