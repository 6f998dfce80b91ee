// A virtual null-modem pair for SerialCtl tests: the library opens one end by
// the name portName() gives; the test plays the peer on the other end.
//
// On Linux the pair is a pseudo-terminal (the library opens the slave as
// "pts/N", the peer is the master). On Windows it is a pair of COM ports the
// test harness wires back to back. Tests written against this class build
// and run on both.
#ifndef KAVREL_TESTS_NULL_MODEM_H
#define KAVREL_TESTS_NULL_MODEM_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kavrel_test {

class NullModemPair {
 public:
  NullModemPair();
  ~NullModemPair();
  NullModemPair(const NullModemPair&) = delete;
  NullModemPair& operator=(const NullModemPair&) = delete;

  // False when no pair can be had here; tests then skip.
  bool ok() const;
  // The name a host passes to SetSerial.
  std::string portName() const;

  // The peer's side of the wire.
  bool PeerWrite(const void* data, std::size_t size,
                 std::chrono::milliseconds deadline = std::chrono::seconds(30));
  std::vector<unsigned char> PeerReadExactly(
      std::size_t size, std::chrono::milliseconds deadline = std::chrono::seconds(30));
  std::vector<unsigned char> PeerReadUntilQuiet(std::chrono::milliseconds quiet);
  // The peer hangs up: closes its end of the wire.
  void PeerHangUp();

  // The wire's modem lines, crossed as a null-modem cable crosses them: the
  // peer's RTS is the port's CTS, its DTR the port's DSR and DCD. A pty has
  // them only with the modem-line model of tests/wine/modem_lines_shim.c
  // loaded; PeerHasModemLines says whether they are there.
  bool PeerHasModemLines();
  bool PeerSetLines(bool dtr, bool rts);
  // The port's DTR and RTS, as the peer sees them (its DSR and its CTS).
  bool PeerSeesPortLines(bool* dtr, bool* rts);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Skips the current test when no pair is available.
#define KAVREL_REQUIRE_PAIR(pair)                                        \
  do {                                                                   \
    if (!(pair).ok()) GTEST_SKIP() << "no virtual null-modem pair here"; \
  } while (0)

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_NULL_MODEM_H
