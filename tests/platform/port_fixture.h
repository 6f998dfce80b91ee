// What the platform tests share: the library's end of a pty pair opened
// through CreateFileA, overlapped requests that clean up after themselves,
// and waits driven by device events instead of sleeps.
#ifndef KAVREL_TESTS_PLATFORM_PORT_FIXTURE_H
#define KAVREL_TESTS_PLATFORM_PORT_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/pty_pair.h"

namespace kavrel_platform_test {

using kavrel::COMSTAT;
using kavrel::DCB;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel::OVERLAPPED;

// Bounds every wait of these tests; none should come near it.
constexpr DWORD kPatienceMs = 30000;

// "\\.\NAME", the path a host passes for NAME.
std::string DevicePath(const std::string& name);

// A pty pair whose slave the library has opened.
class OpenPort {
 public:
  OpenPort();
  ~OpenPort();
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;

  bool ok() const { return handle_ != kavrel::INVALID_HANDLE_VALUE && handle_ != 0; }
  HANDLE handle() const { return handle_; }
  kavrel_test::PtyPair& peer() { return pair_; }
  // Closes the library's handle now (the destructor then does nothing).
  void Close();

 private:
  kavrel_test::PtyPair pair_;
  HANDLE handle_ = 0;
};

#define KAVREL_REQUIRE_PORT(port) \
  if (!(port).ok()) GTEST_SKIP() << "no pty here"

// An OVERLAPPED with its own manual-reset event. If an operation on it is
// still pending when it goes, it is cancelled and waited for first, so no
// device ever writes into a dead record.
class Request {
 public:
  explicit Request(HANDLE device, bool withEvent = true);
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  OVERLAPPED* get() { return &overlapped_; }
  // Waits (bounded) until the request's event is signalled.
  bool Signalled(DWORD timeoutMs = kPatienceMs);
  bool Pending();
  // GetOverlappedResult with waiting, after a bounded wait for the event:
  // the outcome and the last error (WAIT_TIMEOUT if it never finished).
  bool Result(DWORD* transferred, DWORD* error);

 private:
  HANDLE device_;
  OVERLAPPED overlapped_{};
};

// Waits until ClearCommError counts at least count bytes queued for input,
// woken by EV_RXCHAR. Sets the device's event mask to EV_RXCHAR | EV_TXEMPTY.
bool WaitForInputQueued(HANDLE device, DWORD count, DWORD timeoutMs = kPatienceMs);

COMSTAT Status(HANDLE device);

// Waits until at least count threads of the process are asleep in a wait of
// the emulated driver, so that a test acts only once its waiters are in.
bool AwaitSleepingWaiters(std::size_t count, DWORD timeoutMs = kPatienceMs);

// Deterministic bytes whose position in a long stream can be told apart.
std::vector<unsigned char> Pattern(std::size_t size, unsigned seed = 1);

}  // namespace kavrel_platform_test

#endif  // KAVREL_TESTS_PLATFORM_PORT_FIXTURE_H
