#include "store/item_kind.h"

#include <algorithm>
#include <string>

namespace veltrane {

bool IsDataPumpProgram(std::string_view programPath)
{
    std::string name(programPath.substr(programPath.find_last_of("/\\") + 1));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; });
    if (name.ends_with(".EXE"))
        name.resize(name.size() - 4);
    return name == "EXPDP";
}

} // namespace veltrane
