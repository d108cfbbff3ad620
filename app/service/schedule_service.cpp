#include "service/schedule_service.h"

#include "platform/program_folder.h"

#include <cmath>

namespace veltrane {

ScheduleService::ScheduleService(BackupHost& host, const Clock& clock, std::string dataFolder,
                                 std::string libraryFolder)
    : clock_(clock), settingsPath_(JoinPath(dataFolder, kSettingsFileName)),
      startSeconds_(SecondsOf(clock.Now())),
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
    if (!launcher_.RunInProgress())
        CheckOverdue();
    launcher_.LaunchDueItems();
}

void ScheduleService::CheckOverdue()
{
    const double hours = backup_.CurrentSettings().overdueAlertHours;
    if (hours <= 0)
        return;
    const std::int64_t grace = std::llround(hours * 3600);
    const std::int64_t now = SecondsOf(clock_.Now());
    // Held by their pointers: an alert mails, and the mail yields.
    for (std::size_t i = 0; i < backup_.Table().size(); ++i) {
        std::shared_ptr<ScheduleRecord> record = backup_.Table()[i];
        if (!record->bOverdueAlerted && IsOverdue(*record, now, startSeconds_, grace))
            backup_.AlertOverdue(*record);
    }
}

} // namespace veltrane
