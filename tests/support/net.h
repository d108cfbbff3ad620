#pragma once

#include <string>

namespace veltrane::test {

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// Polls until something accepts TCP connections on host:port, or the
// deadline passes. For waiting on a server a test has just started.
bool WaitForPort(const std::string& host, int port, int timeoutMs = 10000);

// Moves the calling process into a private network namespace (only its own
// loopback, brought up) and a private mount namespace, so that a test can use
// fixed ports (25, 53) and bind-mount its own /etc/resolv.conf. Must be called
// while the process has a single thread. Returns false with a reason on failure.
bool EnterPrivateNetwork(std::string& error);

// Bind-mounts `source` over `target` inside the private mount namespace.
bool BindMountFile(const std::string& source, const std::string& target, std::string& error);

} // namespace veltrane::test
