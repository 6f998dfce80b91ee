// ser2net serving one tty (the slave of a pty pair) as an RFC 2217 port on
// 127.0.0.1, for tests that need a real network serial server. It runs in
// the foreground with a configuration of its own in a private directory,
// on a free port, and is stopped (and its directory removed) when the
// object goes, on every path; it dies with the test should the test die.
//
// ser2net opens the device only while a client is connected, and as a pty
// has no modem lines it does not answer SET-CONTROL's DTR and RTS commands
// for one (its "local" option is set, so missing lines are not waited for).
#ifndef KAVREL_TESTS_SER2NET_SERVER_H
#define KAVREL_TESTS_SER2NET_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "support/child_process.h"

namespace kavrel_test {

class Ser2netServer {
 public:
  // The ser2net program; empty when it is not installed (tests then skip).
  static std::string Program();

  // Starts serving devicePath with the line settings ser2net's serialdev
  // takes ("9600n81"). Check ok(); error() says why not.
  explicit Ser2netServer(const std::string& devicePath,
                         const std::string& lineSettings = "9600n81");
  ~Ser2netServer();
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  bool ok() const { return port_ != 0 && process_.running(); }
  // Why it is not running, with what ser2net wrote.
  const std::string& error() const { return error_; }
  std::uint16_t port() const { return port_; }
  // "rfc2217://127.0.0.1:PORT".
  std::string url() const;
  pid_t pid() const { return process_.pid(); }

  // Ends the server as an administrator would (SIGTERM), or abruptly.
  void Stop();
  void Kill();

 private:
  bool StartOnce(const std::string& program, const std::string& devicePath,
                 const std::string& lineSettings, std::string* why);
  bool WaitUntilListening(std::string* why);
  bool ListensOnPort() const;
  std::string Output() const;

  std::string directory_;
  ChildProcess process_;
  std::uint16_t port_ = 0;
  std::string error_;
};

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_SER2NET_SERVER_H
