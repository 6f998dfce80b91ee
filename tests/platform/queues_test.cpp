// The emulated driver queues: input is drained while nobody reads, held
// back when full without losing a byte, and output is held as pending writes
// that a purge never takes back once written.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "port_fixture.h"

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel_platform_test::kPatienceMs;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::Pattern;
using kavrel_platform_test::Request;
using kavrel_platform_test::Status;
using kavrel_platform_test::WaitForInputQueued;

// The size the serial code asks for.
constexpr DWORD kQueueSize = 409600;

// Reads exactly count bytes with one ReadFile, waiting if it goes pending.
bool ReadOnce(HANDLE port, unsigned char* buffer, DWORD count, bool* atOnce = nullptr) {
  Request read(port);
  const kavrel::BOOL finished = p::ReadFile(port, buffer, count, nullptr, read.get());
  if (atOnce != nullptr) *atOnce = finished != p::FALSE;
  if (!finished && p::GetLastError() != p::ERROR_IO_PENDING) return false;
  DWORD got = 0;
  DWORD error = 0;
  return read.Result(&got, &error) && got == count;
}

TEST(InputQueue, PeerSends300KBWhileNothingReadsAndOneReadDeliversAll) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetupComm(port.handle(), kQueueSize, kQueueSize));
  const std::vector<unsigned char> sent = Pattern(300 * 1024);
  // The kernel holds a few KiB at most; the peer can finish only because
  // the library keeps draining while nobody reads.
  ASSERT_TRUE(port.peer().WriteAll(sent.data(), sent.size()));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), static_cast<DWORD>(sent.size())));
  EXPECT_EQ(Status(port.handle()).cbInQue, sent.size());

  std::vector<unsigned char> received(sent.size());
  bool atOnce = false;
  ASSERT_TRUE(
      ReadOnce(port.handle(), received.data(), static_cast<DWORD>(received.size()), &atOnce));
  EXPECT_TRUE(atOnce);
  EXPECT_EQ(received, sent);
  EXPECT_EQ(Status(port.handle()).cbInQue, 0u);
}

TEST(InputQueue, AFullQueueHoldsThePeerBackAndLosesNothing) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetupComm(port.handle(), kQueueSize, kQueueSize));
  // More than the queue and every kernel buffer together can hold.
  const std::vector<unsigned char> sent = Pattern(kQueueSize + 200 * 1024, 7);
  std::atomic<bool> peerDone{false};
  std::atomic<bool> peerOk{false};
  kavrel_test::PtyPair& peer = port.peer();
  std::thread writer([&] {
    peerOk = peer.WriteAll(sent.data(), sent.size());
    peerDone = true;
  });

  ASSERT_TRUE(WaitForInputQueued(port.handle(), kQueueSize));
  // The queue stopped at its size; the rest waits in the kernel and in the
  // peer, which cannot have finished.
  const DWORD queued = Status(port.handle()).cbInQue;
  EXPECT_LE(queued, kQueueSize + 4096);
  EXPECT_FALSE(peerDone.load());

  std::vector<unsigned char> received;
  std::vector<unsigned char> chunk(kQueueSize + 8192);
  while (received.size() < sent.size()) {
    const DWORD available = Status(port.handle()).cbInQue;
    if (available == 0) {
      ASSERT_TRUE(WaitForInputQueued(port.handle(), 1));
      continue;
    }
    const DWORD take = std::min<DWORD>(available, static_cast<DWORD>(chunk.size()));
    // What the count claims, queue and kernel together, is there to take.
    bool atOnce = false;
    ASSERT_TRUE(ReadOnce(port.handle(), chunk.data(), take, &atOnce));
    EXPECT_TRUE(atOnce);
    received.insert(received.end(), chunk.begin(), chunk.begin() + take);
  }
  writer.join();
  EXPECT_TRUE(peerOk.load());
  EXPECT_EQ(received, sent);
}

