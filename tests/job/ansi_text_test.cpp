#include "job/ansi_text.h"

#include <gtest/gtest.h>

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
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnsiMidBytes(c.text, c.start, c.byteCount), c.expected)
            << c.text << " " << c.start << " " << c.byteCount;
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
        {std::string(255, 'A') + "\xB8", 255},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompleteCharacterBytes(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                         c.bytes.size()),
                  c.expected)
            << testing::PrintToString(c.bytes);
}
