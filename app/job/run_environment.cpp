#include "job/run_environment.h"

#include "platform/private_files.h"
#include "platform/program_folder.h"
#include "platform/terminal_text.h"

namespace veltrane {

RunEnvironment::RunEnvironment(RunObserver& observer, const Clock& clock, std::string dataFolder,
                               std::string libraryFolder)
    : observer_(observer), clock_(clock), dataFolder_(std::move(dataFolder)),
      history_(JoinPath(dataFolder_, kHistoryFileName)),
      state_(JoinPath(dataFolder_, kRunStateFileName)),
      mailLibrary_(kMailLibraryFile, libraryFolder.empty() ? dataFolder_ : libraryFolder),
      ftpLibrary_(kFtpLibraryFile, libraryFolder.empty() ? dataFolder_ : libraryFolder)
{
    KeepFilesFromOthers();
}

void RunEnvironment::ReportStateFile()
{
    if (const Status loaded = state_.Load(); !loaded)
        WriteLine(std::string(kRunStateFileName) + " 읽기 실패: " + loaded.error().description);
}

void RunEnvironment::WriteLine(const std::string& text)
{
    const std::string line = StampedLine(clock_.Now(), EscapeControlCharacters(text));
    observer_.Line(line);
    if (const Status kept = history_.Append(line); !kept && !historyFailed_.exchange(true))
        // Said once: the list still shows every line.
        observer_.Line(StampedLine(clock_.Now(), std::string(kHistoryFileName) +
                                                     " 기록 실패: " + kept.error().description));
}

void RunEnvironment::Reported(const Status& status)
{
    if (status) {
        stateFailed_ = false;
    } else if (!stateFailed_.exchange(true)) {
        // Said once per spell: runs go on without it, but a kill would leave
        // their steps undone, and histories would not outlive a restart.
        WriteLine(std::string(kRunStateFileName) + " 기록 실패: " + status.error().description);
    }
}

void RunEnvironment::Owe(const PendingRun& run)
{
    Reported(state_.Owe(run));
}

void RunEnvironment::SetItems(std::vector<ItemState> items)
{
    Reported(state_.SetItems(std::move(items)));
}

} // namespace veltrane
