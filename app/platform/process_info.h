#pragma once

// What /proc tells of a process: for finding what a child started.

#include <climits>
#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrane::posix {

// A start time no process has: nothing started "no earlier" than it.
inline constexpr unsigned long long kUnknownStart = ULLONG_MAX;
// PF_EXITING among the flags of /proc/<pid>/stat: the process is ending.
inline constexpr unsigned kProcessExiting = 0x4;

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
bool ReadProcess(pid_t pid, ProcessInfo& info);

// Every process /proc lists now.
std::vector<ProcessInfo> ListProcesses();

} // namespace veltrane::posix
