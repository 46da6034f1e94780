// Ingest benchmark: generated Messages databases archived by the engine, each
// figure printed beside its baseline, as the median of several runs; every run
// is printed too, as the machine may be shared.
//
//   bench_ingest [messages] [work folder]      (a given work folder is kept afterwards)
//   bench_ingest [messages] [work folder] first [runs]
//                                    (only the first ingests over 1,000 conversations;
//                                     a source of that many messages generated there earlier
//                                     is used again)
//   bench_ingest [messages] [work folder] added [runs]
//                                    (only the page-digest pass and the runs after 1,000
//                                     new messages, on the 3N-message source and archive
//                                     a full run left there; made first when missing)
//
// With N messages (default 1,000,000) it measures:
//   - a first ingest of N messages spread over 1,000 conversations (five runs)
//     and of N messages in one conversation, each against the sqlite3
//     command-line tool reading the same rows to /dev/null;
//   - on a source of 3N messages: the page-digest pass a later run makes over
//     the source database (its processor time against that of cat of the same
//     file to /dev/null, both with the file in the page cache), an unchanged
//     rerun (against the unchanged rerun of an N-message archive: it must not
//     grow with the archive), and a run after 1,000 new messages were added
//     (its wall time beside the unchanged rerun, its processor time against
//     cat's);
//   - the peak memory of every step, the load average, and the cores the engine
//     kept busy (processor time over wall time).
//
// Each step runs in its own child process, so the peak memory printed is that
// step's own (getrusage of the child).
#include "core/archive/ingesters.h"
#include "core/archive/page_digests.h"
#include "core/archive/tresk_engine.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "tests/fixtures/fixtures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace stdfs = std::filesystem;

struct Step {
    double seconds = 0;
    double cpuSeconds = 0;
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
    s.cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                   static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    s.peakKiB = ru.ru_maxrss;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

// The median of the runs taken, by wall time (its processor time the median
// of the runs' processor times).
struct Measure {
    std::vector<Step> runs;
    void add(const Step& s) { runs.push_back(s); }
    Step median() const {
        std::vector<Step> sorted = runs;
        std::sort(sorted.begin(), sorted.end(), [](const Step& a, const Step& b) { return a.seconds < b.seconds; });
        Step m = sorted[sorted.size() / 2];
        std::vector<double> cpu;
        for (const auto& r : runs) {
            cpu.push_back(r.cpuSeconds);
            m.peakKiB = std::max(m.peakKiB, r.peakKiB);
            if (r.status != 0) m.status = r.status;
        }
        std::sort(cpu.begin(), cpu.end());
        m.cpuSeconds = cpu[cpu.size() / 2];
        return m;
    }
    // "lowest-highest" of one figure over the runs.
    std::string spread(double Step::*figure) const {
        double lo = 1e300, hi = 0;
        for (const auto& r : runs) {
            lo = std::min(lo, r.*figure);
            hi = std::max(hi, r.*figure);
        }
        char text[64];
        std::snprintf(text, sizeof text, "%.2f-%.2f s", lo, hi);
        return text;
    }
};

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
    if (!report.errors.empty()) std::cerr << "engine: " << report.errors.front() << "\n";
    return report.succeeded() && report.errors.empty() ? 0 : 1;
}

Step sqliteBaseline(const std::string& folder) {
    const std::string sql =
        "SELECT m.ROWID, m.guid, m.text, m.attributedBody, m.handle_id, m.service, m.date, m.date_read, "
        "m.date_delivered, m.is_from_me, m.associated_message_guid, m.associated_message_type, "
        "cmj.chat_id FROM message m LEFT JOIN chat_message_join cmj ON cmj.message_id = m.ROWID ORDER BY m.ROWID;";
    const std::string cmd = "sqlite3 -readonly '" + folder + "/chat.db' \"" + sql + "\" > /dev/null";
    return inChild([&] { return std::system(cmd.c_str()) == 0 ? 0 : 1; });
}

