#pragma once

// The local side of a transfer: the file an upload reads, and the file a
// download writes without ever leaving a half-written file in place of a
// good one.

#include "outcome.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace hoistline {

// A file descriptor closed when the object dies.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release();
    // Closes now, reporting whether the kernel accepted the close.
    bool Close();

private:
    int fd_ = -1;
};

// Opens the regular file at `path` for reading and learns its size, so that
// the server's byte count can be checked against it.
Outcome OpenSource(const std::string& path, UniqueFd& fd, std::int64_t& size);

// Writes everything, retrying short writes and interrupted calls.
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t size);

// A download target. Data goes to a new temporary file beside `target` (same
// folder, so the final rename stays on one file system); Commit() makes it
// durable and renames it over `target` in one step. Without a successful
// Commit() the temporary file is removed and `target` is never touched.
class ReplacementFile
{
public:
    ReplacementFile() = default;
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    Outcome Create(const std::string& target);
    int fd() const { return fd_.get(); }
    Outcome Commit();

private:
    void Discard();

    std::string target_;
    std::string tempPath_;
    UniqueFd fd_;
};

} // namespace hoistline
