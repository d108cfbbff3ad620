#include "platform/child_process.h"

#include "platform/process_info.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

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

} // namespace

std::vector<RunningChild> RunningChildren()
{
    const std::lock_guard<std::mutex> lock(RegistryLock());
    return Registry();
}

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

} // namespace veltrane::posix
