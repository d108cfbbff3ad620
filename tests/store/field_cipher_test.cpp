#include "store/field_cipher.h"

#include <gtest/gtest.h>
#include <string>

using namespace veltrane;

namespace {

struct KnownAnswer
{
    const char* plain;
    const char* cipher;
};

// Computed with an independent Blowfish implementation under the field key,
// with the same padding, code page 949 bytes and standard Base64.
const KnownAnswer kKnown[] = {
    {"", "AHIrePOncqY="},
    {"smtp-pass", "aFuWqX2m6a2ZLMd/zZlwvA=="},
    {"비밀번호1", "iqVLb9PoJPEjehTyvkQ2JQ=="},
    {"ABCDEFGH", "yaWFm8Nop4cAcit486dypg=="},
    {"ftp:pw", "hFfcMqLLA3g="},
};

} // namespace

TEST(FieldCipher, MatchesAnIndependentImplementation)
{
    for (const auto& k : kKnown) {
        EXPECT_EQ(EncryptField(k.plain), k.cipher) << k.plain;
        EXPECT_EQ(DecryptField(k.cipher), std::optional<std::string>(k.plain)) << k.cipher;
    }
}

TEST(FieldCipher, LengthsFollowThePadding)
{
    // Empty text: one block of padding, 12 characters ending in "=".
    std::string empty = EncryptField("");
    EXPECT_EQ(empty.size(), 12u);
    EXPECT_EQ(empty.back(), '=');
    // Eight characters: two blocks, the second all padding, 24 characters ending "==".
    std::string eight = EncryptField("12345678");
    EXPECT_EQ(eight.size(), 24u);
    EXPECT_EQ(eight.substr(22), "==");
}

TEST(FieldCipher, RoundTripsEveryLengthAndKoreanText)
{
    std::string text;
    for (int n = 0; n <= 40; ++n) {
        EXPECT_EQ(DecryptField(EncryptField(text)), text) << n;
        text += static_cast<char>('!' + n);
    }
    for (const char* korean : {"가", "백업 암호", "매시간!@#$ 한글과 ASCII 섞기"})
        EXPECT_EQ(DecryptField(EncryptField(korean)), std::string(korean));
}

TEST(FieldCipher, RejectsTooShortOrDoubleByteInput)
{
    EXPECT_EQ(DecryptField("abc"), std::nullopt);
    EXPECT_EQ(DecryptField(""), std::nullopt);
    EXPECT_EQ(DecryptField("AAAAAA=="), std::nullopt); // 4 bytes only
    EXPECT_EQ(DecryptField("AHIrePOncqY=가"), std::nullopt);
}

TEST(FieldCipher, SkipsCharactersOutsideTheAlphabet)
{
    EXPECT_EQ(DecryptField("aFuW qX2m\r\n6a2Z\tLMd/ zZlw vA=="), std::string("smtp-pass"));
    // U+1F600 has no code page 949 form at all: it is skipped like a blank.
    EXPECT_EQ(DecryptField("hFfc\xF0\x9F\x98\x80MqLLA3g="), std::string("ftp:pw"));
}

TEST(FieldCipher, LastByteAboveEightKeepsTheWholeBlock)
{
    // The independent implementation enciphered "ABCDEFG" + byte 9: no valid
    // padding, so all eight bytes come back.
    EXPECT_EQ(DecryptField("+QBKC5xXiW8="), std::string("ABCDEFG\t"));
    // Bytes beyond the last whole block are dropped.
    EXPECT_EQ(DecryptField("AHIrePOncqY=AAAA"), std::string(""));
}

TEST(FieldBase64, EncodesAndDecodesTheStandardVectors)
{
    // RFC 4648, section 10.
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(FieldBase64Encode(plain), encoded);
        if (std::string(encoded).size() >= 4) {
            EXPECT_EQ(FieldBase64Decode(encoded), std::string(plain));
        }
    }
    // An incomplete last group is ignored.
    EXPECT_EQ(FieldBase64Decode("Zm9vYm"), std::string("foo"));
}
