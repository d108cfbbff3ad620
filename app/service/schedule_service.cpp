#include "service/schedule_service.h"

namespace veltrane {

ScheduleService::ScheduleService(BackupHost& host, const Clock& clock, std::string dataFolder,
                                 std::string libraryFolder)
    : backup_(host, clock, std::move(dataFolder), std::move(libraryFolder)),
      launcher_(
          backup_.Table(), clock, [this](ScheduleRecord& r) { backup_.RunBackupJob(r); },
          [&host] { host.RefreshItemList(); })
{}

} // namespace veltrane
