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
// The end of the output is the end of the run: the runner does not wait for
// the child to exit and does not look at its exit status. A child (or a
// grandchild that inherited the pipe) keeps the run going for as long as it
// holds the pipe open; a child that closes its output and keeps running does
// not hold the caller, and every child is reaped all the same.

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <utility>

namespace veltrane {

// Receives the notifications of a run, synchronously on the caller's thread.
class ExeCmdListener
{
public:
    virtual ~ExeCmdListener() = default;

    // One chunk of decoded output (at most 256 bytes of code page 949 text),
    // already appended to Outputs(). After the last data one more chunk
    // arrives, an empty one, when the output has ended. A read that brings
    // only the first byte of a character raises nothing: the character comes
    // whole with the next chunk.
    virtual void ReceiveOutputs(std::string& CommandOutputs) = 0;

    // Raised after every chunk. `bAbort` is false when the run begins and is
    // never reset by the runner; setting it to true terminates the child and
    // ends the run with the output captured so far.
    virtual void ProcessAbort(bool& bAbort) { static_cast<void>(bAbort); }

    // Raised while a read waits for output, at least every 200 ms, so that a
    // listener can keep its window alive while a child is silent for minutes
    // (an export dumping a large table prints nothing meanwhile). `bAbort` is
    // the same flag as ProcessAbort's.
    virtual void WaitingForOutputs(bool& bAbort) { static_cast<void>(bAbort); }
};

// Shows the runner's failure texts to the operator. The window shows them as
// modal message boxes with the stop icon; tests record them.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    virtual void ShowCritical(const std::string& text) = 0;
};

class CExeCmd
{
public:
    static constexpr std::size_t kChunkBytes = 256;
    static constexpr std::size_t kReadBytes = 64 * 1024; // one read of the pipe
    static constexpr int kWaitSliceMilliseconds = 100;

    // Both must outlive the runner; the listener may be null.
    explicit CExeCmd(MessageSink& messages, ExeCmdListener* listener = nullptr);

    void CommandLine(std::string DOSCommand) { commandLine_ = std::move(DOSCommand); }
    const std::string& CommandLine() const { return commandLine_; }

    // Everything the latest run that started its child captured.
    const std::string& Outputs() const { return outputs_; }

    // The longest a run may take (zero, the default: no limit). A child that
    // runs longer is stopped with everything it started (its process group:
    // SIGTERM, then SIGKILL after kStopGraceMilliseconds), and the run ends
    // with the output read so far; TimedOut() then tells so.
    void TimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
    bool TimedOut() const { return timedOut_; }
    static constexpr int kStopGraceMilliseconds = 10000;

    // Runs the stored command line, or `commandLine` when it is not empty (it
    // then replaces the stored one), and returns when the output has ended or
    // a listener aborted. Returns the captured output, or an empty text when
    // the child could not be started; that case shows one of these texts and
    // raises no notification, and Outputs() keeps the previous run's text:
    //   "Command Line empty"            nothing to run
    //   "CreatePipe failed. Error: N"   the pipe could not be made (N = errno)
    //   "File or command not found"     the program could not be started
    //
    // The result refers to Outputs() (or to an empty text after a failure) and
    // stays valid until the next run or the runner's end; the output of an
    // export can be large, so it is not copied on the way out.
    const std::string& ExecuteCommand(const std::string& commandLine = {});

private:
    // Appends, raises ReceiveOutputs and ProcessAbort; true when aborted.
    bool Deliver(std::string chunk, bool& bAbort);
    void ReadUntilEnd(int readFd, pid_t pid);

    MessageSink& messages_;
    ExeCmdListener* listener_;
    std::string commandLine_;
    std::string outputs_;
    std::chrono::milliseconds timeLimit_{0};
    bool timedOut_ = false;
};

} // namespace veltrane
