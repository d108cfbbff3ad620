#include "job/spawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

extern char** environ;

namespace veltrane::posix {
namespace {

// Moves a close-on-exec descriptor to 3 or above; 0 or an errno.
int LiftAboveStandard(int& fd)
{
    if (fd > 2)
        return 0;
    const int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (lifted < 0)
        return errno;
    close(fd);
    fd = lifted;
    return 0;
}

// Owns the spawn attribute and file-action objects for one start.
struct SpawnSetup
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool haveActions = false;
    bool haveAttributes = false;

    ~SpawnSetup()
    {
        if (haveActions)
            posix_spawn_file_actions_destroy(&actions);
        if (haveAttributes)
            posix_spawnattr_destroy(&attributes);
    }
};

// A start time no process has: nothing started "no earlier" than it.
constexpr unsigned long long kUnknownStart = ULLONG_MAX;
// PF_EXITING among the flags of /proc/<pid>/stat: the process is ending.
constexpr unsigned kProcessExiting = 0x4;
constexpr int kRunnerSliceMilliseconds = 100;
constexpr int kEndSliceMilliseconds = 50;
constexpr int kAfterKillSliceMilliseconds = 20;
constexpr auto kAfterKillWait = std::chrono::seconds(1);

struct ProcessInfo
{
    pid_t pid = 0;
    pid_t parent = 0;
    pid_t group = 0;
    char state = 0;
    unsigned flags = 0;
    unsigned long long start = 0; // clock ticks since boot
    std::string name;

    // Gone but not reaped, or on its way there: no signal can change anything.
    bool Ended() const { return state == 'Z' || state == 'X' || (flags & kProcessExiting) != 0; }
};

// Reads /proc/<pid>/stat; false when the process is gone (or unreadable).
bool ReadProcess(pid_t pid, ProcessInfo& info)
{
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[1024];
    ssize_t got;
    do {
        got = read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    // "pid (name) state ppid pgrp session tty tpgid flags ... starttime": the
    // name may hold blanks and parentheses, so the fields are read after the
    // last ")"; the start time is the 22nd field.
    const char* nameStart = std::strchr(text, '(');
    const char* nameEnd = std::strrchr(text, ')');
    if (nameStart == nullptr || nameEnd == nullptr || nameEnd < nameStart)
        return false;
    int parent = 0;
    int group = 0;
    if (std::sscanf(nameEnd + 1,
                    " %c %d %d %*s %*s %*s %u %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                    &info.state, &parent, &group, &info.flags, &info.start) != 5)
        return false;
    info.pid = pid;
    info.parent = parent;
    info.group = group;
    info.name.assign(nameStart + 1, nameEnd);
    return true;
}

std::vector<ProcessInfo> ListProcesses()
{
    std::vector<ProcessInfo> all;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    if (!dir)
        return all;
    while (const dirent* entry = readdir(dir.get())) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        ProcessInfo info;
        if (ReadProcess(static_cast<pid_t>(std::atol(entry->d_name)), info))
            all.push_back(std::move(info));
    }
    return all;
}

struct RunningChild
{
    pid_t pid;
    unsigned long long start;
};

std::mutex& RegistryLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<RunningChild>& Registry()
{
    static std::vector<RunningChild> children;
    return children;
}

std::vector<RunningChild> RunningChildren()
{
    const std::lock_guard<std::mutex> lock(RegistryLock());
    return Registry();
}

enum class ChildState { Running, Ended, Gone };

// Looks at the child `pid` without reaping it. Gone: not (or no longer) a
// child of this program.
ChildState PeekChild(pid_t pid, std::optional<int>* exitCode)
{
    siginfo_t info{};
    int result;
    do {
        result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return ChildState::Gone;
    if (info.si_pid == 0)
        return ChildState::Running;
    if (exitCode != nullptr)
        *exitCode = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return ChildState::Ended;
}

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

int MakeOutputPipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    int error = LiftAboveStandard(fds[0]);
    if (error == 0)
        error = LiftAboveStandard(fds[1]);
    if (error != 0) {
        close(fds[0]);
        close(fds[1]);
    }
    return error;
}

int SpawnHidden(const std::vector<std::string>& arguments, int outputFd, pid_t& pid)
{
    if (arguments.empty())
        return ENOENT;

    // Once, before the first start: what a child leaves behind comes to this
    // program, not to init. A kernel that refuses only loses that.
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    static_cast<void>(subreaper);

    SpawnSetup setup;
    int error = posix_spawn_file_actions_init(&setup.actions);
    if (error != 0)
        return error;
    setup.haveActions = true;
    error = posix_spawnattr_init(&setup.attributes);
    if (error != 0)
        return error;
    setup.haveAttributes = true;

    if ((error = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0)) ||
        (error = posix_spawn_file_actions_adddup2(&setup.actions, outputFd, 1)) ||
        (error = posix_spawn_file_actions_adddup2(&setup.actions, outputFd, 2)))
        return error;

    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    if ((error = posix_spawnattr_setsigdefault(&setup.attributes, &all)) ||
        (error = posix_spawnattr_setsigmask(&setup.attributes, &none)) ||
        (error = posix_spawnattr_setpgroup(&setup.attributes, 0)) ||
        (error = posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF |
                                                                 POSIX_SPAWN_SETSIGMASK |
                                                                 POSIX_SPAWN_SETPGROUP)))
        return error;

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    return posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
}

void RegisterRunningChild(pid_t pid) noexcept
{
    try {
        ProcessInfo info;
        const RunningChild child{pid, ReadProcess(pid, info) ? info.start : kUnknownStart};
        const std::lock_guard<std::mutex> lock(RegistryLock());
        Registry().push_back(child);
    } catch (const std::exception&) {
        // not registered: only StopRunningChildren misses it
    }
}

void UnregisterRunningChild(pid_t pid) noexcept
{
    const std::lock_guard<std::mutex> lock(RegistryLock());
    std::vector<RunningChild>& children = Registry();
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [pid](const RunningChild& c) { return c.pid == pid; }),
                   children.end());
}

