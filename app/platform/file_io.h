#pragma once

// Whole-file reads, appends and safe replacement, on POSIX file calls. Every
// Error names the file and the system's reason; its code is the errno
// (EINVAL for a file that is not a regular one, ELOOP for a link another
// account made, EACCES for a read-only one).
//
// The data folder and the item folders may be writable by a group whose
// members are not trusted with what this program's account (often root) can
// reach. So every file here is opened relative to its folder's descriptor
// with O_NOFOLLOW and without blocking, and refused unless it is a regular
// file: a link planted by another account, a FIFO or a device never makes
// the program write, replace, read or delete anything but the file it
// names. Only the whole-file reads and replacements (the schedule, the
// settings, the state, the metrics) follow a link, and only one that the
// running account made itself: that is the operator's own arrangement.

#include "platform/result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace veltrane {

// Replaces the file at `path` with `contents` without ever losing the old one:
// the bytes go to the temporary file SaveTemporaryOf(target) in the same
// folder, are flushed to disk, and only then is the temporary renamed over the
// target. When `path` is a symbolic link that the running account made, the
// target is the file it leads to, so the link stays and keeps pointing at the
// new contents; a link another account made is refused. The new file gets
// `mode` (before any byte is written, so a secret is never readable by
// others).
//
// A target that exists and is read-only, or is not a regular file (a folder,
// a FIFO, a device), is refused and left as it is. On failure the old file is
// untouched and the temporary is removed.
//
// Without `flushToDisk` the bytes and the rename are left to the system to
// write out when it will: a reader still sees the old file or the new one
// whole, but a power cut may leave either. For a file made again and again
// from what the program holds (its metrics), which need not survive one.
Status WriteFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                           bool flushToDisk = true);

// The one temporary file that WriteFileAtomically uses for `target`. A save
// killed part-way leaves at most this file, and the next save reuses it.
std::string SaveTemporaryOf(const std::string& target);

// Removes what interrupted saves of `path` may have left beside it: the
// temporary of SaveTemporaryOf, and the randomly named temporaries
// ("<name>.XXXXXX") of earlier versions. They hold partial copies of the
// file, so they must not linger. Only regular files are removed.
void RemoveSaveLeftovers(const std::string& path);

// The file that `path` names once every symbolic link on its last component is
// followed (the folders on the way are taken as they are). Gives `path` itself
// when it is no link; an Error for a loop of links.
Result<std::string> FollowLinks(const std::string& path);

// As FollowLinks, but only through links owned by the running account: a
// link that another account made gives an Error (code ELOOP) naming it.
Result<std::string> FollowOwnLinks(const std::string& path);

// Opens the regular file `path` names relative to its folder, with `flags` as open(2) takes them
// (and `mode` for O_CREAT), always with O_NOFOLLOW and O_CLOEXEC. It never blocks: a FIFO, a
// device, a folder or a socket is refused (code EINVAL) and a link (code ELOOP), both with an Error
// that names the file and why. The caller closes the descriptor.
Result<int> OpenRegularFile(const std::string& path, int flags, mode_t mode = 0);

// Deletes the regular file `path` names relative to its folder, never
// following a link: a link, folder or anything else is refused (EINVAL) and
// kept. A file that is gone already gives the code ENOENT.
Status RemoveRegularFile(const std::string& path);

// Writes all of `bytes` to `fd`, again after an interrupted or short write;
// false (errno set) when a write fails.
[[nodiscard]] bool WriteAll(int fd, std::string_view bytes);

// Appends `contents` to the file at `path`, creating it (mode 0660 less the
// umask) when missing; only a regular file is appended to, never through a
// link (OpenRegularFile).
Status AppendToFile(const std::string& path, std::string_view contents);

// Reads a whole regular file (through links the running account made); an
// Error when it cannot be opened or read, or is not a regular file (a FIFO
// would block the reader for ever) or is a link another account made. A file
// that simply does not exist gives the code ENOENT. A file larger than
// `maxBytes` is not read into memory at all: an Error with the code EFBIG
// that names the file, its size and the limit (a huge or sparse file planted
// in the folder would otherwise take the process's memory).
Result<std::string> ReadWholeFile(const std::string& path, std::uint64_t maxBytes = UINT64_MAX);

} // namespace veltrane
