#pragma once

// The headless service: the same schedule, launch pass and backup runs as the
// window, with no window and no display, for a machine where nobody stays
// logged in. It is the BackupHost of its ScheduleService:
//
// - every result line goes to standard output (one line each, UTF-8) and, as
//   always, to the history file; so do the stages of a run ("[ORCL]
//   BackUp...", "Transfer Start." ...) and every message the window would
//   show in a box. Standard output never holds the schedule: a reader that
//   stalls (a journal that stops, a paused pager) costs lines, counted and
//   said once it reads again (LineOutput), never a run; the history file
//   keeps every line;
// - SIGTERM and SIGINT end the service at once, as the tray's end command
//   ends the window, after a last line; a run in progress is abandoned where
//   it stands, its child stopped;
// - SIGHUP reads Schedule.dat again, between runs;
// - under systemd (Type=notify) it says when it is ready, and tells the
//   watchdog it is alive at every tick and, during a run, whenever the run
//   waits, so that only a service that is truly stuck stops telling it.
//
// The launch pass runs once a second, like the window's launch timer.
//
// "--run-item N" runs one item the same way, in the foreground: it shares
// the signals and the observer below.

#include "job/run_observer.h"
#include "platform/clock.h"
#include "platform/line_output.h"

#include <string>

namespace veltrane {

class ScheduleService;

// The signals of the headless commands: SIGTERM and SIGINT end the program,
// SIGHUP asks the service to read its schedule again; an ignored SIGPIPE, so
// that a reader that goes away never kills it. Installed before anything
// else in main(), so that no signal in the first moments of a start kills
// the service; interrupted system calls are restarted. False when they
// cannot be set up.
bool InstallServiceSignals();
// Gives the signals back to their default actions, for the parts of the
// program that handle them otherwise (the window) or not at all (the
// commands that only read); a signal that came meanwhile takes effect now.
void ReleaseServiceSignals();

// What a headless command shows: result lines as they are, stages and
// messages stamped, on standard output through a LineOutput. The detail
// (the command's output) is left to the run's log. While a run waits it
// tells the watchdog the program is alive, and ends the program when an end
// signal came.
class ServiceObserver final : public RunObserver
{
public:
    // `endText` starts the last line written when a signal ends the program
    // ("Veltrane 서비스 종료"), which then exits with `endStatus`.
    ServiceObserver(const Clock& clock, LineOutput& out, std::string endText, int endStatus);

    // Set once the service exists: the last line goes through it, to the
    // history file too.
    void SetService(ScheduleService* service) { service_ = service; }

    // The stage goes to the service manager's status too.
    void Stage(const std::string& text) override;
    void Detail(const std::string& /*text*/) override {}
    void Line(const std::string& line) override { out_.Write(line); }
    void Message(const std::string& text, bool /*critical*/) override { Print(text); }
    // An export may run for hours: the journal says when it began, and so
    // does the service manager's status.
    void Progress(const std::string& text) override { Stage(text); }
    void Idle() override;

    // When an end signal came: writes the last line, stops the children of
    // the run in progress (an export left running would run on beside the
    // next start's; the next start cleans up after the run, Veltrane.state)
    // and ends the process.
    void EndIfSignalled();

private:
    void Print(const std::string& text) { Line(StampedLine(clock_.Now(), text)); }

    const Clock& clock_;
    LineOutput& out_;
    std::string endText_;
    int endStatus_;
    ScheduleService* service_ = nullptr;
};

// Runs until SIGTERM or SIGINT; returns the process's exit status (it ends
// the process itself on a signal). Lines go to standard output.
int RunHeadlessService(const Clock& clock, const std::string& dataFolder,
                       const std::string& libraryFolder);

} // namespace veltrane
