#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace veltrane::test {

// A real peer started by a test: a server program run as a child process.
// Its standard output and error go to `logPath` (or /dev/null when empty).
// The destructor stops it (SIGTERM, then SIGKILL) and reaps it.
class ChildProcess
{
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logPath = {},
                 const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool Running();
    void Stop();
    // Sends `signal` to the child alone.
    void Signal(int signal);
    // Waits up to `timeoutMs` for the child to end; its wait status, or -1
    // when it is still running (or was already reaped).
    int WaitForExit(int timeoutMs);
    // Waits as WaitForExit does; the exit status as a shell gives it: the
    // code, or 128 + the signal that ended the child.
    int ExitCode(int timeoutMs);

private:
    pid_t pid_ = -1;
};

} // namespace veltrane::test
