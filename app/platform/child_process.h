#pragma once

// Starting and watching child processes on POSIX, for the command runner:
// the output pipe, the hidden start, the registry of running children, the
// wait for a child's end and its reaping. Stopping a child with everything it
// started is in process_tree.h.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrane::posix {

// Creates a pipe whose two ends are close-on-exec and numbered 3 or higher, so
// that neither end can ever be one of the standard descriptors that the child
// is given. Returns 0, or the errno of the failed call.
int MakeOutputPipe(int fds[2]);

// Starts arguments[0] (looked up in PATH when it holds no "/") with the given
// arguments, the caller's environment and current folder, standard input from
// the file `inputPath` (/dev/null when empty), and standard output and standard error both on
// `outputFd`. The child starts with every signal at its default action and none blocked, so a
// handler or an ignored SIGPIPE of this program does not leak into it. It
// leads a process group of its own (numbered `pid`), so that it can be
// stopped together with everything it starts, and it is killed (SIGKILL) when
// the thread that started it ends, the program's own end by a kill -9
// included.
//
// A program that cannot be started (not found, not executable) is reported as
// the result of the call, so it is never mistaken for one that ran and wrote
// nothing. Returns 0 and sets `pid`, or returns the errno.
int SpawnHidden(const std::vector<std::string>& arguments, int outputFd, pid_t& pid,
                const std::string& inputPath = {});

// The children that runners are running right now, process-wide, from any
// thread. A runner registers its child right after the start and unregisters
// it when it is done with it, before it reaps it, so a registered pid always
// names that child. A child that cannot be registered (no memory) is only
// missing from StopRunningChildren.
void RegisterRunningChild(pid_t pid) noexcept;
void UnregisterRunningChild(pid_t pid) noexcept;

// Waits up to `milliseconds` for the child `pid` to end, without reaping it,
// so its pid stays reserved. Returns true once it has ended, with `exitCode`
// set to its exit code, 128 + the signal that ended it, or nullopt when that
// cannot be told (it was reaped elsewhere).
bool AwaitChildEnd(pid_t pid, int milliseconds, std::optional<int>& exitCode);

// Reaps `pid` without ever blocking the caller: at once when it has exited,
// otherwise by a detached thread that waits for it, so that a child that
// could not be stopped is not left behind as a zombie.
void ReapChild(pid_t pid);

// A running child as the registry knows it: its pid and when it started
// (clock ticks since boot, as /proc gives it), so that a pid reused by
// another process is never taken for it.
struct RunningChild
{
    pid_t pid;
    unsigned long long start;
};
std::vector<RunningChild> RunningChildren();

// How a child stands, looked at without reaping it. Gone: not (or no longer)
// a child of this program. `exitCode` is set when it has ended.
enum class ChildState { Running, Ended, Gone };
ChildState PeekChild(pid_t pid, std::optional<int>* exitCode);

} // namespace veltrane::posix
