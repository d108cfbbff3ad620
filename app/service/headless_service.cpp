#include "service/headless_service.h"

#include "job/exe_cmd.h"
#include "job/run_observer.h"
#include "platform/process_tree.h"
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

// Signals reach the service through a pipe, so that the wait between ticks
// wakes at once, and through flags that a run checks whenever it yields.
volatile std::sig_atomic_t gEndSignal = 0;
volatile std::sig_atomic_t gReload = 0;
int gWakeWrite = -1;

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

// The service's face: what the window would show goes to standard output,
// one UTF-8 line each: result lines as they are, stages and messages
// stamped. Detail (the command's output) is left to the run's log.
class HeadlessObserver final : public RunObserver
{
public:
    HeadlessObserver(const Clock& clock, std::FILE* out) : clock_(clock), out_(out) {}

    // Set once the service exists: it writes the last line when a signal ends it.
    void SetService(ScheduleService* service) { service_ = service; }

    void Stage(const std::string& text) override { Print(text); }
    void Detail(const std::string& /*text*/) override {}
    void Line(const std::string& line) override
    {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    void Message(const std::string& text, bool /*critical*/) override { Print(text); }
    // An export may run for hours: the journal says when it began.
    void Progress(const std::string& text) override { Print(text); }
    // A run waits often: a signal that ends the service ends it here too.
    void Idle() override { EndIfSignalled(); }

    void EndIfSignalled()
    {
        const int signal = gEndSignal;
        if (signal == 0)
            return;
        const std::string text =
            std::string("Veltrane 서비스 종료 (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") + ")";
        if (service_ != nullptr)
            service_->WriteLine(text);
        else
            Print(text);
        std::fflush(out_);
        // A run in progress is abandoned where it stands, but not its child:
        // an export left running would run on beside the next start's. The
        // next start cleans up after the run (Veltrane.state).
        posix::StopRunningChildren(CExeCmd::kStopGraceMilliseconds);
        _exit(0);
    }

private:
    void Print(const std::string& text) { Line(StampedLine(clock_.Now(), text)); }

    const Clock& clock_;
    std::FILE* out_;
    ScheduleService* service_ = nullptr;
};

bool InstallSignals(int wakeWrite)
{
    gWakeWrite = wakeWrite;
    struct sigaction action
    {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        if (sigaction(signal, &action, nullptr) != 0)
            return false;
    // A journal or pipe that goes away must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void Drain(int fd)
{
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

int RunHeadlessService(const Clock& clock, const std::string& dataFolder,
                       const std::string& libraryFolder, std::FILE* out)
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0 || !InstallSignals(wake[1])) {
        std::fprintf(stderr, "Veltrane: cannot set up the service's signals\n");
        return 1;
    }
    HeadlessObserver observer(clock, out);
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
        return 1;
    }
    service.LoadSettings();
    service.WriteLine("Veltrane " + std::string(kVersion) + " 서비스 시작: " + dataFolder +
                      " (항목 " + std::to_string(service.Table().size()) + "개)");

    for (;;) {
        pollfd waiting{wake[0], POLLIN, 0};
        if (poll(&waiting, 1, kTickMilliseconds) > 0)
            Drain(wake[0]);
        observer.EndIfSignalled();
        if (gReload != 0) {
            gReload = 0;
            if (const Status loaded = service.LoadSchedule())
                service.WriteLine(std::string(kScheduleFileName) + " 다시 읽음 (항목 " +
                                  std::to_string(service.Table().size()) + "개)");
            else
                service.WriteLine(std::string(kScheduleFileName) + " 다시 읽기 실패, 항목 " +
                                  std::to_string(service.Table().size()) +
                                  "개를 그대로 씁니다: " + loaded.error().description);
            service.LoadSettings();
        }
        service.Tick();
    }
}

} // namespace veltrane
