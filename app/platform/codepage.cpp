#include "platform/codepage.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace veltrane::cp949 {
namespace {

// One converter per direction and thread, opened at first use: opening a
// converter costs far more than converting a short field, and the schedule
// file converts two fields per record.
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

    // Converts as much as possible; returns the number of input bytes that
    // could not be converted at the stop point (0 when everything went through).
    // `in`/`inLeft` are advanced past what was converted.
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
            return errno; // EILSEQ or EINVAL: caller replaces and skips
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

Converter& Decoder()
{
    thread_local Converter converter("UTF-8", "CP949");
    return converter;
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

std::string FromUtf8(std::string_view utf8)
{
    if (IsAscii(utf8))
        return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    std::string input(utf8);
    char* in = input.data();
    std::size_t left = input.size();
    Converter& conv = Encoder();
    conv.Reset();
    while (conv.Step(in, left, out) != 0) {
        out.push_back('?');
        std::size_t skip = Utf8SequenceLength(static_cast<unsigned char>(*in));
        skip = skip > left ? left : skip;
        in += skip;
        left -= skip;
        conv.Reset();
    }
    return out;
}

std::string ToUtf8(std::string_view ansi)
{
    if (IsAscii(ansi))
        return std::string(ansi);
    std::string out;
    out.reserve(ansi.size() * 3 / 2);
    std::string input(ansi);
    char* in = input.data();
    std::size_t left = input.size();
    Converter& conv = Decoder();
    conv.Reset();
    while (conv.Step(in, left, out) != 0) {
        out.append("\xEF\xBF\xBD"); // U+FFFD REPLACEMENT CHARACTER
        ++in;
        --left;
        conv.Reset();
    }
    return out;
}

CharWidth WidthOf(std::string_view oneUtf8Char)
{
    if (oneUtf8Char.size() == 1 && static_cast<unsigned char>(oneUtf8Char[0]) < 0x80)
        return CharWidth::Single;
    std::string input(oneUtf8Char);
    char* in = input.data();
    std::size_t left = input.size();
    std::string out;
    Converter& conv = Encoder();
    conv.Reset();
    if (conv.Step(in, left, out) != 0 || out.empty())
        return CharWidth::Unrepresentable;
    return out.size() == 1 ? CharWidth::Single : CharWidth::Double;
}

} // namespace veltrane::cp949
