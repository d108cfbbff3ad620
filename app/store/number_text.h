#pragma once

// Numbers read from text: the schedule file's number columns, the editor's
// reserved-files box and the "No" cell of a list row all take the leading
// decimal number of a text.

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrane {

// The leading decimal number of a text: blanks before it are skipped, then a
// sign, digits, a fraction and an exponent are taken and the rest ignored
// ("inf", "nan" and hexadecimal texts do not start with a number); the value
// is rounded to the nearest integer (halves to even). A text that does not
// start with a number gives 0. nullopt when the value does not fit the type.
std::optional<std::int16_t> LeadingInt16(std::string_view text);
std::optional<std::int32_t> LeadingInt32(std::string_view text);

} // namespace veltrane
