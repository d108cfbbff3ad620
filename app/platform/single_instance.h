#pragma once

#include <string>
#include <vector>

namespace veltrane {

// Keeps a second copy of the program from running the same backups from the
// same program folder. The locks are flocks, so the system releases them when
// the holder dies, however it dies.
//
// Two locks stand for the folder: the file ".veltrane.lock" in the folder
// (seen by every account that can open it), and a file in this user's
// runtime folder named after the folder's identity (device and inode), which
// always works for the user even when the folder is read-only or holds a lock
// file left by another account. A lock that cannot be opened is passed over;
// a lock that another copy holds refuses the start, and so does a link or
// anything but a regular file in the place of the folder's lock file (it
// would lock something else, and let a second copy run beside this one).
class SingleInstanceLock
{
public:
    // Tries to take the locks of `programFolder`; see Held().
    explicit SingleInstanceLock(const std::string& programFolder);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // False when another copy runs from the same folder.
    bool Held() const { return error_.empty(); }
    // Why the program must not start (empty when held).
    const std::string& Error() const { return error_; }

private:
    // Locks the file at `path` (opened writable, or read-only when it exists
    // but cannot be written); false when another copy holds it.
    bool TryLock(const std::string& path);

    std::vector<int> fds_;
    std::string folder_;
    std::string error_;
};

// Whether some process holds the lock of `programFolder` now (read from
// /proc/locks, without taking it): a service, a window or a run of one item
// is at work there. For the commands that only look.
bool FolderLockHeld(const std::string& programFolder);

// The folder for this user's run-time files: $XDG_RUNTIME_DIR when it is a
// folder of this user's, else /tmp/veltrane-<uid> (made private to the user).
// Empty when neither can be had safely.
std::string UserRuntimeFolder();

} // namespace veltrane
