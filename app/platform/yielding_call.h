#pragma once

// Runs a blocking call on a helper thread while the caller's thread keeps
// yielding (a run's Idle: the service's signals and watchdog are served), so
// that a mail server or FTP server that takes minutes to answer never holds
// the program deaf.

#include <chrono>
#include <functional>
#include <future>

namespace veltrane {

inline constexpr std::chrono::milliseconds kYieldInterval{50};

// Calls `yield` at least every kYieldInterval until `call` has returned on its
// own thread, then returns its result (or rethrows what it threw). `call`
// must not touch anything the yields may change.
template <typename Call> auto CallWhileYielding(Call call, const std::function<void()>& yield)
{
    auto result = std::async(std::launch::async, std::move(call));
    while (result.wait_for(kYieldInterval) != std::future_status::ready)
        yield();
    return result.get();
}

} // namespace veltrane
