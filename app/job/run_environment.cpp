#include "job/run_environment.h"

#include "platform/private_files.h"
#include "platform/process_info.h"
#include "platform/process_tree.h"
#include "platform/program_folder.h"
#include "platform/terminal_text.h"

namespace veltrane {
namespace {

// As long as the runner gives a child it stops.
constexpr int kLeftoverGraceMilliseconds = 10000;

} // namespace

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
        WriteLine(std::string(kRunStateFileName) + " 읽기 실패: " + loaded.error().description +
                  (state_.DamagedCopyKept()
                       ? std::string(" (옮겨 둠: ") + kRunStateFileName + kDamagedSuffix + ")"
                       : std::string()));
    else if (const std::size_t damaged = state_.DamagedLines(); damaged != 0)
        WriteLine(std::string(kRunStateFileName) + " 손상: 읽을 수 없는 줄 " +
                  std::to_string(damaged) + "개를 버리고 읽은 것은 유지합니다" +
                  (state_.DamagedCopyKept()
                       ? std::string(" (사본: ") + kRunStateFileName + kDamagedSuffix + ")"
                       : std::string(" (사본을 남기지 못함)")));
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
        if (stateFailed_.exchange(false))
            WriteLine(std::string(kRunStateFileName) + " 다시 기록함");
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

bool RunEnvironment::SetItem(std::size_t index, const ItemState& item)
{
    Status written;
    if (!state_.SetItem(index, item, written))
        return false;
    Reported(written);
    return true;
}

void RunEnvironment::RetryState()
{
    if (state_.Unwritten())
        Reported(state_.Retry());
}

Status RunEnvironment::RewriteState()
{
    const Status written = state_.Rewrite();
    Reported(written);
    return written;
}

void RunEnvironment::CompactState()
{
    Reported(state_.Compact());
}

void RunEnvironment::ChildStarted(pid_t pid)
{
    posix::ProcessInfo info;
    if (!posix::ReadProcess(pid, info))
        return; // gone already: nothing to stop later
    Reported(state_.AddChild({pid, info.start, info.name}));
}

void RunEnvironment::ChildEnded(pid_t pid)
{
    Reported(state_.RemoveChild(pid));
}

void RunEnvironment::StopLeftoverChildren()
{
    for (const ChildGroup& child : state_.Children()) {
        const std::vector<std::string> stopped = posix::StopLeftoverGroup(
            static_cast<pid_t>(child.group), child.start, kLeftoverGraceMilliseconds);
        if (!stopped.empty()) {
            std::string names;
            for (const std::string& name : stopped)
                names += (names.empty() ? "" : ", ") + name;
            WriteLine("이전 실행이 남긴 프로세스를 중지했습니다 (" + child.name + "): " + names);
        }
        Reported(state_.RemoveChild(child.group));
    }
}

} // namespace veltrane
