#include "platform/child_process.h"

#include "platform/process_info.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

namespace {

// The file that arguments[0] names, as execvp would find it: a name without
// "/" is looked up in PATH. Found here, before the fork, so that the child
// does nothing between fork and exec that could need a lock.
std::string ResolveProgram(const std::string& name, int& error)
{
    error = 0;
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    error = ENOENT;
    while (true) {
        const std::size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        const std::string candidate =
            (folder.empty() ? std::string(".") : std::string(folder)) + "/" + name;
        struct stat st
        {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
            error = EACCES;
        }
        if (colon == std::string_view::npos)
            return {};
        folders.remove_prefix(colon + 1);
    }
}

// The child's side, from vfork to exec: system calls only. It dies with the
// thread that started it (SIGKILL), also when that thread ended before the
// child got this far, so an export never outlives a program that was killed.
[[noreturn]] void BecomeChild(const char* program, char* const* argv, int outputFd, int errorFd,
                              pid_t parent, const char* inputPath)
{
    setpgid(0, 0);
    int error = 0;
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
        error = errno;
    else if (getppid() != parent)
        _exit(127); // the program ended before the child could be tied to it
    struct sigaction byDefault
    {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &byDefault, nullptr);
    const int input = open(inputPath, O_RDONLY);
    if (error == 0 &&
        (input < 0 || dup2(input, 0) < 0 || dup2(outputFd, 1) < 0 || dup2(outputFd, 2) < 0))
        error = errno;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (error == 0) {
        execve(program, argv, environ);
        error = errno;
    }
    while (write(errorFd, &error, sizeof error) < 0 && errno == EINTR) {
    }
    _exit(127);
}

} // namespace

int SpawnHidden(const std::vector<std::string>& arguments, int outputFd, pid_t& pid,
                const std::string& inputPath)
{
    const char* input = inputPath.empty() ? "/dev/null" : inputPath.c_str();
    if (arguments.empty())
        return ENOENT;

    // Once, before the first start: what a child leaves behind comes to this
    // program, not to init. A kernel that refuses only loses that.
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    static_cast<void>(subreaper);

    int error = 0;
    const std::string program = ResolveProgram(arguments[0], error);
    if (program.empty())
        return error;
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The child tells why its exec failed through this pipe; an exec that
    // succeeds closes it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    // No handler of this program may run in the child before it has put
    // every signal back to its default.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t parent = getpid();
    // vfork: the child borrows this process's memory until its exec, instead
    // of a copy of its page tables that every later write of this process
    // would fault on; a table at its limit made each start cost tens of
    // milliseconds. The child makes system calls only, on data made above,
    // and never returns (BecomeChild), as vfork asks.
    const pid_t child = vfork();
    if (child == 0)
        BecomeChild(program.c_str(), argv.data(), outputFd, report[1], parent, input);
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        return forkError;
    }
    setpgid(child, child); // the same as the child's own: whichever comes first
    int childError = 0;
    ssize_t got;
    while ((got = read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return childError != 0 ? childError : ENOEXEC;
    }
    pid = child;
    return 0;
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
