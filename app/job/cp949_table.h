#pragma once

// A table-driven decoder for code page 949 output.
//
// The converter of the platform layer costs a library call per chunk and per
// character; an export prints megabytes of Korean text in 256-byte chunks.
// This decoder looks every double-byte character up in a table that is built
// once, at first use, from the platform's encoder, so the characters are the
// platform's own. Every byte that is not part of a valid character becomes
// U+FFFD, one per byte, as the platform decoder does.
//
// It also never hands the converter an invalid sequence: for a few unassigned
// pairs (A2 E8, for one) the C library's converter reports an error after
// consuming the input, which the platform decoder does not expect.

#include <string>
#include <string_view>

namespace veltrane {

// Code page 949 bytes to UTF-8 text: ASCII as it is, each valid double-byte
// character as its UTF-8 form, any other byte as U+FFFD.
std::string DecodeCp949(std::string_view bytes);

} // namespace veltrane
