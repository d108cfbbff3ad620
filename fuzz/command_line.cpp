// The command-line splitter and the quoting of arguments: any argument
// vector (the input split at NUL bytes) survives quoting and splitting, and
// splitting any text is safe.

#include "job/command_line.h"

#include "fuzz_check.h"

#include <string>
#include <vector>

using namespace veltrane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text = FuzzText(data, size);
    (void)SplitCommandLine(text);

    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\0', start);
        arguments.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    std::string line;
    for (const std::string& argument : arguments)
        line += QuoteArgument(argument) + " ";
    FUZZ_CHECK(SplitCommandLine(line) == arguments);
    return 0;
}
