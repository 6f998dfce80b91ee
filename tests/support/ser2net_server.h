// ser2net serving ttys (slaves of pty pairs) as RFC 2217 ports on
// 127.0.0.1, for tests that need a real network serial server: one TCP port
// per tty, all in one ser2net. It runs in the foreground with a
// configuration of its own in a private directory, on free ports, and is
// stopped (and its directory removed) when the object goes, on every path;
// it dies with the test should the test die.
//
// ser2net opens the device only while a client is connected, and as a pty
// has no modem lines it does not answer SET-CONTROL's DTR and RTS commands
// for one (its "local" option is set, so missing lines are not waited for).
#ifndef KAVREL_TESTS_SER2NET_SERVER_H
#define KAVREL_TESTS_SER2NET_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace kavrel_test {

class Ser2netServer {
 public:
  // The ser2net program; empty when it is not installed (tests then skip).
  static std::string Program();

  // What the server is to speak: RFC 2217, or plain Telnet (which refuses
  // COM-PORT-OPTION).
  enum class Protocol { kRfc2217, kTelnet };

  // Starts serving each of devicePaths on a port of its own, with the line
  // settings ser2net's serialdev takes ("9600n81"). Check ok(); error() says
  // why not.
  explicit Ser2netServer(const std::vector<std::string>& devicePaths,
                         const std::string& lineSettings = "9600n81",
                         Protocol protocol = Protocol::kRfc2217);
  explicit Ser2netServer(const std::string& devicePath, const std::string& lineSettings = "9600n81",
                         Protocol protocol = Protocol::kRfc2217)
      : Ser2netServer(std::vector<std::string>{devicePath}, lineSettings, protocol) {}
  ~Ser2netServer();
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  bool ok() const { return !ports_.empty() && process_.running(); }
  // Why it is not running, with what ser2net wrote.
  const std::string& error() const { return error_; }
  // The TCP port serving the index-th device.
  std::uint16_t port(std::size_t index = 0) const { return ports_.at(index); }
  // "rfc2217://127.0.0.1:PORT" for the index-th device.
  std::string url(std::size_t index = 0) const;
  pid_t pid() const { return process_.pid(); }

  // Ends the server as an administrator would (SIGTERM), or abruptly.
  void Stop();
  void Kill();

 private:
  bool StartOnce(const std::string& program, const std::vector<std::string>& devicePaths,
                 const std::string& lineSettings, Protocol protocol, std::string* why);
  bool WaitUntilListening(std::string* why);
  bool ListensOnPort(std::uint16_t port) const;
  std::string Output() const;

  std::string directory_;
  ChildProcess process_;
  std::vector<std::uint16_t> ports_;
  std::string error_;
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_SER2NET_SERVER_H
