#pragma once

// One command of a run (the export, the import, the archiver): its output
// goes to the observer's detail (the latest chunk of what each read of the
// runner brought), is judged as it comes (OutputWatch), and may be written to
// the run's log as it comes, so that no copy of an output of hundreds of
// megabytes is ever held.

#include "job/exe_cmd.h"
#include "job/export_texts.h"
#include "job/run_observer.h"
#include "platform/result.h"

#include <chrono>
#include <functional>
#include <string>

namespace veltrane {

// Told of a run's child as it starts (true) and once the run is done with it
// (false): the run's environment keeps it in Veltrane.state meanwhile.
using ChildWatch = std::function<void(pid_t pid, bool running)>;

class CommandStep final : private ExeCmdListener
{
public:
    // `limit`: the longest the command may run (zero: no limit).
    CommandStep(RunObserver& observer, std::chrono::milliseconds limit, ChildWatch children = {});

    // Runs `commandLine`. With a `logPath`, the output is appended to that
    // file as it comes (at most about a second behind), in code page 949 as
    // the command wrote it, and a CR LF after its end; the log's fate is
    // LogStatus(). The runner keeps only the output's tail. The output is
    // judged (`watch`) and shown (the observer's detail) as it comes, a
    // gathering of chunks at a time: what one read of the runner brought,
    // at most a log slice.
    CommandResult Run(const std::string& commandLine, OutputWatch& watch,
                      const std::string& logPath = {});

    // Whether the last run's log was written whole.
    const Status& LogStatus() const { return logStatus_; }

private:
    void ReceiveOutputs(std::string& CommandOutputs) override;
    void WaitingForOutputs(bool& bAbort) override;
    void ChildStarted(pid_t pid) override;
    void ChildEnded(pid_t pid) override;
    void ProcessAbort(bool& bAbort) override;
    void Flush();
    // Judges what gathered.
    void Judge();

    RunObserver& observer_;
    ChildWatch children_;
    CExeCmd runner_;
    OutputWatch* watch_ = nullptr;
    int logFd_ = -1;
    std::string logPath_;
    std::string pending_; // output not yet written (code page 949)
    std::chrono::steady_clock::time_point pendingSince_;
    std::string unjudged_; // output not yet judged (UTF-8)
    Status logStatus_;
};

// The tail an export's run keeps in memory: its output is judged as it
// comes and written to its log, so no more is needed.
inline constexpr std::size_t kKeptOutputBytes = 64 * 1024;

} // namespace veltrane
