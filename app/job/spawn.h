#pragma once

// Starting, watching and ending child processes on POSIX, for the command
// runner.
//
// Before its first start the program makes itself a child subreaper: a
// process that a child leaves behind (its parent ended before it did) is
// handed to this program instead of to init, so that the runner can still
// find it, stop it and reap it. Descendants are found through /proc: a
// process belongs to a child when its chain of parents leads to the child,
// or when it was handed to this program, is no registered child and started
// no earlier than the child.
//
// Signals go only to processes read from /proc just before (same start time,
// not ended), never to pid 1 or below, this program or its process group; a
// process group is signalled only when nothing outside the child's family is
// in it. Processes that vanish meanwhile are passed over.

#include <functional>
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
// /dev/null, and standard output and standard error both on `outputFd`. The
// child starts with every signal at its default action and none blocked, so a
// handler or an ignored SIGPIPE of this program does not leak into it. It
// leads a process group of its own (numbered `pid`), so that it can be
// stopped together with everything it starts.
//
// glibc's posix_spawn runs the child on the parent's memory until exec, and
// reports an exec that fails (program not found, not executable) as the result
// of the call, so a program that cannot be started is never mistaken for one
// that ran and wrote nothing. Returns 0 and sets `pid`, or returns the errno.
int SpawnHidden(const std::vector<std::string>& arguments, int outputFd, pid_t& pid);

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

// Stops what the child `pid` started and is still alive (see above), and,
// when `stopChild`, the child with its process group too: SIGTERM to each
// process and its group, then, to whatever is left after `graceMilliseconds`,
// SIGKILL. Returns when all of them have ended (a SIGKILL that does not take
// effect is waited for about a second more); `waiting` is called about every
// 100 ms meanwhile. Descendants are reaped as they become this program's
// children, also those that ended on their own; the child itself is waited
// for but never reaped here. Returns "pid (command name)" for every process
// that was signalled, the child excepted, and with `stopChild` the members
// of the child's own process group too (they are stopped with it, as a
// matter of course); nothing is signalled, and nothing named, when nothing
// is left.
std::vector<std::string> StopChildTree(pid_t pid, bool stopChild, int graceMilliseconds,
                                       const std::function<void()>& waiting);

// Reaps `pid` without ever blocking the caller: at once when it has exited,
// otherwise by a detached thread that waits for it, so that a child that
// could not be stopped is not left behind as a zombie.
void ReapChild(pid_t pid);

// Stops every registered child with its process group and its descendants
// (SIGTERM, up to `graceMilliseconds` of polling, then SIGKILL) and returns
// once they have ended. Meant for the program's way out, just before _exit.
// It holds no lock while it waits and calls back nothing, so it may be called
// from any thread, also from a runner's listener during that runner's run;
// the registered children are left for their runners to reap, whose later
// cleanup then finds nothing more to do.
void StopRunningChildren(int graceMilliseconds);

} // namespace veltrane::posix
