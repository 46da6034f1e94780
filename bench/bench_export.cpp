// Export memory and speed: JSON, CSV and PDF of one large conversation, each
// written by a child process whose peak resident memory is printed.
//
//   bench_export [messages=100000] [folder=/tmp/kelvara-bench-export]
//
// The archive is generated once into the folder and reused by later runs. A
// child that only opens the archive gives the baseline every figure includes.
#include "core/archive/tresk_store_writer.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/conversation_exporter.h"

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
    kx::ChatRecord chat;
    chat.identifier = kHandle;
    chat.guid = "iMessage;-;" + kHandle;
    chat.service = "iMessage";
    chat.participants = {kHandle};
    w->addChat(chat);
    static const char* words[] = {"see",  "you",    "at", "the",   "station", "tomorrow", "thanks",
                                  "for",  "dinner", "😀",  "on",    "my",      "way",      "running",
                                  "late", "call",   "me", "later", "ok",      "Grüße",    "日本語"};
    for (long long i = 1; i <= count; ++i) {
        kx::MessageRecord m;
        m.guid = "BENCH-EXPORT-" + std::to_string(i);
        m.chatGuid = chat.guid;
        m.handle = kHandle;
        m.service = "iMessage";
        std::string text;
        const int n = 4 + static_cast<int>((i * 7919) % 40);
        for (int k = 0; k < n; ++k) {
            if (k) text += ' ';
            text += words[(i + k * 31) % (sizeof words / sizeof *words)];
        }
        m.text = text;
        m.date = kx::fromUnixSeconds(1500000000.0 + static_cast<double>(i) * 60.0);
        m.isFromMe = i % 3 == 0;
        if (i % 25 == 0) {
            kx::AttachmentRecord a;
            a.guid = "ATT-" + m.guid;
            a.fileName = "IMG_" + std::to_string(i) + ".jpeg";
            a.mimeType = "image/jpeg";
            a.totalBytes = 200000 + i;
            a.state = kx::AttachmentFileState::missing;
            a.recordedPath = "~/Library/Messages/Attachments/" + *a.fileName;
            m.attachments.push_back(a);
        }
        w->addMessage(m, row, now);
        if (i % 50000 == 0) {
            w->commit();
            w->begin();
        }
    }
    w->commit();
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
    if (!std::filesystem::exists(archive)) buildArchive(archive.string(), count);
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
