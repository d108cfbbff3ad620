#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sendwick {

// The exchanger name of the first MX record in a DNS answer message, as
// returned (not sorted by preference), without its trailing dot. Every
// length and pointer is checked against the message: a truncated or hostile
// answer gives nullopt, never a read past its end. A null MX (RFC 7505, the
// root name) gives nullopt too: that domain accepts no mail.
std::optional<std::string> ParseFirstMxExchanger(const std::uint8_t* message, std::size_t size);

// Asks the system resolver (/etc/resolv.conf, read afresh on every call) for
// the MX records of `domain` and returns the first exchanger; nullopt when
// the query fails or finds none. No fallback to the domain's own address.
std::optional<std::string> GetMailExchanger(const std::string& domain);

} // namespace sendwick
