#include "job/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
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

void StopProcessGroup(pid_t group, int graceMilliseconds, const std::function<void()>& waiting)
{
    constexpr int kSliceMilliseconds = 100;
    kill(-group, SIGTERM);
    for (int waited = 0; waited < graceMilliseconds; waited += kSliceMilliseconds) {
        // The leader stays a zombie, and so a member of its group, until it
        // is reaped; then the group is gone once nothing else is left in it.
        while (waitpid(group, nullptr, WNOHANG) < 0 && errno == EINTR) {
        }
        if (kill(-group, 0) != 0 && errno == ESRCH)
            return;
        if (waiting)
            waiting();
        usleep(kSliceMilliseconds * 1000);
    }
    kill(-group, SIGKILL);
    while (waitpid(group, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
}

} // namespace veltrane::posix
