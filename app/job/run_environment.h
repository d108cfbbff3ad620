#pragma once

// What every backup run of one data folder shares: the clock, the data
// folder, the two libraries, the result lines with their history file, the
// record of unfinished runs and item histories (Veltrane.state), and the
// observer that shows what happens. A run may use it from a thread of its
// own while the table's owner uses it too: each part guards itself.

#include "job/run_observer.h"
#include "platform/clock.h"
#include "platform/library_binder.h"
#include "report/result_history.h"
#include "store/run_state.h"

#include <atomic>
#include <string>
#include <sys/types.h>

namespace veltrane {

inline constexpr const char* kMailLibraryFile = "libSendwick.so";
inline constexpr const char* kFtpLibraryFile = "libHoistline.so";
inline constexpr const char* kArchiverFile = "rar";

class RunEnvironment
{
public:
    // `dataFolder` holds Schedule.dat, SendResult.Log, Veltrane.log,
    // Veltrane.state and the archiver; relative backup folders and export
    // utility paths are taken from it. The libraries are looked for in
    // `libraryFolder` first (empty: the data folder), then by the system's
    // search. The program's files are closed to others from here on
    // (KeepFilesFromOthers).
    RunEnvironment(RunObserver& observer, const Clock& clock, std::string dataFolder,
                   std::string libraryFolder = {});

    RunObserver& Observer() { return observer_; }
    const Clock& clock() const { return clock_; }
    const std::string& DataFolder() const { return dataFolder_; }
    LibraryBinder& MailLibrary() { return mailLibrary_; }
    LibraryBinder& FtpLibrary() { return ftpLibrary_; }

    // Writes a result line "[yyyy-MM-dd hh:mm:ss] text" to the history file
    // Veltrane.log and hands it to the observer. A history that cannot be
    // written is said once, in a line of its own.
    void WriteLine(const std::string& text);

    // Veltrane.state. A file that cannot be read is said by ReportStateFile
    // (once the observer can show it), one that cannot be written once a
    // spell.
    void ReportStateFile();
    std::vector<PendingRun> Pending() { return state_.Pending(); }
    std::vector<ItemState> Items() { return state_.Items(); }
    void Owe(const PendingRun& run);
    void SetItems(std::vector<ItemState> items);
    // The item at `index` of those last set takes `item`'s history, in one
    // line; false when that is not the same item (set them whole then).
    bool SetItem(std::size_t index, const ItemState& item);
    // Writes what a failed write left in memory (at every tick); says in a
    // line when the file is written again.
    void RetryState();
    bool StateUnwritten() { return state_.Unwritten(); }
    // Whether Veltrane.state can be written now (it is written as it is).
    Status RewriteState();
    // Veltrane.state written whole when lines were appended to it.
    void CompactState();

    // A run's child, recorded in Veltrane.state while it runs, so that a
    // start after a kill of the program stops what is left of it.
    void ChildStarted(pid_t pid);
    void ChildEnded(pid_t pid);
    // What the program's last end left running of its runs' children: each
    // group still alive is stopped (SIGTERM, then SIGKILL), with a line,
    // before anything else is done.
    void StopLeftoverChildren();

private:
    void Reported(const Status& status);

    RunObserver& observer_;
    const Clock& clock_;
    std::string dataFolder_;
    ResultHistory history_;
    RunStateFile state_;
    LibraryBinder mailLibrary_;
    LibraryBinder ftpLibrary_;
    std::atomic<bool> historyFailed_{false};
    std::atomic<bool> stateFailed_{false};
};

} // namespace veltrane
