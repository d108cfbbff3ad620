// Veltrane.state's reader, over files whole and with changes appended: what
// it reads, written whole and read again, reads the same and whole (the
// program writes nothing it could not read back).

#include "store/run_state.h"

#include "fuzz_check.h"

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const RunState state = ParseRunState(FuzzText(data, size));
    const std::string whole = FormatRunState(state);
    const RunState again = ParseRunState(whole);
    FUZZ_CHECK(again.damagedLines == 0);
    FUZZ_CHECK(again.pending == state.pending);
    FUZZ_CHECK(again.children == state.children);
    FUZZ_CHECK(again.items.size() == state.items.size());
    FUZZ_CHECK(FormatRunState(again) == whole);
    return 0;
}
