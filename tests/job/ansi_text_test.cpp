#include "job/ansi_text.h"
#include "platform/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

using namespace veltrane;

TEST(AnsiMidBytes, SelectsCharactersByTheirCodePageBytes)
{
    struct Case
    {
        const char* text;
        long start;
        long byteCount;
        const char* expected;
    };
    const Case cases[] = {
        {"abc", 1, 2, "ab"},
        {"abc", 1, 256, "abc"},
        {"", 1, 256, ""},
        {"가나", 1, 4, "가나"},
        {"가나", 1, 3, "가"}, // 나's second byte would be byte 4
        {"가", 1, 1, ""},
        {"가나", 3, 2, "나"},
        {"a가b", 2, 2, "가"}, // 가 ends at byte 3; b is byte 4
        {"a가", 2, 1, ""},    // 가 ends at byte 3, outside [2, 3)
        {"★a", 1, 2, "★"},    // a symbol of the code page: two bytes
        {"漢字", 1, 3, "漢"}, // Hanja: two bytes each
        {"\xF0\x9F\x98\x80"   // an emoji cannot be stored: one byte ("?")
         "b",
         1, 2,
         "\xF0\x9F\x98\x80"
         "b"},
        {"\xEF\xBF\xBDx", 1, 2, "\xEF\xBF\xBDx"}, // U+FFFD likewise
        {"abc", 1, 0, ""},
        {"abcdef", 3, 2, "cd"},
        {"ab가cd", 2, 4, "b가c"}, // b ends at 2, 가 at 4, c at 5, d at 6
        {"abcdefghijk", 9, 100, "ijk"},
        {"abcdefghij가", 1, 11, "abcdefghij"},
        {"abcdefghij가", 1, 12, "abcdefghij가"},
        {"가abcdefghijklmnop나", 5, 3, "cde"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiMidBytes(c.text, c.start, c.byteCount), c.expected)
            << c.text << " " << c.start << " " << c.byteCount;
        std::string inPlace = c.text;
        KeepAnsiMidBytes(inPlace, c.start, c.byteCount);
        EXPECT_EQ(inPlace, c.expected) << c.text << " " << c.start << " " << c.byteCount;
    }
}

TEST(CompleteCharacterBytes, HoldsBackOnlyALeadByteAtTheEnd)
{
    struct Case
    {
        std::string bytes;
        std::size_t expected;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"\xB8", 0},
        {"ab\xB8", 2},
        {"\xB8\xC5", 2},
        {"\xB8\xC5\xB8", 2},
        {"\xB8\xC5\xB8\xC5", 4},
        {"\x81\x41\xB8", 2}, // an extension character with an ASCII-range second byte
        {"\xB8\x0A", 2},     // a broken pair counts as two characters
        {"\xB8\x0A\xB8", 2}, // ... and does not shift what follows
        {"\xB8\xB8\xB8", 2}, // a pair, then a lead byte
        {"\xC9\xB0\xA1", 3}, // no pair C9 B0: C9 alone, then B0 A1, as a whole decode reads it
        {std::string(255, 'A') + "\xB8", 255},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompleteCharacterBytes(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                         c.bytes.size()),
                  c.expected)
            << testing::PrintToString(c.bytes);
}

namespace {

// One double-byte sequence decoded by the C library's converter directly: the
// character, or nothing when the sequence is not a valid character.
std::string ReferencePair(iconv_t cd, unsigned char lead, unsigned char trail)
{
    char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    char out[16];
    char* inPtr = in;
    char* outPtr = out;
    std::size_t inLeft = 2;
    std::size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
        inLeft != 0)
        return {};
    return std::string(out, static_cast<std::size_t>(outPtr - out));
}

const std::string kFffd = "\xEF\xBF\xBD";

} // namespace

TEST(CodePageDecoding, EveryDoubleByteCharacterAgreesWithTheCLibrary)
{
    iconv_t cd = iconv_open("UTF-8", "CP949");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    int valid = 0;
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
        for (unsigned trail = 0x41; trail <= 0xFE; ++trail) {
            const std::string expected = ReferencePair(cd, lead, trail);
            const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
            const std::string decoded = cp949::ToUtf8({pair, 2});
            if (!expected.empty()) {
                ++valid;
                EXPECT_EQ(decoded, expected) << std::hex << lead << " " << trail;
            } else {
                EXPECT_TRUE(decoded.starts_with(kFffd)) << std::hex << lead << " " << trail;
            }
        }
    iconv_close(cd);
    EXPECT_GT(valid, 17000); // 11172 Hangul syllables, 4888 Hanja and the symbols
}

TEST(CodePageDecoding, InvalidBytesBecomeOneReplacementEach)
{
    struct Case
    {
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"", ""},
        {"plain ASCII\r\n", "plain ASCII\r\n"},
        {"\xB8\xC5\xC0\xCF", "매일"},
        {"\x8C\x63", "똠"},                   // extension pair with an ASCII second byte
        {"a\xB8", "a" + kFffd},               // lead byte at the end
        {"\xB8\x09x", kFffd + "\tx"},         // lead byte before a control character
        {"\xA2\xE8\n", kFffd + kFffd + "\n"}, // unassigned pair
        {"\x80\xFF", kFffd + kFffd},          // never part of a character
        {"\xB8\xC5\xB8", "매" + kFffd},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cp949::ToUtf8(c.bytes), c.expected) << testing::PrintToString(c.bytes);
}