bool AwaitChildEnd(pid_t pid, int milliseconds, std::optional<int>& exitCode)
{
    exitCode.reset();
    if (PeekChild(pid, &exitCode) != ChildState::Running)
        return true;
    if (milliseconds <= 0)
        return false;
    // A process descriptor becomes readable when the child ends, so the wait
    // ends with it; without one (an old kernel) the slice is slept through.
    int handle = -1;
#ifdef SYS_pidfd_open
    handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    if (handle >= 0) {
        pollfd ready{handle, POLLIN, 0};
        poll(&ready, 1, milliseconds);
        close(handle);
    } else {
        usleep(static_cast<useconds_t>(milliseconds) * 1000);
    }
    return PeekChild(pid, &exitCode) != ChildState::Running;
}

std::vector<std::string> StopChildTree(pid_t pid, bool stopChild, int graceMilliseconds,
                                       const std::function<void()>& waiting)
{
    if (pid <= 1)
        return {};
    ProcessInfo info;
    const RunningChild root{pid, ReadProcess(pid, info) ? info.start : kUnknownStart};
    return StopFamilies({root}, stopChild, graceMilliseconds, kRunnerSliceMilliseconds, waiting);
}

void ReapChild(pid_t pid)
{
    int status = 0;
    pid_t result;
    do {
        result = waitpid(pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != 0)
        return; // reaped now, or not ours to reap (ECHILD)

    try {
        std::thread([pid] {
            int exitStatus = 0;
            while (waitpid(pid, &exitStatus, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the zombie stays until this program exits.
    }
}

void StopRunningChildren(int graceMilliseconds)
{
    try {
        const std::vector<RunningChild> roots = RunningChildren();
        if (!roots.empty())
            StopFamilies(roots, true, graceMilliseconds, kEndSliceMilliseconds, {});
    } catch (const std::exception&) {
        // No memory to look for descendants: the children's groups at least.
        const std::lock_guard<std::mutex> lock(RegistryLock());
        for (const RunningChild& child : Registry())
            if (child.pid > 1 && child.pid != getpgrp())
                kill(-child.pid, SIGKILL);
    }
}

} // namespace veltrane::posix
