// Overlapped reads, writes and event waits: when they finish, how they are
// observed, and how they are cancelled.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/linux/overlapped_status.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel::OVERLAPPED;
using kavrel_platform_test::AwaitSleepingWaiters;
using kavrel_platform_test::kPatienceMs;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::Request;
using kavrel_platform_test::WaitForInputQueued;

// Starts a wait for the next device event; the mask is written when it ends.
void StartWait(HANDLE port, DWORD* mask, Request& request) {
  ASSERT_FALSE(p::WaitCommEvent(port, mask, request.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
}

// Writes a block too big for the line to take at once, so that it waits in
// the output queue, and returns once the peer has read it all.
void WriteThroughTheOutputQueue(OpenPort& port) {
  const std::vector<unsigned char> big(256 * 1024, 0x33);
  Request write(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), big.data(), static_cast<DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  kavrel_test::PtyPair& peer = port.peer();
  std::thread reader([&] { peer.ReadExactly(big.size()); });
  DWORD written = 0;
  DWORD error = 0;
  EXPECT_TRUE(write.Result(&written, &error)) << error;
  reader.join();
}

TEST(OverlappedRead, WaitsForEveryRequestedByte) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  unsigned char buffer[10] = {};
  Request read(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), buffer, sizeof buffer, nullptr, read.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  DWORD count = 99;
  EXPECT_FALSE(p::GetOverlappedResult(port.handle(), read.get(), &count, p::FALSE));
  EXPECT_EQ(p::GetLastError(), p::ERROR_IO_INCOMPLETE);

  // Four bytes arrive; the event wait tells when the device has taken them
  // in, and the read still waits for the other six.
  {
    DWORD mask = 0;
    Request wait(port.handle());
    StartWait(port.handle(), &mask, wait);
    ASSERT_TRUE(port.peer().WriteAll("abcd", 4));
    ASSERT_TRUE(wait.Signalled());
    EXPECT_EQ(mask, p::EV_RXCHAR);
  }
  EXPECT_TRUE(read.Pending());

  ASSERT_TRUE(port.peer().WriteAll("efghij", 6));
  DWORD error = 0;
  ASSERT_TRUE(read.Result(&count, &error)) << error;
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), sizeof buffer), "abcdefghij");
}

TEST(OverlappedRead, QueuedBytesFinishTheReadAtOnceAndSignalItsEvent) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(port.peer().WriteAll("12345", 5));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), 5));
  unsigned char buffer[5] = {};
  DWORD transferred = 0;
  Request read(port.handle());
  ASSERT_TRUE(p::ReadFile(port.handle(), buffer, sizeof buffer, &transferred, read.get()));
  EXPECT_EQ(transferred, 5u);
  EXPECT_TRUE(read.Signalled(0));
  EXPECT_EQ(read.get()->Internal, p::ERROR_SUCCESS);
  EXPECT_EQ(read.get()->InternalHigh, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "12345");
}

TEST(OverlappedRead, ReadsAreServedInTheOrderTheyWereIssued) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  unsigned char first[3] = {};
  unsigned char second[3] = {};
  Request readFirst(port.handle());
  Request readSecond(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), first, 3, nullptr, readFirst.get()));
  ASSERT_FALSE(p::ReadFile(port.handle(), second, 3, nullptr, readSecond.get()));
  ASSERT_TRUE(port.peer().WriteAll("uvwxyz", 6));
  DWORD count = 0;
  DWORD error = 0;
  ASSERT_TRUE(readFirst.Result(&count, &error));
  ASSERT_TRUE(readSecond.Result(&count, &error));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(first), 3), "uvw");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(second), 3), "xyz");
}

TEST(OverlappedResult, WaitingEndsWhenTheOperationEndsAndNotBefore) {
  // Records with and without an event (one whose handle is closed counts as
  // none); an event set by hand only makes the waiter look again.
  struct Row {
    bool withEvent;
    bool closeEventFirst;
    bool setEventByHand;
    bool endByClosingDevice;
    DWORD error;
    DWORD count;
  } rows[] = {
      {false, false, false, false, p::ERROR_SUCCESS, 4},
      {false, false, false, true, p::ERROR_OPERATION_ABORTED, 0},
      {true, true, false, false, p::ERROR_SUCCESS, 4},
      {true, false, true, false, p::ERROR_SUCCESS, 4},
  };
  for (const Row& row : rows) {
    OpenPort port;
    KAVREL_REQUIRE_PORT(port);
    unsigned char buffer[4] = {};
    Request read(port.handle(), row.withEvent);
    ASSERT_FALSE(p::ReadFile(port.handle(), buffer, sizeof buffer, nullptr, read.get()));
    ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    if (row.closeEventFirst) p::CloseHandle(read.get()->hEvent);
    const std::size_t asleep = p::testing::SleepingWaiters();
    bool ok = false;
    DWORD count = 99;
    DWORD error = 0;
    std::thread waiter([&] {
      ok = p::GetOverlappedResult(port.handle(), read.get(), &count, p::TRUE) != p::FALSE;
      error = ok ? p::ERROR_SUCCESS : p::GetLastError();
    });
    EXPECT_TRUE(AwaitSleepingWaiters(asleep + 1));
    if (row.setEventByHand) p::SetEvent(read.get()->hEvent);
    if (row.endByClosingDevice) {
      port.Close();
    } else {
      EXPECT_TRUE(port.peer().WriteAll("wxyz", 4));
    }
    waiter.join();
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(count, row.count);
    if (row.closeEventFirst) read.get()->hEvent = 0;
  }
}

