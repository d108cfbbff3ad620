#include "job/command_step.h"

#include "platform/file_io.h"
#include "platform/process_tree.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace veltrane {
namespace {

// The log is written as the output comes: when this many bytes are waiting,
// when the output falls silent, and at the latest this long after the oldest
// byte not yet written, so an operator following it (and a later start
// judging it) is never more than a second behind the utility.
constexpr std::size_t kLogSlice = 64 * 1024;
constexpr std::chrono::milliseconds kLogDelay{1000};

} // namespace

CommandStep::CommandStep(RunObserver& observer, std::chrono::milliseconds limit,
                         ChildWatch children)
    : observer_(observer), children_(std::move(children)), runner_(this)
{
    runner_.TimeLimit(limit);
    runner_.KeepOutput(kKeptOutputBytes);
}

CommandResult CommandStep::Run(const std::string& commandLine, OutputWatch& watch,
                               const std::string& logPath)
{
    watch_ = &watch;
    logPath_ = logPath;
    logStatus_ = {};
    pending_.clear();
    unjudged_.clear();
    if (!logPath.empty()) {
        // The log was reserved as a regular file; whatever has taken its
        // place since (a link, a FIFO) is refused, never written through.
        const Result<int> opened = OpenRegularFile(logPath, O_WRONLY | O_CREAT | O_APPEND, 0660);
        logFd_ = opened ? *opened : -1;
        if (!opened)
            logStatus_ = Error{"Cannot write the log: " + opened.error().description,
                               "RunBackupJob", opened.error().code};
    }
    CommandResult result = runner_.ExecuteCommand(commandLine);
    Judge(); // what an abort left gathered
    Flush();
    // The program is ending and stopped this child: the run stops here, on
    // its own thread, with nothing recorded, and waits for the program's end
    // (Veltrane.state still owes the step, so the next start cleans up).
    while (posix::ProgramEnding())
        pause();
    watch.Finish();
    if (!logPath.empty()) {
        pending_ += "\r\n";
        Flush();
        if (logFd_ >= 0 && close(logFd_) != 0 && logStatus_)
            logStatus_ = SystemError("Cannot write the log " + logPath, "RunBackupJob", errno);
        logFd_ = -1;
    }
    watch_ = nullptr;
    return result;
}

void CommandStep::ReceiveOutputs(std::string& CommandOutputs)
{
    // Gathered chunk by chunk, and judged, shown and written a gathering at
    // a time: a chunk's own share of that work is small beside the calls
    // and searches it took each time.
    unjudged_ += CommandOutputs;
    // The log takes the bytes as the command wrote them: the chunks are
    // whole characters, so a slice of them is too.
    if (logFd_ >= 0 && logStatus_) {
        if (pending_.empty())
            pendingSince_ = std::chrono::steady_clock::now();
        pending_ += runner_.RawChunk();
    }
    if (runner_.MoreAtHand() && unjudged_.size() < kLogSlice && pending_.size() < kLogSlice)
        return;                       // the rest of this read follows at once
    observer_.Detail(CommandOutputs); // the latest chunk
    observer_.Idle();                 // a talkative command may never fall silent
    Judge();
    if (pending_.size() >= kLogSlice ||
        (!pending_.empty() && std::chrono::steady_clock::now() - pendingSince_ >= kLogDelay))
        Flush();
}

void CommandStep::Judge()
{
    if (watch_ != nullptr && !unjudged_.empty())
        watch_->Feed(unjudged_);
    unjudged_.clear();
}

void CommandStep::WaitingForOutputs(bool& bAbort)
{
    observer_.Idle();
    Judge(); // silent for a moment: what came is judged and written now
    Flush();
    ProcessAbort(bAbort);
}

void CommandStep::ProcessAbort(bool& bAbort)
{
    bAbort = bAbort || observer_.StopRequested();
}

void CommandStep::ChildStarted(pid_t pid)
{
    if (children_)
        children_(pid, true);
}

void CommandStep::ChildEnded(pid_t pid)
{
    if (children_)
        children_(pid, false);
}

void CommandStep::Flush()
{
    if (logFd_ >= 0 && logStatus_ && !pending_.empty() && !WriteAll(logFd_, pending_))
        logStatus_ = SystemError("Cannot write the log " + logPath_, "RunBackupJob", errno);
    pending_.clear();
}

} // namespace veltrane