Step generate(const std::string& folder, long long messages, int handles, int groups) {
    return inChild([&] {
        kx::fixtures::Options o;
        o.messages = messages;
        o.handles = handles;
        o.groupChats = groups;
        o.attachmentEvery = 0;
        kx::fixtures::writeMessagesFolder(folder, o);
        return 0;
    });
}

// One statement on a database (the generated source or a finished store);
// with `text`, the first column of the first row.
bool sqlOn(const std::string& db, const std::string& statement, std::string* text = nullptr) {
    sqlite3* h = nullptr;
    bool ok = sqlite3_open(db.c_str(), &h) == SQLITE_OK;
    sqlite3_stmt* st = nullptr;
    ok = ok && sqlite3_prepare_v2(h, statement.c_str(), -1, &st, nullptr) == SQLITE_OK;
    const int rc = ok ? sqlite3_step(st) : SQLITE_ERROR;
    ok = ok && (rc == SQLITE_DONE || rc == SQLITE_ROW);
    if (ok && text && rc == SQLITE_ROW && sqlite3_column_text(st, 0))
        *text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(h);
    return ok;
}

long overallPeakKiB = 0;
bool allOk = true;

void note(const Step& s) {
    overallPeakKiB = std::max(overallPeakKiB, s.peakKiB);
    if (s.status != 0) allOk = false;
}

const char* verdict(bool met) { return met ? "met" : "NOT MET"; }

// A figure's processor time against its baseline's: medians, with the range
// and number of runs.
void processorRow(const std::string& what, const Measure& m, const std::string& baseWhat, const Measure& base,
                  double most) {
    const Step s = m.median(), b = base.median();
    const double ratio = b.cpuSeconds > 0 ? s.cpuSeconds / b.cpuSeconds : 0.0;
    std::printf("%-46s %7.2f s processor  (%s, %zu runs)%s\n", what.c_str(), s.cpuSeconds,
                m.spread(&Step::cpuSeconds).c_str(), m.runs.size(), s.status == 0 ? "" : "  FAILED");
    std::printf("  %-44s %7.2f s processor  ratio %5.2fx  target <= %.1fx: %s  (%s, %zu runs)\n", baseWhat.c_str(),
                b.cpuSeconds, ratio, most, verdict(ratio <= most && s.status == 0 && b.status == 0),
                base.spread(&Step::cpuSeconds).c_str(), base.runs.size());
}

// A figure and its baseline: medians, with the range and number of runs.
void row(const std::string& what, const Measure& m, const std::string& baseWhat, const Measure& base,
         const std::string& target, bool met) {
    const Step s = m.median(), b = base.median();
    std::printf("%-46s %7.2f s  %4.1f cores  peak %6.1f MB  (%s, %zu runs)%s\n", what.c_str(), s.seconds,
                s.seconds > 0 ? s.cpuSeconds / s.seconds : 0.0, s.peakKiB / 1024.0, m.spread(&Step::seconds).c_str(),
                m.runs.size(), s.status == 0 ? "" : "  FAILED");
    std::printf("  %-44s %7.2f s  ratio %5.2fx  target %s: %s  (%s, %zu runs)\n", baseWhat.c_str(), b.seconds,
                b.seconds > 0 ? s.seconds / b.seconds : 0.0, target.c_str(), verdict(met),
                base.spread(&Step::seconds).c_str(), base.runs.size());
}

// The one-minute load average now, printed beside every run.
double loadNow() {
    double l[1] = {0};
    return ::getloadavg(l, 1) == 1 ? l[0] : 0.0;
}

void loadAverage(const char* when) {
    double l[3] = {0, 0, 0};
    if (::getloadavg(l, 3) == 3) std::printf("load average %s: %.2f %.2f %.2f\n", when, l[0], l[1], l[2]);
}

} // namespace

