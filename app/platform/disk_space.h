#pragma once

// How much room a folder's file system has left.

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {

// The bytes the running user may still write on the file system that holds
// `folder` (statvfs: blocks available to unprivileged users times the
// fragment size, so the reserve kept for root is not counted). Nothing when
// the folder cannot be measured (it does not exist, or is not reachable).
std::optional<std::uint64_t> FreeBytesAt(const std::string& folder);

} // namespace veltrane
