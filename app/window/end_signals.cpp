#include "window/end_signals.h"

#include "job/exe_cmd.h"
#include "platform/process_tree.h"

#include <QObject>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace veltrane {
namespace {

int gSignalWrite = -1;

extern "C" void OnEndSignal(int /*signal*/)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(gSignalWrite, &byte, 1);
    errno = saved;
}

} // namespace

bool EndOnTerminationSignals(QObject* parent)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    gSignalWrite = fds[1];
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        posix::StopRunningChildren(CExeCmd::kStopGraceMilliseconds);
        _exit(0);
    });
    struct sigaction action
    {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

} // namespace veltrane
