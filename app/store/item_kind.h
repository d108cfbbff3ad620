#pragma once

// The two kinds of item, told by the export utility an item names: the
// original export, or Data Pump (its job runs in the database, which writes
// the dump set into the folder of a directory object).

#include <string_view>

namespace veltrane {

// Whether the program at `programPath` is the Data Pump export client: its
// base name is "expdp" (any letter case, ".exe" too, after "/" or "\").
bool IsDataPumpProgram(std::string_view programPath);

} // namespace veltrane