TEST(OverlappedResult, ZeroLengthTransfersFinishAtOnce) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  unsigned char byte = 0;
  Request read(port.handle());
  Request write(port.handle());
  DWORD count = 7;
  EXPECT_TRUE(p::ReadFile(port.handle(), &byte, 0, &count, read.get()));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(read.Signalled(0));
  count = 7;
  EXPECT_TRUE(p::WriteFile(port.handle(), &byte, 0, &count, write.get()));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(write.Signalled(0));
}

TEST(OverlappedResult, BadArgumentsAreRefusedWithoutStartingAnything) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const HANDLE device = port.handle();
  unsigned char byte = 0;
  DWORD mask = 0;
  OVERLAPPED plain{};
  OVERLAPPED bogusEvent{};
  bogusEvent.hEvent = 0x7777;
  bogusEvent.Internal = 12345;

  EXPECT_FALSE(p::ReadFile(device, &byte, 1, nullptr, nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p::WriteFile(device, &byte, 1, nullptr, nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p::WaitCommEvent(device, &mask, nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p::ReadFile(device, nullptr, 1, nullptr, &plain));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p::ReadFile(device, &byte, 1, nullptr, &bogusEvent));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(p::WriteFile(0x7777, &byte, 1, nullptr, &plain));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(p::GetOverlappedResult(device, nullptr, nullptr, p::TRUE));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  // Refused calls never took the records over.
  EXPECT_EQ(bogusEvent.Internal, 12345u);
  EXPECT_EQ(plain.Internal, 0u);
}

TEST(CancelIoEx, AbortsOnlyTheNamedRequestThenTheRest) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  unsigned char buffer[8];
  DWORD mask = 0;
  Request read(port.handle());
  Request wait(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), buffer, sizeof buffer, nullptr, read.get()));
  StartWait(port.handle(), &mask, wait);

  ASSERT_TRUE(p::CancelIoEx(port.handle(), read.get()));
  DWORD count = 0;
  DWORD error = 0;
  EXPECT_FALSE(read.Result(&count, &error));
  EXPECT_EQ(error, p::ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(wait.Pending());

  ASSERT_TRUE(p::CancelIoEx(port.handle(), nullptr));
  EXPECT_FALSE(wait.Result(&count, &error));
  EXPECT_EQ(error, p::ERROR_OPERATION_ABORTED);

  EXPECT_FALSE(p::CancelIoEx(port.handle(), nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_NOT_FOUND);
  EXPECT_FALSE(p::CancelIoEx(0x7777, nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
}

TEST(CloseHandle, AbortsEveryPendingOperationAndTheRecordsStayReadable) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const HANDLE device = port.handle();
  ASSERT_TRUE(p::SetCommMask(device, p::EV_RXCHAR));
  std::vector<unsigned char> big(1 << 20, 0x55);
  unsigned char buffer[8];
  DWORD mask = 0;
  Request read(device);
  Request write(device);
  Request wait(device);
  ASSERT_FALSE(p::ReadFile(device, buffer, sizeof buffer, nullptr, read.get()));
  ASSERT_FALSE(
      p::WriteFile(device, big.data(), static_cast<DWORD>(big.size()), nullptr, write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  StartWait(device, &mask, wait);

  port.Close();
  for (Request* request : {&read, &write, &wait}) {
    EXPECT_TRUE(request->Signalled(0));
    DWORD count = 0;
    DWORD error = 0;
    EXPECT_FALSE(request->Result(&count, &error));
    EXPECT_EQ(error, p::ERROR_OPERATION_ABORTED);
  }
  EXPECT_FALSE(p::ReadFile(device, buffer, sizeof buffer, nullptr, read.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
}

TEST(WaitCommEvent, ReceivedCharactersFireOnlyForNewBytes) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(port.peer().WriteAll("old", 3));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), 3));
  // A mask without EV_RXCHAR drops what was recorded of their arrival.
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_TXEMPTY));
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  DWORD mask = 0xDEAD;
  Request wait(port.handle());
  StartWait(port.handle(), &mask, wait);
  // Bytes already queued do not finish it.
  EXPECT_TRUE(wait.Pending());
  ASSERT_TRUE(port.peer().WriteAll("n", 1));
  ASSERT_TRUE(wait.Signalled());
  DWORD count = 0;
  DWORD error = 0;
  EXPECT_TRUE(wait.Result(&count, &error));
  EXPECT_EQ(mask, p::EV_RXCHAR);
}

