#pragma once

#include "mail_clock.h"
#include "outcome.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace sendwick {

// "[2026/12/07 09:15:02] "
std::string FormatLogStamp(const ZonedTime& time);

// `text` with every control byte written out, so that nothing a peer sends
// can start a line of its own in the log (a reply line reading "SEND OK ...",
// say): CR, LF and TAB as "\r", "\n" and "\t", every other byte below 0x20
// and DEL as "\xNN". Other bytes, code page 949 text among them, stay.
std::string EscapeControls(std::string_view text);

// Whether an entry ends its line. One that does not is continued by the next
// entry on the same line ("TIME OUT", a reply cut short).
enum class EntryEnd { Line, Open };

// The size the session log may reach before a new file starts.
inline constexpr std::uintmax_t kLogLimitBytes = 10 * 1024 * 1024;

// Appends "[stamp] text" to the session log, `text` escaped (EscapeControls)
// and followed by CR LF when `end` is Line. The file is opened and closed for
// every entry so that the log is complete even if the caller dies
// mid-session. When the entry would take the file past `limitBytes`, the file
// is first renamed "<path>.1" (replacing the one before) and a new one starts,
// as the program's own history does. An empty path writes nothing. An entry
// that cannot be written whole never fails a send: the answer says why
// ("<path> cannot be written: <reason>"), for the caller to pass on.
Outcome AppendLog(const std::string& path, std::string_view text, const ZonedTime& time,
                  EntryEnd end = EntryEnd::Line, std::uintmax_t limitBytes = kLogLimitBytes);

} // namespace sendwick
