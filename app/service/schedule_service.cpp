#include "service/schedule_service.h"

#include "platform/program_folder.h"

#include <cmath>

namespace veltrane {

ScheduleService::ScheduleService(BackupHost& host, const Clock& clock, std::string dataFolder,
                                 std::string libraryFolder)
    : clock_(clock), settingsPath_(JoinPath(dataFolder, kSettingsFileName)), start_(clock.Now()),
      backup_(host, clock, std::move(dataFolder), std::move(libraryFolder)),
      launcher_(
          backup_.Table(), clock, [this](ScheduleRecord& r) { backup_.RunBackupJob(r); },
          [&host] { host.RefreshItemList(); })
{}

void ScheduleService::LoadSettings()
{
    Settings settings;
    std::vector<std::string> problems;
    veltrane::LoadSettings(settingsPath_, settings, problems);
    backup_.SetSettings(settings);
    for (const std::string& problem : problems)
        backup_.WriteLine(std::string(kSettingsFileName) + ": " + problem);
}

void ScheduleService::Tick()
{
    if (RunInProgress())
        return;
    if (!startedUp_)
        StartUp();
    CheckLastBackUpTimes();
    // Due times fall on whole minutes or later seconds of them: once a minute
    // is often enough, and keeps a long table's ticks cheap.
    if (const int minute = clock_.Now().minute; minute != overdueMinute_) {
        overdueMinute_ = minute;
        CheckOverdue();
    }
    launcher_.LaunchDueItems();
}

void ScheduleService::StartUp()
{
    startedUp_ = true;
    startingUp_ = true;
    struct Reset
    {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{startingUp_};
    backup_.ResumeInterruptedRuns();
    if (!backup_.CurrentSettings().runMissedBackups)
        return;
    const LocalDateTime now = clock_.Now();
    for (const std::shared_ptr<ScheduleRecord>& record : backup_.Table()) {
        if (record->bRunNow)
            continue;
        if (const std::optional<LocalDateTime> missed = MissedDueTime(*record, now)) {
            record->bRunNow = true;
            backup_.WriteLine(record->strServiceName + " 놓친 백업을 지금 실행합니다 (예정 " +
                              FormatDateTime(*missed) + ")");
        }
    }
}

void ScheduleService::CheckLastBackUpTimes()
{
    const std::int64_t now = SecondsOf(clock_.Now());
    for (const std::shared_ptr<ScheduleRecord>& record : backup_.Table()) {
        if (!record->bEnabled || record->strLastBackUpTime.empty())
            continue;
        const std::optional<LocalDateTime> last = ParseDateTime(record->strLastBackUpTime);
        const bool future = last && SecondsOf(*last) > now;
        if (future && !record->bFutureTimeReported)
            backup_.WriteLine(record->strServiceName + " Latest Back Time이 미래입니다 (" +
                              record->strLastBackUpTime +
                              "): 시계가 앞서 있었던 것으로 보고 일정대로 실행합니다");
        record->bFutureTimeReported = future;
    }
}

void ScheduleService::CheckOverdue()
{
    const double hours = backup_.CurrentSettings().overdueAlertHours;
    if (hours <= 0)
        return;
    const std::int64_t grace = std::llround(hours * 3600);
    const LocalDateTime now = clock_.Now();
    // Held by their pointers: an alert mails, and the mail yields.
    for (std::size_t i = 0; i < backup_.Table().size(); ++i) {
        std::shared_ptr<ScheduleRecord> record = backup_.Table()[i];
        if (record->bRunNow)
            continue;
        const std::optional<LocalDateTime> due = OverdueSince(*record, start_, now, grace);
        if (due && record->history.overdueAlertedFor != FormatDateTime(*due))
            backup_.AlertOverdue(*record, *due);
    }
}

} // namespace veltrane
