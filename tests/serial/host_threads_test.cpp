// Host threads on one object: one thread writing while another reads is a
// supported use, two writers (or two readers) are served one after the
// other, never interleaved, and closing from a third thread ends a write
// the device does not take.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "support/null_modem.h"
#include "support/random_bytes.h"

namespace {

using kavrel_test::NullModemPair;
using kavrel_test::RandomBytes;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

class HostThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no virtual null-modem pair here";
    port_->SetSerial(pair_.portName().c_str(), 115200, 8, 1, "NONE", "");
    port_->OpenSerial();
    ASSERT_TRUE(port_->IsSerialOpen());
    kavrel::SetMainWindow(&window_);
  }
  void TearDown() override {
    port_->StopListenSerial();
    kavrel::SetMainWindow(nullptr);
  }

  // On each notification reads (with ReadSerial, or ReadSerial2 when direct)
  // until nothing is left, until received reaches total or a minute has
  // passed; each delivery is handed to keep.
  template <typename Keep>
  void ReadOnNotification(std::size_t total, const std::atomic<std::size_t>& received, Keep keep,
                          bool direct = false) {
    Bytes buffer(SerialCtl::kStagingSize);
    kavrel::Message message{};
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (received < total && Clock::now() < deadline) {
      if (!window_.Wait(message, 100)) continue;
      int count = 0;
      do {
        if (direct) {
          port_->ReadSerial2(buffer.data(), count);
        } else {
          port_->ReadSerial(buffer.data(), count);
        }
        if (count > 0) keep(buffer.data(), static_cast<std::size_t>(count));
      } while (count > 0);
    }
  }

  kavrel::MessageQueue window_;
  NullModemPair pair_;
  std::unique_ptr<SerialCtl> port_{new SerialCtl};
};

// The shape of a full-duplex bridge: a writing thread sends blocks while the
// reading thread reads on each notification; the peer echoes every byte, so
// what is read must be exactly what was written.
TEST_F(HostThreads, OneWriterAndOneReaderMoveEveryByte) {
  const Bytes stream = RandomBytes(2u << 20, 21);
  port_->ListenSerial(0, 1);

  std::atomic<std::size_t> received{0};
  auto echo = std::async(std::launch::async, [&] {
    std::size_t echoed = 0;
    while (echoed < stream.size() && received < stream.size()) {
      const Bytes piece = pair_.PeerReadUntilQuiet(std::chrono::milliseconds(20));
      if (!piece.empty() && !pair_.PeerWrite(piece.data(), piece.size())) break;
      echoed += piece.size();
    }
    return echoed;
  });
  auto writer = std::async(std::launch::async, [&] {
    std::mt19937 sizes(22);
    int failures = 0;
    for (std::size_t sent = 0; sent < stream.size();) {
      const std::size_t length = std::min<std::size_t>(1 + sizes() % 20000, stream.size() - sent);
      if (port_->WriteSerial(stream.data() + sent, length) != 1) ++failures;
      sent += length;
    }
    return failures;
  });

  Bytes echoed;
  ReadOnNotification(stream.size(), received, [&](const unsigned char* data, std::size_t count) {
    echoed.insert(echoed.end(), data, data + count);
    received = echoed.size();
  });
  received = stream.size();  // ends the echo if the reader gave up
  EXPECT_EQ(writer.get(), 0);
  EXPECT_EQ(echo.get(), stream.size());
  ASSERT_EQ(echoed.size(), stream.size());
  EXPECT_TRUE(echoed == stream) << "the echo differs from what was written";
}

