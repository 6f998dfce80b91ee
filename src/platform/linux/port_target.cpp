#include "platform/linux/port_target.h"

#include <arpa/inet.h>
#include <strings.h>

#include "platform/linux/device_names.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kRfc2217Scheme[] = "rfc2217://";
constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool IsAsciiAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Letters, digits and inner hyphens in dot-separated labels: host names,
// and IPv4 addresses in their usual form.
bool IsHostName(const std::string& host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  std::size_t labelStart = 0;
  for (std::size_t i = 0; i <= host.size(); ++i) {
    if (i < host.size() && host[i] != '.') {
      if (!IsAsciiAlphanumeric(host[i]) && host[i] != '-') return false;
      continue;
    }
    const std::size_t length = i - labelStart;
    if (length == 0 || length > kMaxLabelLength) return false;
    if (host[labelStart] == '-' || host[i - 1] == '-') return false;
    labelStart = i + 1;
  }
  return true;
}

bool ParsePortNumber(const std::string& text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

bool ParseEndpoint(const std::string& authority, NetworkEndpoint* endpoint) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string::npos ||
      !ParsePortNumber(authority.substr(colon + 1), &endpoint->port)) {
    return false;
  }
  std::string host = authority.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr address{};
    if (inet_pton(AF_INET6, host.c_str(), &address) != 1) return false;
  } else if (!IsHostName(host)) {
    return false;
  }
  endpoint->host = host;
  return true;
}

}  // namespace

bool IsValidPortName(const std::string& name) {
  if (name.empty() || name.size() > kMaxPortNameLength) return false;
  for (char c : name) {
    if (!IsAsciiAlphanumeric(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool ParsePortTarget(const std::string& text, PortTarget* target, std::string* why) {
  PortTarget parsed;
  parsed.text = text;
  const std::size_t schemeLength = sizeof kRfc2217Scheme - 1;
  if (text.size() > schemeLength && strncasecmp(text.c_str(), kRfc2217Scheme, schemeLength) == 0) {
    parsed.kind = PortTarget::Kind::kRfc2217;
    if (!ParseEndpoint(text.substr(schemeLength), &parsed.endpoint)) {
      *why = "not an rfc2217://host:port endpoint";
      return false;
    }
  } else if (!text.empty() && text.front() == '/') {
    // The same rules as a name under /dev, for the whole path.
    if (!IsAcceptableDeviceName(text.substr(1))) {
      *why = "not an acceptable device path";
      return false;
    }
    parsed.device = text;
  } else {
    *why = "neither an absolute device path nor rfc2217://host:port";
    return false;
  }
  *target = std::move(parsed);
  return true;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
