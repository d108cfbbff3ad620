#include "service/headless_service.h"

#include "job/exe_cmd.h"
#include "platform/process_tree.h"
#include "platform/service_manager.h"
#include "service/schedule_service.h"
#include "store/schedule_file.h"
#include "version.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace veltrane {
namespace {

constexpr int kTickMilliseconds = 1000;
// How long the last lines may take to reach a reader on the way out.
constexpr std::chrono::seconds kLastLinesWait{2};

// Signals reach the service through a pipe, so that the wait between ticks
// wakes at once, and through flags that a run checks whenever it yields.
volatile std::sig_atomic_t gEndSignal = 0;
volatile std::sig_atomic_t gReload = 0;
int gWakeRead = -1;
int gWakeWrite = -1;

constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void OnSignal(int signal)
{
    const int saved = errno;
    if (signal == SIGHUP)
        gReload = 1;
    else
        gEndSignal = signal;
    if (gWakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(gWakeWrite, &byte, 1);
    }
    errno = saved;
}

void Drain(int fd)
{
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

bool InstallServiceSignals()
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    gWakeRead = wake[0];
    gWakeWrite = wake[1];
    struct sigaction action
    {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // A write or wait cut short by a signal goes on: a reload storm must not
    // lose a line or a byte of one.
    action.sa_flags = SA_RESTART;
    for (int signal : kHandled)
        if (sigaction(signal, &action, nullptr) != 0)
            return false;
    // A journal or pipe that goes away must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void ReleaseServiceSignals()
{
    for (int signal : kHandled)
        std::signal(signal, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    if (gWakeRead >= 0) {
        close(gWakeRead);
        close(gWakeWrite);
        gWakeRead = gWakeWrite = -1;
    }
    // What came while the program started does now what it would have done.
    if (gEndSignal != 0)
        raise(gEndSignal);
    if (gReload != 0)
        raise(SIGHUP);
}

ServiceObserver::ServiceObserver(const Clock& clock, LineOutput& out, std::string endText,
                                 int endStatus)
    : clock_(clock), out_(out), endText_(std::move(endText)), endStatus_(endStatus)
{}

void ServiceObserver::Stage(const std::string& text)
{
    Print(text);
    NotifyStatus(text);
}

void ServiceObserver::Idle()
{
    // A run waits often, also during an export of hours: the watchdog
    // hears of it, and a signal that ends the program ends it here too.
    PingWatchdog();
    EndIfSignalled();
}

void ServiceObserver::EndIfSignalled()
{
    const int signal = gEndSignal;
    if (signal == 0)
        return;
    NotifyStopping();
    const std::string text = endText_ + " (" + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ")";
    if (service_ != nullptr) {
        // What a backlog's runs left unsaved goes into Schedule.dat now.
        service_->SaveDeferred();
        service_->WriteLine(text);
    } else
        Print(text);
    posix::StopRunningChildren(CExeCmd::kStopGraceMilliseconds);
    out_.Flush(kLastLinesWait);
    _exit(endStatus_);
}

int RunHeadlessService(const Clock& clock, const std::string& dataFolder,
                       const std::string& libraryFolder)
{
    if (gWakeRead < 0) {
        std::fprintf(stderr, "Veltrane: cannot set up the service's signals\n");
        return 1;
    }
    LineOutput out(STDOUT_FILENO, clock);
    ServiceObserver observer(clock, out, "Veltrane 서비스 종료", 0);
    ScheduleService service(observer, clock, dataFolder, libraryFolder);
    observer.SetService(&service);
    // A schedule copied in while a run goes on is the operator's: the run
    // writes its result into it.
    service.KeepOutsideChanges(true);
    if (const Status loaded = service.LoadSchedule(); !loaded) {
        // Never an empty schedule in its place: every backup would stop
        // without a word.
        service.WriteLine(std::string(kScheduleFileName) +
                          " 읽기 실패, 서비스를 시작하지 않습니다: " + loaded.error().description);
        out.Flush(kLastLinesWait);
        return 1;
    }
    service.LoadSettings();
    const std::string items = "항목 " + std::to_string(service.Table().size()) + "개";
    service.WriteLine("Veltrane " + std::string(kVersion) + " 서비스 시작: " + dataFolder + " (" +
                      items + ")");
    NotifyReady(items);

    const auto reloadIfAsked = [&service] {
        if (gReload == 0)
            return;
        gReload = 0;
        if (const Status loaded = service.LoadSchedule())
            service.WriteLine(std::string(kScheduleFileName) + " 다시 읽음 (항목 " +
                              std::to_string(service.Table().size()) + "개)");
        else
            service.WriteLine(std::string(kScheduleFileName) + " 다시 읽기 실패, 항목 " +
                              std::to_string(service.Table().size()) +
                              "개를 그대로 씁니다: " + loaded.error().description);
        service.LoadSettings();
    };
    // With a backlog of due runs a reload takes effect before the next one,
    // which then runs the item as the file now has it.
    service.OnBetweenRuns([&] {
        observer.EndIfSignalled();
        reloadIfAsked();
    });
    // Between ticks the service sleeps for as long as nothing can come due:
    // up to the next minute when the whole table waits. A signal wakes it at
    // once, and the watchdog still hears from it in time.
    std::chrono::milliseconds wait(kTickMilliseconds);
    for (;;) {
        pollfd waiting{gWakeRead, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(wait.count())) > 0)
            Drain(gWakeRead);
        observer.EndIfSignalled();
        reloadIfAsked();
        service.Tick();
        PingWatchdog();
        wait = std::min<std::chrono::milliseconds>(
            std::chrono::seconds(service.SecondsToNextTick()), PingWithin());
    }
}

} // namespace veltrane
