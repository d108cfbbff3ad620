#pragma once

// One run of a program as a whole, its standard output thrown away: how it
// ended, its wall time, and the CPU time of it and its children.

#include <chrono>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace veltrane::bench {

struct ProgramRun
{
    int status = -1; // as waitpid gives it; -1 when it could not start
    double seconds = 0;
    double cpu = 0;

    // It ended by itself with an exit status of at most `most`.
    bool EndedWithAtMost(int most) const
    {
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) <= most;
    }
};

inline ProgramRun RunProgram(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ProgramRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    rusage usage{};
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        wait4(pid, &run.status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return run;
}

} // namespace veltrane::bench
