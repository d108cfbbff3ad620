#include "job/exe_cmd.h"

#include "job/ansi_text.h"
#include "job/command_line.h"
#include "platform/child_process.h"
#include "platform/codepage.h"
#include "platform/process_tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace veltrane {
namespace {

std::string Decode(const unsigned char* bytes, std::size_t size)
{
    return cp949::ToUtf8(std::string_view(reinterpret_cast<const char*>(bytes), size));
}

// The runner owns the read end and the child only within one call; this
// releases both on every way out of the call. A run broken off by an exception
// (from a listener) leaves no child behind: what is still running is killed
// at once. The child is unregistered before it is reaped, so the registry
// never names a pid that is free for reuse.
class RunResources
{
public:
    RunResources(int readFd, pid_t pid) : readFd_(readFd), pid_(pid)
    {
        posix::RegisterRunningChild(pid);
    }
    ~RunResources()
    {
        close(readFd_);
        if (!finished_) {
            try {
                posix::StopChildTree(pid_, true, 0, {});
            } catch (const std::exception&) {
                kill(-pid_, SIGKILL); // no memory to look further: its group at least
            }
        }
        posix::UnregisterRunningChild(pid_);
        posix::ReapChild(pid_);
    }
    RunResources(const RunResources&) = delete;
    RunResources& operator=(const RunResources&) = delete;

    // The child and what it started have ended, or been stopped.
    void Finished() { finished_ = true; }

private:
    int readFd_;
    pid_t pid_;
    bool finished_ = false;
};

} // namespace

CExeCmd::CExeCmd(ExeCmdListener* listener) : listener_(listener) {}

CommandResult CExeCmd::ExecuteCommand(const std::string& commandLine)
{
    CommandResult result;
    if (!commandLine.empty())
        commandLine_ = commandLine;
    if (commandLine_.empty()) {
        result.failure = "Command Line empty";
        return result;
    }

    // A limit longer than the clock can count (a century, an operator's way
    // of saying "none") is no limit, rather than a deadline that wrapped around.
    std::optional<Steady::time_point> deadline;
    if (timeLimit_.count() > 0 && timeLimit_ < std::chrono::hours(24 * 365 * 100))
        deadline = Steady::now() + timeLimit_;
    const std::vector<std::string> arguments = SplitCommandLine(commandLine_);
    int fds[2];
    if (const int error = posix::MakeOutputPipe(fds); error != 0) {
        result.failure = "CreatePipe failed. Error: " + std::to_string(error);
        return result;
    }

    pid_t pid = -1;
    int spawnError = ENOMEM;
    try {
        spawnError = posix::SpawnHidden(arguments, fds[1], pid, inputPath_);
    } catch (const std::bad_alloc&) {
        // reported below like any other start that failed
    }
    // The child has its own copy of the write end; closing ours lets the read
    // end report the end once the child and everything it started close theirs.
    close(fds[1]);
    if (spawnError != 0) {
        close(fds[0]);
        result.failure = "File or command not found";
        return result;
    }
    result.started = true;

    RunResources resources(fds[0], pid);
    if (listener_ != nullptr)
        listener_->ChildStarted(pid);
    // Reads never block: a silent child is waited for in slices, between
    // which the listener gets its chance to serve the program.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    outputs_.clear();
    bool bAbort = false;
    Ending ending = ReadUntilEnd(fds[0], deadline, bAbort);
    if (ending == Ending::OutputEnded)
        ending = WaitForExit(pid, deadline, bAbort, result.exitCode);

    // Whatever ended the run, what the child started must not outlive it.
    if (ending == Ending::Aborted)
        kill(pid, SIGKILL);
    result.timedOut = ending == Ending::TimedOut;
    result.strays =
        posix::StopChildTree(pid, result.timedOut, kStopGraceMilliseconds, [this, &bAbort] {
            if (listener_ != nullptr)
                listener_->WaitingForOutputs(bAbort);
        });
    if (ending != Ending::Exited)
        result.exitCode.reset();
    resources.Finished();
    if (listener_ != nullptr)
        listener_->ChildEnded(pid);
    return result;
}

CExeCmd::Ending CExeCmd::WaitForExit(pid_t pid, std::optional<Steady::time_point> deadline,
                                     bool& bAbort, std::optional<int>& exitCode)
{
    for (;;) {
        int slice = kWaitSliceMilliseconds;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Steady::now()).count();
            slice = static_cast<int>(std::clamp<long long>(left, 0, slice));
        }
        if (posix::AwaitChildEnd(pid, slice, exitCode))
            return Ending::Exited;
        if (deadline && Steady::now() >= *deadline)
            return Ending::TimedOut;
        if (listener_ != nullptr) {
            listener_->WaitingForOutputs(bAbort);
            if (bAbort)
                return Ending::Aborted;
        }
    }
}

