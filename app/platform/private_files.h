#pragma once

// Files that nobody but this user may read, and what the program makes for
// its backups, which nobody but its owner and group may.

#include "platform/result.h"

#include <string>
#include <string_view>

namespace veltrane {

// Takes every permission for others out of the process's umask, whatever it
// was: the item folders, dumps, logs and archives the program and its
// children (the export utility writes the dump) make hold the database's
// data. The owner's and the group's bits stay as the operator set them (the
// service's group shares its folder). Safe to call more than once.
void KeepFilesFromOthers();

// Keeps the passwords the process holds in clear (Oracle, SMTP, FTP) out of
// any core dump and away from other processes of the same user: the process
// is made undumpable (no core, no ptrace attach, its /proc files root's)
// and its core size limit, which its children inherit, is 0. False with
// errno set when the system refused either.
[[nodiscard]] bool KeepSecretsOutOfCoreDumps();

// The folder for `dataFolder`'s secret files (the parameter files that carry
// the Oracle login to a child): in this user's private runtime folder (see
// UserRuntimeFolder), named after the data folder's identity, so that the
// next start finds what a killed run left there. Made (0700) when missing.
Result<std::string> SecretFolder(const std::string& dataFolder);

// Removes every file in `folder` (a killed run's secrets).
void RemoveSecretFiles(const std::string& folder);

// A file with secret contents, readable by this user only, that lives as long
// as the object: it is removed when the object goes.
class SecretFile
{
public:
    // Writes `contents` to a new file in `folder`.
    static Result<SecretFile> Create(const std::string& folder, std::string_view contents);
    ~SecretFile();
    SecretFile(SecretFile&& other) noexcept;
    SecretFile& operator=(SecretFile&&) = delete;
    SecretFile(const SecretFile&) = delete;
    SecretFile& operator=(const SecretFile&) = delete;

    const std::string& Path() const { return path_; }

private:
    explicit SecretFile(std::string path) : path_(std::move(path)) {}

    std::string path_;
};

} // namespace veltrane
