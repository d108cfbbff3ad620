#include "job/job_error.h"

#include <cstring>

namespace veltrane {

JobError::JobError(std::string description, std::string component, int code)
    : std::runtime_error(description + "-" + component + "-" + std::to_string(code)),
      description_(std::move(description)), component_(std::move(component)), code_(code)
{}

JobError SystemJobError(const std::string& what, const std::string& component, int errnoValue)
{
    return JobError(what + ": " + std::strerror(errnoValue), component, errnoValue);
}

} // namespace veltrane
