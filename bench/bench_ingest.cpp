// Ingest benchmark: a generated Messages database of N messages (default
// 1,000,000, no attachments) archived by the engine, then archived again
// unchanged; printed beside the sqlite3 command-line tool reading the same rows.
//
//   bench_ingest [messages] [work folder]      (a given work folder is kept afterwards)
//
// Each step runs in its own child process, so the peak memory printed is that
// step's own (getrusage of the child).
#include "core/archive/ingesters.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "tests/fixtures/fixtures.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Step {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

Step inChild(const std::function<int()>& body) {
    std::cout.flush();
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (const std::exception& e) {
            std::cerr << "failed: " << e.what() << "\n";
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    Step s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.peakKiB = ru.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

int runEngine(const std::string& folder, const std::string& root) {
    kx::SourceRegistry registry;
    kx::Source s;
    s.id = "bench";
    s.owner = "bench";
    s.path = folder;
    s.format = kx::SourceFormat::macosMessagesFolder;
    registry.add(s);
    kx::TreskEngine engine(registry, root, kx::IngesterRegistry(kx::makeDefaultIngesters()),
                           std::make_shared<kx::MapContactResolver>(), kx::FilterSet());
    kx::TreskEngine::RunOptions o;
    o.copyAttachments = false;
    const auto report = engine.run(o);
    std::cout << "    engine: " << report.uniqueMessages << " unique, " << report.newMessages << " new, "
              << report.errors.size() << " errors\n";
    return report.succeeded() ? 0 : 1;
}

void print(const char* what, const Step& s, long long messages) {
    std::printf("%-34s %9.2f s  %10.0f msgs/s  peak %7.1f MB  %s\n", what, s.seconds,
                s.seconds > 0 ? messages / s.seconds : 0.0, s.peakKiB / 1024.0, s.status == 0 ? "ok" : "FAILED");
}

} // namespace

int main(int argc, char** argv) {
    const long long messages = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path work = argc > 2 ? std::filesystem::path(argv[2])
                                                : std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
                                                      ("kelvara-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    const std::string folder = (work / "Messages").string();
    const std::string root = (work / "Tresk").string();

    std::printf("Kelvara ingest benchmark: %lld messages in %s\n", messages, work.c_str());
    const Step gen = inChild([&] {
        kx::fixtures::Options o;
        o.messages = messages;
        o.attachmentEvery = 0;
        kx::fixtures::writeMessagesFolder(folder, o);
        return 0;
    });
    std::printf("%-34s %9.2f s\n", "generate source database", gen.seconds);
    if (gen.status != 0) return 1;

    // Baseline: the sqlite3 tool reading the same rows the reader reads.
    const std::string sql =
        "SELECT m.ROWID, m.guid, m.text, m.attributedBody, m.handle_id, m.service, m.date, m.date_read, "
        "m.date_delivered, m.is_from_me, m.associated_message_guid, m.associated_message_type, "
        "cmj.chat_id FROM message m LEFT JOIN chat_message_join cmj ON cmj.message_id = m.ROWID ORDER BY m.ROWID;";
    const std::string cmd = "sqlite3 -readonly '" + folder + "/chat.db' \"" + sql + "\" > /dev/null";
    const Step baseline = inChild([&] { return std::system(cmd.c_str()) == 0 ? 0 : 1; });

    const Step first = inChild([&] { return runEngine(folder, root); });
    const Step rerun = inChild([&] { return runEngine(folder, root); });

    std::printf("\n");
    print("sqlite3 CLI reading the same rows", baseline, messages);
    print("first ingest (no attachments)", first, messages);
    print("rerun on the unchanged source", rerun, messages);
    std::printf("\ntargets: first ingest >= 50000 msgs/s, rerun < 2 s, peak < 256 MB\n");

    // What the reading screens ask of the finished store.
    if (first.status == 0) {
        kx::TreskStore store((work / "Tresk" / "bench" / "tresk.db").string());
        auto time = [](const char* what, const std::function<size_t()>& f) {
            const auto t0 = std::chrono::steady_clock::now();
            const size_t n = f();
            std::printf("%-34s %9.1f ms  (%zu)\n", what,
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(), n);
        };
        std::vector<kx::TreskStore::ConversationSummary> convs;
        time("conversation list", [&] {
            convs = store.conversations("bench");
            return convs.size();
        });
        if (!convs.empty()) {
            const auto& c = convs.front();
            time("newest page of 200 messages", [&] {
                return store.messages("bench", c.handle, 200, std::max<int64_t>(0, c.messageCount - 200)).size();
            });
            time("oldest page of 200 messages", [&] { return store.messages("bench", c.handle, 200, 0).size(); });
        }
        time("search \"train\" (first 200)",
             [&] { return store.search("train", "bench", std::nullopt, std::nullopt, std::nullopt, 200).size(); });
        time("search count \"train\"", [&] { return static_cast<size_t>(store.searchCount("train", "bench")); });
        time("search \"Message 4242\"", [&] {
            return store.search("Message 4242", "bench", std::nullopt, std::nullopt, std::nullopt, 200).size();
        });
    }
    std::printf("store size: %.1f MB, search index %.1f MB\n",
                std::filesystem::file_size(work / "Tresk" / "bench" / "tresk.db") / (1024.0 * 1024.0),
                std::filesystem::file_size(work / "Tresk" / "bench" / "search.db") / (1024.0 * 1024.0));
    if (argc <= 2) std::filesystem::remove_all(work); // a folder given by hand is kept for a look
    return first.status == 0 && rerun.status == 0 ? 0 : 1;
}
