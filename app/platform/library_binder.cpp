#include "platform/library_binder.h"

#include "platform/program_folder.h"

#include <dlfcn.h>

namespace veltrane {

LibraryBinder::LibraryBinder(std::string fileName, std::string programFolder)
    : fileName_(std::move(fileName)), programFolder_(std::move(programFolder))
{}

LibraryBinder::~LibraryBinder()
{
    if (handle_ != nullptr)
        dlclose(handle_);
}

Status LibraryBinder::Load()
{
    const std::string local = JoinPath(programFolder_, fileName_);
    handle_ = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr)
        return {};
    const char* error = dlerror();
    std::string firstReason = error != nullptr ? error : "";
    handle_ = dlopen(fileName_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr)
        return {};
    return Error{"The library " + fileName_ + " cannot be loaded: " + firstReason, fileName_,
                 kLibraryNotFound};
}

Result<void*> LibraryBinder::Entry(const std::string& entryPoint)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (auto found = entries_.find(entryPoint); found != entries_.end())
        return found->second;
    if (handle_ == nullptr)
        if (Status loaded = Load(); !loaded)
            return loaded.error();
    dlerror();
    void* address = dlsym(handle_, entryPoint.c_str());
    if (address == nullptr) {
        const char* error = dlerror();
        std::string description = "The entry point " + entryPoint + " is not in " + fileName_;
        if (error != nullptr)
            description.append(": ").append(error);
        return Error{std::move(description), fileName_, kEntryPointNotFound};
    }
    entries_.emplace(entryPoint, address);
    return address;
}

} // namespace veltrane
