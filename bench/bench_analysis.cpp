// Analysis benchmark: a generated Messages folder of N messages (default
// 200,000, an attachment every 7th) archived by the engine, then the coverage
// analysis and the deletion-safety analysis over it, each timed.
//
//   bench_analysis [messages] [work folder]      (a given work folder is kept afterwards)
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "core/contacts/contact_resolver.h"
#include "tests/fixtures/fixtures.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

double since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

long peakKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t messages = argc > 1 ? std::atoll(argv[1]) : 200000;
    const bool keep = argc > 2;
    const std::filesystem::path work = keep ? std::filesystem::path(argv[2])
                                            : std::filesystem::temp_directory_path() /
                                                  ("kx-bench-analysis-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);

    kx::fixtures::Options o;
    o.messages = messages;
    o.attachmentEvery = 7;
    o.reactionEvery = 10;
    auto t = std::chrono::steady_clock::now();
    const auto sum = kx::fixtures::writeMessagesFolder(work / "Messages", o);
    std::cout << "fixture: " << sum.messages << " messages, " << sum.attachmentsPresent << " attachment files, "
              << since(t) << " s\n";

    kx::SourceRegistry registry;
    kx::Source s;
    s.id = "mac";
    s.owner = "bench";
    s.path = (work / "Messages").string();
    s.lastScanned = kx::SystemClock().now();
    registry.add(s);
    const kx::TreskEngine engine(registry, (work / "Tresk").string(), kx::IngesterRegistry(kx::makeDefaultIngesters()),
                                 std::make_shared<kx::MapContactResolver>(), kx::FilterSet());
    t = std::chrono::steady_clock::now();
    kx::TreskEngine::RunOptions run;
    run.writeStatus = false;
    kx::TreskEngine(engine).run(run);
    std::cout << "archive run: " << since(t) << " s\n";

    t = std::chrono::steady_clock::now();
    const auto coverage = engine.coverage(kx::SystemClock().now());
    std::cout << "coverage: " << since(t) << " s, " << coverage.at(0).periods.size() << " periods, "
              << coverage.at(0).gaps.size() << " gaps\n";

    t = std::chrono::steady_clock::now();
    const auto report = engine.deletionSafety(false);
    const auto& r = report.sources.at(0);
    const double secs = since(t);
    std::cout << "deletion safety: " << secs << " s (" << static_cast<int64_t>(r.messagesRead / (secs > 0 ? secs : 1))
              << " messages/s), read " << r.messagesRead << ", in archive " << r.messagesInArchive << ", attachments "
              << r.hashVerifiedAttachments << "/" << r.attachments << " hash-verified, verdict "
              << static_cast<int>(r.verdict) << "\n";
    std::cout << "peak memory: " << peakKiB() / 1024 << " MiB\n";
    if (!keep) std::filesystem::remove_all(work);
    return 0;
}
