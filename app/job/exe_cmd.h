#pragma once

// CExeCmd: runs one command line as a hidden child process and hands out what
// the child writes, chunk by chunk, while it runs.
//
// The backup run creates one runner per run and uses it for the export utility
// and the archiver. The command line is split into arguments (see
// command_line.h) and started without a shell, with no standard input and with
// standard output and standard error joined into one pipe, so the two streams
// interleave in the order the child wrote them. The output is read at most 256
// bytes at a time and decoded from code page 949; a double-byte character cut
// in two by a read is held back and handed out whole with the next chunk.
//
// A run lasts until the output has ended and the child has exited: a child
// that closes its output (a wrapper that sends its own output to a file) still
// holds the run, under the same time limit, and its exit code is kept. A child
// (or a grandchild that inherited the pipe) keeps the output going for as long
// as it holds the pipe open. What the child started and is still alive when
// the run ends is stopped and reaped, and named in the result's strays; the child
// itself is always reaped by the runner. While a child runs it is registered,
// so that posix::StopRunningChildren (platform/process_tree.h) can stop it
// when the program ends.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace veltrane {

// Receives the notifications of a run, synchronously on the caller's thread.
class ExeCmdListener
{
public:
    virtual ~ExeCmdListener() = default;

    // One chunk of decoded output (at most 256 bytes of code page 949 text),
    // already appended to Outputs() (when it keeps that much). After the last data one more chunk
    // arrives, an empty one, when the output has ended. A read that brings
    // only the first byte of a character raises nothing: the character comes
    // whole with the next chunk.
    virtual void ReceiveOutputs(std::string& CommandOutputs) = 0;

    // Raised after every chunk. `bAbort` is false when the run begins and is
    // never reset by the runner; setting it to true terminates the child and
    // ends the run with the output captured so far.
    virtual void ProcessAbort(bool& bAbort) { static_cast<void>(bAbort); }

    // Raised while a read waits for output, and while the runner waits for
    // the child to exit or for what it stops to end, at least every 200 ms, so
    // that a listener can serve the program (its signals, its watchdog) while
    // a child is silent for minutes (an export dumping a large table prints
    // nothing meanwhile).
    // `bAbort` is the same flag as ProcessAbort's; set while waiting for
    // output or for the exit, it stops the child.
    virtual void WaitingForOutputs(bool& bAbort) { static_cast<void>(bAbort); }

    // The child has started (its pid leads its process group), and the run
    // is done with it: it and what it started have ended or been stopped.
    virtual void ChildStarted(pid_t pid) { static_cast<void>(pid); }
    virtual void ChildEnded(pid_t pid) { static_cast<void>(pid); }
};

// What became of one command.
struct CommandResult
{
    // False when the child could not be started; `failure` then says why:
    //   "Command Line empty"            nothing to run
    //   "CreatePipe failed. Error: N"   the pipe could not be made (N = errno)
    //   "File or command not found"     the program could not be started
    bool started = false;
    std::string failure;
    // Stopped at the time limit.
    bool timedOut = false;
    // The child's exit code, or 128 + the signal that ended it; nullopt when
    // no child ran to its end (it could not be started, or was stopped by an
    // abort or the time limit).
    std::optional<int> exitCode;
    // What had to be stopped besides the child: processes the child started
    // that were still alive when it exited (or was stopped), including those
    // that left its session and those left behind to this program; one
    // "pid (command name)" each.
    std::vector<std::string> strays;
};

class CExeCmd
{
public:
    static constexpr std::size_t kChunkBytes = 256;
    static constexpr std::size_t kReadBytes = 64 * 1024; // one read of the pipe
    static constexpr int kWaitSliceMilliseconds = 100;
    static constexpr int kStopGraceMilliseconds = 10000;

    // The listener, which may be null, must outlive the runner.
    explicit CExeCmd(ExeCmdListener* listener = nullptr);

    void CommandLine(std::string DOSCommand) { commandLine_ = std::move(DOSCommand); }
    const std::string& CommandLine() const { return commandLine_; }

    // What the latest run that started its child captured: all of it, or with
    // KeepOutput only its last bytes (cut between characters). A listener
    // that takes the chunks as they come (the export's, which writes them to
    // the log) needs no more than a tail; an export's output runs to hundreds
    // of megabytes.
    const std::string& Outputs() const { return outputs_; }
    void KeepOutput(std::size_t bytes) { keepBytes_ = bytes; }

    // Within ReceiveOutputs: the code page 949 bytes of the chunk handed out,
    // as the child wrote them (the bytes whose decode the chunk is; empty
    // with the empty chunk at the end). A listener that stores the output as
    // it came (a log in the code page) takes these rather than encode the
    // chunk again.
    std::string_view RawChunk() const { return rawChunk_; }
    // Within ReceiveOutputs: whether more of what the runner has read waits
    // to be handed out at once. A listener may leave work that need not be
    // done per chunk (showing the latest, writing what gathered) to the
    // chunk after which nothing waits: the next may be long in coming.
    bool MoreAtHand() const { return moreAtHand_; }

    // The file the child reads as its standard input (an interactive
    // utility's answers); none, the default, gives it /dev/null.
    void InputFile(std::string path) { inputPath_ = std::move(path); }

    // The longest a run may take, counted from its start, the wait for the
    // child's exit included (zero, the default, or a century and more: no
    // limit). A child that runs longer is stopped with everything it started
    // (its process group and its descendants: SIGTERM, then SIGKILL after
    // kStopGraceMilliseconds), and the run ends with the output read so far.
    void TimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }

    // Runs the stored command line, or `commandLine` when it is not empty (it
    // then replaces the stored one), and returns when the output has ended
    // and the child has exited, a listener aborted or the time limit passed,
    // once what was left of the child's processes is stopped. A child that
    // cannot be started raises no notification, and Outputs() keeps the
    // previous run's text.
    CommandResult ExecuteCommand(const std::string& commandLine = {});

private:
    using Steady = std::chrono::steady_clock;
    enum class Ending { OutputEnded, Exited, Aborted, TimedOut };

    // Appends, raises ReceiveOutputs and ProcessAbort; true when aborted.
    // `raw`: the code page bytes of `chunk`; `more`: as MoreAtHand.
    bool Deliver(std::string chunk, std::string_view raw, bool more, bool& bAbort);
    // Both end the run at `deadline`, when there is one.
    Ending ReadUntilEnd(int readFd, std::optional<Steady::time_point> deadline, bool& bAbort);
    Ending WaitForExit(pid_t pid, std::optional<Steady::time_point> deadline, bool& bAbort,
                       std::optional<int>& exitCode);

    ExeCmdListener* listener_;
    std::string commandLine_;
    std::string outputs_;
    std::string_view rawChunk_;
    bool moreAtHand_ = false;
    std::size_t keepBytes_ = std::string::npos;
    std::string inputPath_;
    std::chrono::milliseconds timeLimit_{0};
};

} // namespace veltrane
