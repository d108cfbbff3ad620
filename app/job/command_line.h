#pragma once

// Splitting a command line into the arguments of a child process.
//
// Command lines of this program are single texts (the export command line, the
// archiver's command line, whatever an operator typed as the program path).
// They are never handed to a shell: the text is split here with the rule that
// Windows programs apply to their own command line, so that a stored command
// line means the same thing on every platform and ";", "|", ">", "$(...)" and
// the like reach the child as plain text.
//
// - Blanks and tabs outside double quotes separate arguments.
// - A double quote starts or ends a quoted stretch and is removed; "" gives an
//   empty argument, and a quoted stretch can join text before or after it
//   (ab"c d"e is the single argument abc de).
// - Backslashes are literal, except in front of a double quote: 2n of them
//   followed by a quote give n backslashes and the quote starts or ends a
//   quoted stretch; 2n+1 of them give n backslashes and a literal quote.
//
// The texts are not converted: they stay UTF-8, like file-system paths.

#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The text that SplitCommandLine reads back as exactly `argument`, whatever
// it holds (blanks, quotes, backslashes): the argument itself when it needs
// no quoting, else the argument in double quotes with its quotes, and the
// backslashes in front of them or of the closing quote, escaped.
std::string QuoteArgument(std::string_view argument);

} // namespace veltrane
