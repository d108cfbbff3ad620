#pragma once

#include <cstdlib>
#include <functional>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrane::test {

// A second local account, "veltrane-planter" (made with useradd when missing;
// only root can): the member of a shared folder's group who plants links.
// Empty, with `whyNot` said, when it cannot be had (the caller skips).
inline std::optional<passwd> SecondAccount(std::string& whyNot)
{
    whyNot = geteuid() != 0 ? "only root can act as a second account"
                            : "useradd could not make the account veltrane-planter";
    if (geteuid() == 0 && getpwnam("veltrane-planter") == nullptr)
        static_cast<void>(std::system("useradd --system --no-create-home --shell "
                                      "/usr/sbin/nologin veltrane-planter >/dev/null 2>&1"));
    const passwd* entry = geteuid() == 0 ? getpwnam("veltrane-planter") : nullptr;
    return entry ? std::optional<passwd>(*entry) : std::nullopt;
}

// Runs `act` in a child process as `account`; true when it returned true.
inline bool AsAccount(const passwd& account, const std::function<bool()>& act)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(setgroups(0, nullptr) == 0 && setgid(account.pw_gid) == 0 &&
                      setuid(account.pw_uid) == 0 && act()
                  ? 0
                  : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

} // namespace veltrane::test
