// The schedule file's reader: each line not blank is a record, and saving what was
// read, then reading that again, reaches a fixed point (nothing drifts or
// splits from one save to the next).

#include "fuzz_check.h"
#include "store/schedule_file.h"

using namespace veltrane;

namespace {

// Lines as the reader counts them: CR LF, a lone CR or a lone LF ends one,
// and text after the last end is one more; blank lines do not count.
std::size_t CountLines(std::string_view bytes)
{
    std::size_t lines = 0;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find_first_of("\r\n");
        lines += bytes.substr(0, end).find_first_not_of(" \t") != std::string_view::npos;
        if (end == std::string_view::npos)
            break;
        std::size_t next = end + 1;
        if (bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n')
            ++next;
        bytes.remove_prefix(next);
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes = FuzzText(data, size);
    const ScheduleTable table = ParseSchedule(bytes);
    // A code page 949 lead byte never pairs with CR or LF, so the raw bytes
    // have the same line ends as the decoded text.
    FUZZ_CHECK(table.size() == CountLines(bytes));
    for (const auto& record : table)
        FUZZ_CHECK(!record->bRunNow);

    const std::string saved = FormatSchedule(table);
    const ScheduleTable again = ParseSchedule(saved);
    FUZZ_CHECK(again.size() == table.size());
    FUZZ_CHECK(FormatSchedule(again) == saved);
    return 0;
}
