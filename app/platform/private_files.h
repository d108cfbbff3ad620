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

// Whether this process may work on `dataFolder`. Run by root on a folder that
// another account owns, every file it made there would be root's, and every
// link or FIFO planted there by whoever can write the folder would be
// followed with root's rights: it refuses, with a message that names the
// owner and says how to run `commandLine` as that account instead (with
// runuser). Switching to the owner silently is not done: root's environment,
// runtime folder and open files would come along.
Status CheckFolderOwner(const std::string& dataFolder, const std::string& commandLine);

// The folder for `dataFolder`'s secret files (the parameter files that carry
// the Oracle login to a child): a folder ".veltrane-secrets-XXXXXX" inside
// the data folder, owned by this account and closed to everyone else (0700),
// made with a fresh random name when this account has none there yet. No
// other account can claim it beforehand (a shared /tmp name could be taken
// by anyone, and a read-only /tmp stops every run), and the next start finds
// what a killed run left in it. One that is not exactly so (a link, a folder
// of another account's, open to others) is never used.
Result<std::string> SecretFolder(const std::string& dataFolder);

// Whether SecretFolder would give a folder, without making or writing
// anything: this account's folder there can be written, or the data folder
// can take a new one. An Error naming the folder and why otherwise.
Status CheckSecretFolder(const std::string& dataFolder);

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
