// The password cipher and its Base64: deciphering any text is safe, and
// every text the code page can hold, and any bytes, come back unchanged.

#include "store/field_cipher.h"

#include "fuzz_check.h"
#include "platform/codepage.h"

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes = FuzzText(data, size);
    (void)DecryptField(bytes);

    // The text that survives the code page is what a password can be.
    const std::string text = cp949::ToUtf8(cp949::FromUtf8(cp949::ToUtf8(bytes)));
    const std::string cipher = EncryptField(text);
    FUZZ_CHECK(cipher.size() % 4 == 0 && cipher.size() >= 12);
    FUZZ_CHECK(DecryptField(cipher) == text);

    const std::string encoded = FieldBase64Encode(bytes);
    if (encoded.size() >= 4)
        FUZZ_CHECK(FieldBase64Decode(encoded) == std::string(bytes));
    return 0;
}
