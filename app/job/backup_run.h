#pragma once

// One backup of one item: it reserves the run's files, purges the old
// backups, runs the export and judges it, and on success records the run
// and mails, reads back, compresses and uploads as the item asks; a failure
// deletes its partial dump, and the sixth in a row gives up until the item's
// next time. What it still owes is kept in Veltrane.state after each step, so
// that a stop part-way is cleaned up or finished at the next start.
//
// A run works on its own copy of the item (the operator may edit the item in
// the table meanwhile) and may run on a thread of its own; it tells what
// happens through the environment's observer and result lines.

#include "job/run_environment.h"
#include "schedule/due_rules.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <cstdint>
#include <functional>
#include <string>

namespace veltrane {

// After this many counted failures of an item the next one gives up: it
// records the run anyway, so the item waits for its next time.
inline constexpr std::int16_t kMaxExportFailures = 5;
// A wait before each try but the give-up (schedule/due_rules.h).
static_assert(kRetryWaitMinutes.size() == kMaxExportFailures);

// What a run came to: its export, and the steps after it that the item asks
// for (RunStep bits) and that failed: the result mail not sent to every
// recipient, a read-back that failed, an archive not made, an upload not
// stored. A step that did not run (the export failed) has not failed.
struct RunOutcome
{
    bool exported = false;
    unsigned failedSteps = 0;

    bool Succeeded() const { return exported && failedSteps == 0; }
};

// Runs the backup of `record`, a copy that the run changes as a run changes
// its item: strLastBackUpTime (on success, and when it gives up), bRunNow
// (cleared when it gives up), nExportFailCount, strRetryAfter, strGaveUpTime
// and history. A failed run is tried again after a wait (kRetryWaitMinutes)
// until it gives up; a login the database refused gives up at once. `recorded` is
// called with it once the export succeeded and its latest back time is set,
// before anything is mailed: the table's owner saves the schedule then.
RunOutcome RunBackupJob(RunEnvironment& env, const Settings& settings, ScheduleRecord& record,
                        const std::function<void(const ScheduleRecord&)>& recorded);

// The runs the program's last end left owing their export (Veltrane.state),
// judged by what they left, before anything else runs. A run whose log holds
// the utility's text of success, with a dump of at least one byte beside it,
// is the good backup it was: it is recorded as a run records its success
// (`recorded` is given the item's copy, with its latest back time and history,
// on the caller's thread) and owes its later steps, which
// ResumeInterruptedRuns then does. Any other such run was cut: its partial
// dump is deleted. An entry older than a run of its item recorded since is
// only cleared. Each says so in a result line.
void SettleInterruptedExports(RunEnvironment& env, const Settings& settings,
                              const ScheduleTable& table,
                              const std::function<void(const ScheduleRecord&)>& recorded);

// What the program left unfinished when it last ended (Veltrane.state), for
// the items of `table`, once SettleInterruptedExports has judged the exports:
// the steps a successful run still owed (mail, read-back, compression,
// upload) are done now, and `finished` is given a copy of the item whose
// history tells what they came to; a killed run's parameter files are
// removed. Each says so in a result line.
void ResumeInterruptedRuns(RunEnvironment& env, const Settings& settings,
                           const ScheduleTable& table,
                           const std::function<void(const ScheduleRecord&)>& finished);

// Writes the item's overdue line and mails its recipients "...]지연.": no
// success since its due time `due`.
void MailOverdue(RunEnvironment& env, const ScheduleRecord& record, const std::string& due);

} // namespace veltrane
