// The window thread's cost of showing each hostile banner page (tests/unit/hostile_banners.h): setting the
// document, laying it out, and laying it out again at half the width and back, as a resize does.
//   after/<page>:    through BannerView, which sanitizes the page first (its render budget switched off).
//   before/<page>:   the page as served, straight into a browser set up like the banner's, as the window
//                    showed it before the sanitizer. Each runs in a child process of its own, since some
//                    crash the layout or never finish it: a crash or --before-limit-s (10 s) without an
//                    answer is reported as the page's error.
//   sanitize/<page>: the sanitizer alone.
// The worst page of each kind and its time close the report. Runs on Qt's offscreen platform unless
// QT_QPA_PLATFORM says otherwise. --no-before leaves the child processes out.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QTextBrowser>
#include <QTextDocument>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/BannerSanitizer.h"
#include "app/BannerView.h"
#include "hostile_banners.h"

namespace {

using bannertest::HostilePage;

// The size of the main window's banner area.
constexpr int kWidth = 274;
constexpr int kHeight = 97;

int beforeLimitSeconds = 10;

struct Worst {
    std::string page;
    double ms = -1;
    std::string note;
};
std::map<std::string, Worst> worst;  // by kind: before, after, sanitize

void Record(const std::string& kind, const std::string& page, double ms, const std::string& note = {}) {
    Worst& w = worst[kind];
    // A page that crashed or never finished is worse than any time.
    const double rank = note.empty() ? ms : 1e12;
    const double held = w.note.empty() ? w.ms : 1e12;
    if (rank > held)
        w = Worst{page, ms, note};
}

// What the window did with a banner before: the page as it came, in a frameless browser of the banner's
// size, laid out whole and at another width.
double ShowRaw(const std::string& content) {
    QTextBrowser view;
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.document()->setDocumentMargin(0);
    view.resize(kWidth, kHeight);
    view.show();
    QElapsedTimer timer;
    timer.start();
    view.setHtml("<html><body style=\"margin: 0px; border: 0px;\">" +
                 QString::fromLocal8Bit(content.data(), static_cast<qsizetype>(content.size())) +
                 "</body></html>");
    QTextDocument* page = view.document();
    page->documentLayout()->documentSize();
    const qreal width = page->textWidth();
    page->setTextWidth(width / 2);
    page->documentLayout()->documentSize();
    page->setTextWidth(width);
    page->documentLayout()->documentSize();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Runs this program again to show page `index` raw; its milliseconds, or a note on how it failed.
double ShowRawInChild(size_t index, std::string& note) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        note = "no pipe";
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        const std::string arg = "--show-raw=" + std::to_string(index);
        execl("/proc/self/exe", "banner_bench", arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string answer;
    pollfd wait{pipeFds[0], POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(beforeLimitSeconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[64];
        const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        note = "still laying out after " + std::to_string(beforeLimitSeconds) + " s";
        return -1;
    }
    if (WIFSIGNALED(status)) {
        note = std::string("crashed: ") + strsignal(WTERMSIG(status));
        return -1;
    }
    if (answer.empty()) {
        note = "no answer";
        return -1;
    }
    return std::strtod(answer.c_str(), nullptr);
}

void BM_Before(benchmark::State& state, size_t index, const HostilePage& page) {
    for (auto _ : state) {
        std::string note;
        const double ms = ShowRawInChild(index, note);
        if (!note.empty()) {
            Record("before", page.name, ms, note);
            state.SkipWithError(note.c_str());
            break;
        }
        state.SetIterationTime(ms / 1000);
        Record("before", page.name, ms);
    }
}

void BM_After(benchmark::State& state, const HostilePage& page) {
    BannerView view("", 80);
    view.SetRenderBudgetMs(-1);
    view.resize(kWidth, kHeight);
    view.show();
    double most = 0;
    for (auto _ : state) {
        view.ShowBanner(page.html);
        most = std::max(most, view.LastRenderMs());
    }
    state.counters["worst_ms"] = most;
    Record("after", page.name, most);
}

void BM_Sanitize(benchmark::State& state, const HostilePage& page) {
    size_t bytes = 0;
    QElapsedTimer timer;
    double most = 0;
    for (auto _ : state) {
        timer.start();
        const std::string clean = BannerSanitizer::Clean(page.html);
        most = std::max(most, static_cast<double>(timer.nsecsElapsed()) / 1e6);
        bytes = clean.size();
        benchmark::DoNotOptimize(clean.data());
    }
    state.counters["out_bytes"] = static_cast<double>(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.html.size()));
    Record("sanitize", page.name, most);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::vector<HostilePage> pages = bannertest::HostilePages();
    bool before = true;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--show-raw=", 11) == 0) {
            // A child of ShowRawInChild: one page, its time on stdout.
            QApplication app(argc, argv);
            const size_t index = std::strtoul(argv[i] + 11, nullptr, 10);
            if (index >= pages.size())
                return 2;
            std::printf("%.3f\n", ShowRaw(pages[index].html));
            return 0;
        }
        if (std::strcmp(argv[i], "--no-before") == 0)
            before = false;
        else if (std::strncmp(argv[i], "--before-limit-s=", 17) == 0)
            beforeLimitSeconds = std::atoi(argv[i] + 17);
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    QApplication app(argc, argv);
    for (size_t i = 0; i < pages.size(); ++i) {
        const HostilePage& page = pages[i];
        benchmark::RegisterBenchmark(("sanitize/" + page.name).c_str(), BM_Sanitize, page)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("after/" + page.name).c_str(), BM_After, page)
            ->Unit(benchmark::kMillisecond);
        if (before)
            benchmark::RegisterBenchmark(("before/" + page.name).c_str(), BM_Before, i, page)
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime()
                ->Iterations(1);
    }
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nworst page (the window thread's time to show it, or how it failed):\n");
    for (const auto& [kind, w] : worst) {
        if (w.note.empty())
            std::printf("  %-8s %-20s %10.1f ms\n", kind.c_str(), w.page.c_str(), w.ms);
        else
            std::printf("  %-8s %-20s %s\n", kind.c_str(), w.page.c_str(), w.note.c_str());
    }
    return 0;
}
