#pragma once

// The headless service: the same schedule, launch pass and backup runs as the
// window, with no window and no display, for a machine where nobody stays
// logged in. It is the BackupHost of its ScheduleService:
//
// - every result line goes to standard output (one line each, UTF-8) and, as
//   always, to the history file; so do the stages of a run ("[ORCL]
//   BackUp...", "Transfer Start." ...) and every message the window would
//   show in a box;
// - SIGTERM and SIGINT end the service at once, as the tray's end command
//   ends the window, after a last line; a run in progress is abandoned where
//   it stands;
// - SIGHUP reads Schedule.dat again, between runs.
//
// The launch pass runs once a second, like the window's launch timer.

#include "platform/clock.h"

#include <cstdio>
#include <string>

namespace veltrane {

// Runs until SIGTERM or SIGINT; returns the process's exit status (it ends
// the process itself on a signal that comes during a run).
int RunHeadlessService(const Clock& clock, const std::string& dataFolder,
                       const std::string& libraryFolder, std::FILE* out);

} // namespace veltrane
