// What a port name may be, and what a named port may stand for: a device
// path or an RFC 2217 endpoint. Only the syntax is judged here; a device
// target passes the device checks when a port is opened on it.
#ifndef KAVREL_PLATFORM_LINUX_PORT_TARGET_H
#define KAVREL_PLATFORM_LINUX_PORT_TARGET_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrel {
namespace platform {
namespace driver {

// The longest name SetSerial keeps.
constexpr std::size_t kMaxPortNameLength = 9;

struct NetworkEndpoint {
  std::string host;  // a host name, an IPv4 address, or an IPv6 address without brackets
  std::uint16_t port = 0;
};

struct PortTarget {
  enum class Kind { kDevice, kRfc2217 };
  Kind kind = Kind::kDevice;
  std::string device;        // kDevice: an absolute path
  NetworkEndpoint endpoint;  // kRfc2217
  std::string text;          // as written
};

// 1 to 9 ASCII letters, digits, '_' or '-'.
bool IsValidPortName(const std::string& name);

// An absolute device path ("/dev/serial/by-id/usb-FTDI_...", components
// neither empty nor "." nor "..", no control bytes or backslashes) or
// "rfc2217://HOST:PORT" (the scheme in any letter case; HOST a host name,
// an IPv4 address or a bracketed IPv6 address; PORT 1 to 65535; nothing
// after it). false with why filled for anything else.
bool ParsePortTarget(const std::string& text, PortTarget* target, std::string* why);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_PORT_TARGET_H
