#pragma once

// The error model of the backup run.
//
// The backup run has a single error path: whatever step fails, the run shows
// one line "description-component-code" in the status bar and repeats it in
// the result list, then ends. Every step of the run that can fail for a reason
// outside the program's control (a folder that cannot be created or listed, a
// file that cannot be written or deleted, a library that cannot be loaded)
// throws a JobError, and the run catches it in one place.
//
// - description: what went wrong, in words an operator can act on, naming the
//   file or folder concerned (for example "Cannot delete the old backup
//   /backup/ORCL/SCOTT_20070305140709.DMP: Read-only file system").
// - component:   the operation that raised it (for example "PurgeOldBackups").
// - code:        the system error number (errno) when the system refused the
//                request; a component that fails for a reason of its own
//                documents its codes next to the operation.

#include <stdexcept>
#include <string>

namespace veltrane {

class JobError : public std::runtime_error
{
public:
    JobError(std::string description, std::string component, int code);

    const std::string& description() const { return description_; }
    const std::string& component() const { return component_; }
    int code() const { return code_; }

    // The text the backup run shows: description, "-", component, "-" and the
    // code in decimal. what() returns the same text.
    std::string StatusText() const { return what(); }

private:
    std::string description_;
    std::string component_;
    int code_;
};

// A JobError for a failed system call: the description is `what` followed by
// ": " and the system's text for `errnoValue`; the code is `errnoValue`.
JobError SystemJobError(const std::string& what, const std::string& component, int errnoValue);

} // namespace veltrane
