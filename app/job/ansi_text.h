#pragma once

// Byte-range arithmetic on texts as they are stored in code page 949.
//
// Command output arrives as code page 949 bytes, in reads that may cut a
// double-byte character in two. These helpers find where whole characters end
// and select the characters of a UTF-8 text by their byte positions in the
// code page, so that a chunk of output never holds half a character.

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane {

// The characters of `text` (UTF-8) that fall within a byte range of its code
// page 949 form. Walking the characters from the first, it keeps a running
// byte count: 2 for a character the code page stores in two bytes, 1 for any
// other (a character the code page cannot store is written as "?", one byte).
// After counting a character, the character belongs to the result when
// start <= running count < start + byteCount. With start 1 and byteCount n it
// gives the characters whose last byte is among the first n bytes; a
// double-byte character whose second byte would be byte n + 1 is left out.
std::string AnsiMidBytes(std::string_view text, long start, long byteCount);
// The same selection made in place: `text` keeps only those characters.
void KeepAnsiMidBytes(std::string& text, long start, long byteCount);

// How many of the first `size` bytes of code page 949 text can be decoded now
// as a decode of the whole text would: `size`, or `size` - 1 when the last
// byte is a lead byte whose meaning depends on the byte after it. A lead byte
// that does not form a character with the next one counts as a (broken)
// character of its own, so only a lead byte at the very end is held back.
std::size_t CompleteCharacterBytes(const unsigned char* bytes, std::size_t size);

// Length of the run of ASCII bytes (below 0x80) in `text` starting at `from`;
// scans eight bytes at a time, since command output is mostly ASCII.
std::size_t AsciiRunLength(std::string_view text, std::size_t from);

} // namespace veltrane
