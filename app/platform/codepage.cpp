#include "platform/codepage.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <stdexcept>
#include <utility>

namespace veltrane::cp949 {
namespace {

// The platform's encoder, which builds the code page's tables once (one
// converter per thread, opened at first use); the conversions themselves use
// the tables.
class Converter
{
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from))
    {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much as possible, advancing `in`/`inLeft` past what was
    // converted. Returns 0 when everything went through, otherwise the errno
    // of the stop (EILSEQ or EINVAL) with `in` at the offending character.
    int Step(char*& in, std::size_t& inLeft, std::string& out)
    {
        char buffer[1024];
        while (inLeft > 0) {
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
            if (rc != static_cast<std::size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            return errno;
        }
        return 0;
    }

    void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t cd_;
};

Converter& Encoder()
{
    thread_local Converter converter("CP949", "UTF-8");
    return converter;
}

// The platform's own encoder, character by character; it builds the tables
// below once and is not used after that.
std::string PlatformEncode(std::string_view utf8)
{
    std::string out;
    std::string input(utf8);
    char* in = input.data();
    std::size_t left = input.size();
    Converter& conv = Encoder();
    conv.Reset();
    if (conv.Step(in, left, out) != 0)
        return {};
    return out;
}

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
            const std::string ansi = PlatformEncode(utf8);
            if (ansi.size() == 1 || ansi.size() == 2) {
                encoded_[cp].length = static_cast<std::uint8_t>(ansi.size());
                std::memcpy(encoded_[cp].bytes, ansi.data(), ansi.size());
            }
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

    // The code page's bytes for a character of the Basic Multilingual Plane
    // above ASCII; length 0 when the code page cannot represent it.
    struct Ansi
    {
        std::uint8_t length = 0;
        char bytes[2] = {};
    };
    const Ansi& Encoded(std::uint32_t cp) const { return encoded_[cp]; }

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
    std::array<Ansi, 0x10000> encoded_{};
};

const Table& TheTable()
{
    static const Table table; // thread-safe initialisation at first use
    return table;
}

bool IsAscii(std::string_view text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

} // namespace

std::size_t Utf8SequenceLength(unsigned char lead)
{
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2)
        return 2;
    return 1;
}

std::string_view MidCharacters(std::string_view utf8, std::size_t first, std::size_t count)
{
    auto skip = [&](std::size_t chars) {
        std::size_t at = 0;
        for (; chars > 0 && at < utf8.size(); --chars)
            at += Utf8SequenceLength(static_cast<unsigned char>(utf8[at]));
        return std::min(at, utf8.size());
    };
    utf8.remove_prefix(skip(first));
    return utf8.substr(0, count == std::string_view::npos ? utf8.size() : skip(count));
}

namespace {

// The code point of the well-formed UTF-8 sequence at `in` and its length;
// length 0 when the bytes there are no well-formed sequence (a stray or
// truncated one, an overlong form, a surrogate, beyond U+10FFFF).
std::pair<std::uint32_t, std::size_t> DecodeUtf8(const unsigned char* in, std::size_t left)
{
    const unsigned char lead = in[0];
    const std::size_t length = Utf8SequenceLength(lead);
    if (length == 1 || length > left)
        return {0, 0};
    std::uint32_t cp = lead & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0) != 0x80)
            return {0, 0};
        cp = (cp << 6) | (in[i] & 0x3Fu);
    }
    static constexpr std::uint32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLowest[length] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return {0, 0};
    return {cp, length};
}

// How many bytes an ill-formed stretch at `in` takes: its first byte and the
// continuation bytes that follow, up to the length its first byte announces,
// so that a character after a cut sequence is never swallowed.
std::size_t IllFormedLength(const unsigned char* in, std::size_t left)
{
    const std::size_t announced = std::min(Utf8SequenceLength(in[0]), left);
    std::size_t n = 1;
    while (n < announced && (in[n] & 0xC0) == 0x80)
        ++n;
    return n;
}

} // namespace

std::string FromUtf8(std::string_view utf8)
{
    if (IsAscii(utf8))
        return std::string(utf8);
    const Table& table = TheTable();
    std::string out(utf8.size(), '\0'); // never longer: 2 bytes for at least 2
    char* write = out.data();
    const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();
    std::size_t i = 0;
    while (i < size) {
        if (in[i] < 0x80) {
            *write++ = static_cast<char>(in[i++]);
            continue;
        }
        const auto [cp, length] = DecodeUtf8(in + i, size - i);
        if (length == 0) {
            *write++ = '?';
            i += IllFormedLength(in + i, size - i);
            continue;
        }
        i += length;
        // The code page holds nothing beyond the Basic Multilingual Plane.
        const Table::Ansi* ansi = cp <= 0xFFFF ? &table.Encoded(cp) : nullptr;
        if (ansi == nullptr || ansi->length == 0) {
            *write++ = '?';
            continue;
        }
        std::memcpy(write, ansi->bytes, ansi->length);
        write += ansi->length;
    }
    out.resize(static_cast<std::size_t>(write - out.data()));
    return out;
}

std::string ToUtf8(std::string_view bytes)
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
            std::size_t run = 1;
            while (i + run < size && in[i + run] < 0x80)
                ++run;
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

bool IsPair(unsigned char lead, unsigned char trail)
{
    return IsLeadByte(lead) && TheTable().Pair(lead, trail).length != 0;
}

CharWidth WidthOf(std::string_view oneUtf8Char)
{
    if (oneUtf8Char.size() == 1 && static_cast<unsigned char>(oneUtf8Char[0]) < 0x80)
        return CharWidth::Single;
    const auto [cp, length] =
        DecodeUtf8(reinterpret_cast<const unsigned char*>(oneUtf8Char.data()), oneUtf8Char.size());
    if (length == 0 || length != oneUtf8Char.size() || cp > 0xFFFF)
        return CharWidth::Unrepresentable;
    const std::uint8_t bytes = TheTable().Encoded(cp).length;
    if (bytes == 0)
        return CharWidth::Unrepresentable;
    return bytes == 1 ? CharWidth::Single : CharWidth::Double;
}

} // namespace veltrane::cp949
