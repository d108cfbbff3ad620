#pragma once

#include "transport.h"

namespace sendwick {

// Runs the client side of a TLS handshake on the connected, non-blocking
// socket `fd` with OpenSSL, and on success returns the transport that carries
// the session over it. The server's certificate must chain to a certificate
// the system trusts (OpenSSL's default paths, which honour SSL_CERT_FILE and
// SSL_CERT_DIR) and name `host`: a host name, also sent as the server name
// (SNI), or an address, which must then be in the certificate itself.
// Takes `fd` over; it is closed when the handshake fails.
TlsStart StartClientTls(int fd, const std::string& host, Transport::Deadline deadline);

} // namespace sendwick
