// Reading speed of the message-source readers, without the archive store.
//
//   bench_source_read [messages] [existing Messages folder]     (default 1,000,000)
//
// With a folder given, nothing is generated and that folder is read as it is.
//
// Generates a Messages folder with the fixture library, then prints side by side:
// the time to generate it, the sqlite3 command-line tool reading the same rows
// (baseline), and the folder reader delivering every message to a sink that only
// counts, plus a rerun with the cursor (nothing new) and the peak memory.
#include "core/archive/ingest_sources.h"
#include "tests/fixtures/fixtures.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

class CountingSink : public kx::IngestSink {
public:
    void chat(const kx::ChatRecord&) override { ++chats; }
    void message(kx::MessageRecord&& m) override {
        ++messages;
        bytes += m.text ? m.text->size() : 0;
        attachments += static_cast<long>(m.attachments.size());
    }
    void checkpoint(const kx::IngestCursor& c) override { cursor = c; }
    long chats = 0, messages = 0, attachments = 0;
    std::size_t bytes = 0;
    kx::IngestCursor cursor;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long peakKb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    namespace stdfs = std::filesystem;
    const stdfs::path dir = stdfs::temp_directory_path() / ("kelvara-bench-read-" + std::to_string(::getpid()));
    stdfs::create_directories(dir);

    kx::fixtures::Options o;
    o.messages = count;
    o.attachmentEvery = 49;
    auto t = std::chrono::steady_clock::now();
    const stdfs::path folder = argc > 2 ? stdfs::path(argv[2]) : dir / "Messages";
    kx::fixtures::Summary sum;
    if (argc > 2) sum.messages = count;
    else sum = kx::fixtures::writeMessagesFolder(folder, o);
    const double gen = seconds(t);
    const long peakAfterGeneration = peakKb();

    t = std::chrono::steady_clock::now();
    const std::string cmd = "sqlite3 -readonly '" + (folder / "chat.db").string() +
                            "' \"SELECT m.ROWID, m.guid, m.text, m.attributedBody, m.date, h.id FROM message m "
                            "LEFT JOIN handle h ON h.ROWID = m.handle_id ORDER BY m.ROWID\" > /dev/null";
    const int rc = std::system(cmd.c_str());
    const double baseline = seconds(t);

    kx::Source s;
    s.id = "bench";
    s.owner = "bench";
    s.path = folder.string();
    kx::MacOSMessagesFolderIngester reader;
    CountingSink sink;
    t = std::chrono::steady_clock::now();
    reader.ingest(s, {}, sink);
    const double first = seconds(t);

    CountingSink again;
    t = std::chrono::steady_clock::now();
    reader.ingest(s, sink.cursor, again);
    const double rerun = seconds(t);

    std::printf("messages in source            %ld (%ld attachments)\n", static_cast<long>(sum.messages),
                static_cast<long>(sum.attachments));
    std::printf("fixture generation            %8.2f s  (%9.0f messages/s)\n", gen, sum.messages / gen);
    std::printf("sqlite3 CLI baseline%s   %8.2f s  (%9.0f rows/s)\n", rc == 0 ? "         " : " (failed)", baseline,
                sum.messages / baseline);
    std::printf("reader, first read            %8.2f s  (%9.0f messages/s, %ld delivered)\n", first,
                sink.messages / first, sink.messages);
    std::printf("reader, rerun (nothing new)   %8.2f s  (%ld delivered)\n", rerun, again.messages);
    std::printf("peak memory after generating  %8.1f MB\n", peakAfterGeneration / 1024.0);
    std::printf("peak memory after reading     %8.1f MB\n", peakKb() / 1024.0);
    std::error_code ec;
    stdfs::remove_all(dir, ec);
    return 0;
}
