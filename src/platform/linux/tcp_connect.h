// A TCP connection to a network serial port's server, made within a bound.
#ifndef KAVREL_PLATFORM_LINUX_TCP_CONNECT_H
#define KAVREL_PLATFORM_LINUX_TCP_CONNECT_H

#include <chrono>
#include <string>

#include "platform/linux/port_target.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// "HOST:PORT", an IPv6 address in brackets.
std::string EndpointText(const NetworkEndpoint& endpoint);

// Connects to endpoint within bound. The host name is resolved with
// getaddrinfo (the system's resolver, with the time-outs of its own
// configuration); each address it gives is tried in turn with the time left.
// ERROR_SUCCESS with *socket set: connected, non-blocking, close-on-exec,
// with Nagle's delay off (a serial port's small writes go out at once).
// Otherwise, with nothing left open and why filled: ERROR_FILE_NOT_FOUND
// (no such host, or nothing takes the connection: refused, unreachable),
// ERROR_SEM_TIMEOUT (no connection within bound), or the error of a failed
// system call.
DWORD ConnectWithin(const NetworkEndpoint& endpoint, std::chrono::steady_clock::duration bound,
                    int* socket, std::string* why);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TCP_CONNECT_H
