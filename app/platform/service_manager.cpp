#include "platform/service_manager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <systemd/sd-daemon.h>

namespace veltrane {
namespace {

using Steady = std::chrono::steady_clock;

// How often the watchdog wants to hear from us; zero when it does not watch.
// Read once: the service manager sets it when it starts the process.
std::chrono::microseconds PingInterval()
{
    static const std::chrono::microseconds interval = [] {
        std::uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
            return std::chrono::microseconds(0);
        return std::min<std::chrono::microseconds>(std::chrono::seconds(1),
                                                   std::chrono::microseconds(usec / 2));
    }();
    return interval;
}

std::atomic<Steady::rep> gLastPing{0};

} // namespace

void NotifyReady(const std::string& status)
{
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
    PingWatchdog();
}

void NotifyStatus(const std::string& status)
{
    sd_notify(0, ("STATUS=" + status).c_str());
}

void PingWatchdog()
{
    const std::chrono::microseconds interval = PingInterval();
    if (interval.count() == 0)
        return;
    // The elapsed time between pings, not the time of day: a clock set back
    // must not silence the service.
    const Steady::rep now = Steady::now().time_since_epoch().count();
    Steady::rep last = gLastPing.load();
    if (last != 0 && Steady::duration(now - last) < interval)
        return;
    if (gLastPing.compare_exchange_strong(last, now))
        sd_notify(0, "WATCHDOG=1");
}

void NotifyStopping()
{
    sd_notify(0, "STOPPING=1");
}

} // namespace veltrane
