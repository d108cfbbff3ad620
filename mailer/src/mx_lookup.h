#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace sendwick {

// One MX record: its preference and the exchanger's name without its
// trailing dot; the root name (a null MX, RFC 7505) is the empty name.
struct MxRecord
{
    std::uint16_t preference = 0;
    std::string exchanger;
};

// Every MX record of a DNS answer message, in the order returned. Every
// length and pointer is checked against the message: a truncated or hostile
// answer gives nullopt, never a read past its end. A name with a dot or a
// control byte inside a label is refused the same way.
std::optional<std::vector<MxRecord>> ParseMxRecords(const std::uint8_t* message, std::size_t size);

// The exchanger of the first MX record of an answer as returned (nullopt for
// a null MX or an answer ParseMxRecords refuses). Sessions use MailHostsOf.
std::optional<std::string> ParseFirstMxExchanger(const std::uint8_t* message, std::size_t size);

// Where a session takes the mail for a domain: the hosts to try in turn, or
// why there are none.
struct MailHosts
{
    std::vector<std::string> hosts;
    std::string failure; // when `hosts` is empty
};

// The hosts of `domain` from its MX records (RFC 5321 5.1): in order of
// preference, records of equal preference in an order drawn from `random`;
// the domain itself when there is no MX record (its implicit MX); none when
// the domain publishes a null MX, which says it takes no mail.
MailHosts MailHostsOf(const std::string& domain, std::vector<MxRecord> records,
                      std::mt19937& random);

// Asks the system resolver (/etc/resolv.conf, read afresh on every call) for
// the MX records of `domain`, as MailHostsOf orders them. A domain that
// exists without MX records has its own name as the host; a domain that does
// not exist, or a lookup that fails, gives no host and the reason.
MailHosts LookUpMailHosts(const std::string& domain);

} // namespace sendwick
