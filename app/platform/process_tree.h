#pragma once

// Stopping a child with everything it started, on POSIX.
//
// Before its first start (child_process.h) the program makes itself a child subreaper: a
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
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrane::posix {

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

// Stops every registered child with its process group and its descendants
// (SIGTERM, up to `graceMilliseconds` of polling, then SIGKILL) and returns
// once they have ended. Meant for the program's way out, just before _exit.
// It holds no lock while it waits and calls back nothing, so it may be called
// from any thread, also from a runner's listener during that runner's run;
// the registered children are left for their runners to reap, whose later
// cleanup then finds nothing more to do.
void StopRunningChildren(int graceMilliseconds);

// Stops what is left of a process group that an earlier run of this program
// started (its leader `group`, started at `leaderStart` ticks since boot) and
// recorded before the program ended without stopping it: SIGTERM to the
// group, then, to whatever is left after `graceMilliseconds`, SIGKILL. A group
// whose leader lives but started at another time is another program's (the
// number was used again) and is left alone; so are this program and its own
// group. Returns "pid (command name)" for every process that was signalled;
// nothing when nothing of the group is left.
std::vector<std::string> StopLeftoverGroup(pid_t group, unsigned long long leaderStart,
                                           int graceMilliseconds);

// Work that the program's end must still do once its children are stopped
// (a job that runs elsewhere on a child's behalf, to be ended there): while
// an EndingTask lives, StopRunningChildren calls it, on its own thread, after
// the children have ended. Its destructor waits for a call under way.
class EndingTask
{
public:
    explicit EndingTask(std::function<void()> task);
    ~EndingTask();
    EndingTask(const EndingTask&) = delete;
    EndingTask& operator=(const EndingTask&) = delete;

private:
    std::function<void()> task_;
};

// Whether StopRunningChildren was called: the program is ending, and the
// runner whose child it stopped must not take that end for the child's own
// (a stopped export is no failed one; the next start cleans up after it).
bool ProgramEnding();

} // namespace veltrane::posix
