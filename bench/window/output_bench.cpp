// A talkative export through the real main window (offscreen): a whole backup
// run of an item whose export utility prints N MiB, started by the window's
// launch tick and run on its worker thread, against the command runner alone
// reading the same output from the same program with a listener that does
// nothing. The runner's time is what reading and decoding cost; the rest of
// the run's time is what the run and the window add (panel 2 shown at most
// once per display interval, the output judged and written to the log as it
// comes).
//
// Usage: window_output_bench [MiB list=16,64] [rounds=3] [korean|english]

#include "job/command_step.h"
#include "job/exe_cmd.h"
#include "platform/clock.h"
#include "run_bench_support.h"
#include "window/system_main.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QStatusBar>
#include <cstdio>
#include <sstream>
#include <sys/resource.h>

using namespace veltrane;
using namespace veltrane::bench;
using Steady = std::chrono::steady_clock;

namespace {

// Counts what it is handed, and does nothing else with it.
struct Quiet : ExeCmdListener
{
    std::size_t bytes = 0;
    void ReceiveOutputs(std::string& chunk) override { bytes += chunk.size(); }
};

// Counts the paints of one widget.
struct PaintCounter : QObject
{
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

double Seconds(Steady::time_point start)
{
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// CPU time of this process so far (the stand-in export's is not counted).
double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Figures
{
    std::vector<double> runner, window, runnerCpu, windowCpu, paintsPerSecond;
};

} // namespace

int main(int argc, char** argv)
{
    if (int code = 0; StandInExport(argc, argv, code))
        return code;
    UseOffscreenUnlessSet();
    QApplication app(argc, argv);

    std::vector<long long> sizes;
    {
        std::istringstream list(argc > 1 ? argv[1] : "16,64");
        for (std::string n; std::getline(list, n, ',');)
            sizes.push_back(std::atoll(n.c_str()));
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string content = argc > 3 ? argv[3] : "korean";
    const std::string self = SelfPath();

    ScratchFolder folder("/tmp");
    if (folder.path().empty())
        return 1;
    SystemClock clock;
    NoTray tray;
    SystemMain window(clock, folder.path(), &tray);
    window.show();
    QApplication::processEvents();
    PaintCounter counter;
    window.statusBar()->findChildren<QLabel*>().at(1)->installEventFilter(&counter);

    auto record = std::make_shared<ScheduleRecord>();
    record->nNo = 1;
    record->strServiceName = "ORCL";
    record->strID = "SCOTT";
    record->strPWD = "tiger";
    record->strBackUpFolder = folder.path() + "/";
    record->strProgramPath = self;
    window.Service().SetTable({record});
    const std::string dump = folder.path() + "/runner.DMP";

    std::vector<Figures> figures(sizes.size());
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        for (std::size_t s = 0; s < sizes.size() && ok; ++s) {
            const long long bytes = sizes[s] * 1024 * 1024;
            record->strExecutionOption = StandInOption(bytes, content, 0, 0);

            Quiet quiet;
            CExeCmd runner(&quiet);
            runner.KeepOutput(kKeptOutputBytes); // as a run keeps it
            double cpu = CpuSeconds();
            auto start = Steady::now();
            runner.ExecuteCommand(self + " SCOTT/tiger@ORCL File=" + dump + " " +
                                  record->strExecutionOption);
            const std::size_t got = quiet.bytes;
            figures[s].runner.push_back(Seconds(start));
            figures[s].runnerCpu.push_back(CpuSeconds() - cpu);

            counter.paints = 0;
            cpu = CpuSeconds();
            start = Steady::now();
            record->bEnabled = true;
            record->bRunNow = true;
            window.LaunchTick();
            while (window.Service().RunInProgress())
                QApplication::processEvents(QEventLoop::WaitForMoreEvents);
            const double seconds = Seconds(start);
            figures[s].windowCpu.push_back(CpuSeconds() - cpu);
            figures[s].window.push_back(seconds);
            figures[s].paintsPerSecond.push_back(counter.paints / seconds);

            // Each run judged the same output a success and left its files.
            const bool succeeded = !record->strLastBackUpTime.empty();
            const bool sameItem =
                !window.Service().Table().empty() && window.Service().Table().front() == record;
            ok = got > static_cast<std::size_t>(bytes) && succeeded;
            if (!ok)
                std::fprintf(stderr, "round %d, %lld MiB: runner read %zu bytes, run %s (%s)%s\n",
                             round, sizes[s], got, succeeded ? "succeeded" : "failed",
                             record->history.lastCause.c_str(),
                             sameItem ? "" : ", the item was read anew");
            record->strLastBackUpTime.clear();
            std::system(("rm -rf '" + folder.path() + "/ORCL' '" + dump + "'").c_str());
        }
    }
    if (!ok)
        return 1;

    std::printf("output: %s export lines, %d rounds, medians; load average %.2f\n",
                content == "korean" ? "English and Korean" : "English", rounds, LoadAverage());
    std::printf("%6s %10s %10s %14s %15s\n", "MiB", "runner s", "window s", "window/runner",
                "panel paints/s");
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        const double r = Median(figures[s].runner);
        const double w = Median(figures[s].window);
        std::printf("%6lld %10.3f %10.3f %14.2f %15.1f\n", sizes[s], r, w, w / r,
                    Median(figures[s].paintsPerSecond));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory of this process: %.0f MiB\n",
                static_cast<double>(usage.ru_maxrss) / 1024);
    std::printf("CPU time of this process (the stand-in export's not counted):\n");
    for (std::size_t s = 0; s < sizes.size(); ++s) {
        const double r = Median(figures[s].runnerCpu);
        const double w = Median(figures[s].windowCpu);
        std::printf("%6lld %10.3f %10.3f %14.2f\n", sizes[s], r, w, w / r);
    }
    for (std::size_t s = 1; s < sizes.size(); ++s)
        std::printf("%lld MiB / %lld MiB (size ratio %.2f): window time %.2f, window CPU %.2f, "
                    "runner time %.2f\n",
                    sizes[s], sizes[0],
                    static_cast<double>(sizes[s]) / static_cast<double>(sizes[0]),
                    Median(figures[s].window) / Median(figures[0].window),
                    Median(figures[s].windowCpu) / Median(figures[0].windowCpu),
                    Median(figures[s].runner) / Median(figures[0].runner));
    return 0;
}
