#pragma once

// The ANSI code page of the program: code page 949 (a superset of EUC-KR).
//
// Inside the program every text is UTF-8. Texts cross into code page 949 where
// they leave the program as bytes: the schedule file, the ".LOG" files, the
// output of child processes and the text arguments of the two libraries.
//
// Neither direction ever fails or drops a character silently:
// - a character that code page 949 cannot represent is written as "?" (one
//   byte), so the reader sees that something was there;
// - a byte sequence that is not valid code page 949 is read as U+FFFD, one per
//   offending byte.

#include <string>
#include <string_view>

namespace veltrane::cp949 {

// UTF-8 text to code page 949 bytes.
std::string FromUtf8(std::string_view utf8);

// Code page 949 bytes to UTF-8 text.
std::string ToUtf8(std::string_view ansi);

// True when the byte starts a double-byte character in code page 949.
inline bool IsLeadByte(unsigned char byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

// True when the two bytes form a character of the code page (what ToUtf8
// reads as one character; any other lead byte stands alone for U+FFFD).
bool IsPair(unsigned char lead, unsigned char trail);

// How the code page would store one UTF-8 encoded character.
enum class CharWidth { Single, Double, Unrepresentable };
CharWidth WidthOf(std::string_view oneUtf8Char);

// Length in bytes of the UTF-8 sequence starting with this byte (1 for a
// stray continuation or invalid byte, so callers always make progress).
std::size_t Utf8SequenceLength(unsigned char lead);

// The `count` characters of a UTF-8 text that start at character `first`
// (counted from 0), as texts are cut by characters, not bytes, wherever the
// program takes part of one; fewer when the text ends first.
std::string_view MidCharacters(std::string_view utf8, std::size_t first,
                               std::size_t count = std::string_view::npos);

} // namespace veltrane::cp949
