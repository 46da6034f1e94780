// Screens benchmark: how long the sources and coverage screens take to build
// and to paint for the first time, and how long one scroll step takes.
//
//  - Sources: N registered sources (default 500), each with a deletion verdict
//    (every third expanded-worthy, with reasons), duplicate findings for a
//    fifth of them and identical groups.
//  - Coverage: M owners (default 10), each with 20 years of history and G gaps
//    (default 300).
//
//   bench_screens [sources] [owners] [gaps]
//
// Runs on the offscreen platform with a private home folder, so nothing of the
// user's is read or written. A plain window is shown and painted first, as the
// main window always is before a screen is built, so the figures do not carry
// the process's first-window costs (fonts, the symbol renderer, the backing
// store).
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/ui/symbols.h"
#include "sources/coverage_view.h"
#include "sources/sources_view.h"
#include "tests/sources/coverage_samples.h"
#include "tests/support/model_test_access.h"

#include <QApplication>
#include <QListView>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace {

// Wall time and the GUI thread's own CPU time: on a busy machine the wall time
// includes waiting for a core, the CPU time is what the screen itself costs.
struct Stopwatch {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = threadCpuMs();
    static double threadCpuMs() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    }
    struct Reading {
        double wall = 0;
        double cpu = 0;
    };
    Reading lap() {
        const auto now = std::chrono::steady_clock::now();
        const double c = threadCpuMs();
        Reading r{std::chrono::duration<double, std::milli>(now - wall).count(), c - cpu};
        wall = now;
        cpu = c;
        return r;
    }
};

struct Figures {
    Stopwatch::Reading build;
    Stopwatch::Reading firstPaint;
    Stopwatch::Reading scrollStep;
};

// Builds a screen in a window, paints it once, then scrolls `bar` through its
// range in steps, painting each.
template <typename Make>
Figures measure(Make make, const std::function<QScrollBar*(QWidget*)>& scrollBarOf) {
    Figures f;
    auto window = std::make_unique<QWidget>();
    window->resize(900, 720);
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    Stopwatch watch;
    QWidget* screen = make(window.get());
    layout->addWidget(screen);
    window->show();
    QCoreApplication::processEvents();
    f.build = watch.lap();
    const QPixmap first = window->grab();
    f.firstPaint = watch.lap();
    (void)first;

    QScrollBar* bar = scrollBarOf(screen);
    if (bar && bar->maximum() > 0) {
        const int steps = 60;
        watch.lap();
        for (int i = 1; i <= steps; ++i) {
            bar->setValue(bar->maximum() * i / steps);
            QCoreApplication::processEvents();
            const QPixmap frame = window->grab();
            (void)frame;
        }
        f.scrollStep = watch.lap();
        f.scrollStep.wall /= steps;
        f.scrollStep.cpu /= steps;
    }
    return f;
}

void print(const char* what, const Figures& f) {
    auto both = [](double wall, double cpu) {
        return std::to_string(static_cast<int>(wall + 0.5)) + " ms (CPU " +
               std::to_string(static_cast<int>(cpu + 0.5)) + " ms)";
    };
    std::cout << what << ": build " << both(f.build.wall, f.build.cpu) << ", first paint "
              << both(f.firstPaint.wall, f.firstPaint.cpu) << ", build + first paint "
              << both(f.build.wall + f.firstPaint.wall, f.build.cpu + f.firstPaint.cpu)
              << ", one scroll step with a full repaint " << both(f.scrollStep.wall, f.scrollStep.cpu) << "\n";
}

} // namespace

int main(int argc, char** argv) {
    const int sourceCount = argc > 1 ? std::atoi(argv[1]) : 500;
    const int owners = argc > 2 ? std::atoi(argv[2]) : 10;
    const int gaps = argc > 3 ? std::atoi(argv[3]) : 300;

    const auto home = std::filesystem::temp_directory_path() / ("kx-bench-screens-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home / "sources");
    for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        setenv(var, home.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kelvara");

    {
        // The main window with its sidebar of symbols is up before any screen.
        QWidget warm;
        warm.resize(900, 720);
        auto* sidebar = new QVBoxLayout(&warm);
        for (const char* symbol : {"tray.full", "chart.bar.xaxis", "magnifyingglass"}) {
            auto* row = new QPushButton(symbolIcon(QString::fromLatin1(symbol)), QString::fromLatin1(symbol), &warm);
            sidebar->addWidget(row);
        }
        warm.show();
        QCoreApplication::processEvents();
        (void)warm.grab();
    }
    {
        AppModel model;
        const kx::Date now = model.clock().now();

        // ---- Sources ----
        kx::DeletionSafetyReport report;
        AnalysisModel::DuplicateFindings findings;
        AnalysisModel::IdenticalGroups groups;
        for (int i = 0; i < sourceCount; ++i) {
            const std::string id = "source-" + std::to_string(i);
            const auto folder = home / "sources" / id;
            if (i % 4 != 1) std::filesystem::create_directories(folder); // every fourth is unreachable
            kx::Source s;
            s.id = id;
            s.owner = "owner-" + std::to_string(i % 7);
            s.path = folder.string();
            s.label = i % 2 ? std::optional<std::string>("Old MacBook backup " + std::to_string(i)) : std::nullopt;
            if (i % 3) s.lastScanned = now - std::chrono::hours(i);
            model.mutableRegistry().add(s);
            kx::SourceDeletionReport r;
            r.sourceId = id;
            r.messagesRead = 10000 + i;
            r.messagesInArchive = 10000 + i;
            r.uniqueMessages = i % 5;
            r.verdict = static_cast<kx::SourceDeletionReport::Verdict>(i % 3);
            r.reasons = {"12 messages in this source are not in the archive.", "An attachment differs in size."};
            report.sources.push_back(r);
            if (i % 5 == 0 && i + 1 < sourceCount) {
                findings[id] = {id, "identical", "source-" + std::to_string(i + 1), "Both hold the same messages."};
                groups.push_back({id, "source-" + std::to_string(i + 1)});
            }
        }
        emit model.registryChanged();
        ModelTestAccess::setDeletion(model.analysis(), report);
        ModelTestAccess::setDuplicates(model.analysis(), findings, groups);
        const Figures sources = measure(
            [&](QWidget* parent) { return new sources::SourcesView(model, parent); },
            [](QWidget* screen) { return static_cast<sources::SourcesView*>(screen)->list()->verticalScrollBar(); });
        std::cout << sourceCount << " sources, " << groups.size() << " identical groups\n";
        print("Sources screen", sources);

        // ---- Coverage ----
        AnalysisModel::Coverage coverage;
        for (int i = 0; i < owners; ++i)
            coverage.push_back(kx::test::sampleCoverage("owner-" + std::to_string(i), now, 20, gaps));
        ModelTestAccess::setCoverage(model.analysis(), coverage);
        const Figures cov = measure([&](QWidget* parent) { return new sources::CoverageView(model, parent); },
                                    [](QWidget* screen) {
                                        auto* area = screen->findChild<QScrollArea*>(QStringLiteral("coverageScroll"));
                                        return area ? area->verticalScrollBar() : nullptr;
                                    });
        std::cout << owners << " owners, 20 years, " << gaps << " gaps each\n";
        print("Coverage screen", cov);
    }
    std::filesystem::remove_all(home);
    return 0;
}
