#pragma once

// The tick's questions about each item of a table, answered from moments
// kept per item instead of the due rules worked out again every second: the
// launch pass (DueItems), the overdue check (OverdueSince) and whether a
// latest back time lies in the future. Each kept moment remembers what it
// was computed from (the item's rule fields, its latest back time or last
// success, the watch's start, the day) and is computed again when any of
// that changes; the answers are always those of due_rules.h.
//
// Kept by table position, with the record it was for: an item inserted or
// deleted before others only costs those a fresh computation.

#include "platform/clock.h"
#include "store/schedule_record.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrane {

class DueCache
{
public:
    // Says that records of the table changed (their rules, latest back time,
    // last success, enabled box or back-up-now flag): the next question
    // compares every kept moment with its record again. Without it that is done once a minute, so
    // that a change made behind the owner's back is seen within the minute.
    void Invalidate() { verified_ = false; }

    // DueItems(table, now) of due_rules.h.
    std::vector<std::shared_ptr<ScheduleRecord>> DueItems(const ScheduleTable& table,
                                                          const LocalDateTime& now);
    // Every item that OverdueSince(record, watchStart, now, graceSeconds) of
    // due_rules.h finds overdue: its position and the due time's text.
    std::vector<std::pair<std::size_t, const std::string*>> Overdue(const ScheduleTable& table,
                                                                    const LocalDateTime& watchStart,
                                                                    const LocalDateTime& now,
                                                                    std::int64_t graceSeconds);
    // The latest of the table's latest back times, in seconds (none when no
    // item has one that is a date); and how many times the entries were
    // compared with their records, which is when that can change.
    std::optional<std::int64_t> LatestBackUp(const ScheduleTable& table, const LocalDateTime& now);
    std::uint64_t Verifications() const { return verifications_; }
    // The second up to which no item is due, when the last launch pass
    // found every enabled item waiting (none flagged, no try owed, no latest
    // back time ahead) and nothing was said to change since; else none.
    std::optional<std::int64_t> QuietUntil() const
    {
        if (!verified_ || quietVerification_ != verifications_)
            return std::nullopt;
        return quietUntil_;
    }
    // Whether table[index]'s latest back time is a date after `now`.
    bool LastBackUpInFuture(const ScheduleTable& table, std::size_t index,
                            const LocalDateTime& now);

private:
    // A short text kept inline, so that comparing it with the record's reads
    // no memory of its own; a longer one is never kept (Set fails).
    template <std::size_t N> struct Text
    {
        std::uint8_t size = 0xFF; // nothing kept
        char data[N] = {};

        bool Is(const std::string& text) const
        {
            return text.size() == size && std::memcmp(data, text.data(), size) == 0;
        }
        bool Set(const std::string& text)
        {
            if (text.size() > N) {
                size = 0xFF;
                return false;
            }
            size = static_cast<std::uint8_t>(text.size());
            std::memcpy(data, text.data(), text.size());
            return true;
        }
    };
    // The fields the due rules read besides the times.
    struct Rules
    {
        Text<12> type;
        Text<8> time;
        Text<6> week;
        std::int16_t day = 0;

        bool Are(const ScheduleRecord& record) const
        {
            return day == record.nDay && type.Is(record.strBackUpType) && time.Is(record.strTime) &&
                   week.Is(record.strWeek);
        }
        bool Set(const ScheduleRecord& record)
        {
            day = record.nDay;
            return type.Set(record.strBackUpType) && time.Set(record.strTime) &&
                   week.Set(record.strWeek);
        }
    };
    // What the launch pass reads of one item every second, packed apart from
    // the records and the rest of the entry so that a steady pass walks one
    // small array: the record's enabled box and flag as last compared, and
    // its kept quiet stretch (no second in [computedAt, quietUntil) is due,
    // as computed from the entry's rules and latest back time).
    struct Hot
    {
        std::int64_t computedAt = 0;
        std::int64_t quietUntil = 0;
        std::int64_t lastSeconds = 0; // the latest back time, when hasLast
        bool hasLast = false;
        bool quietKnown = false;
        bool enabled = false;
        bool runNow = false;
        bool retryOwed = false; // strRetryAfter is not empty
    };
    // One item's kept moments. The launch pass's: see Hot; `last` is the
    // latest back time they were computed from. The overdue check's: the
    // first due time after the last success `success` (or the watch's
    // start), as computed from these.
    struct Entry
    {
        const ScheduleRecord* record = nullptr;
        Text<24> last;
        Text<24> success;
        Rules rules;
        bool rulesKept = false;
        bool overdueKnown = false;
        bool successBeforeNow = false;
        std::optional<std::int64_t> successSeconds;
        std::int64_t watchStart = 0;
        std::int64_t day = 0;
        std::optional<LocalDateTime> due;
        std::int64_t dueSeconds = 0;
        std::string dueText;
    };

    // Compares every entry with its record when the table was said to
    // change, or its length changed, or in a new minute: what changed is
    // computed again when it is next asked for.
    void Verify(const ScheduleTable& table, const LocalDateTime& now);
    // Whether the rules say `record` (enabled, no flag, no try owed) is due
    // at `now`, as IsScheduleDue does.
    static std::optional<bool> RuleDue(Hot& hot, const Entry& entry, const ScheduleRecord& record,
                                       const LocalDateTime& now, std::int64_t nowSeconds);

    std::vector<Entry> entries_;
    std::vector<Hot> hot_; // by table position, as entries_
    // After a launch pass in which every enabled item was quiet: no second
    // in [quietFrom_, quietUntil_) is due for any, until the entries are
    // compared with their records again (verifications_ moves).
    std::uint64_t quietVerification_ = 0;
    std::int64_t quietFrom_ = 0;
    std::int64_t quietUntil_ = 0;
    bool verified_ = false;
    std::uint64_t verifications_ = 0;
    std::optional<std::int64_t> latest_;
    std::int64_t verifiedMinute_ = 0;
};

} // namespace veltrane
