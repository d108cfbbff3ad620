#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace veltrane::test {

// A fresh folder under /tmp, removed with everything in it when the object dies.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string File(std::string_view name) const;

private:
    std::string path_;
};

// Whole-file helpers for fixtures and checks; they fail the current test on error.
void WriteBytes(const std::string& path, std::string_view bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
// Two lowercase hex digits a byte: bytes of any encoding, comparable in a message.
std::string Hex(std::string_view bytes);
// Polls `condition`, which another process or thread makes true, every 20 ms
// for up to `limit`.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));
// Waits (as Eventually) until the file at `path` holds `text`.
bool WaitForText(const std::string& path, const std::string& text);

} // namespace veltrane::test
