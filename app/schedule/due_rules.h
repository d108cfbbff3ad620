#pragma once

// When an item is due, and the launch pass that starts due items. Both are
// free of Qt: the window's launch timer calls the pass once a second.

#include "platform/clock.h"
#include "store/schedule_record.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace veltrane {

// True when the item's schedule says it should run at `now`. Returns nullopt
// when the evaluation fails: a weekly item that ran before, whose seven days
// have passed, and whose strTime cannot be read as a time of day.
std::optional<bool> IsScheduleDue(const ScheduleRecord& record, const LocalDateTime& now);

// The next time at or after `now` at which the launch pass will start the
// item: `now` for an item flagged for an immediate run, else the first second
// at which IsScheduleDue holds. nullopt for a disabled item, and when no
// second within the next 31 days is due.
std::optional<LocalDateTime> NextDueTime(const ScheduleRecord& record, const LocalDateTime& now);

// `t` moved by `seconds` (negative: back), on the local calendar.
LocalDateTime AddSeconds(const LocalDateTime& t, std::int64_t seconds);

// Reads "yyyy-MM-dd hh:mm:ss" (one- or two-digit parts are accepted; the time
// may be left out). nullopt when the text is no valid date and time.
std::optional<LocalDateTime> ParseDateTime(std::string_view text);

// The launch pass: walks the table in order and runs every enabled item that
// is due or flagged for an immediate run, one after the other.
//
// A run lets the window process its events, so a launch tick can arrive while
// a run is in progress; that nested pass is skipped, and the items it would
// have started are started by a later tick (their rules still hold, as the
// latest back time is written only by a finished run). The record being run
// is held by its shared pointer, so an insert or delete by the operator
// during the run neither moves nor frees it.
class ScheduleLauncher
{
public:
    using RunJob = std::function<void(ScheduleRecord&)>;
    using Refresh = std::function<void()>;

    ScheduleLauncher(ScheduleTable& table, const Clock& clock, RunJob run, Refresh refresh);

    void LaunchDueItems();
    bool RunInProgress() const { return running_; }

private:
    ScheduleTable& table_;
    const Clock& clock_;
    RunJob run_;
    Refresh refresh_;
    bool running_ = false;
};

} // namespace veltrane