TEST(WaitCommEvent, EventsWithNoWaitPendingFinishTheNextWaitAtOnce) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR | p::EV_TXEMPTY));
  // A byte arrives while nobody waits for an event (a read takes it).
  {
    unsigned char byte = 0;
    Request read(port.handle());
    ASSERT_FALSE(p::ReadFile(port.handle(), &byte, 1, nullptr, read.get()));
    ASSERT_TRUE(port.peer().WriteAll("r", 1));
    DWORD count = 0;
    DWORD error = 0;
    ASSERT_TRUE(read.Result(&count, &error)) << error;
  }
  // A listener that starts its wait a moment late still hears of it.
  DWORD mask = 0;
  Request wait(port.handle());
  ASSERT_TRUE(p::WaitCommEvent(port.handle(), &mask, wait.get()));
  EXPECT_EQ(mask, p::EV_RXCHAR);
  EXPECT_TRUE(wait.Signalled(0));

  // The same for a write that empties the output queue; setting the mask
  // again keeps what it still asks for and drops the rest.
  {
    WriteThroughTheOutputQueue(port);
    ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR | p::EV_TXEMPTY));
    Request again(port.handle());
    ASSERT_TRUE(p::WaitCommEvent(port.handle(), &mask, again.get()));
    EXPECT_EQ(mask, p::EV_TXEMPTY);
  }
  WriteThroughTheOutputQueue(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  Request next(port.handle());
  EXPECT_FALSE(p::WaitCommEvent(port.handle(), &mask, next.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
}

TEST(WaitCommEvent, TransmitEmptyFiresWhenTheOutputQueueEmptiesNotForWritesTakenWhole) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_TXEMPTY));
  DWORD mask = 0;
  Request wait(port.handle());
  StartWait(port.handle(), &mask, wait);
  // A block the line takes whole never enters the output queue.
  {
    Request small(port.handle());
    ASSERT_TRUE(p::WriteFile(port.handle(), "0123456789abcdef", 16, nullptr, small.get()));
    EXPECT_TRUE(wait.Pending());
    EXPECT_EQ(port.peer().ReadExactly(16).size(), 16u);
  }
  std::vector<unsigned char> big(256 * 1024, 0x33);
  Request write(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), big.data(), static_cast<DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  EXPECT_TRUE(wait.Pending());
  kavrel_test::PtyPair& peer = port.peer();
  std::thread reader([&] { peer.ReadExactly(big.size()); });
  ASSERT_TRUE(wait.Signalled());
  EXPECT_EQ(mask, p::EV_TXEMPTY);
  EXPECT_FALSE(write.Pending());
  reader.join();
}

TEST(WaitCommEvent, ANewMaskEndsAPendingWaitReportingNothing) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  DWORD mask = 0xDEAD;
  Request wait(port.handle());
  StartWait(port.handle(), &mask, wait);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR | p::EV_TXEMPTY));
  ASSERT_TRUE(wait.Signalled(0));
  DWORD count = 0;
  DWORD error = 0;
  EXPECT_TRUE(wait.Result(&count, &error));
  EXPECT_EQ(mask, 0u);
}

TEST(WaitCommEvent, ASecondWaitOrAnEmptyMaskIsRefused) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  DWORD mask = 0;
  Request first(port.handle());
  Request second(port.handle());
  ASSERT_TRUE(p::SetCommMask(port.handle(), 0));
  EXPECT_FALSE(p::WaitCommEvent(port.handle(), &mask, first.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(p::SetCommMask(port.handle(), p::EV_RXCHAR));
  StartWait(port.handle(), &mask, first);
  EXPECT_FALSE(p::WaitCommEvent(port.handle(), &mask, second.get()));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(first.Pending());
  EXPECT_FALSE(p::SetCommMask(port.handle(), 0x80000000u));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
}

}  // namespace
