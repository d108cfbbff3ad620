#pragma once

// Starting and ending child processes on POSIX, for the command runner.

#include <functional>
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

// Reaps `pid` without ever blocking the caller: at once when it has exited,
// otherwise by a detached thread that waits for it. A child may close its
// output long before it exits; the caller must not be held until then, and
// the child must not be left behind as a zombie.
void ReapChild(pid_t pid);

// Stops the process group `group` the polite way first: SIGTERM, then, while
// anything of it is left after `grace` milliseconds, SIGKILL. `waiting` is
// called about every 100 ms meanwhile (the caller keeps its window served).
// The group's leader is reaped on the way.
void StopProcessGroup(pid_t group, int graceMilliseconds, const std::function<void()>& waiting);

} // namespace veltrane::posix
