// The item list's refresh at the table's limit: 32767 rows, every row with
// its "Next Run" cell and colour, in the real main window (offscreen). Beside
// it, the "Next Run" computation alone for the same items, to show its share;
// the minute's refresh of the cells that follow the clock; and what the
// window does for one run (its row marked when it starts, shown anew when it
// ends), against the whole rebuild that every run used to cost, measured in
// the same rounds.

#include "platform/clock.h"
#include "schedule/due_rules.h"
#include "support/quiet_tray.h"
#include "window/item_rows.h"
#include "window/system_main.h"

#include <QApplication>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

using namespace veltrane;
using Steady = std::chrono::steady_clock;

namespace {

struct FixedClock final : Clock
{
    LocalDateTime Now() const override { return *ParseDateTime("2026-12-08 10:17:42"); }
};

// Every kind, run and never run, enabled and not.
ScheduleTable Filled()
{
    ScheduleTable table;
    const char* kinds[] = {"매일", "매주", "매달", "매시간"};
    const char* weekdays[] = {"일", "월", "화", "수", "목", "금", "토"};
    for (std::size_t i = 0; i < kMaxScheduleRecords; ++i) {
        auto r = std::make_shared<ScheduleRecord>();
        r->nNo = static_cast<std::int32_t>(i + 1);
        r->bEnabled = i % 5 != 0;
        r->strBackUpType = kinds[i % 4];
        r->strWeek = weekdays[i % 7];
        r->nDay = static_cast<std::int16_t>(1 + i % 30);
        char time[16];
        std::snprintf(time, sizeof time, "%02zu:30:00", i % 24);
        r->strTime = time;
        r->strServiceName = "ORCL" + std::to_string(i);
        r->strID = "SCOTT";
        r->strBackUpFolder = "/backup/oracle/";
        r->strProgramPath = "/opt/oracle/bin/exp";
        if (i % 3 != 0) {
            char last[32];
            std::snprintf(last, sizeof last, "2026-12-%02zu 02:00:00", 1 + i % 7);
            r->strLastBackUpTime = last;
        }
        table.push_back(r);
    }
    return table;
}

double Milliseconds(Steady::time_point start)
{
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::string folder = std::filesystem::temp_directory_path() / "veltrane-list-bench";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(folder + "/Schedule.dat");

    FixedClock clock;
    test::QuietTray tray;
    SystemMain window(clock, folder, &tray);
    // Only the refresh is measured: no launch pass runs the items meanwhile.
    window.tm_Clock.stop();
    window.tmScheduleLaunch.stop();
    window.Service().SetTable(Filled());
    window.show();

    std::vector<double> nextRun, refresh, run, minute, pass;
    std::size_t due = 0;
    const ScheduleTable& table = window.Service().Table();
    for (int round = 0; round < rounds; ++round) {
        auto start = Steady::now();
        due = 0;
        for (const auto& record : window.Service().Table())
            due += NextDueTime(*record, clock.Now()).has_value();
        nextRun.push_back(Milliseconds(start));

        // The launch pass's choice over the same table, as the service's
        // tick makes it.
        start = Steady::now();
        const std::size_t chosen = DueItems(table, clock.Now()).size();
        pass.push_back(Milliseconds(start));
        static_cast<void>(chosen);

        start = Steady::now();
        window.RefreshItemList();
        QApplication::processEvents();
        refresh.push_back(Milliseconds(start));

        start = Steady::now();
        window.Rows().UpdateTimes();
        QApplication::processEvents();
        minute.push_back(Milliseconds(start));

        // One run of an item in the middle of the list: its start and its
        // end (a success recorded), as the scheduler tells them.
        const std::shared_ptr<ScheduleRecord>& record =
            table[(table.size() / 2 + round) % table.size()];
        start = Steady::now();
        window.Rows().SetRunning(record.get());
        QApplication::processEvents();
        record->strLastBackUpTime = "2026-12-08 10:17:42";
        record->history.lastRunTime = record->strLastBackUpTime;
        record->history.lastRunSucceeded = round % 2 == 0;
        window.Rows().SetRunning(nullptr);
        window.TableChanged(record.get());
        QApplication::processEvents();
        run.push_back(Milliseconds(start));
    }
    const double refreshMs = Median(refresh);
    const double nextRunMs = Median(nextRun);
    const double runMs = Median(run);
    std::printf("rows %d, with a next run %zu\n", window.lvList->topLevelItemCount(), due);
    std::printf("Next Run computation alone: %.1f ms (median of %d)\n", nextRunMs, rounds);
    std::printf("list rebuild, Next Run included: %.1f ms (median of %d)\n", refreshMs, rounds);
    std::printf("rebuild / 200 ms target: %.2f; Next Run's share of the rebuild: %.2f\n",
                refreshMs / 200.0, nextRunMs / refreshMs);
    std::printf("one run's refresh (start and end): %.3f ms (median of %d); / rebuild: %.4f\n",
                runMs, rounds, runMs / refreshMs);
    std::printf("the launch pass's choice: %.3f ms; run's refresh / launch pass: %.2f, "
                "rebuild / launch pass: %.1f\n",
                Median(pass), runMs / Median(pass), refreshMs / Median(pass));
    std::printf("the minute's refresh of Next Run and colours: %.1f ms (median of %d)\n",
                Median(minute), rounds);
    std::filesystem::remove_all(folder);
    return 0;
}
