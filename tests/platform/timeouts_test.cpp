// The emulated driver's time-outs (SetCommTimeouts) and its flush: how a read
// ends under each shape of COMMTIMEOUTS, and a flush that closing ends.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::Request;
using kavrel_platform_test::WaitForInputQueued;
using Clock = std::chrono::steady_clock;

TEST(Timeouts, EachShapeEndsAReadAsOnWindows) {
  constexpr DWORD kMax = p::MAXDWORD;
  const struct {
    const char* name;
    p::COMMTIMEOUTS timeouts;
    std::string queued;   // there before the read
    std::string trickle;  // sent once it waits, a byte every 20 ms
    DWORD expected;       // bytes the read ends with (it asks for 10)
    long minimumMs;       // it ends no sooner
  } rows[] = {
      {"at once", {kMax, 0, 0, 0, 0}, "abc", "", 3, 0},
      {"first bytes end it", {kMax, kMax, 5000, 0, 0}, "", "ab", 1, 0},
      {"first bytes, none come", {kMax, kMax, 150, 0, 0}, "", "", 0, 150},
      {"total constant", {0, 0, 150, 0, 0}, "ab", "", 2, 150},
      {"total per byte", {0, 15, 0, 0, 0}, "", "", 0, 150},
      {"interval after a pause", {100, 0, 0, 0, 0}, "", "abc", 3, 100},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OpenPort port;
    KAVREL_REQUIRE_PORT(port);
    p::COMMTIMEOUTS timeouts = row.timeouts;
    ASSERT_TRUE(p::SetCommTimeouts(port.handle(), &timeouts));
    ASSERT_TRUE(port.peer().WriteAll(row.queued.data(), row.queued.size()));
    ASSERT_TRUE(WaitForInputQueued(port.handle(), static_cast<DWORD>(row.queued.size())));
    char buffer[10] = {};
    Request read(port.handle());
    const Clock::time_point start = Clock::now();
    const bool done = p::ReadFile(port.handle(), buffer, sizeof buffer, nullptr, read.get());
    ASSERT_TRUE(done || p::GetLastError() == p::ERROR_IO_PENDING);
    for (const char byte : row.trickle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ASSERT_TRUE(port.peer().WriteAll(&byte, 1));
    }
    DWORD count = 0;
    DWORD error = 0;
    EXPECT_TRUE(read.Result(&count, &error)) << error;
    EXPECT_EQ(count, row.expected);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              row.minimumMs);
  }
  // The one shape without a meaning is refused.
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  p::COMMTIMEOUTS meaningless{kMax, kMax, kMax, 0, 0};
  EXPECT_FALSE(p::SetCommTimeouts(port.handle(), &meaningless));
}

TEST(Flush, ClosingTheHandleEndsIt) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::vector<unsigned char> big(1 << 20, 0x5A);
  Request write(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), big.data(), static_cast<DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  const kavrel::HANDLE device = port.handle();
  auto flush = std::async(std::launch::async, [device] {
    return p::FlushFileBuffers(device) ? p::ERROR_SUCCESS : p::GetLastError();
  });
  EXPECT_EQ(flush.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  port.Close();
  // Ended by the close; a flush the scheduler had not yet started finds the
  // handle closed instead.
  const DWORD ended = flush.get();
  EXPECT_TRUE(ended == p::ERROR_OPERATION_ABORTED || ended == p::ERROR_INVALID_HANDLE) << ended;
  DWORD written = 0;
  DWORD error = 0;
  EXPECT_FALSE(write.Result(&written, &error));
}

}  // namespace
