// Manifest speed: generating and verifying the manifest of a large archive,
// printed beside the time sha256sum takes over the same bytes (every record the
// chain covers, one after the other), then the parts of that work on their own.
// Each figure is the best of several runs, as the machine may be busy. Beside
// the times, the resident size the process reached while generating and while
// verifying (what a system monitor shows during a seal), against 150 MB.
//
//   bench_manifest [messages=1000000] [folder=/tmp/kelvara-bench-manifest] [runs=3]
//
// The archive is generated once into the folder and reused by later runs.
#include "core/archive/archive_records.h"
#include "core/archive/tresk_store_writer.h"
#include "core/evidence/tresk_manifest.h"

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void buildArchive(const std::string& path, long long count) {
    std::printf("building an archive of %lld messages at %s ...\n", count, path.c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    const kx::Date now = kx::fromUnixSeconds(1733700000);
    auto w = kx::TreskStoreWriter::open(path, "bench", now);
    w->begin();
    kx::Source src;
    src.id = "bench-source";
    src.owner = "bench";
    src.path = "/nowhere";
    const auto row = w->sourceRow(src, now);
    const int chats = 40;
    for (int c = 0; c < chats; ++c) {
        kx::ChatRecord chat;
        chat.identifier = "+1555000" + std::to_string(1000 + c);
        chat.guid = "iMessage;-;" + chat.identifier;
        chat.service = "iMessage";
        chat.participants = {chat.identifier};
        w->addChat(chat);
    }
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
    return rc == 0 ? 0 : 1;
}