// Two writing threads: every block arrives whole, the blocks of one writer
// in order, and no block is cut into by the other's.
TEST_F(HostThreads, TwoWritersAreServedOneBlockAfterTheOther) {
  constexpr int kWriters = 2;
  constexpr int kBlocks = 200;
  // A block: its writer, its number, its length, then bytes that follow
  // from those three.
  const auto makeBlock = [](int writer, int number) {
    std::mt19937 random(static_cast<std::uint32_t>(writer * 1000 + number));
    Bytes block(9 + random() % 30000);
    const auto length = static_cast<std::uint32_t>(block.size());
    block[0] = static_cast<unsigned char>(writer);
    for (int i = 0; i < 4; ++i) {
      block[1 + i] = static_cast<unsigned char>(number >> (8 * i));
      block[5 + i] = static_cast<unsigned char>(length >> (8 * i));
    }
    for (std::size_t i = 9; i < block.size(); ++i) block[i] = static_cast<unsigned char>(random());
    return block;
  };
  std::size_t total = 0;
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int number = 0; number < kBlocks; ++number) total += makeBlock(writer, number).size();
  }

  auto peer = std::async(std::launch::async,
                         [&] { return pair_.PeerReadExactly(total, std::chrono::seconds(60)); });
  std::vector<std::future<int>> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.push_back(std::async(std::launch::async, [&, writer] {
      int failures = 0;
      for (int number = 0; number < kBlocks; ++number) {
        const Bytes block = makeBlock(writer, number);
        if (port_->WriteSerial(block.data(), block.size()) != 1) ++failures;
      }
      return failures;
    }));
  }
  for (auto& writer : writers) EXPECT_EQ(writer.get(), 0);
  const Bytes wire = peer.get();
  ASSERT_EQ(wire.size(), total);

  int next[kWriters] = {};
  for (std::size_t offset = 0; offset < wire.size();) {
    const int writer = wire[offset];
    ASSERT_LT(writer, kWriters) << "no block starts at " << offset;
    const Bytes expected = makeBlock(writer, next[writer]);
    ASSERT_LE(offset + expected.size(), wire.size()) << "block cut short at " << offset;
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), wire.begin() + offset))
        << "block " << next[writer] << " of writer " << writer << " is not whole at " << offset;
    ++next[writer];
    offset += expected.size();
  }
  for (int writer = 0; writer < kWriters; ++writer) EXPECT_EQ(next[writer], kBlocks);
}

// Reading threads (two with ReadSerial, one with ReadSerial2) that all
// answer the same notifications, which come as fast as the listener can
// post: each delivery is a run of the stream as sent (byte i is i mod 251),
// and together they hold every byte once.
TEST_F(HostThreads, ReadersAreServedOneReadAfterTheOther) {
  constexpr std::size_t kTotal = 4u << 20;
  Bytes stream(kTotal);
  for (std::size_t i = 0; i < kTotal; ++i) stream[i] = static_cast<unsigned char>(i % 251);
  port_->ListenSerial(0, 0);

  std::atomic<std::size_t> received{0};
  std::atomic<int> broken{0};
  const auto keep = [&](const unsigned char* data, std::size_t count) {
    for (std::size_t i = 1; i < count; ++i) {
      if (data[i] != (data[i - 1] + 1) % 251) {
        ++broken;
        break;
      }
    }
    received += count;
  };
  auto second = std::async(std::launch::async, [&] { ReadOnNotification(kTotal, received, keep); });
  auto direct =
      std::async(std::launch::async, [&] { ReadOnNotification(kTotal, received, keep, true); });
  auto peer = std::async(std::launch::async, [&] {
    for (std::size_t sent = 0; sent < kTotal; sent += 1024) {
      if (!pair_.PeerWrite(stream.data() + sent, 1024)) return false;
    }
    return true;
  });
  ReadOnNotification(kTotal, received, keep);
  second.get();
  direct.get();
  EXPECT_TRUE(peer.get());
  EXPECT_EQ(broken, 0) << "a delivery is not a run of the stream";
  EXPECT_EQ(received, kTotal);
}

// A write the device does not take (the peer never reads) is ended by a
// CloseSerial from another thread: it returns 0, and the close releases
// everything, so the port opens again.
TEST_F(HostThreads, CloseFromAnotherThreadEndsAWriteTheDeviceDoesNotTake) {
  const Bytes block = RandomBytes(4u << 20, 23);
  SerialCtl* const port = port_.get();
  auto writer =
      std::async(std::launch::async, [&] { return port->WriteSerial(block.data(), block.size()); });
  // Bytes at the peer: the write is under way, and cannot finish.
  ASSERT_EQ(pair_.PeerReadExactly(1).size(), 1u);
  port_->CloseSerial();
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(writer.get(), 0);
  EXPECT_FALSE(port_->IsSerialOpen());
  port_->OpenSerial();
  EXPECT_TRUE(port_->IsSerialOpen());

  // The destructor does the same. The peer first drops what the first write
  // left on the wire.
  pair_.PeerReadUntilQuiet(std::chrono::milliseconds(100));
  writer =
      std::async(std::launch::async, [&] { return port->WriteSerial(block.data(), block.size()); });
  ASSERT_EQ(pair_.PeerReadExactly(1).size(), 1u);
  port_.reset();
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(writer.get(), 0);
  port_.reset(new SerialCtl);
}

}  // namespace
