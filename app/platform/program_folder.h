#pragma once

#include <string>
#include <string_view>

namespace veltrane {

// The folder of the running program (from /proc/self/exe), without a trailing
// separator. The schedule file, the mail log, the archiver and both libraries
// live there. Empty when the link cannot be read.
std::string ProgramFolder();

// Joins a folder and a name with the platform separator "/", adding one only
// when the folder does not already end with it.
std::string JoinPath(std::string_view folder, std::string_view name);

} // namespace veltrane
