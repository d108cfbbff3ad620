#pragma once

#include "session.h"

#include <string>
#include <vector>

namespace sendwick {

// What SendToRecipient (`login` null) or SendToRecipientViaSMTP would fail
// on for these texts before a server is asked to take the message, found by
// the checks and look-ups the sessions make, without connecting anywhere:
// a sender or recipient the session refuses (SenderProblem, AddressProblem),
// a recipient domain without a host to take its mail (none found, a null MX,
// no address for any of its exchangers), a server text that cannot be read
// or a server without an address. One line per finding, naming what it is
// about ("ops@example.org: example.org takes no mail (null MX)"); empty when
// none. Tokens that sessions skip are not checked, and with no other token
// nothing is: such a call sends nothing.
std::vector<std::string> CheckRoute(const ServerLogin* login, const std::string& from,
                                    const std::string& recipients, const SessionSettings& settings);

} // namespace sendwick