TEST(InputQueue, ATinyQueueStillCarriesALongReadInOrder) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  ASSERT_TRUE(p::SetupComm(port.handle(), 16, 16));
  const std::vector<unsigned char> sent = Pattern(100 * 1024, 3);
  std::vector<unsigned char> received(sent.size());
  Request read(port.handle());
  ASSERT_FALSE(p::ReadFile(port.handle(), received.data(), static_cast<DWORD>(received.size()),
                           nullptr, read.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  ASSERT_TRUE(port.peer().WriteAll(sent.data(), sent.size()));
  DWORD got = 0;
  DWORD error = 0;
  ASSERT_TRUE(read.Result(&got, &error)) << error;
  EXPECT_EQ(got, sent.size());
  EXPECT_EQ(received, sent);
}

TEST(InputQueue, ReceivePurgeEmptiesTheQueue) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::vector<unsigned char> stale = Pattern(500, 4);
  ASSERT_TRUE(port.peer().WriteAll(stale.data(), stale.size()));
  ASSERT_TRUE(WaitForInputQueued(port.handle(), static_cast<DWORD>(stale.size())));
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_RXCLEAR));
  EXPECT_EQ(Status(port.handle()).cbInQue, 0u);
  // What arrives afterwards is delivered, and only that.
  const std::vector<unsigned char> fresh = Pattern(10, 5);
  ASSERT_TRUE(port.peer().WriteAll(fresh.data(), fresh.size()));
  std::vector<unsigned char> received(fresh.size());
  ASSERT_TRUE(ReadOnce(port.handle(), received.data(), static_cast<DWORD>(received.size())));
  EXPECT_EQ(received, fresh);
}

TEST(OutputQueue, PurgeAfterWriteLosesNothing) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::vector<unsigned char> sent = Pattern(4000, 9);
  {
    Request write(port.handle());
    if (!p::WriteFile(port.handle(), sent.data(), static_cast<DWORD>(sent.size()), nullptr,
                      write.get())) {
      ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    }
    DWORD written = 0;
    DWORD error = 0;
    ASSERT_TRUE(write.Result(&written, &error)) << error;
    ASSERT_EQ(written, sent.size());
  }
  // The write has finished, so its bytes are the device's: no purge may
  // take them back from the peer.
  ASSERT_TRUE(p::PurgeComm(
      port.handle(), p::PURGE_TXABORT | p::PURGE_TXCLEAR | p::PURGE_RXABORT | p::PURGE_RXCLEAR));
  EXPECT_EQ(port.peer().ReadExactly(sent.size()), sent);
}

TEST(OutputQueue, AWriteBeyondTheKernelBufferStaysPendingUntilThePeerReads) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::vector<unsigned char> first = Pattern(1 << 20, 11);
  const std::vector<unsigned char> second = Pattern(1000, 12);
  Request writeFirst(port.handle());
  Request writeSecond(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), first.data(), static_cast<DWORD>(first.size()), nullptr,
                            writeFirst.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  // Queued behind the first, never ahead of it.
  ASSERT_FALSE(p::WriteFile(port.handle(), second.data(), static_cast<DWORD>(second.size()),
                            nullptr, writeSecond.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  EXPECT_TRUE(writeFirst.Pending());
  const DWORD held = Status(port.handle()).cbOutQue;
  EXPECT_GT(held, second.size());
  EXPECT_LE(held, first.size() + second.size());

  std::vector<unsigned char> received;
  std::thread reader([&] { received = port.peer().ReadExactly(first.size() + second.size()); });
  DWORD written = 0;
  DWORD error = 0;
  EXPECT_TRUE(writeFirst.Result(&written, &error)) << error;
  EXPECT_EQ(written, first.size());
  EXPECT_TRUE(writeSecond.Result(&written, &error)) << error;
  EXPECT_EQ(written, second.size());
  reader.join();
  std::vector<unsigned char> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(received, expected);
  EXPECT_EQ(Status(port.handle()).cbOutQue, 0u);
}

TEST(OutputQueue, TransmitPurgeDropsOnlyUnwrittenBytes) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const std::vector<unsigned char> big = Pattern(1 << 20, 13);
  Request write(port.handle());
  ASSERT_FALSE(p::WriteFile(port.handle(), big.data(), static_cast<DWORD>(big.size()), nullptr,
                            write.get()));
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  ASSERT_TRUE(p::PurgeComm(port.handle(), p::PURGE_TXCLEAR));
  DWORD written = 0;
  DWORD error = 0;
  EXPECT_FALSE(write.Result(&written, &error));
  EXPECT_EQ(error, p::ERROR_OPERATION_ABORTED);
  EXPECT_LT(written, big.size());
  EXPECT_EQ(Status(port.handle()).cbOutQue, 0u);
  // Exactly the bytes the device took before the purge reach the peer.
  const std::vector<unsigned char> received = port.peer().ReadExactly(written);
  EXPECT_EQ(received, std::vector<unsigned char>(big.begin(), big.begin() + written));
}

}  // namespace
