#pragma once

// The program without its face: the schedule table with its backup runs
// (BackupService) and the launch pass that starts them once a second. The
// window and the headless service each own one and are its host.

#include "job/backup_service.h"
#include "schedule/due_rules.h"

#include <string>

namespace veltrane {

class ScheduleService
{
public:
    // See BackupService for the two folders.
    ScheduleService(BackupHost& host, const Clock& clock, std::string dataFolder,
                    std::string libraryFolder = {});

    BackupService& Backup() { return backup_; }

    // Reads Veltrane.ini in the data folder (writing what it lacks), and
    // writes one result line for each value it cannot use.
    void LoadSettings();

    // The launch timer's work: the overdue alerts, then one launch pass.
    // Nothing is alerted while a run is in progress (a tick that comes while
    // a run yields); the next tick after it does. The first tick first does
    // what the last time the program ran left undone (see StartUp).
    void Tick();
    // What the first tick does before its pass: the runs that the program's
    // last end interrupted are cleaned up or finished
    // (BackupService::ResumeInterruptedRuns), and, when the settings ask for
    // it, each item whose time passed while the program was not running is
    // flagged to run once now, with a line that says so.
    void StartUp();
    // Says once, in a line, of each enabled item whose latest back time lies
    // in the future; the due rules do not count from it.
    void CheckLastBackUpTimes();
    // Alerts every item whose latest due time, by its own rules, passed more
    // than OverdueAlertHours ago without a success since (OverdueSince), once
    // per due time; an item about to run (flagged) waits for its run.
    void CheckOverdue();
    ScheduleTable& Table() { return backup_.Table(); }
    [[nodiscard]] bool LoadSchedule(std::string& error) { return backup_.LoadSchedule(error); }
    bool SaveScheduleOrReport() { return backup_.SaveScheduleOrReport(); }
    void WriteLine(const std::string& text) { backup_.WriteLine(text); }

    // One launch pass: runs every enabled item that is due or flagged, and
    // has the host rebuild its list after each run.
    void LaunchDueItems() { launcher_.LaunchDueItems(); }
    bool RunInProgress() const { return launcher_.RunInProgress() || startingUp_; }

private:
    const Clock& clock_;
    int overdueMinute_ = -1; // the minute of the last overdue check
    bool startedUp_ = false;
    bool startingUp_ = false; // StartUp in progress: it yields, and ticks come
    std::string settingsPath_;
    LocalDateTime start_;
    BackupService backup_;
    ScheduleLauncher launcher_;
};

} // namespace veltrane
