#pragma once

// "veltrane --run-item N": one backup of item N (its number in
// Schedule.dat), now, in the foreground, whatever its schedule, with every
// step of a run (retention, export, mail, read-back, compression, upload),
// its lines on standard output as the service writes them and in
// Veltrane.log. So a systemd timer, cron or a Kubernetes CronJob can drive
// the backups in place of the service's own launch pass.
//
// It takes the folder's lock as the service does, so beside a running
// service or window on the same folder it refuses; like a start of the
// service, it first cleans up or finishes what a run that was killed left
// (Veltrane.state). SIGTERM and SIGINT end it as they end the service,
// stopping the run's child.

#include "platform/clock.h"

#include <string>

namespace veltrane {

// Runs the item. Returns 0 when the export and every later step the item
// asks for succeeded; 1 when the export failed, or a later step failed (a
// result mail not sent to every recipient, a read-back that failed, an
// archive not made, an upload not stored), or a signal ended the run; 2 when
// the folder is in use, its schedule cannot be read, or it holds no item N.
int RunItemCommand(const Clock& clock, const std::string& dataFolder,
                   const std::string& libraryFolder, int item);

} // namespace veltrane
