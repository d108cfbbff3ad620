#pragma once

// What the service tells the service manager (systemd) of itself, through
// the socket that NOTIFY_SOCKET names: that it is ready, that it is still
// alive (the watchdog, when the unit sets WatchdogSec=), and that it stops.
// Started any other way (by hand, by cron, in a container without systemd)
// nothing names a socket, and these do nothing.

#include <chrono>
#include <string>

namespace veltrane {

// The service has read its schedule and runs it; `status` is a short text
// that "systemctl status" shows beside the unit.
void NotifyReady(const std::string& status);

// What the service is doing now, for "systemctl status" (a run's stage,
// "Ready." between runs).
void NotifyStatus(const std::string& status);

// The service is alive. Sent only when the service manager watches it, and
// at most about once a second however often it is called (half the
// watchdog's time, when that is shorter).
void PingWatchdog();
// The longest the service may wait between two PingWatchdog calls: half the
// watchdog's time; a day when nothing watches.
std::chrono::milliseconds PingWithin();

// The service is ending on purpose.
void NotifyStopping();

} // namespace veltrane
