#include "platform/process_tree.h"

#include "platform/child_process.h"
#include "platform/process_info.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace veltrane::posix {
namespace {

constexpr int kRunnerSliceMilliseconds = 100;
constexpr int kEndSliceMilliseconds = 50;
constexpr int kAfterKillSliceMilliseconds = 20;
constexpr auto kAfterKillWait = std::chrono::seconds(1);

// The processes that belong to the children `roots` (the roots themselves
// excepted), and the process groups that hold anything else.
struct Family
{
    std::vector<const ProcessInfo*> members;
    std::unordered_set<pid_t> foreignGroups;
};

Family FindFamily(const std::vector<ProcessInfo>& all, const std::vector<RunningChild>& roots)
{
    const pid_t self = getpid();
    const std::vector<RunningChild> registered = RunningChildren();
    const auto isRegistered = [&registered](pid_t pid) {
        return std::any_of(registered.begin(), registered.end(),
                           [pid](const RunningChild& c) { return c.pid == pid; });
    };
    const auto isRoot = [&roots](pid_t pid) {
        return std::any_of(roots.begin(), roots.end(),
                           [pid](const RunningChild& c) { return c.pid == pid; });
    };
    enum Verdict : char { kOutside, kRoot, kMember };
    std::unordered_map<pid_t, Verdict> verdict;
    unsigned long long earliest = kUnknownStart;
    for (const RunningChild& root : roots) {
        verdict[root.pid] = kRoot;
        earliest = std::min(earliest, root.start);
    }
    std::unordered_map<pid_t, const ProcessInfo*> byPid;
    for (const ProcessInfo& p : all) {
        byPid[p.pid] = &p;
        // Handed to this program when its parent ended: one of the roots' own
        // unless another runner's child runs it or it is older than the roots.
        if (p.parent == self && verdict.count(p.pid) == 0 && !isRegistered(p.pid) &&
            p.start >= earliest && (isRoot(p.group) || !isRegistered(p.group)))
            verdict[p.pid] = kMember;
    }
    std::vector<pid_t> path;
    for (const ProcessInfo& p : all) {
        path.clear();
        Verdict found = kOutside;
        for (pid_t at = p.pid;;) {
            if (const auto known = verdict.find(at); known != verdict.end()) {
                found = known->second == kOutside ? kOutside : kMember;
                break;
            }
            const auto info = byPid.find(at);
            if (at <= 1 || at == self || info == byPid.end() || path.size() > all.size())
                break;
            path.push_back(at);
            at = info->second->parent;
        }
        for (pid_t on : path)
            verdict[on] = found;
    }
    Family family;
    for (const ProcessInfo& p : all) {
        const auto known = verdict.find(p.pid);
        const Verdict v = known == verdict.end() ? kOutside : known->second;
        if (v == kMember)
            family.members.push_back(&p);
        else if (v == kOutside)
            family.foreignGroups.insert(p.group);
    }
    family.foreignGroups.insert(getpgrp());
    return family;
}

bool MaySignalGroup(pid_t group, const Family& family)
{
    return group > 1 && group != getpgrp() && family.foreignGroups.count(group) == 0;
}

// Signals a member and its group, after reading it again: still the same
// process, and not ended. True when it was signalled.
bool SignalMember(const ProcessInfo& seen, int signal, const Family& family)
{
    ProcessInfo now;
    if (seen.pid <= 1 || seen.pid == getpid() || !ReadProcess(seen.pid, now) ||
        now.start != seen.start || now.Ended() || kill(seen.pid, signal) != 0)
        return false;
    if (MaySignalGroup(now.group, family))
        kill(-now.group, signal);
    return true;
}

// Signals a root child and the group it leads. A child not yet reaped keeps
// its pid, and so the group's number, reserved.
void SignalRoot(const RunningChild& root, ChildState state, int signal, const Family& family)
{
    if (root.pid <= 1 || root.pid == getpid() || state == ChildState::Gone)
        return;
    if (state == ChildState::Running)
        kill(root.pid, signal);
    if (MaySignalGroup(root.pid, family))
        kill(-root.pid, signal);
}

// Reaps a member that is a zombie and this program's child; true when done.
bool ReapMember(const ProcessInfo& seen)
{
    ProcessInfo now;
    if (!ReadProcess(seen.pid, now) || now.start != seen.start)
        return true; // reaped already
    if (now.state != 'Z' || now.parent != getpid())
        return false;
    pid_t result;
    do {
        result = waitpid(seen.pid, nullptr, WNOHANG);
    } while (result < 0 && errno == EINTR);
    return result == seen.pid || (result < 0 && errno == ECHILD);
}

std::string Named(const ProcessInfo& p)
{
    return std::to_string(p.pid) + " (" + p.name + ")";
}

// Stops the families of `roots` (and the roots when `stopRoots`) and waits for
// them; returns the members it signalled.
std::vector<std::string> StopFamilies(const std::vector<RunningChild>& roots, bool stopRoots,
                                      int graceMilliseconds, int sliceMilliseconds,
                                      const std::function<void()>& waiting)
{
    using Steady = std::chrono::steady_clock;
    const pid_t self = getpid();
    const Steady::time_point begun = Steady::now();
    std::optional<Steady::time_point> killedAt;
    std::unordered_map<pid_t, unsigned long long> termed;
    std::unordered_map<pid_t, unsigned long long> killed;
    std::vector<std::string> named;
    std::vector<pid_t> leftOver;
    bool rootsSignalled = false;
    for (;;) {
        const int signal = killedAt ? SIGKILL : SIGTERM;
        auto& sent = killedAt ? killed : termed;
        const std::vector<ProcessInfo> all = ListProcesses();
        const Family family = FindFamily(all, roots);
        bool pending = false;
        for (const RunningChild& root : roots) {
            const ChildState state = PeekChild(root.pid, nullptr);
            pending = pending || state == ChildState::Running;
            if (stopRoots && !rootsSignalled)
                SignalRoot(root, state, signal, family);
        }
        rootsSignalled = true;
        leftOver.clear();
        for (const ProcessInfo* member : family.members) {
            if (member->Ended()) {
                // Its own parent reaps a zombie that is not this program's.
                if (member->parent == self && !ReapMember(*member)) {
                    pending = true;
                    leftOver.push_back(member->pid);
                }
                continue;
            }
            pending = true;
            if (member->parent == self)
                leftOver.push_back(member->pid);
            const auto signalled = [member](const auto& map) {
                const auto at = map.find(member->pid);
                return at != map.end() && at->second == member->start;
            };
            if (signalled(sent))
                continue;
            const bool first = !signalled(termed) && !signalled(killed);
            sent[member->pid] = member->start;
            // When the roots are stopped, the members of their own process
            // groups go with them as they always did; only a process that
            // escaped a root's group, or outlived its root, is a stray.
            const bool inRootGroup =
                stopRoots && std::any_of(roots.begin(), roots.end(), [member](const auto& root) {
                    return member->group == root.pid;
                });
            if (SignalMember(*member, signal, family) && first && !inRootGroup)
                named.push_back(Named(*member));
        }
        if (!pending)
            return named;

        const Steady::time_point now = Steady::now();
        if (!killedAt && now - begun >= std::chrono::milliseconds(graceMilliseconds)) {
            killedAt = now;
            rootsSignalled = false;
            continue; // SIGKILL at once
        }
        if (killedAt && now - *killedAt >= kAfterKillWait)
            break;
        if (waiting)
            waiting();
        usleep(static_cast<useconds_t>(killedAt ? kAfterKillSliceMilliseconds : sliceMilliseconds) *
               1000);
    }
    // Something did not end even when killed (a process stuck in the kernel):
    // whatever of it is this program's is reaped whenever it ends.
    for (pid_t pid : leftOver)
        ReapChild(pid);
    return named;
}

} // namespace

