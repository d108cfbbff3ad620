#pragma once

// The program's one error shape: a call that can fail for a reason outside
// the program returns a Result, which holds either its value or an Error that
// says what failed and why. Nothing is thrown across the program's own
// calls; exceptions from the standard library stop at the few places that
// call into it and become Errors there.
//
// - description: what went wrong, in words an operator can act on, naming the
//   file, folder, library or entry point concerned (for example "Cannot
//   delete the old backup /backup/ORCL/SCOTT_20070305140709.DMP: Read-only
//   file system").
// - component:   the operation or library that failed (for example
//   "RunBackupJob", "libHoistline.so").
// - code:        the system error number (errno) when the system refused the
//   request; a component that fails for a reason of its own documents its
//   codes next to the operation.
//
// A backup run that meets an Error shows "description-component-code" in the
// status bar and repeats it as a result line (Error::Text()).

#include <string>
#include <utility>
#include <variant>

namespace veltrane {

struct Error
{
    std::string description;
    std::string component;
    int code = 0;

    // "description-component-code", as the backup run shows it.
    std::string Text() const;
};

// An Error for a refused system call: `what`, ": " and the system's text for
// `errnoValue`; the code is `errnoValue`.
Error SystemError(const std::string& what, const std::string& component, int errnoValue);

// A value, or the Error that kept it from being made. Modelled on
// std::expected, which this compiler offers only under a later standard.
template <typename T> class [[nodiscard]] Result
{
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

// A call that gives nothing back but may fail.
template <> class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool failed_ = false;
};

using Status = Result<void>;

} // namespace veltrane