CExeCmd::Ending CExeCmd::ReadUntilEnd(int readFd, std::optional<Steady::time_point> deadline,
                                      bool& bAbort)
{
    unsigned char buffer[kChunkBytes];
    std::size_t carried = 0; // a lead byte whose second byte is still to come
    std::vector<unsigned char> inbox(kReadBytes);
    std::size_t inboxAt = 0;
    std::size_t inboxEnd = 0;

    for (;;) {
        // The pipe is read in large pieces, handed out 256 bytes at a time:
        // the same chunks as reads of 256 bytes could give, for far fewer
        // system calls and wake-ups. The time limit is looked at before each
        // read: what one read brought is handed out in a moment.
        ssize_t got = 0;
        if (inboxAt == inboxEnd) {
            if (deadline && Steady::now() >= *deadline)
                return Ending::TimedOut;
            got = read(readFd, inbox.data(), inbox.size());
            inboxAt = 0;
            inboxEnd = got > 0 ? static_cast<std::size_t>(got) : 0;
        }
        if (inboxAt < inboxEnd) {
            const std::size_t n = std::min(kChunkBytes - carried, inboxEnd - inboxAt);
            std::memcpy(buffer + carried, inbox.data() + inboxAt, n);
            inboxAt += n;
            got = static_cast<ssize_t>(n);
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait{readFd, POLLIN, 0};
            const int ready = poll(&wait, 1, kWaitSliceMilliseconds);
            if (ready == 0 && listener_ != nullptr) {
                listener_->WaitingForOutputs(bAbort);
                if (bAbort)
                    return Ending::Aborted;
            }
            if (ready >= 0 || errno == EINTR)
                continue;
            // poll itself failed: nothing more can be read, end as at the end.
        }

        if (got <= 0) {
            // The end of the output (or a read error, which ends it the same way).
            const std::string_view rest(reinterpret_cast<const char*>(buffer), carried);
            if (carried != 0 && Deliver(Decode(buffer, carried), rest, false, bAbort))
                return Ending::Aborted;
            return Deliver(std::string(), {}, false, bAbort) ? Ending::Aborted
                                                             : Ending::OutputEnded;
        }

        const std::size_t total = carried + static_cast<std::size_t>(got);
        const std::size_t whole = CompleteCharacterBytes(buffer, total);
        std::string decoded = Decode(buffer, whole);
        if (whole == 0) {
            carried = total;
            continue; // only a lead byte arrived: nothing whole to hand out yet
        }
        KeepAnsiMidBytes(decoded, 1, static_cast<long>(whole));
        // More follows at once when what is left of the read makes a whole
        // character at least (with the lead byte held back, if any).
        const std::size_t left = inboxEnd - inboxAt;
        const bool more =
            left >= 2 || (left == 1 && (total - whole != 0 || !cp949::IsLeadByte(inbox[inboxAt])));
        const bool aborted =
            Deliver(std::move(decoded),
                    std::string_view(reinterpret_cast<const char*>(buffer), whole), more, bAbort);
        // The lead byte held back starts the next chunk (moved only once the
        // listener is done with this chunk's bytes).
        carried = total - whole;
        if (carried != 0)
            buffer[0] = buffer[whole];
        if (aborted)
            return Ending::Aborted;
    }
}

bool CExeCmd::Deliver(std::string chunk, std::string_view raw, bool more, bool& bAbort)
{
    outputs_ += chunk;
    // Only the tail is kept; cut seldom (at twice the tail) and between
    // characters, so the cost stays small whatever the output's size.
    if (keepBytes_ != std::string::npos && outputs_.size() > 2 * keepBytes_ + kChunkBytes) {
        std::size_t cut = outputs_.size() - keepBytes_;
        while (cut < outputs_.size() &&
               (static_cast<unsigned char>(outputs_[cut]) & 0xC0u) == 0x80u)
            ++cut;
        outputs_.erase(0, cut);
    }
    if (listener_ == nullptr)
        return false;
    rawChunk_ = raw;
    moreAtHand_ = more;
    listener_->ReceiveOutputs(chunk);
    rawChunk_ = {};
    listener_->ProcessAbort(bAbort);
    return bAbort;
}

} // namespace veltrane
