#pragma once

#include "outcome.h"

#include <string>
#include <string_view>

namespace sendwick {

// How a session with a named server protects itself.
enum class Security {
    None,     // in clear, as on port 25
    StartTls, // in clear until STARTTLS, which the server must offer
    Implicit, // TLS from the first byte
};

// Where SendMailViaSMTP's server text points.
struct ServerAddress
{
    std::string host;
    int port = 25;
    Security security = Security::None;
};

// Reads the server text of SendMailViaSMTP:
//   host                           port `plainPort` (25), in clear
//   host:port                      that port; STARTTLS on 587, TLS on 465,
//                                  in clear on any other
//   smtp+starttls://host[:port]    STARTTLS, port 587 unless given
//   smtps://host[:port]            TLS from the start, port 465 unless given
// The host may be a name, a dotted address, or an IPv6 address, bracketed
// when a port follows ("[::1]:587"); an unbracketed text with more than one
// colon is an IPv6 address without a port. The scheme may be in any case;
// one "/" may end a text with a scheme. Anything else fails with BadInput.
Outcome ParseServerText(std::string_view text, int plainPort, ServerAddress& address);

} // namespace sendwick
