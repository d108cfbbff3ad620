#include "cli/run_item_command.h"

#include "job/backup_run.h"
#include "platform/line_output.h"
#include "platform/single_instance.h"
#include "service/headless_service.h"
#include "service/schedule_service.h"
#include "store/schedule_table.h"

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace veltrane {
namespace {

// How long the last lines may take to reach a reader before the end.
constexpr std::chrono::seconds kLastLinesWait{10};

} // namespace

int RunItemCommand(const Clock& clock, const std::string& dataFolder,
                   const std::string& libraryFolder, int item)
{
    const std::string name = "항목 " + std::to_string(item);
    const auto refuse = [&](const std::string& why) {
        std::fprintf(stderr, "Veltrane: %s 실행 안 함: %s\n", name.c_str(), why.c_str());
        return 2;
    };
    SingleInstanceLock lock(dataFolder);
    if (!lock.Held())
        return refuse(lock.Error());

    LineOutput out(STDOUT_FILENO, clock);
    ServiceObserver observer(clock, out, name + " 실행 중단", 1);
    ScheduleService service(observer, clock, dataFolder, libraryFolder);
    observer.SetService(&service);
    // A schedule copied in during the run is the operator's, as in the
    // service: the run writes its result into it.
    service.KeepOutsideChanges(true);
    if (const Status loaded = service.LoadSchedule(); !loaded)
        return refuse(loaded.error().description);
    const ScheduleTable& table = service.Table();
    const std::shared_ptr<ScheduleRecord> record = FindFirstItem(table, item);
    if (record == nullptr)
        return refuse("Schedule.dat에 없습니다 (항목 " + std::to_string(table.size()) + "개)");
    service.LoadSettings();

    // What a killed run left, as a start of the service does it.
    service.Environment().ReportStateFile();
    service.ResumeInterruptedRuns();
    observer.EndIfSignalled();

    service.WriteLine(name + " 지금 실행: " + record->strServiceName + " (" + record->strID + ")");
    const RunOutcome outcome = service.RunBackupJob(*record);
    observer.EndIfSignalled();
    if (outcome.Succeeded())
        service.WriteLine(name + " 실행 결과: 성공");
    else if (!outcome.exported)
        service.WriteLine(name + " 실행 결과: 실패 (엑스포트)");
    else
        service.WriteLine(name + " 실행 결과: 실패 (" + StepWords(outcome.failedSteps) + ")");
    out.Flush(kLastLinesWait);
    return outcome.Succeeded() ? 0 : 1;
}

} // namespace veltrane
