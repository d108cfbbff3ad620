#include "support/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace veltrane::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath,
                           const std::vector<std::string>& extraEnv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e)
        envStore.emplace_back(*e);
    for (const auto& e : extraEnv)
        envStore.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStore)
        env.push_back(e.data());
    env.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int out = open(logPath.empty() ? "/dev/null" : logPath.c_str(),
                       O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        if (in >= 0)
            dup2(in, 0);
        setpgid(0, 0);
        execvpe(args[0], args.data(), env.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    Stop();
}

bool ChildProcess::Running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Signal(int signal)
{
    if (pid_ > 0)
        kill(pid_, signal);
}

int ChildProcess::WaitForExit(int timeoutMs)
{
    for (int waited = 0; pid_ > 0; waited += 20) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        if (waited >= timeoutMs)
            break;
        usleep(20000);
    }
    return -1;
}

void ChildProcess::Stop()
{
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        usleep(20000);
    }
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int ChildProcess::ExitCode(int timeoutMs)
{
    const int status = WaitForExit(timeoutMs);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace veltrane::test
