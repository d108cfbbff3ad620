#include "store/blowfish.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using veltrane::Blowfish;

namespace {

std::vector<std::uint8_t> Hex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

struct Vector
{
    const char* key;
    const char* plain;
    const char* cipher;
};

// ECB test vectors published with the cipher (Eric Young's set, as listed on
// Bruce Schneier's Blowfish page), in the big-endian block layout.
const Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
};

} // namespace

TEST(Blowfish, ReproducesPublishedVectorsBothWays)
{
    for (const auto& v : kVectors) {
        Blowfish bf;
        ASSERT_TRUE(bf.SetKey(Hex(v.key)));
        auto block = Hex(v.plain);
        bf.EncryptBlock(block.data());
        EXPECT_EQ(block, Hex(v.cipher)) << "key " << v.key;
        bf.DecryptBlock(block.data());
        EXPECT_EQ(block, Hex(v.plain)) << "key " << v.key;
    }
}

TEST(Blowfish, VariableLengthKeysFromThePublishedSet)
{
    // Key "F0E1D2C3B4A59687 7869..." cut to 4, 8 and 24 bytes, plaintext FEDCBA9876543210.
    const std::string fullKey = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    const struct
    {
        std::size_t bytes;
        const char* cipher;
    } cases[] = {{4, "BE1E639408640F05"}, {8, "E87A244E2CC85E82"}, {24, "05044B62FA52D080"}};
    for (const auto& c : cases) {
        Blowfish bf;
        ASSERT_TRUE(bf.SetKey(Hex(fullKey.substr(0, c.bytes * 2))));
        auto block = Hex("FEDCBA9876543210");
        bf.EncryptBlock(block.data());
        EXPECT_EQ(block, Hex(c.cipher)) << c.bytes << "-byte key";
    }
}

TEST(Blowfish, RefusesEmptyAndOverlongKeysAndKeepsItsState)
{
    Blowfish bf;
    ASSERT_TRUE(bf.SetKey(Hex("0123456789ABCDEF")));
    std::vector<std::uint8_t> tooLong(Blowfish::kMaxKeySize + 1, 0x42);
    EXPECT_FALSE(bf.SetKey(tooLong));
    EXPECT_FALSE(bf.SetKey({}));
    auto block = Hex("1111111111111111");
    bf.EncryptBlock(block.data());
    EXPECT_EQ(block, Hex("61F9C3802281B096"));
    EXPECT_TRUE(bf.SetKey(std::vector<std::uint8_t>(Blowfish::kMaxKeySize, 0x42)));
}
