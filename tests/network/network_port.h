// What the network port tests share: a port opened by a name that leads to
// an RFC 2217 endpoint, and transfers of exact sizes through the platform
// calls, each wait bounded.
#ifndef KAVREL_TESTS_NETWORK_NETWORK_PORT_H
#define KAVREL_TESTS_NETWORK_NETWORK_PORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kavrel_network_test {

using Bytes = std::vector<std::uint8_t>;

// Opens the port a run-time name leads to, url ("rfc2217://127.0.0.1:N"),
// through CreateFileA; the name is given up again when the object goes.
class NetworkPort {
 public:
  explicit NetworkPort(const std::string& url);
  ~NetworkPort();
  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  bool ok() const { return handle_ != kavrel::INVALID_HANDLE_VALUE; }
  kavrel::HANDLE handle() const { return handle_; }
  // The open's last error and reason, when it failed.
  kavrel::DWORD error() const { return error_; }
  const std::string& reason() const { return reason_; }
  void Close();

 private:
  kavrel::HANDLE handle_ = kavrel::INVALID_HANDLE_VALUE;
  kavrel::DWORD error_ = 0;
  std::string reason_;
};

// Applies the DCB the port reports with these members changed; the error
// of SetCommState, ERROR_SUCCESS when it took.
kavrel::DWORD SetLine(kavrel::HANDLE port, kavrel::DWORD baudRate, kavrel::BYTE byteSize,
                      kavrel::BYTE parity, kavrel::BYTE stopBits);

// One write of data, waited for up to timeoutMs; the error it ended with.
kavrel::DWORD WriteAll(kavrel::HANDLE port, const Bytes& data, kavrel::DWORD timeoutMs = 30000);
// One read of exactly count bytes, waited for up to timeoutMs; what came.
Bytes ReadExactly(kavrel::HANDLE port, std::size_t count, kavrel::DWORD timeoutMs = 30000);

// Every byte value, runs of 0xFF (which Telnet doubles) and random bytes.
Bytes Traffic(std::uint32_t seed);

}  // namespace kavrel_network_test

#endif  // KAVREL_TESTS_NETWORK_NETWORK_PORT_H
