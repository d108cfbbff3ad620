#pragma once

// The one result shape of this library: success, or the reason of a failure
// in words fit for GetLastFTPError. Every step that can fail (a local file
// opened, a session prepared, a transfer made) answers with one, so a reason
// is never lost on its way up to the exported call.

#include <string>
#include <utility>

namespace hoistline {

struct [[nodiscard]] Outcome
{
    bool ok = false;
    std::string error; // empty on success
};

inline Outcome Success()
{
    return Outcome{true, {}};
}

inline Outcome Failure(std::string reason)
{
    return Outcome{false, std::move(reason)};
}

} // namespace hoistline
