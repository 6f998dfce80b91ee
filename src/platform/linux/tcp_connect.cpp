#include "platform/linux/tcp_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

using Clock = std::chrono::steady_clock;

struct AddressListRelease {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  // Rounded up, so a wait never ends just short of the deadline and spins.
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// What a failed connection means: the port is not there to be had.
bool NothingThere(int error) {
  return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
         error == ETIMEDOUT || error == ECONNRESET || error == EADDRNOTAVAIL;
}

DWORD ResolveFailure(int status, const NetworkEndpoint& endpoint, std::string* why) {
  const int error = errno;
  *why = "cannot find host " + endpoint.host + ": " +
         (status == EAI_SYSTEM ? std::strerror(error) : gai_strerror(status));
  if (status == EAI_MEMORY) return ERROR_NOT_ENOUGH_MEMORY;
  if (status == EAI_SYSTEM) return ErrorWhileOpening(error);
  return ERROR_FILE_NOT_FOUND;
}

// Connects one socket to address before deadline: 0, or the errno of the
// failure (ETIMEDOUT when the deadline came first).
int ConnectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  // An interrupted connect goes on in the background, as one in progress.
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  pollfd writable{fd, POLLOUT, 0};
  for (;;) {
    const int ready = poll(&writable, 1, MillisecondsLeft(deadline));
    if (ready > 0) break;
    if (ready == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

std::string EndpointText(const NetworkEndpoint& endpoint) {
  const bool v6 = endpoint.host.find(':') != std::string::npos;
  return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

DWORD ConnectWithin(const NetworkEndpoint& endpoint, Clock::duration bound, int* socketFd,
                    std::string* why) {
  const Clock::time_point deadline = Clock::now() + bound;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int status =
      getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found);
  if (status != 0) return ResolveFailure(status, endpoint, why);
  const std::unique_ptr<addrinfo, AddressListRelease> addresses(found);

  int lastError = ECONNREFUSED;
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    if (Clock::now() >= deadline) {
      lastError = ETIMEDOUT;
      break;
    }
    const int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
    if (fd < 0) {
      const int error = errno;
      *why = std::string("cannot make a socket: ") + std::strerror(error);
      return ErrorWhileOpening(error);
    }
    lastError = ConnectOne(fd, *address, deadline);
    if (lastError == 0) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      *socketFd = fd;
      return ERROR_SUCCESS;
    }
    close(fd);
    if (!NothingThere(lastError)) break;
  }
  if (lastError == ETIMEDOUT && Clock::now() >= deadline) {
    *why = "no connection within " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s";
    return ERROR_SEM_TIMEOUT;
  }
  *why = std::string("cannot connect: ") + std::strerror(lastError);
  return NothingThere(lastError) ? ERROR_FILE_NOT_FOUND : ErrorWhileOpening(lastError);
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
