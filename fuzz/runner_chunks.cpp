// The runner's chunking: output read in pieces of any size, each decoded up
// to its last whole character and cut to its byte count by AnsiMidBytes, as
// the runner does, gives exactly the decode of the whole output: no
// character is lost, split, or read differently for being cut.

#include "fuzz_check.h"
#include "job/ansi_text.h"
#include "platform/codepage.h"

#include <string>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte chooses the read sizes (1..256), the rest is the output.
    const std::size_t step = 1 + data[0] % 256;
    const std::string_view output = FuzzText(data + 1, size - 1);

    std::string chunked;
    std::string pending; // a lead byte still waiting for the byte after it
    for (std::size_t at = 0; at < output.size(); at += step) {
        std::string bytes = pending + std::string(output.substr(at, step));
        const std::size_t whole = CompleteCharacterBytes(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        std::string decoded = cp949::ToUtf8(std::string_view(bytes).substr(0, whole));
        const std::string before = decoded;
        KeepAnsiMidBytes(decoded, 1, static_cast<long>(whole));
        FUZZ_CHECK(decoded == before); // the byte count keeps every character
        chunked += decoded;
        pending = bytes.substr(whole);
        FUZZ_CHECK(pending.size() <= 1);
    }
    chunked += cp949::ToUtf8(pending); // the end of the output settles a last lead byte
    FUZZ_CHECK(chunked == cp949::ToUtf8(output));
    return 0;
}
