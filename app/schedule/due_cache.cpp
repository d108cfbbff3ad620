#include "schedule/due_cache.h"

#include "schedule/calendar.h"
#include "schedule/due_rules.h"

#include <algorithm>

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
    hot_.resize(table.size());
    latest_.reset();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ScheduleRecord& record = *table[i];
        Entry& entry = entries_[i];
        Hot& hot = hot_[i];
        if (entry.record != &record) {
            entry = Entry{};
            hot = Hot{};
            entry.record = &record;
        }
        // A text too long to keep is read again at every verification, and
        // leaves nothing kept that was computed from it.
        if (!entry.last.Is(record.strLastBackUpTime)) {
            const std::optional<std::int64_t> last = SecondsOfStored(record.strLastBackUpTime);
            hot.hasLast = last.has_value();
            hot.lastSeconds = last.value_or(0);
            entry.last.Set(record.strLastBackUpTime);
            hot.quietKnown = false;
        }
        if (!entry.success.Is(record.history.lastSuccessTime)) {
            entry.successSeconds = SecondsOfStored(record.history.lastSuccessTime);
            entry.success.Set(record.history.lastSuccessTime);
            entry.overdueKnown = false;
        }
        if (!entry.rulesKept || !entry.rules.Are(record)) {
            entry.rulesKept = entry.rules.Set(record);
            hot.quietKnown = false;
            entry.overdueKnown = false;
        }
        hot.retryOwed = !record.strRetryAfter.empty();
        hot.enabled = record.bEnabled;
        hot.runNow = record.bRunNow;
        if (hot.hasLast && (!latest_ || hot.lastSeconds > *latest_))
            latest_ = hot.lastSeconds;
    }
    verified_ = true;
    ++verifications_;
    verifiedMinute_ = minute;
}

std::optional<bool> DueCache::RuleDue(Hot& hot, const Entry& entry, const ScheduleRecord& record,
                                      const LocalDateTime& now, std::int64_t nowSeconds)
{
    // A latest back time ahead of the clock is read anew at every moment (as
    // far past until the clock reaches it): nothing to keep.
    if (hot.hasLast && hot.lastSeconds > nowSeconds)
        return IsScheduleDue(record, now);
    if (hot.quietKnown && nowSeconds >= hot.computedAt && nowSeconds < hot.quietUntil)
        return false;
    hot.quietKnown = false;
    const std::optional<bool> due = IsScheduleDue(record, now);
    if (!due || *due)
        return due;
    // Not due now: quiet until the next due second. With none within the
    // rules' horizon, until the next midnight, where the day-counting rules
    // (and a weekly item whose time cannot be read, whose evaluation fails
    // once its seven days have passed) next change their answer.
    const std::optional<LocalDateTime> next = NextDueTime(record, now);
    hot.quietUntil = next ? SecondsOf(*next) : (DayOf(nowSeconds) + 1) * kDay;
    hot.computedAt = nowSeconds;
    hot.quietKnown = entry.rulesKept && entry.last.Is(record.strLastBackUpTime);
    return false;
}

std::vector<std::shared_ptr<ScheduleRecord>> DueCache::DueItems(const ScheduleTable& table,
                                                                const LocalDateTime& now)
{
    Verify(table, now);
    const std::int64_t nowSeconds = SecondsOf(now);
    std::vector<std::shared_ptr<ScheduleRecord>> due;
    if (quietVerification_ == verifications_ && nowSeconds >= quietFrom_ &&
        nowSeconds < quietUntil_)
        return due;
    // Every item quiet so far, and the stretch they share: `quiet` says
    // whether an item is quiet now, and narrows the stretch to its own.
    bool allQuiet = true;
    std::int64_t quietFrom = INT64_MIN;
    std::int64_t quietUntil = INT64_MAX;
    const auto quiet = [&](const Hot& hot) {
        if (hot.runNow || hot.retryOwed || !hot.quietKnown || nowSeconds < hot.computedAt ||
            nowSeconds >= hot.quietUntil || (hot.hasLast && hot.lastSeconds > nowSeconds))
            return false;
        quietFrom = std::max(quietFrom, hot.computedAt);
        quietUntil = std::min(quietUntil, hot.quietUntil);
        return true;
    };
    for (std::size_t i = 0; i < table.size(); ++i) {
        Hot& hot = hot_[i];
        // The steady case reads nothing but this item's few packed bytes: a
        // record is touched only when its item may be due.
        if (!hot.enabled || quiet(hot))
            continue;
        const std::shared_ptr<ScheduleRecord>& record = table[i];
        // A try owed, or a flag, decides by itself: rare, and read as the
        // rules say.
        if (hot.retryOwed) {
            allQuiet = false;
            if (const std::optional<LocalDateTime> retry = RetryTime(*record, now)) {
                if (record->bRunNow || SecondsOf(*retry) <= nowSeconds)
                    due.push_back(record);
                continue;
            }
        }
        const std::optional<bool> rule = record->bRunNow
                                             ? IsScheduleDue(*record, now)
                                             : RuleDue(hot, entries_[i], *record, now, nowSeconds);
        if (!rule) {
            allQuiet = false;
            break;
        }
        if (*rule || record->bRunNow)
            due.push_back(record);
        // Quiet from now on when the rules just said how long.
        allQuiet = allQuiet && !*rule && quiet(hot);
    }
    if (allQuiet) {
        quietVerification_ = verifications_;
        quietFrom_ = quietFrom;
        quietUntil_ = quietUntil;
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
        if (!hot_[i].enabled)
            continue;
        const ScheduleRecord& record = *table[i];
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
    const Hot& hot = hot_[index];
    return hot.hasLast && hot.lastSeconds > SecondsOf(now);
}

} // namespace veltrane
