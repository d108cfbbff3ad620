#pragma once

// The schedule file "Schedule.dat": one line per item, 27 columns joined by
// TAB, lines ended by CR LF, no header, text in code page 949. The SMTP and
// FTP passwords (columns 19 and 24) are enciphered with the field cipher.

#include "platform/result.h"
#include "store/schedule_record.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane {

inline constexpr std::string_view kScheduleFileName = "Schedule.dat";
// The largest Schedule.dat that is read: far beyond the 32767 items a table
// holds (a few hundred bytes each), so only a damaged or planted file is
// refused.
inline constexpr std::uint64_t kMaxScheduleFileBytes = 64 << 20;

// The items of the file at `path`. A missing file gives an empty table (the
// first start). Loading is tolerant field by field: a column that is missing
// or cannot be converted leaves its field at the default, and reading goes
// on. A line of blanks and TABs only is no item. The temporary files of
// interrupted saves are removed first.
//
// A schedule that is there but cannot be used is refused, so that it never
// passes for an empty one (every backup would stop without a word): a file
// that cannot be read, anything but a regular file (a FIFO, a folder), and a
// file with text in it but no item (no line of columns, or NUL bytes: another
// encoding), with an Error that names the file and the reason.
Result<ScheduleTable> LoadSchedule(const std::string& path);
// LoadSchedule without touching anything: the temporaries stay. For a
// program that only looks (--status, --check), beside the one that runs the
// schedule.
Result<ScheduleTable> ReadSchedule(const std::string& path);

// Writes the whole table to `path`, numbering the lines 1..n in table order
// (the numbers in memory are left as they are). The previous file survives any
// failure: the Error says why, and the file and the table are as they were.
// The file is readable and writable by its owner only. A read-only file, or
// anything but a regular file, is refused and kept; a symbolic link is saved
// through, replacing the file it points to.
Status SaveSchedule(const std::string& path, const ScheduleTable& table);

// The table that the bytes of a schedule file describe (LoadSchedule without
// the file), and the bytes of the file for a table (SaveSchedule's contents).
ScheduleTable ParseSchedule(std::string_view bytes);
std::string FormatSchedule(const ScheduleTable& table);

// One line of the file, without its line end. TAB, CR and LF inside a field
// are written as one blank each, so a field can never split a line.
std::string FormatScheduleLine(const ScheduleRecord& record, std::int32_t number);

// The record that one line of the file (UTF-8, without its line end) describes.
ScheduleRecord ParseScheduleLine(std::string_view line);

} // namespace veltrane