std::vector<std::string> StopChildTree(pid_t pid, bool stopChild, int graceMilliseconds,
                                       const std::function<void()>& waiting)
{
    if (pid <= 1)
        return {};
    ProcessInfo info;
    const RunningChild root{pid, ReadProcess(pid, info) ? info.start : kUnknownStart};
    return StopFamilies({root}, stopChild, graceMilliseconds, kRunnerSliceMilliseconds, waiting);
}

std::vector<std::string> StopLeftoverGroup(pid_t group, unsigned long long leaderStart,
                                           int graceMilliseconds)
{
    if (group <= 1 || group == getpid() || group == getpgrp())
        return {};
    const auto members = [group] {
        std::vector<ProcessInfo> left;
        for (ProcessInfo& p : ListProcesses())
            if (p.group == group && !p.Ended())
                left.push_back(std::move(p));
        return left;
    };
    std::vector<ProcessInfo> left = members();
    // A number still in use as a group is given to no new process; a live
    // leader of another start time means the group ended and the number was
    // used again.
    for (const ProcessInfo& p : left)
        if (p.pid == group && p.start != leaderStart)
            return {};
    std::vector<std::string> named;
    for (const ProcessInfo& p : left)
        named.push_back(std::to_string(p.pid) + " (" + p.name + ")");
    if (left.empty())
        return named;
    kill(-group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max(graceMilliseconds, 0));
    while (!(left = members()).empty() && std::chrono::steady_clock::now() < deadline)
        usleep(kEndSliceMilliseconds * 1000);
    if (!left.empty()) {
        kill(-group, SIGKILL);
        const auto after = std::chrono::steady_clock::now() + kAfterKillWait;
        while (!members().empty() && std::chrono::steady_clock::now() < after)
            usleep(kAfterKillSliceMilliseconds * 1000);
    }
    // Those handed to this program when their parent died are its to reap.
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    return named;
}

namespace {
std::atomic<bool> gEnding{false};

// The EndingTasks alive; the lock is held while they run.
std::mutex gTasksLock;
std::vector<const std::function<void()>*> gTasks;

void RunEndingTasks()
{
    const std::lock_guard<std::mutex> hold(gTasksLock);
    for (const std::function<void()>* task : gTasks)
        try {
            (*task)();
        } catch (const std::exception&) {
            // the program ends all the same
        }
    gTasks.clear(); // each runs once
}
} // namespace

EndingTask::EndingTask(std::function<void()> task) : task_(std::move(task))
{
    const std::lock_guard<std::mutex> hold(gTasksLock);
    gTasks.push_back(&task_);
}

EndingTask::~EndingTask()
{
    const std::lock_guard<std::mutex> hold(gTasksLock);
    std::erase(gTasks, &task_);
}

bool ProgramEnding()
{
    return gEnding.load();
}

void StopRunningChildren(int graceMilliseconds)
{
    gEnding.store(true);
    try {
        const std::vector<RunningChild> roots = RunningChildren();
        if (!roots.empty())
            StopFamilies(roots, true, graceMilliseconds, kEndSliceMilliseconds, {});
    } catch (const std::exception&) {
        // No memory to look for descendants: the children's groups at least.
        for (const RunningChild& child : RunningChildren())
            if (child.pid > 1 && child.pid != getpgrp())
                kill(-child.pid, SIGKILL);
    }
    RunEndingTasks();
}

} // namespace veltrane::posix
