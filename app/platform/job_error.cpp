#include "platform/job_error.h"

#include <cstring>

namespace veltrane {
namespace {

std::string StatusLine(const std::string& description, const std::string& component, int code)
{
    std::string line = description;
    line.append("-").append(component).append("-").append(std::to_string(code));
    return line;
}

} // namespace

JobError::JobError(std::string description, std::string component, int code)
    : std::runtime_error(StatusLine(description, component, code)),
      description_(std::move(description)), component_(std::move(component)), code_(code)
{}

JobError SystemJobError(const std::string& what, const std::string& component, int errnoValue)
{
    return JobError(what + ": " + std::strerror(errnoValue), component, errnoValue);
}

} // namespace veltrane
