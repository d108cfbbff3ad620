#pragma once

// Binds a shared library and its entry points by name, at first use.
//
// The mail and FTP libraries are not linked into the program: each is loaded
// when one of its calls is first made, from the program folder first and
// then by the system's own search, and each entry point is looked up by name
// once and kept for later calls.

#include "platform/result.h"

#include <map>
#include <mutex>
#include <string>

namespace veltrane {

// Error codes of a binding failure (Error::code).
inline constexpr int kLibraryNotFound = 53;
inline constexpr int kEntryPointNotFound = 453;

class LibraryBinder
{
public:
    // `fileName` such as "libSendwick.so"; `programFolder` is searched first.
    LibraryBinder(std::string fileName, std::string programFolder);
    ~LibraryBinder();
    LibraryBinder(const LibraryBinder&) = delete;
    LibraryBinder& operator=(const LibraryBinder&) = delete;

    // The address of `entryPoint`, loading the library if needed; or an
    // Error (component: the library's file name) naming the library or the
    // entry point that cannot be found, with the dynamic loader's reason.
    // Safe to call from any thread.
    Result<void*> Entry(const std::string& entryPoint);

    // The entry point as the function pointer type its library's header
    // declares (SendMailProc, PutLocalFileViaFTPProc ...).
    template <typename FunctionPointer>
    Result<FunctionPointer> EntryAs(const std::string& entryPoint)
    {
        Result<void*> address = Entry(entryPoint);
        if (!address)
            return address.error();
        return reinterpret_cast<FunctionPointer>(*address);
    }

    const std::string& fileName() const { return fileName_; }

private:
    Status Load();

    std::string fileName_;
    std::string programFolder_;
    void* handle_ = nullptr;
    std::map<std::string, void*> entries_;
    std::mutex mutex_;
};

} // namespace veltrane
