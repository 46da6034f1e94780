// Export memory and speed: JSON, CSV and PDF of one large conversation, each
// written by a child process whose peak resident memory is printed.
//
//   bench_export [messages=100000] [folder=/tmp/kelvara-bench-export]
//
// The archive is generated once into the folder and reused by later runs. A
// child that only opens the archive gives the baseline every figure includes.
#include "core/contacts/contact_resolver.h"
#include "core/evidence/conversation_exporter.h"
#include "tests/core/evidence/archive_builder.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

const std::string kHandle = "+15550001234";

// One conversation of `count` messages of 4 to 43 words, every 25th with an
// attachment whose bytes are not archived.
void buildArchive(const std::filesystem::path& db, long long count) {
    std::printf("building an archive of %lld messages at %s ...\n", count, db.c_str());
    std::fflush(stdout);
    const auto start = Clock::now();
    static const char* words[] = {"see",  "you",    "at", "the",   "station", "tomorrow", "thanks",
                                  "for",  "dinner", "😀",  "on",    "my",      "way",      "running",
                                  "late", "call",   "me", "later", "ok",      "Grüße",    "日本語"};
    kx::test::ArchiveSpec plan;
    plan.owner = "bench";
    plan.handle = kHandle;
    plan.guidPrefix = "BENCH-EXPORT";
    plan.count = count;
    plan.attachmentEvery = 25;
    plan.texts.reserve(static_cast<std::size_t>(count));
    for (long long i = 1; i <= count; ++i) {
        std::string text;
        for (long long k = 0, n = 4 + (i * 7919) % 40; k < n; ++k)
            text += (k ? " " : "") + std::string(words[(i + k * 31) % (sizeof words / sizeof *words)]);
        plan.texts.push_back(std::move(text));
    }
    kx::test::addMessages(db, plan);
    std::printf("built in %.1f s\n", seconds(start, Clock::now()));
}

struct ChildFigures {
    bool ok = false;
    double peakMB = 0;
    double wallSeconds = 0;
};

// Runs `work` in a child process and reports the child's peak resident memory.
ChildFigures inChild(const std::function<void()>& work) {
    std::fflush(stdout);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return {};
    if (pid == 0) {
        try {
            work();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "failed: %s\n", e.what());
            std::fflush(stderr);
            ::_exit(1);
        }
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid) return {};
    ChildFigures f;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    f.peakMB = static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
    f.wallSeconds = seconds(start, Clock::now());
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const long long count = argc > 1 ? std::atoll(argv[1]) : 100000;
    const std::filesystem::path folder = argc > 2 ? argv[2] : "/tmp/kelvara-bench-export";
    const std::filesystem::path archive = folder / ("archive-" + std::to_string(count)) / "tresk.db";
    // Built in a child, so the figures below start from a small parent.
    if (!std::filesystem::exists(archive) && !inChild([&] { buildArchive(archive, count); }).ok) return 1;
    const std::string attachments = (archive.parent_path() / "attachments").string();
    const kx::MapContactResolver names({{kHandle, "Bench Contact"}});

    const auto base = inChild([&] {
        kx::TreskStore store(archive.string());
        (void)store.conversations("bench");
    });
    std::printf("messages: %lld\n", count);
    std::printf("%-8s %10s %10s %12s\n", "format", "peak MB", "seconds", "file MB");
    std::printf("%-8s %10.1f %10s %12s\n", "(open)", base.peakMB, "-", "-");

    bool allOk = base.ok;
    for (auto format : {kx::ExportFormat::json, kx::ExportFormat::csv, kx::ExportFormat::pdf}) {
        const std::string label = kx::exportFormatLabel(format);
        const std::filesystem::path out = folder / ("bench." + kx::exportFormatExtension(format));
        std::filesystem::remove(out);
        const auto f = inChild([&] {
            kx::TreskStore store(archive.string());
            const kx::ConversationExporter exporter(store, "bench", attachments, names,
                                                    kx::ExportTimeZone::fixed(0, "UTC"),
                                                    kx::ConversationExporter::kDefaultPageSize);
            exporter.write(kHandle, format, out.string(), kx::fromUnixSeconds(1733700000), "bench");
        });
        allOk = allOk && f.ok;
        std::error_code ec;
        const auto size = std::filesystem::file_size(out, ec);
        std::printf("%-8s %10.1f %10.2f %12.1f%s\n", label.c_str(), f.peakMB, f.wallSeconds,
                    ec ? 0.0 : static_cast<double>(size) / 1e6, f.ok ? "" : "   FAILED");
    }
    return allOk ? 0 : 1;
}
