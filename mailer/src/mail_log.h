#pragma once

#include "mail_clock.h"
#include "outcome.h"

#include <string>
#include <string_view>

namespace sendwick {

// "[2026/12/07 09:15:02] "
std::string FormatLogStamp(const ZonedTime& time);

// Appends "[stamp] text" to the session log. No line end is added: the texts
// carry their own. The file is opened and closed for every entry so that the
// log is complete even if the caller dies mid-session. An empty path writes
// nothing. An entry that cannot be written whole never fails a send: the
// answer says why ("<path> cannot be written: <reason>"), for the caller to
// pass on.
Outcome AppendLog(const std::string& path, std::string_view text, const ZonedTime& time);

} // namespace sendwick
