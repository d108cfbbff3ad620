#include "schedule/due_cache.h"

#include "schedule/calendar.h"
#include "schedule/due_rules.h"

namespace veltrane {
namespace {

std::int64_t DayOf(std::int64_t seconds)
{
    return seconds / kDay - (seconds % kDay < 0 ? 1 : 0);
}

std::optional<std::int64_t> SecondsOfStored(const std::string& text)
{
    const std::optional<LocalDateTime> time = ParseDateTime(text);
    return time ? std::optional<std::int64_t>(SecondsOf(*time)) : std::nullopt;
}

} // namespace

void DueCache::Verify(const ScheduleTable& table, const LocalDateTime& now)
{
    const std::int64_t minute = MinuteNumber(now);
    if (verified_ && minute == verifiedMinute_ && entries_.size() == table.size())
        return;
    entries_.resize(table.size());
    latest_.reset();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ScheduleRecord& record = *table[i];
        Entry& entry = entries_[i];
        if (entry.record != &record) {
            entry = Entry{};
            entry.record = &record;
        }
        // A text too long to keep is read again at every verification, and
        // leaves nothing kept that was computed from it.
        if (!entry.last.Is(record.strLastBackUpTime)) {
            entry.lastSeconds = SecondsOfStored(record.strLastBackUpTime);
            entry.last.Set(record.strLastBackUpTime);
            entry.quietKnown = false;
        }
        if (!entry.success.Is(record.history.lastSuccessTime)) {
            entry.successSeconds = SecondsOfStored(record.history.lastSuccessTime);
            entry.success.Set(record.history.lastSuccessTime);
            entry.overdueKnown = false;
        }
        if (!entry.rulesKept || !entry.rules.Are(record)) {
            entry.rulesKept = entry.rules.Set(record);
            entry.quietKnown = false;
            entry.overdueKnown = false;
        }
        entry.retryOwed = !record.strRetryAfter.empty();
        if (entry.lastSeconds && (!latest_ || *entry.lastSeconds > *latest_))
            latest_ = entry.lastSeconds;
    }
    verified_ = true;
    ++verifications_;
    verifiedMinute_ = minute;
}

std::optional<bool> DueCache::RuleDue(Entry& entry, const ScheduleRecord& record,
                                      const LocalDateTime& now, std::int64_t nowSeconds)
{
    // A latest back time ahead of the clock is read anew at every moment (as
    // far past until the clock reaches it): nothing to keep.
    if (entry.lastSeconds && *entry.lastSeconds > nowSeconds)
        return IsScheduleDue(record, now);
    if (entry.quietKnown && nowSeconds >= entry.computedAt && nowSeconds < entry.quietUntil)
        return false;
    entry.quietKnown = false;
    const std::optional<bool> due = IsScheduleDue(record, now);
    if (!due || *due)
        return due;
    // Not due now: quiet until the next due second. With none within the
    // rules' horizon, until the next midnight, where the day-counting rules
    // (and a weekly item whose time cannot be read, whose evaluation fails
    // once its seven days have passed) next change their answer.
    const std::optional<LocalDateTime> next = NextDueTime(record, now);
    entry.quietUntil = next ? SecondsOf(*next) : (DayOf(nowSeconds) + 1) * kDay;
    entry.computedAt = nowSeconds;
    entry.quietKnown = entry.rulesKept && entry.last.Is(record.strLastBackUpTime);
    return false;
}

std::vector<std::shared_ptr<ScheduleRecord>> DueCache::DueItems(const ScheduleTable& table,
                                                                const LocalDateTime& now)
{
    Verify(table, now);
    const std::int64_t nowSeconds = SecondsOf(now);
    std::vector<std::shared_ptr<ScheduleRecord>> due;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::shared_ptr<ScheduleRecord>& record = table[i];
        if (!record->bEnabled)
            continue;
        // A try owed, or a flag, decides by itself: rare, and read as the
        // rules say.
        if (entries_[i].retryOwed) {
            if (const std::optional<LocalDateTime> retry = RetryTime(*record, now)) {
                if (record->bRunNow || SecondsOf(*retry) <= nowSeconds)
                    due.push_back(record);
                continue;
            }
        }
        const std::optional<bool> rule = record->bRunNow
                                             ? IsScheduleDue(*record, now)
                                             : RuleDue(entries_[i], *record, now, nowSeconds);
        if (!rule)
            break;
        if (*rule || record->bRunNow)
            due.push_back(record);
    }
    return due;
}

std::vector<std::pair<std::size_t, const std::string*>>
DueCache::Overdue(const ScheduleTable& table, const LocalDateTime& watchStart,
                  const LocalDateTime& now, std::int64_t graceSeconds)
{
    Verify(table, now);
    const std::int64_t nowSeconds = SecondsOf(now);
    const std::int64_t watch = SecondsOf(watchStart);
    const std::int64_t day = DayOf(nowSeconds);
    std::vector<std::pair<std::size_t, const std::string*>> overdue;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ScheduleRecord& record = *table[i];
        if (!record.bEnabled)
            continue;
        Entry& entry = entries_[i];
        const bool before = entry.successSeconds && *entry.successSeconds < nowSeconds;
        if (!entry.overdueKnown || entry.watchStart != watch || entry.successBeforeNow != before ||
            entry.day != day) {
            entry.due = FirstDueAfterSuccess(record, watchStart, now);
            entry.dueSeconds = entry.due ? SecondsOf(*entry.due) : 0;
            entry.dueText = entry.due ? FormatDateTime(*entry.due) : std::string();
            entry.watchStart = watch;
            entry.successBeforeNow = before;
            entry.day = day;
            entry.overdueKnown =
                entry.rulesKept && entry.success.Is(record.history.lastSuccessTime);
        }
        if (entry.due && nowSeconds - entry.dueSeconds > graceSeconds)
            overdue.emplace_back(i, &entry.dueText);
    }
    return overdue;
}

std::optional<std::int64_t> DueCache::LatestBackUp(const ScheduleTable& table,
                                                   const LocalDateTime& now)
{
    Verify(table, now);
    return latest_;
}

bool DueCache::LastBackUpInFuture(const ScheduleTable& table, std::size_t index,
                                  const LocalDateTime& now)
{
    Verify(table, now);
    const std::optional<std::int64_t>& last = entries_[index].lastSeconds;
    return last && *last > SecondsOf(now);
}

} // namespace veltrane
