// What the reliability tests share: bounded calls that turn a hang into a
// failure, resource accounting, a port opened on a fresh virtual pair, and
// the figures the reliability report collects.
#ifndef KAVREL_TESTS_RELIABILITY_SUPPORT_H
#define KAVREL_TESTS_RELIABILITY_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "support/null_modem.h"
#include "support/random_bytes.h"
#include "support/resource_count.h"

namespace kavrel_reliability {

using Bytes = std::vector<unsigned char>;
using kavrel_test::RandomBytes;
using std::chrono::milliseconds;

// Generous bound for any single library call in these tests. No call should
// come near it; one that does has hung.
constexpr milliseconds kCallBound{10000};

// Runs call on a thread of its own and waits up to bound for it. A call that
// is still running by then has hung: the test process cannot recover the
// thread, so it says what hung and aborts, which fails the test with a
// name instead of a CTest time-out.
void Bounded(const char* what, const std::function<void()>& call, milliseconds bound = kCallBound);

// Descriptors, threads and live handles when constructed; ExpectUnchanged
// compares the present with them. Threads the library ends are joined
// before the calls that end them return, so no waiting is needed.
class ResourceLedger {
 public:
  ResourceLedger();
  void ExpectUnchanged(const char* where) const;

 private:
  kavrel_test::ResourceSnapshot before_;
};

// Makes window the main window for as long as it lives, and unsets it on
// every way out of a test, so no later test can post to a window that is gone.
class MainWindowScope {
 public:
  explicit MainWindowScope(kavrel::Window* window) { kavrel::SetMainWindow(window); }
  ~MainWindowScope() { kavrel::SetMainWindow(nullptr); }
  MainWindowScope(const MainWindowScope&) = delete;
  MainWindowScope& operator=(const MainWindowScope&) = delete;
};

// Process CPU time (user + system) so far.
std::chrono::microseconds ProcessCpuTime();

// Whether the process stays nearly idle for window: an idle listener or I/O
// thread blocks; one that spins burns a whole core. Used only to detect busy
// loops, never to measure speed: the bound is half the window.
bool StaysIdle(milliseconds window = milliseconds(400));

// Opens port on pair with plain settings.
bool OpenOn(SerialCtl& port, const kavrel_test::NullModemPair& pair);

// The object, closed whatever state it was in, opens on a new pair and
// carries a byte each way.
void ExpectReopensOnANewPair(SerialCtl& port);

// Bytes the port delivers within the time given, read with ReadSerial.
Bytes ReadFor(SerialCtl& port, milliseconds within, std::size_t atMost = SIZE_MAX);

// Figures for docs/reliability.md. Each test binary prints its totals as
// "KAVREL-FIGURE name=value" lines when it ends; scripts/reliability-report.sh
// collects them.
void CountFigure(const std::string& name, std::uint64_t amount = 1);

}  // namespace kavrel_reliability

#endif  // KAVREL_TESTS_RELIABILITY_SUPPORT_H
