// Code page 949 both ways: any bytes decode to valid UTF-8, valid code page
// text comes back byte for byte, and any UTF-8 encodes to text that decodes
// to the same characters or "?" in their place.

#include "platform/codepage.h"

#include "fuzz_check.h"

using namespace veltrane;

namespace {

bool IsValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = cp949::Utf8SequenceLength(lead);
        if (length == 1 && lead >= 0x80)
            return false;
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes = FuzzText(data, size);
    const std::string decoded = cp949::ToUtf8(bytes);
    FUZZ_CHECK(IsValidUtf8(decoded));

    // Input with no invalid byte (no U+FFFD came out) is valid code page text.
    if (decoded.find("\xEF\xBF\xBD") == std::string::npos)
        FUZZ_CHECK(cp949::FromUtf8(decoded) == std::string(bytes));

    // The bytes read as UTF-8: encoding never grows them, and what comes back
    // is stable (a second round changes nothing).
    const std::string encoded = cp949::FromUtf8(bytes);
    FUZZ_CHECK(encoded.size() <= bytes.size());
    const std::string back = cp949::ToUtf8(encoded);
    FUZZ_CHECK(cp949::FromUtf8(back) == encoded);
    return 0;
}
