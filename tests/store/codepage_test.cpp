#include "platform/codepage.h"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

struct RoundTrip
{
    const char* utf8;
    const char* cp949;
};

// Bytes taken from the KS X 1001 / UHC code charts, not produced by the code under test.
const RoundTrip kKnown[] = {
    {"", ""},
    {"abc\t123", "abc\t123"},
    {"매일", "\xB8\xC5\xC0\xCF"},
    {"매주", "\xB8\xC5\xC1\xD6"},
    {"매달", "\xB8\xC5\xB4\xDE"},
    {"매시간", "\xB8\xC5\xBD\xC3\xB0\xA3"},
    {"일", "\xC0\xCF"},
    {"똠", "\x8C\x63"}, // only in the UHC extension of code page 949
};

} // namespace

TEST(CodePage, KnownTextsConvertBothWays)
{
    for (const auto& c : kKnown) {
        EXPECT_EQ(cp949::FromUtf8(c.utf8), c.cp949) << c.utf8;
        EXPECT_EQ(cp949::ToUtf8(c.cp949), c.utf8) << c.utf8;
    }
}

TEST(CodePage, UnrepresentableCharacterBecomesQuestionMarkNotNothing)
{
    // U+1F600 (an emoji) and U+0915 (Devanagari KA) have no code page 949 form.
    EXPECT_EQ(cp949::FromUtf8("a\xF0\x9F\x98\x80"
                              "b"),
              "a?b");
    EXPECT_EQ(cp949::FromUtf8("\xE0\xA4\x95\xEB\xA7\xA4"), "?\xB8\xC5");
    // Tag characters (U+E0041) are characters too, not nothing.
    EXPECT_EQ(cp949::FromUtf8("a\xF3\xA0\x81\x81"
                              "b"),
              "a?b");
    // A cut sequence, an overlong form (two stray bytes), a surrogate: each
    // ill-formed stretch is a "?", and never takes the character after it.
    EXPECT_EQ(cp949::FromUtf8("\xEB\xA7x\xC0\xAFy\xED\xA0\x80z"), "?x??y?z");
}

TEST(CodePage, InvalidBytesBecomeReplacementCharacters)
{
    // A lone lead byte at the end, and a lead byte followed by a control character.
    EXPECT_EQ(cp949::ToUtf8("a\xB8"), "a\xEF\xBF\xBD");
    EXPECT_EQ(cp949::ToUtf8("\xB8\x09x"), "\xEF\xBF\xBD\tx");
}

TEST(CodePage, CharacterWidths)
{
    EXPECT_EQ(cp949::WidthOf("A"), cp949::CharWidth::Single);
    EXPECT_EQ(cp949::WidthOf("매"), cp949::CharWidth::Double);
    EXPECT_EQ(cp949::WidthOf("\xF0\x9F\x98\x80"), cp949::CharWidth::Unrepresentable);
}
