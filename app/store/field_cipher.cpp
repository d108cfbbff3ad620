#include "store/field_cipher.h"

#include "platform/codepage.h"
#include "store/blowfish.h"

#include <array>
#include <cstdint>

namespace veltrane {
namespace {

constexpr std::string_view kFieldKey = "MOSSGLADE";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The key schedule costs 521 block encipherments; with one fixed key the
// resulting state is always the same, so it is built once.
const Blowfish& FieldCipher()
{
    static const Blowfish cipher = [] {
        Blowfish bf;
        auto key = reinterpret_cast<const std::uint8_t*>(kFieldKey.data());
        [[maybe_unused]] bool ok = bf.SetKey({key, kFieldKey.size()});
        return bf;
    }();
    return cipher;
}

constexpr std::array<int, 256> MakeDecodeTable()
{
    std::array<int, 256> table{};
    for (int& v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr std::array<int, 256> kDecode = MakeDecodeTable();

std::uint8_t* Bytes(std::string& s)
{
    return reinterpret_cast<std::uint8_t*>(s.data());
}

} // namespace

std::string FieldBase64Encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto at = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
    };
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t v = at(i) << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        std::uint32_t v = (at(i) << 16) | (at(i + 1) << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> FieldBase64Decode(std::string_view text)
{
    // Keep the alphabet and "=", skip everything else; a character that code
    // page 949 stores in two bytes makes the whole text invalid.
    std::string kept;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t len = cp949::Utf8SequenceLength(lead);
        if (len > text.size() - i)
            len = text.size() - i;
        ++characters;
        if (lead < 0x80) {
            if (kDecode[lead] >= 0 || lead == '=')
                kept += static_cast<char>(lead);
        } else if (cp949::WidthOf(text.substr(i, len)) == cp949::CharWidth::Double) {
            return std::nullopt;
        }
        i += len;
    }
    std::string out;
    if (characters < 4)
        return out;
    for (std::size_t g = 0; g + 4 <= kept.size(); g += 4) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            char c = kept[g + k];
            v = (v << 6) |
                static_cast<std::uint32_t>(c == '=' ? 0 : kDecode[static_cast<unsigned char>(c)]);
        }
        std::size_t count = 3;
        if (kept[g + 3] == '=')
            count = 2;
        if (kept[g + 2] == '=')
            count = 1;
        const char decoded[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                                 static_cast<char>(v)};
        out.append(decoded, count);
    }
    return out;
}

std::string EncryptField(std::string_view text)
{
    std::string bytes = cp949::FromUtf8(text);
    std::size_t pad = Blowfish::kBlockSize - bytes.size() % Blowfish::kBlockSize;
    bytes.append(pad, static_cast<char>(pad));
    const Blowfish& cipher = FieldCipher();
    for (std::size_t i = 0; i < bytes.size(); i += Blowfish::kBlockSize)
        cipher.EncryptBlock(Bytes(bytes) + i);
    return FieldBase64Encode(bytes);
}

std::optional<std::string> DecryptField(std::string_view cipherText)
{
    std::optional<std::string> bytes = FieldBase64Decode(cipherText);
    if (!bytes || bytes->size() < Blowfish::kBlockSize)
        return std::nullopt;
    bytes->resize(bytes->size() - bytes->size() % Blowfish::kBlockSize);
    const Blowfish& cipher = FieldCipher();
    for (std::size_t i = 0; i < bytes->size(); i += Blowfish::kBlockSize)
        cipher.DecryptBlock(Bytes(*bytes) + i);
    auto pad = static_cast<unsigned char>(bytes->back());
    if (pad >= 1 && pad <= Blowfish::kBlockSize)
        bytes->erase(bytes->end() - pad, bytes->end());
    return cp949::ToUtf8(*bytes);
}

} // namespace veltrane