int main(int argc, char** argv) {
    const long long messages = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const long long large = 3 * messages;
    constexpr int kRuns = 3, kFirstRuns = 5;
    constexpr long long kAdded = 1000;
    const char* tmp = std::getenv("TMPDIR");
    const stdfs::path work = argc > 2 ? stdfs::path(argv[2])
                                      : stdfs::path(tmp && *tmp ? tmp : "/tmp") /
                                            ("kelvara-bench-" + std::to_string(::getpid()));
    const std::string mode = argc > 3 ? argv[3] : "";
    const bool firstOnly = mode == "first", addedOnly = mode == "added";
    const int modeRuns = argc > 4 ? std::max(1, std::atoi(argv[4])) : 0;
    const int firstRuns = firstOnly && modeRuns ? modeRuns : kFirstRuns;
    if (!firstOnly && !addedOnly) stdfs::remove_all(work);
    stdfs::create_directories(work);

    std::printf("Kelvara ingest benchmark: %lld and %lld messages in %s\n", messages, large, work.c_str());
    std::printf("%u cores on this machine; the engine runs a reader, a writer and a search indexer thread\n",
                std::thread::hardware_concurrency());
    loadAverage("at start");

    const std::string spread = (work / "Spread" / "Messages").string();
    const std::string single = (work / "Single" / "Messages").string();
    const std::string big = (work / "Large" / "Messages").string();
    const std::string bigDb = (stdfs::path(big) / "chat.db").string();
    const std::string largeRoot = (work / "Tresk-large").string();
    // Each run adds another 1,000 messages after the newest in the source.
    Measure largeAdded;
    auto runsAfterAdding = [&](int runs) {
        for (int k = 0; k < runs; ++k) {
            std::string newest;
            sqlOn(bigDb, "SELECT max(ROWID) FROM message", &newest);
            kx::fixtures::appendMessages(bigDb, std::atoll(newest.c_str()), kAdded);
            const Step s = inChild([&] { return runEngine(big, largeRoot); });
            note(s);
            largeAdded.add(s);
            std::printf("  run after %lld new messages %zu: %.2f s, %.2f s processor, load %.1f\n", kAdded,
                        largeAdded.runs.size(), s.seconds, s.cpuSeconds, loadNow());
        }
    };
    // The page-digest pass over the large source as a later run makes it, beside
    // cat reading the same file; the file is read once first so that both find
    // it in the page cache, and the two take turns.
    const std::string cat = "cat '" + bigDb + "' > /dev/null";
    Measure catPass, digestPass;
    auto digestPasses = [&](int runs) {
        (void)std::system(cat.c_str());
        for (int k = 0; k < runs; ++k) {
            const Step c = inChild([&] { return std::system(cat.c_str()) == 0 ? 0 : 1; });
            const Step d = inChild([&] { return kx::PageDigests::ofDatabase(bigDb).pageCount() > 0 ? 0 : 1; });
            note(d);
            catPass.add(c);
            digestPass.add(d);
            std::printf("  digest pass %d: cat %.2f s (%.2f s processor), digests %.2f s (%.2f s processor), "
                        "processor ratio %.2fx, load %.1f\n",
                        k + 1, c.seconds, c.cpuSeconds, d.seconds, d.cpuSeconds,
                        c.cpuSeconds > 0 ? d.cpuSeconds / c.cpuSeconds : 0.0, loadNow());
        }
    };
    auto processorRows = [&] {
        const std::string l = std::to_string(large);
        processorRow("page digests of the " + l + "-msg source", digestPass,
                     "cat of the same " + std::to_string(stdfs::file_size(bigDb) >> 20) + " MB", catPass, 1.5);
        processorRow("run after 1,000 new msgs, " + l + "-msg source", largeAdded, "cat of the source", catPass, 2.0);
    };
    if (addedOnly) {
        if (!stdfs::exists(bigDb)) {
            const Step g = generate(big, large, 8, 2);
            std::printf("generated %-60s %7.2f s\n", big.c_str(), g.seconds);
            if (g.status != 0) return 1;
            stdfs::remove_all(largeRoot);
        }
        if (!stdfs::exists(largeRoot)) {
            ::sync();
            const Step f = inChild([&] { return runEngine(big, largeRoot); });
            std::printf("  first ingest of the %lld-message source: %.2f s\n", large, f.seconds);
            if (f.status != 0) return 1;
        }
        const int runs = modeRuns ? modeRuns : kRuns;
        digestPasses(std::max(runs, kRuns));
        runsAfterAdding(runs);
        std::printf("\nmedians\n");
        processorRows();
        loadAverage("at end");
        return allOk ? 0 : 1;
    }
    for (const auto& [folder, handles, groups, count] :
         {std::tuple{spread, 990, 10, messages}, std::tuple{single, 1, 0, messages}, std::tuple{big, 8, 2, large}}) {
        if (firstOnly && folder != spread) continue;
        if (firstOnly && stdfs::exists(stdfs::path(folder) / "chat.db")) continue;
        const Step g = generate(folder, count, handles, groups);
        std::printf("generated %-60s %7.2f s\n", folder.c_str(), g.seconds);
        if (g.status != 0) return 1;
    }
    // The generated files go to the disk now, so that what is measured below
    // does not wait behind their writing (only the engine writes and syncs).
    const auto synced = std::chrono::steady_clock::now();
    ::sync();
    std::printf("written to the disk %58s %7.2f s\n", "",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - synced).count());

    // First ingests, each into a fresh archive, beside the sqlite3 tool.
    auto firstIngest = [&](const std::string& folder, const std::string& name, int runs, Measure& base,
                           Measure& first) {
        for (int k = 0; k < runs; ++k) {
            const std::string root = (work / ("Tresk-" + name)).string();
            stdfs::remove_all(root);
            const Step b = sqliteBaseline(folder);
            const Step f = inChild([&] {
                const int rc = runEngine(folder, root);
                // The engine writes on the calling thread, which is the one that
                // bounds the run: its own processor time.
                struct rusage own {};
                ::getrusage(RUSAGE_THREAD, &own);
                std::printf("  writer thread %.2f s processor\n",
                            static_cast<double>(own.ru_utime.tv_sec + own.ru_stime.tv_sec) +
                                static_cast<double>(own.ru_utime.tv_usec + own.ru_stime.tv_usec) / 1e6);
                return rc;
            });
            note(f);
            base.add(b);
            first.add(f);
            std::printf("  %s run %d: sqlite3 %.2f s, first ingest %.2f s (%.2f s processor), ratio %.2fx, load %.1f\n",
                        name.c_str(), k + 1, b.seconds, f.seconds, f.cpuSeconds,
                        b.seconds > 0 ? f.seconds / b.seconds : 0.0, loadNow());
        }
    };
    Measure spreadBase, spreadFirst, singleBase, singleFirst;
    firstIngest(spread, "spread", firstRuns, spreadBase, spreadFirst);
    if (firstOnly) {
        const Step sb = spreadBase.median(), sf = spreadFirst.median();
        row("first ingest, " + std::to_string(messages) + " msgs, 1,000 conversations", spreadFirst,
            "sqlite3 CLI reading the same rows", spreadBase, "<= 2.5x",
            sf.seconds <= 2.5 * sb.seconds && sf.status == 0);
        loadAverage("at end");
        return allOk ? 0 : 1;
    }
    firstIngest(single, "single", kRuns, singleBase, singleFirst);

    // Unchanged reruns at N (the spread archive left by the last first ingest) and 3N.
    Measure smallRerun, largeRerun;
    const std::string spreadRoot = (work / "Tresk-spread").string();
    for (int k = 0; k < kRuns; ++k) {
        const Step s = inChild([&] { return runEngine(spread, spreadRoot); });
        note(s);
        smallRerun.add(s);
        std::printf("  unchanged rerun %d of the %lld-message archive: %.2f s, %.2f s processor, load %.1f\n", k + 1,
                    messages, s.seconds, s.cpuSeconds, loadNow());
    }
    const Step largeFirst = inChild([&] { return runEngine(big, largeRoot); });
    note(largeFirst);
    std::printf("  first ingest of the %lld-message source: %.2f s\n", large, largeFirst.seconds);
    for (int k = 0; k < kRuns; ++k) {
        const Step s = inChild([&] { return runEngine(big, largeRoot); });
        note(s);
        largeRerun.add(s);
        std::printf("  unchanged rerun %d of the %lld-message archive: %.2f s, %.2f s processor, load %.1f\n", k + 1,
                    large, s.seconds, s.cpuSeconds, loadNow());
    }
    digestPasses(kFirstRuns);

    // Runs after new messages arrived: each adds another 1,000. Before the first,
    // the oldest message of the source is edited as well: that run must find it.
    sqlOn(bigDb, "UPDATE message SET text = 'edited long ago', date_edited = 4000000000000000000 WHERE ROWID = 1");
    runsAfterAdding(1);
    {
        std::string text;
        sqlOn((stdfs::path(largeRoot) / "bench" / "tresk.db").string(),
              "SELECT text FROM messages WHERE guid = '" + kx::fixtures::messageGuid(1) + "'", &text);
        const bool found = text == "edited long ago";
        if (!found) allOk = false;
        std::printf("  the edit to the oldest of %lld messages was found by that run: %s\n", large,
                    found ? "yes" : "NO");
    }
    runsAfterAdding(kRuns - 1);

    const Step sb = spreadBase.median(), sf = spreadFirst.median(), ob = singleBase.median(), of = singleFirst.median(),
               sr = smallRerun.median(), lr = largeRerun.median(), la = largeAdded.median();
    std::printf("\nmedians                                          wall      cores      peak\n");
    const std::string n = std::to_string(messages), l = std::to_string(large);
    row("first ingest, " + n + " msgs, 1,000 conversations", spreadFirst, "sqlite3 CLI reading the same rows",
        spreadBase, "<= 2.5x", sf.seconds <= 2.5 * sb.seconds && sf.status == 0);
    row("first ingest, " + n + " msgs, one conversation", singleFirst, "sqlite3 CLI reading the same rows", singleBase,
        "<= 3x", of.seconds <= 3 * ob.seconds && of.status == 0);
    row("run after 1,000 new msgs, " + l + "-msg source", largeAdded, "unchanged rerun, " + l, largeRerun, "<= 1.5 s",
        la.seconds <= 1.5 && la.status == 0);
    row("unchanged rerun, " + l + "-msg source", largeRerun, "unchanged rerun, " + n, smallRerun,
        "<= 0.5 s, not growing", lr.seconds <= 0.5 && lr.seconds <= 1.5 * sr.seconds + 0.05 && lr.status == 0);
    std::printf("%-48s %6.1f MB   target <= 128 MB: %s\n", "peak memory, any step above", overallPeakKiB / 1024.0,
                verdict(overallPeakKiB <= 128 * 1024));
    processorRows();
    loadAverage("at end");

    // What the reading screens ask of the finished store.
    if (sf.status == 0) {
        kx::TreskStore store((stdfs::path(spreadRoot) / "bench" / "tresk.db").string());
        auto time = [](const char* what, const std::function<size_t()>& f) {
            const auto t0 = std::chrono::steady_clock::now();
            const size_t count = f();
            std::printf("%-48s %7.1f ms  (%zu)\n", what,
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(),
                        count);
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
        std::printf("store size (%s messages): %.1f MB, search index %.1f MB\n", n.c_str(),
                    stdfs::file_size(stdfs::path(spreadRoot) / "bench" / "tresk.db") / (1024.0 * 1024.0),
                    stdfs::file_size(stdfs::path(spreadRoot) / "bench" / "search.db") / (1024.0 * 1024.0));
    }
    if (argc <= 2) stdfs::remove_all(work); // a folder given by hand is kept for a look
    return allOk ? 0 : 1;
}
