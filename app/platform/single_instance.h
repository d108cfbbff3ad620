#pragma once

#include <string>

namespace veltrane {

// Keeps a second copy of the program from running the same backups from the
// same program folder. The lock is an flock on a file in the folder, so the
// system releases it when the holder dies, however it dies.
class SingleInstanceLock
{
public:
    // Tries to take the lock of `programFolder`; see Held().
    explicit SingleInstanceLock(const std::string& programFolder);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool Held() const { return fd_ >= 0; }
    // Why the lock could not be taken (empty when held).
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

} // namespace veltrane
