// The due rules with the number reader: any schedule fields and times are
// safe to judge, the next due time is a moment the rules call due, and the
// two number readers agree on what a number is.

#include "schedule/due_rules.h"

#include "fuzz_check.h"
#include "store/number_text.h"

#include <cmath>
#include <string>

using namespace veltrane;

namespace {

// Takes the input apart at "|": kind, time, weekday, day, latest back time, now.
std::string Take(std::string_view& text)
{
    const std::size_t bar = text.find('|');
    std::string part(text.substr(0, bar));
    text.remove_prefix(bar == std::string_view::npos ? text.size() : bar + 1);
    return part;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text = FuzzText(data, size);
    ScheduleRecord r;
    r.bEnabled = true;
    r.strBackUpType = Take(text);
    r.strTime = Take(text);
    r.strWeek = Take(text);
    const std::string day = Take(text);
    r.nDay = LeadingInt16(day).value_or(0);
    r.strLastBackUpTime = Take(text);
    const std::string nowText = Take(text);

    // A number that stands alone is also the leading number of its text.
    if (const auto whole = WholeDecimalNumber(day); whole && std::isfinite(*whole)) {
        const double rounded = std::nearbyint(*whole);
        if (rounded >= -32768 && rounded <= 32767)
            FUZZ_CHECK(LeadingInt16(day) == static_cast<std::int16_t>(rounded));
    }

    const LocalDateTime now =
        ParseDateTime(nowText).value_or(LocalDateTime{2026, 12, 8, 2, 0, 0, 2});
    (void)IsScheduleDue(r, now);
    if (const auto next = NextDueTime(r, now)) {
        FUZZ_CHECK(SecondsOf(*next) >= SecondsOf(now));
        FUZZ_CHECK(IsScheduleDue(r, *next).value_or(false));
    }
    return 0;
}
