#include "platform/service_manager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <systemd/sd-daemon.h>

namespace veltrane {
namespace {

using Steady = std::chrono::steady_clock;

// Half the watchdog's time; zero when it does not watch. Read once: the
// service manager sets it when it starts the process.
std::chrono::microseconds HalfWatchdog()
{
    static const std::chrono::microseconds half = [] {
        std::uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
            return std::chrono::microseconds(0);
        return std::chrono::microseconds(usec / 2);
    }();
    return half;
}

// How often the watchdog hears from us at most; zero when it does not watch.
std::chrono::microseconds PingInterval()
{
    return std::min<std::chrono::microseconds>(std::chrono::seconds(1), HalfWatchdog());
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

std::chrono::milliseconds PingWithin()
{
    const std::chrono::microseconds half = HalfWatchdog();
    if (half.count() == 0)
        return std::chrono::hours(24);
    return std::max<std::chrono::milliseconds>(
        std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(half));
}

void NotifyStopping()
{
    sd_notify(0, "STOPPING=1");
}

} // namespace veltrane
