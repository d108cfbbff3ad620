#pragma once

// A data folder holding `table` (Schedule.dat and its histories in
// Veltrane.state) and a real `veltrane --service` started on it, its output
// thrown away: what the benchmarks of a running service measure. The folder
// alone serves the benchmarks of the other headless commands.

#include "platform/file_io.h"
#include "store/run_state.h"
#include "store/schedule_file.h"

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace veltrane::bench {

// Writes Schedule.dat and Veltrane.state of `table` into `folder`; false
// (said on standard error) when they cannot be written.
inline bool WriteServiceFolder(const std::string& folder, const ScheduleTable& table)
{
    RunState state;
    state.items = ItemStatesOf(table);
    if (SaveSchedule(folder + "/Schedule.dat", table) &&
        WriteFileAtomically(folder + "/Veltrane.state", FormatRunState(state), 0640))
        return true;
    std::fprintf(stderr, "cannot write the folder %s\n", folder.c_str());
    return false;
}

// The service's process id; -1 (said on standard error) when the folder
// could not be written or the program not started.
inline pid_t StartServiceOn(const std::string& folder, const ScheduleTable& table)
{
    if (!WriteServiceFolder(folder, table))
        return -1;
    std::vector<std::string> args = {VELTRANE_PROGRAM, "--service", "--folder", folder};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return -1;
    }
    return pid;
}

} // namespace veltrane::bench
