#include "job/cp949_table.h"

#include "job/ansi_text.h"
#include "platform/codepage.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace veltrane {
namespace {

// UTF-8 form of one character: at most three bytes (the code page maps into
// the Basic Multilingual Plane only); length 0 marks "not a character".
struct Utf8Char
{
    std::uint8_t length = 0;
    char bytes[3] = {};
};

constexpr char kReplacement[] = "\xEF\xBF\xBD";

class Table
{
public:
    // Every character of the Basic Multilingual Plane that the platform
    // encoder stores in two bytes fills the slot of those two bytes. Building
    // from the encoding side keeps the table to valid characters only and
    // never feeds the converter an invalid sequence.
    Table()
    {
        for (unsigned cp = 0x80; cp <= 0xFFFF; ++cp) {
            if (cp >= 0xD800 && cp <= 0xDFFF)
                continue; // surrogates are not characters
            const std::string utf8 = EncodeUtf8(cp);
            const std::string ansi = cp949::FromUtf8(utf8);
            if (ansi.size() != 2 || !cp949::IsLeadByte(static_cast<unsigned char>(ansi[0])))
                continue;
            Utf8Char& slot = pairs_[Index(static_cast<unsigned char>(ansi[0]),
                                          static_cast<unsigned char>(ansi[1]))];
            if (slot.length != 0)
                continue; // two characters stored alike: keep the first
            slot.length = static_cast<std::uint8_t>(utf8.size());
            std::memcpy(slot.bytes, utf8.data(), utf8.size());
        }
    }

    const Utf8Char& Pair(unsigned char lead, unsigned char trail) const
    {
        return pairs_[Index(lead, trail)];
    }

private:
    static std::size_t Index(unsigned char lead, unsigned char trail)
    {
        return (lead - 0x81u) * 256u + trail;
    }

    static std::string EncodeUtf8(unsigned cp)
    {
        std::string out;
        if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (cp & 0x3F));
        return out;
    }

    std::array<Utf8Char, 126 * 256> pairs_{};
};

const Table& TheTable()
{
    static const Table table; // thread-safe initialisation at first use
    return table;
}

} // namespace

std::string DecodeCp949(std::string_view bytes)
{
    // Every byte becomes at most three bytes (an invalid one becomes U+FFFD),
    // so the text is written into room made once and trimmed at the end.
    std::string out(bytes.size() * 3, '\0');
    char* write = out.data();
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    const Table* table = nullptr; // built at the first byte that needs it
    std::size_t i = 0;
    while (i < size) {
        if (in[i] < 0x80) {
            const std::size_t run = AsciiRunLength(bytes, i);
            std::memcpy(write, bytes.data() + i, run);
            write += run;
            i += run;
            continue;
        }
        if (table == nullptr)
            table = &TheTable();
        if (cp949::IsLeadByte(in[i]) && i + 1 < size) {
            const Utf8Char& pair = table->Pair(in[i], in[i + 1]);
            if (pair.length != 0) {
                std::memcpy(write, pair.bytes, 3); // the slot always holds three bytes
                write += pair.length;
                i += 2;
                continue;
            }
        }
        // Not the start of a valid pair: the code page has no single-byte
        // character above 0x7F, so this byte stands for U+FFFD.
        std::memcpy(write, kReplacement, 3);
        write += 3;
        ++i;
    }
    out.resize(static_cast<std::size_t>(write - out.data()));
    return out;
}

} // namespace veltrane
