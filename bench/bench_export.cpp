// Export memory and speed: JSON, CSV and PDF of one conversation of 10,000,
// 100,000 and 1,000,000 messages (the PDF of the first two), each written three
// times by a child process whose peak resident memory and processor time are
// printed. The processor time per message of each export of a million messages
// must stay within 1.2 times that of the 10,000 (an export that slows down as
// it goes deeper into the conversation shows here).
//
//   bench_export [folder=/tmp/kelvara-bench-export] [messages...=10000 100000 1000000]
//
// Each archive is generated once into the folder and reused by later runs. A
// child that only opens the archive gives the baseline every figure includes.
#include "core/contacts/contact_resolver.h"
#include "core/evidence/conversation_exporter.h"
#include "tests/core/evidence/archive_builder.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

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
    double cpuSeconds = 0; // user and system
};

double cpuSeconds(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

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
    f.cpuSeconds = cpuSeconds(usage);
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : "/tmp/kelvara-bench-export";
    std::vector<long long> sizes;
    for (int i = 2; i < argc; ++i) sizes.push_back(std::atoll(argv[i]));
    if (sizes.empty()) sizes = {10000, 100000, 1000000};
    constexpr int kRuns = 3;
    const kx::MapContactResolver names({{kHandle, "Bench Contact"}});

    bool allOk = true;
    // Per format: the median processor time per message at each size.
    std::map<std::string, std::map<long long, double>> perMessage;
    std::printf("%-9s %-6s %9s %9s %9s %22s %10s\n", "messages", "format", "peak MB", "file MB", "wall s",
                "cpu us/msg med [range]", "wall us/msg");
    for (const long long count : sizes) {
        const std::filesystem::path archive = folder / ("archive-" + std::to_string(count)) / "tresk.db";
        // Built in a child, so the figures below start from a small parent.
        if (!std::filesystem::exists(archive) && !inChild([&] { buildArchive(archive, count); }).ok) return 1;
        const std::string attachments = (archive.parent_path() / "attachments").string();
        const auto base = inChild([&] {
            kx::TreskStore store(archive.string());
            (void)store.conversations("bench");
        });
        allOk = allOk && base.ok;
        std::printf("%-9lld %-6s %9.1f %9s %9s %22s %10s\n", count, "(open)", base.peakMB, "-", "-", "-", "-");
        for (auto format : {kx::ExportFormat::json, kx::ExportFormat::csv, kx::ExportFormat::pdf}) {
            if (format == kx::ExportFormat::pdf && count > 100000) continue;
            const std::string label = kx::exportFormatLabel(format);
            const std::filesystem::path out = folder / ("bench." + kx::exportFormatExtension(format));
            std::vector<ChildFigures> runs;
            for (int run = 0; run < kRuns; ++run) {
                std::filesystem::remove(out);
                runs.push_back(inChild([&] {
                    kx::TreskStore store(archive.string());
                    const kx::ConversationExporter exporter(store, "bench", attachments, names,
                                                            kx::ExportTimeZone::fixed(0, "UTC"),
                                                            kx::ConversationExporter::kDefaultPageSize);
                    exporter.write(kHandle, format, out.string(), kx::fromUnixSeconds(1733700000), "bench");
                }));
                allOk = allOk && runs.back().ok;
            }
            std::vector<double> cpu, wall;
            double peak = 0;
            for (const auto& r : runs) {
                cpu.push_back(r.cpuSeconds * 1e6 / static_cast<double>(count));
                wall.push_back(r.wallSeconds * 1e6 / static_cast<double>(count));
                peak = std::max(peak, r.peakMB);
            }
            std::sort(cpu.begin(), cpu.end());
            std::sort(wall.begin(), wall.end());
            perMessage[label][count] = cpu[kRuns / 2];
            std::error_code ec;
            const auto size = std::filesystem::file_size(out, ec);
            char range[64];
            std::snprintf(range, sizeof range, "%.2f [%.2f-%.2f]", cpu[kRuns / 2], cpu.front(), cpu.back());
            std::printf("%-9lld %-6s %9.1f %9.1f %9.2f %22s %10.2f%s\n", count, label.c_str(), peak,
                        ec ? 0.0 : static_cast<double>(size) / 1e6, wall[kRuns / 2] * static_cast<double>(count) / 1e6,
                        range, wall[kRuns / 2], runs.back().ok ? "" : "   FAILED");
        }
    }
    for (const auto& [label, bySize] : perMessage) {
        const auto small = bySize.find(10000), large = bySize.find(1000000);
        if (small == bySize.end() || large == bySize.end()) continue;
        const double ratio = large->second / small->second;
        std::printf("%s: %.2f us per message at 1,000,000 against %.2f at 10,000 (%.2fx; target <= 1.2x: %s)\n",
                    label.c_str(), large->second, small->second, ratio, ratio <= 1.2 ? "met" : "NOT met");
    }
    return allOk ? 0 : 1;
}
