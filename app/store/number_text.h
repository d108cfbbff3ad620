#pragma once

// Numbers read from text: the schedule file's number and boolean columns, the
// editor's reserved-files box, the "No" cell of a list row, the hour and
// minute of a schedule time and the port of an FTP server text all read their
// numbers here, so they agree on what a number is: an optional sign, decimal
// digits with an optional fraction, and an optional exponent. "inf", "nan"
// and hexadecimal texts are not numbers.

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrane {

// The leading decimal number of a text: blanks and TABs before it are
// skipped, the number is taken and the rest ignored; the value is rounded to
// the nearest integer (halves to even). A text that does not start with a
// number gives 0. nullopt when the value does not fit the type.
std::optional<std::int16_t> LeadingInt16(std::string_view text);
std::optional<std::int32_t> LeadingInt32(std::string_view text);

// The value of a text that is one decimal number and nothing else, blanks and
// TABs around it allowed. A value too large for a double is +/-infinity, one
// too small is 0. nullopt when the text is not a number.
std::optional<double> WholeDecimalNumber(std::string_view text);

} // namespace veltrane
