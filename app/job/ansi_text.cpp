#include "job/ansi_text.h"

#include "platform/codepage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace veltrane {
namespace {

// Code page width of one UTF-8 character. ASCII and the precomposed Hangul
// syllables (U+AC00..U+D7A3, all of which code page 949 stores in two bytes)
// are answered without a converter, because command output consists almost
// entirely of them and it is measured character by character.
long AnsiWidth(std::string_view oneChar)
{
    const auto b0 = static_cast<unsigned char>(oneChar[0]);
    if (b0 < 0x80)
        return 1;
    if (oneChar.size() == 3 && (static_cast<unsigned char>(oneChar[1]) & 0xC0u) == 0x80u &&
        (static_cast<unsigned char>(oneChar[2]) & 0xC0u) == 0x80u) {
        const unsigned cp = ((b0 & 0x0Fu) << 12) |
                            ((static_cast<unsigned char>(oneChar[1]) & 0x3Fu) << 6) |
                            (static_cast<unsigned char>(oneChar[2]) & 0x3Fu);
        if (cp >= 0xAC00 && cp <= 0xD7A3)
            return 2;
    }
    return cp949::WidthOf(oneChar) == cp949::CharWidth::Double ? 2 : 1;
}

// The stretch [first, last) of `text` that AnsiMidBytes selects.
std::pair<std::size_t, std::size_t> MidBytesSpan(std::string_view text, long start, long byteCount)
{
    // The running count only grows, so the characters that satisfy
    // start <= count < start + byteCount form one stretch of the text: find
    // where it begins and ends, and take it in one piece. Runs of ASCII (one byte
    // each) are stepped over in one go.
    const long end = start + byteCount;
    long running = 0;
    std::size_t first = text.size();
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            // Character k of the run (from 0) ends at byte running + k + 1.
            const long run = static_cast<long>(AsciiRunLength(text, i));
            const long inside = std::min(run, std::max(0L, end - running - 1));
            const long firstInside = std::max(0L, start - running - 1);
            if (first == text.size() && firstInside < inside)
                first = i + static_cast<std::size_t>(firstInside);
            running += inside;
            i += static_cast<std::size_t>(inside);
            if (inside < run)
                break;
            continue;
        }
        std::size_t length = lead >= 0xE0 && lead <= 0xEF ? 3 : cp949::Utf8SequenceLength(lead);
        if (length > text.size() - i)
            length = text.size() - i;
        running += AnsiWidth(text.substr(i, length));
        if (running >= end)
            break;
        if (first == text.size() && start <= running)
            first = i;
        i += length;
    }
    return first < i ? std::make_pair(first, i) : std::make_pair(i, i);
}

} // namespace

std::string AnsiMidBytes(std::string_view text, long start, long byteCount)
{
    const auto [first, last] = MidBytesSpan(text, start, byteCount);
    return std::string(text.substr(first, last - first));
}

void KeepAnsiMidBytes(std::string& text, long start, long byteCount)
{
    const auto [first, last] = MidBytesSpan(text, start, byteCount);
    text.resize(last);
    text.erase(0, first);
}

std::size_t CompleteCharacterBytes(const unsigned char* bytes, std::size_t size)
{
    // Bytes below 0x81 end whatever came before them (as a character of their
    // own, or as the second byte of a pair), so the run of bytes 0x81..0xFE
    // at the end starts on a character. Within it, each lead byte takes the
    // next one when the two form a character and stands alone otherwise,
    // exactly as a decode of the whole text reads them; only a lead byte left
    // last waits for the byte after it.
    std::size_t start = size;
    while (start > 0 && cp949::IsLeadByte(bytes[start - 1]))
        --start;
    std::size_t i = start;
    while (i + 1 < size)
        i += cp949::IsPair(bytes[i], bytes[i + 1]) ? 2 : 1;
    return i < size ? size - 1 : size;
}

std::size_t AsciiRunLength(std::string_view text, std::size_t from)
{
    std::size_t i = from;
    while (text.size() - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0)
            break;
        i += 8;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80)
        ++i;
    return i - from;
}

} // namespace veltrane
