// Sending blocks: every byte taken by the device before WriteSerial says 1,
// nothing lost to the transmit purge, 0 for anything that was not sent.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "support/host_capture.h"
#include "support/null_modem.h"
#include "support/random_bytes.h"
#include "support/wine.h"

namespace {

using kavrel_test::NullModemPair;
using Bytes = std::vector<unsigned char>;
using kavrel_test::RandomBytes;

class Transmit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no virtual null-modem pair here";
    port_.SetSerial(pair_.portName().c_str(), 115200, 8, 1, "NONE", "");
    port_.OpenSerial();
    ASSERT_TRUE(port_.IsSerialOpen());
  }

  NullModemPair pair_;
  SerialCtl port_;
};

TEST_F(Transmit, OneMebibyteBlockReachesASlowPeerIntact) {
  const Bytes block = RandomBytes(1 << 20, 1);
  // The peer starts late and reads in small pieces, so the block stays
  // pending in the driver for most of the call.
  auto peer = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Bytes received;
    while (received.size() < (1u << 20)) {
      Bytes piece =
          pair_.PeerReadExactly(std::min<std::size_t>(4096, (1u << 20) - received.size()));
      if (piece.empty()) break;
      received.insert(received.end(), piece.begin(), piece.end());
    }
    return received;
  });
  EXPECT_EQ(port_.WriteSerial(block.data(), block.size()), 1);
  EXPECT_EQ(peer.get(), block);
}

TEST_F(Transmit, PurgeAfterWriteLosesNothing) {
  // More than the kernel's own buffer holds, with the peer reading only after
  // WriteSerial returned: every byte must still arrive.
  const Bytes block = RandomBytes(3000, 2);
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(port_.WriteSerial(block.data(), block.size()), 1);
    EXPECT_EQ(pair_.PeerReadExactly(block.size()), block) << "round " << round;
  }
}

TEST_F(Transmit, EveryByteValuePassesUnchanged) {
  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_EQ(port_.WriteSerial(all.data(), all.size()), 1);
  EXPECT_EQ(pair_.PeerReadExactly(all.size()), all);
}

TEST_F(Transmit, ZeroLengthBlockSucceedsAndSendsNothing) {
  EXPECT_EQ(port_.WriteSerial(nullptr, 0), 1);
  const unsigned char byte = 7;
  EXPECT_EQ(port_.WriteSerial(&byte, 0), 1);
  EXPECT_TRUE(pair_.PeerReadUntilQuiet(std::chrono::milliseconds(100)).empty());
}

TEST_F(Transmit, NullDataIsNotSent) {
  EXPECT_EQ(port_.WriteSerial(nullptr, 10), 0);
  EXPECT_TRUE(pair_.PeerReadUntilQuiet(std::chrono::milliseconds(100)).empty());
}

TEST_F(Transmit, ClosedOrFailedPortWritesNothing) {
  const unsigned char byte = 1;
  port_.CloseSerial();
  EXPECT_EQ(port_.WriteSerial(&byte, 1), 0);

  SerialCtl fresh;
  EXPECT_EQ(fresh.WriteSerial(&byte, 1), 0);

  SerialCtl failed;
  failed.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
  failed.OpenSerial();
  EXPECT_EQ(failed.WriteSerial(&byte, 1), 0);
}

TEST_F(Transmit, PeerHangingUpDuringAPendingWriteEndsIt) {
  KAVREL_SKIP_UNDER_WINE("a COM port on a pty is not hung up when the peer closes its end");
  // Far more than the line can buffer, so the write is pending when the peer
  // goes away.
  const Bytes block = RandomBytes(4 << 20, 3);
  auto hangUp = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pair_.PeerHangUp();
  });
  EXPECT_EQ(port_.WriteSerial(block.data(), block.size()), 0);
  hangUp.get();

  // The object can be closed and opened on a new pair.
  port_.CloseSerial();
  NullModemPair next;
  ASSERT_TRUE(next.ok());
  port_.SetSerial(next.portName().c_str(), 9600, 8, 1, "NONE", "");
  port_.OpenSerial();
  ASSERT_TRUE(port_.IsSerialOpen());
  const unsigned char byte = 0x42;
  EXPECT_EQ(port_.WriteSerial(&byte, 1), 1);
  EXPECT_EQ(next.PeerReadExactly(1), Bytes{0x42});
}

TEST_F(Transmit, CanSendFollowsTheLastStatusRefresh) {
  KAVREL_SKIP_UNDER_WINE(
      "ClearCommError reports no bytes waiting to be sent on a pty (cbOutQue stays 0)");
  EXPECT_EQ(port_.isCanSend(), 0);
  // The peer does not read, so the block stays queued in the driver while
  // another thread waits in WriteSerial.
  const Bytes block = RandomBytes(1 << 20, 4);
  auto writer =
      std::async(std::launch::async, [&] { return port_.WriteSerial(block.data(), block.size()); });
  Bytes scratch(SerialCtl::kStagingSize);
  int count = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (port_.isCanSend() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    port_.ReadSerial(scratch.data(), count);  // refreshes the snapshot
  }
  EXPECT_EQ(port_.isCanSend(), 1);

  EXPECT_EQ(pair_.PeerReadExactly(block.size()), block);
  ASSERT_EQ(writer.get(), 1);
  // The answer is as fresh as the last refresh: still 1 until one happens.
  EXPECT_EQ(port_.isCanSend(), 1);
  port_.ReadSerial(scratch.data(), count);
  EXPECT_EQ(port_.isCanSend(), 0);
}

}  // namespace
