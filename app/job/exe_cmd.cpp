#include "job/exe_cmd.h"

#include "job/ansi_text.h"
#include "job/command_line.h"
#include "job/spawn.h"
#include "platform/codepage.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
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
// releases both on every way out of the call, an exception from a listener
// included.
class RunResources
{
public:
    RunResources(int readFd, pid_t pid) : readFd_(readFd), pid_(pid) {}
    ~RunResources()
    {
        close(readFd_);
        posix::ReapChild(pid_);
    }
    RunResources(const RunResources&) = delete;
    RunResources& operator=(const RunResources&) = delete;

private:
    int readFd_;
    pid_t pid_;
};

} // namespace

CExeCmd::CExeCmd(MessageSink& messages, ExeCmdListener* listener)
    : messages_(messages), listener_(listener)
{}

const std::string& CExeCmd::ExecuteCommand(const std::string& commandLine)
{
    static const std::string kNothing;
    if (!commandLine.empty())
        commandLine_ = commandLine;
    if (commandLine_.empty()) {
        messages_.ShowCritical("Command Line empty");
        return kNothing;
    }

    const std::vector<std::string> arguments = SplitCommandLine(commandLine_);
    int fds[2];
    if (const int error = posix::MakeOutputPipe(fds); error != 0) {
        messages_.ShowCritical("CreatePipe failed. Error: " + std::to_string(error));
        return kNothing;
    }

    pid_t pid = -1;
    int spawnError = ENOMEM;
    try {
        spawnError = posix::SpawnHidden(arguments, fds[1], pid);
    } catch (const std::bad_alloc&) {
        // reported below like any other start that failed
    }
    // The child has its own copy of the write end; closing ours lets the read
    // end report the end once the child and everything it started close theirs.
    close(fds[1]);
    if (spawnError != 0) {
        close(fds[0]);
        messages_.ShowCritical("File or command not found");
        return kNothing;
    }

    timedOut_ = false;
    RunResources resources(fds[0], pid);
    // Reads never block: a silent child is waited for in slices, between
    // which the listener gets its chance to keep the window alive.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    outputs_.clear();
    ReadUntilEnd(fds[0], pid);
    return outputs_;
}

void CExeCmd::ReadUntilEnd(int readFd, pid_t pid)
{
    bool bAbort = false;
    unsigned char buffer[kChunkBytes];
    std::size_t carried = 0; // a lead byte whose second byte is still to come
    std::vector<unsigned char> inbox(kReadBytes);
    std::size_t inboxAt = 0;
    std::size_t inboxEnd = 0;
    using Steady = std::chrono::steady_clock;
    const bool limited = timeLimit_.count() > 0;
    const Steady::time_point deadline = Steady::now() + timeLimit_;

    for (;;) {
        if (limited && Steady::now() >= deadline) {
            timedOut_ = true;
            posix::StopProcessGroup(pid, kStopGraceMilliseconds, [this, &bAbort] {
                if (listener_ != nullptr)
                    listener_->WaitingForOutputs(bAbort);
            });
            return;
        }
        // The pipe is read in large pieces, handed out 256 bytes at a time:
        // the same chunks as reads of 256 bytes could give, for far fewer
        // system calls and wake-ups.
        ssize_t got = 0;
        if (inboxAt == inboxEnd) {
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
                if (bAbort) {
                    kill(pid, SIGKILL);
                    return;
                }
            }
            if (ready >= 0 || errno == EINTR)
                continue;
            // poll itself failed: nothing more can be read, end as at the end.
        }

        if (got <= 0) {
            // The end of the output (or a read error, which ends it the same way).
            if (carried != 0 && Deliver(Decode(buffer, carried), bAbort)) {
                kill(pid, SIGKILL);
                return;
            }
            if (Deliver(std::string(), bAbort))
                kill(pid, SIGKILL);
            return;
        }

        const std::size_t total = carried + static_cast<std::size_t>(got);
        const std::size_t whole = CompleteCharacterBytes(buffer, total);
        std::string decoded = Decode(buffer, whole);
        carried = total - whole;
        if (carried != 0)
            buffer[0] = buffer[whole];
        if (whole == 0)
            continue; // only a lead byte arrived: nothing whole to hand out yet
        KeepAnsiMidBytes(decoded, 1, static_cast<long>(whole));
        if (Deliver(std::move(decoded), bAbort)) {
            kill(pid, SIGKILL);
            return;
        }
    }
}

bool CExeCmd::Deliver(std::string chunk, bool& bAbort)
{
    outputs_ += chunk;
    if (listener_ == nullptr)
        return false;
    listener_->ReceiveOutputs(chunk);
    listener_->ProcessAbort(bAbort);
    return bAbort;
}

} // namespace veltrane
