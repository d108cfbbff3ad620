#pragma once

// Which known_hosts file vouches for the host keys of SFTP servers.

#include <string>

namespace hoistline {

// The environment variable that names the known_hosts file outright.
inline constexpr const char* kKnownHostsVariable = "HOISTLINE_KNOWN_HOSTS";

// The known_hosts file to check a server's host key against, the first that
// exists of: `named` (the program names the one in its data folder),
// "known_hosts" in `libraryFolder`, ".ssh/known_hosts" in `home` (which is
// taken even when missing: a file that does not exist vouches for no key).
std::string ChooseKnownHostsFile(const char* named, const std::string& libraryFolder,
                                 const std::string& home);

// ChooseKnownHostsFile with the value of HOISTLINE_KNOWN_HOSTS, the folder this
// library was loaded from and the user's home folder.
std::string KnownHostsFile();

} // namespace hoistline
