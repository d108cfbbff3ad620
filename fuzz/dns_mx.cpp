// The DNS answer reader of the mail exchanger lookup: any message, however
// truncated or hostile (pointer loops, lengths past the end), is read without
// a byte past its end (the copy below is exactly its size, so the address
// sanitizer sees any such read), and a name it gives is a plausible host name.

#include "fuzz_check.h"
#include "mx_lookup.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto message = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
    std::copy(data, data + size, message.get());
    const auto exchanger = sendwick::ParseFirstMxExchanger(message.get(), size);
    if (exchanger) {
        FUZZ_CHECK(!exchanger->empty() && exchanger->size() <= 1024);
        FUZZ_CHECK(exchanger->find('\0') == std::string::npos);
    }
    return 0;
}
