#include "job/ansi_text.h"

#include "platform/codepage.h"

namespace veltrane {
namespace {

bool IsTrailByte(unsigned char byte)
{
    return (byte >= 0x41 && byte <= 0x5A) || (byte >= 0x61 && byte <= 0x7A) ||
           (byte >= 0x81 && byte <= 0xFE);
}

// Code page width of one UTF-8 character. ASCII and the precomposed Hangul
// syllables (U+AC00..U+D7A3, all of which code page 949 stores in two bytes)
// are answered without a converter, because command output consists almost
// entirely of them and it is measured character by character.
long AnsiWidth(std::string_view oneChar)
{
    const auto b0 = static_cast<unsigned char>(oneChar[0]);
    if (b0 < 0x80)
        return 1;
    if (oneChar.size() == 3) {
        const unsigned cp = ((b0 & 0x0Fu) << 12) |
                            ((static_cast<unsigned char>(oneChar[1]) & 0x3Fu) << 6) |
                            (static_cast<unsigned char>(oneChar[2]) & 0x3Fu);
        if (cp >= 0xAC00 && cp <= 0xD7A3)
            return 2;
    }
    return cp949::WidthOf(oneChar) == cp949::CharWidth::Double ? 2 : 1;
}

} // namespace

std::string AnsiMidBytes(std::string_view text, long start, long byteCount)
{
    std::string result;
    const long end = start + byteCount;
    long running = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = cp949::Utf8SequenceLength(static_cast<unsigned char>(text[i]));
        if (length > text.size() - i)
            length = text.size() - i;
        const std::string_view oneChar = text.substr(i, length);
        running += AnsiWidth(oneChar);
        if (running >= end)
            break; // the count only grows: no later character can fall inside
        if (start <= running)
            result.append(oneChar);
        i += length;
    }
    return result;
}

std::size_t CompleteCharacterBytes(const unsigned char* bytes, std::size_t size)
{
    std::size_t i = 0;
    while (i < size) {
        if (!cp949::IsLeadByte(bytes[i])) {
            ++i;
        } else if (i + 1 == size) {
            return i;
        } else {
            i += IsTrailByte(bytes[i + 1]) ? 2 : 1;
        }
    }
    return size;
}

} // namespace veltrane
