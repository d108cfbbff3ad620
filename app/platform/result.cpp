#include "platform/result.h"

#include <cstring>

namespace veltrane {

std::string Error::Text() const
{
    std::string line = description;
    line.append("-").append(component).append("-").append(std::to_string(code));
    return line;
}

Error SystemError(const std::string& what, const std::string& component, int errnoValue)
{
    std::string description = what;
    description.append(": ").append(std::strerror(errnoValue));
    return {std::move(description), component, errnoValue};
}

} // namespace veltrane
