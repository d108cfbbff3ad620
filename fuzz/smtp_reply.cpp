// The SMTP reply reader: a reply is the same however it is split into reads.
// The reader sees the bytes received so far; it must not call a reply
// complete before its last line has arrived, and once complete its length
// must not change as more bytes arrive.

#include "fuzz_check.h"
#include "reply.h"

using namespace sendwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes = FuzzText(data, size);
    const std::size_t length = CompleteReplyLength(bytes);
    FUZZ_CHECK(length <= bytes.size());
    // Every earlier split point sees no complete reply, every later one the
    // same reply.
    const std::size_t limit = std::min<std::size_t>(bytes.size(), 4096);
    for (std::size_t k = 0; k <= limit; ++k) {
        const std::size_t seen = CompleteReplyLength(bytes.substr(0, k));
        if (length == 0 || k < length)
            FUZZ_CHECK(seen == 0);
        else
            FUZZ_CHECK(seen == length);
    }
    if (length != 0) {
        const std::string_view reply = bytes.substr(0, length);
        FUZZ_CHECK(reply.size() >= 2 && reply.substr(reply.size() - 2) == "\r\n");
        const int code = CompleteReplyCode(reply);
        FUZZ_CHECK(code == -1 || (code >= 0 && code <= 999));
    }
    return 0;
}
