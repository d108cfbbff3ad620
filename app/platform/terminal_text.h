#pragma once

// Text that came from outside (a utility's output, a database's message) on
// its way to a terminal, the journal or a log: a control character or an
// escape sequence in it could move the cursor, recolour or clear the screen
// of whoever reads it, or forge a line. They are written out as JSON writes
// them ("\u001b", "\t"), so the reader sees what was there; Hangul and every
// other printable character stay as they are.

#include <string>
#include <string_view>

namespace veltrane {

// `text` (UTF-8) with every C0 control character, DEL and every C1 control
// character (U+0080..U+009F) written as "\uXXXX", and TAB, CR and LF as
// "\t", "\r" and "\n". A text without any is returned unchanged, so the
// escaping can be applied again without harm.
std::string EscapeControlCharacters(std::string_view text);

} // namespace veltrane
