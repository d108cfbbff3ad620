#pragma once

// The export log of an item, shown read-only: the newest "<user>_<stamp>.LOG"
// in its item folder, read from code page 949. A log larger than the viewer
// takes shows its end (where an export tells how it ended), saying it is cut.

#include "platform/result.h"
#include "store/schedule_record.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class QWidget;

namespace veltrane {

// How much of a log the viewer shows at most: its last 512 KiB.
inline constexpr std::size_t kLogViewLimit = 512 * 1024;

// The path of the item's newest export log ("<user>_<yyyyMMddhhmmss>.LOG";
// the read-back's ".VERIFY.LOG" is not one); empty when it has none. An
// Error when its item folder cannot be named or read.
Result<std::string> LatestLogOf(const ScheduleRecord& record, const std::string& dataFolder);

struct LogTail
{
    std::string text;       // UTF-8, whole lines
    std::uint64_t size = 0; // of the whole file, in bytes
    bool cut = false;       // the text is only the file's end
};

// The last `limit` bytes of the log at most, from the first line that starts
// within them, converted from code page 949.
Result<LogTail> ReadLogTail(const std::string& path, std::size_t limit = kLogViewLimit);

// The item a result line ("[yyyy-MM-dd hh:mm:ss] text") tells of: the one
// whose service name starts the text, the longest such name first; among
// items of one service, the one whose user's file names the line ("SCOTT_…")
// first. Null when the line names none.
std::shared_ptr<ScheduleRecord> ItemOfResultLine(const ScheduleTable& table, std::string_view line);

// Opens a viewer of the item's latest log beside the window (it stays open
// while the operator works on), or says in a box why there is none to show.
void ShowLatestLog(QWidget* parent, const ScheduleRecord& record, const std::string& dataFolder);

} // namespace veltrane
