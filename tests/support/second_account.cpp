#include "support/second_account.h"

#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrane::test {
namespace {

constexpr const char* kName = "veltrane-planter";

std::optional<Account> Find()
{
    if (const passwd* entry = getpwnam(kName))
        return Account{entry->pw_uid, entry->pw_gid};
    return std::nullopt;
}

} // namespace

std::optional<Account> SecondAccount(std::string& whyNot)
{
    if (geteuid() != 0) {
        whyNot = "only root can act as a second account";
        return std::nullopt;
    }
    if (std::optional<Account> found = Find())
        return found;
    if (std::system("useradd --system --no-create-home --shell /usr/sbin/nologin "
                    "veltrane-planter >/dev/null 2>&1") != 0 &&
        !Find()) // another test program may have made it meanwhile
        whyNot = "useradd could not make the account veltrane-planter";
    return Find();
}

bool AsAccount(const Account& account, const std::function<bool()>& act)
{
    const pid_t child = fork();
    if (child == 0) {
        const bool done = setgroups(0, nullptr) == 0 && setgid(account.gid) == 0 &&
                          setuid(account.uid) == 0 && act();
        _exit(done ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

} // namespace veltrane::test
