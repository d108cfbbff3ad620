#include "platform/process_info.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace veltrane::posix {

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
} // namespace veltrane::posix

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

} // namespace veltrane::posix
