#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace veltrane::test {

// A second local account, "veltrane-planter", that plays the member of the
// service's group who plants links and FIFOs in a shared folder. Made with
// useradd when missing; only root can. Empty, with `whyNot` said, when it
// cannot be had (the caller skips).
struct Account
{
    uid_t uid;
    gid_t gid;
};
std::optional<Account> SecondAccount(std::string& whyNot);

// Runs `act` in a child process as `account`; true when it returned true.
bool AsAccount(const Account& account, const std::function<bool()>& act);

} // namespace veltrane::test
