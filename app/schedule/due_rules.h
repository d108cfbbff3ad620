#pragma once

// When an item is due, and which items the launch pass starts (DueItems):
// the scheduler's tick asks once a second, in the window and in the service.

#include "platform/clock.h"
#include "schedule/calendar.h"
#include "store/schedule_record.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace veltrane {

// True when the item's schedule says it should run at `now`. A latest back
// time later than `now` (a clock that was once ahead wrote it) is read like
// one that cannot be read: far in the past, so it never holds the item back.
// Returns nullopt
// when the evaluation fails: a weekly item that ran before, whose seven days
// have passed, and whose strTime cannot be read as a time of day.
std::optional<bool> IsScheduleDue(const ScheduleRecord& record, const LocalDateTime& now);

// How long a failed item waits before it is tried again, in minutes, after
// its first, second, ... counted failure: a database that is down, or a disk
// that is full, is given time to come back, and the database's logon
// auditing is not flooded. The run after the last wait gives up.
inline constexpr std::array<int, 5> kRetryWaitMinutes = {5, 10, 20, 40, 60};

// When a failed item's owed try may start (strRetryAfter), as the launch pass
// reads it at `now`; nullopt when no try is owed. A time further ahead than
// the longest wait was written by a clock that was ahead: it is read as `now`,
// so it never holds the item back for long.
std::optional<LocalDateTime> RetryTime(const ScheduleRecord& record, const LocalDateTime& now);

// The next time at or after `now` at which the launch pass will start the
// item: `now` for an item flagged for an immediate run, the owed try's time
// (RetryTime, or `now` once it passed) for a failed item, else the first
// second at which IsScheduleDue holds. The one answer the launch pass, the
// window, the status command and the metrics all give. nullopt for a disabled item, and when no
// second within the next kNextDueHorizon (31 days) is due.
std::optional<LocalDateTime> NextDueTime(const ScheduleRecord& record, const LocalDateTime& now);
constexpr std::int64_t kNextDueHorizon = 31 * kDay;
// NextDueTime(record, now) in seconds (none: nullopt), and the second until
// which it stays the answer as the clock moves on while the record stays as
// it is: for a next run, its own time; with none, when the first due time
// beyond the horizon comes within it.
struct NextRunHolding
{
    std::optional<std::int64_t> run;
    std::int64_t until = 0;
};
NextRunHolding NextDueTimeHolding(const ScheduleRecord& record, const LocalDateTime& now);

// When an enabled item that ran before was due between its latest back time
// and `now` but is not due at `now`: the first such time. The program was not
// running then (or the item was disabled), so the backup was missed. nullopt
// otherwise, and for an item that never ran or whose latest back time is no
// date or lies after `now`.
std::optional<LocalDateTime> MissedDueTime(const ScheduleRecord& record, const LocalDateTime& now);

// The first time an enabled item's own rules made it due after its last
// success (history.lastSuccessTime) when that lies before `now`, else after
// `watchStart`; nullopt for a disabled item and when none is within 31 days.
// `now` only decides which of the two it counts from.
std::optional<LocalDateTime> FirstDueAfterSuccess(const ScheduleRecord& record,
                                                  const LocalDateTime& watchStart,
                                                  const LocalDateTime& now);

// The due time an enabled item has missed by more than `graceSeconds` at
// `now`: the first time its own rules made it due after its last success
// (history.lastSuccessTime), or after `watchStart` (the program's start) when
// no success is known; nullopt when it is not that late, or is disabled.
std::optional<LocalDateTime> OverdueSince(const ScheduleRecord& record,
                                          const LocalDateTime& watchStart, const LocalDateTime& now,
                                          std::int64_t graceSeconds);

// The launch pass's choice: the enabled items of `table` that are due at
// `now` (an owed try whose time came, or else their rules) or flagged for an
// immediate run (bRunNow), in table order. An item that owes a try is not
// due by its rules before the try's time. An item
// whose evaluation fails ends the list there (the items after it wait for a
// later pass, as the rules say); a disabled item is never chosen, even when
// flagged.
std::vector<std::shared_ptr<ScheduleRecord>> DueItems(const ScheduleTable& table,
                                                      const LocalDateTime& now);

} // namespace veltrane
