#pragma once

// Pieces of the wording of a failure's reason, shared by the parts of a call
// that tell one. How a whole reason is chosen from libcurl's code and what
// the dialogue showed is FtpCall::Explain (reasons.cpp).

#include <string>
#include <string_view>

namespace hoistline {

// A reply line (or libcurl's message) as one short line of plain text for a
// reason: control bytes become blanks, and a server that talks at length is
// cut short.
std::string PlainLine(std::string_view line);

// "20 s", or "1500 ms" for a limit that is no whole number of seconds.
std::string Duration(long ms);

} // namespace hoistline
