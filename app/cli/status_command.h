#pragma once

// "veltrane --status [--json]": how every item of a folder stands, read from
// what the service keeps (Schedule.dat, Veltrane.state, Veltrane.ini) and
// never written, without the folder's lock: so it answers beside a running
// service, and after a restart, alike.
//
// One row per item: number, service, user, enabled, schedule, next run, last
// run (time, result, cause), last success (time, dump, size), failures in a
// row, overdue. The result tells a run whose export succeeded but whose
// mail, read-back, archive or upload failed ("성공 (전송 실패)"), and the
// cause names that step's reason and a schedule that can never make the item
// due. With --json one JSON document with the same fields (see
// FormatStatusJson), times in ISO 8601 with the zone's offset.

#include "platform/clock.h"
#include "store/run_state.h"
#include "store/schedule_record.h"
#include "store/settings_file.h"

#include <string>
#include <vector>

namespace veltrane {

// Prints the status of the folder's items to standard output. Returns 0 when
// every enabled item's last run succeeded in every step, its schedule can
// make it due and none is overdue, 1 otherwise, 2 when the folder's files
// cannot be read (a folder without Schedule.dat is no folder of the
// program's).
int StatusCommand(const Clock& clock, const std::string& dataFolder, bool json);

// The table's status at `now`, as text rows under a header, and as JSON:
//
//   {"folder": "/var/lib/veltrane", "time": "2026-12-08T10:00:00+09:00",
//    "healthy": false,
//    "items": [{"number": 1, "service": "ORCL", "user": "SCOTT",
//               "enabled": true, "schedule": "매일 02:00:00",
//               "next_run": "2026-12-09T02:00:00+09:00",
//               "last_run": "2026-12-08T02:00:00+09:00",
//               "last_run_succeeded": true, "last_run_seconds": 754,
//               "last_cause": null,
//               "last_run_steps": {"mail": true, "transfer": false},
//               "last_run_steps_cause": "Data FTP 전송 실패: login refused: 530 ...",
//               "schedule_problem": null,
//               "last_success": "2026-12-08T02:00:00+09:00",
//               "last_success_dump": "SCOTT_20261208020000.DMP",
//               "last_success_bytes": 1048576, "consecutive_failures": 0,
//               "overdue": false, "overdue_since": null, "healthy": false,
//               "running": true, "run_started": "2026-12-09T02:00:00+09:00",
//               "run_stage": "export",
//               "last_log": "/backup/ORCL/SCOTT_20261209020000.LOG"}]}
//
// A value that is not known (no run yet, no next run) is null.
// `last_run_succeeded` is the export's verdict; `last_run_steps` the steps
// after a successful export, each true when it succeeded (null when the
// export failed), `last_run_steps_cause` why they failed; `schedule_problem`
// why the schedule can never make the item due. `healthy` tells whether the
// exit status would be 0. `running` tells whether a run of the item is in
// progress (one of `running`, the unfinished runs of a folder whose lock is
// held), `run_stage` the step it is at (export, mail, verify, compress,
// transfer); `last_log` is the newest log of the item's runs, failed ones
// included.
std::string FormatStatusText(const ScheduleTable& table, const Settings& settings,
                             const LocalDateTime& now, bool& healthy,
                             const std::vector<PendingRun>& running = {});
std::string FormatStatusJson(const ScheduleTable& table, const Settings& settings,
                             const LocalDateTime& now, const std::string& folder, bool& healthy,
                             const std::vector<PendingRun>& running = {});

} // namespace veltrane
