// Host threads on one object: writing threads beside a reading thread,
// writers and readers served one after the other, never interleaved, and a
// close from another thread ends a write the device does not take.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "support/null_modem.h"
#include "support/random_bytes.h"

namespace {

using Bytes = std::vector<unsigned char>;

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

  // On each notification reads (ReadSerial2 when direct) until nothing is
  // left, until received reaches total or a minute has passed.
  template <typename Keep>
  void ReadOnNotification(std::size_t total, const std::atomic<std::size_t>& received, Keep keep,
                          bool direct = false) {
    Bytes buffer(SerialCtl::kStagingSize);
    kavrel::Message message{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received < total && std::chrono::steady_clock::now() < deadline) {
      if (!window_.Wait(message, 100)) continue;
      int count = 0;
      do {
        (port_.get()->*(direct ? &SerialCtl::ReadSerial2 : &SerialCtl::ReadSerial))(buffer.data(),
                                                                                    count);
        keep(buffer.data(), static_cast<std::size_t>(std::max(count, 0)));
      } while (count > 0);
    }
  }

  kavrel::MessageQueue window_;
  kavrel_test::NullModemPair pair_;
  std::unique_ptr<SerialCtl> port_{new SerialCtl};
};

// A full-duplex bridge with two writers: two threads write blocks while the
// reading thread reads, on notifications, a stream the peer sends at the
// same time. The peer gets every block whole, each writer's in order, and
// the reader gets the stream.
TEST_F(HostThreads, TwoWritersBesideAReaderMoveEveryByteBothWays) {
  constexpr int kBlocks = 150;
  // Block n of writer w: w, n, then bytes that follow from both.
  const auto block = [](int writer, int number) {
    std::mt19937 random(static_cast<unsigned>(writer * 1000 + number));
    Bytes bytes = kavrel_test::RandomBytes(2 + random() % 20000, random());
    bytes[0] = static_cast<unsigned char>(writer);
    bytes[1] = static_cast<unsigned char>(number);
    return bytes;
  };
  std::size_t total = 0;
  for (int number = 0; number < kBlocks; ++number) {
    total += block(0, number).size() + block(1, number).size();
  }
  const Bytes incoming = kavrel_test::RandomBytes(1u << 20, 24);
  port_->ListenSerial(0, 1);

  auto peerReader = std::async(
      std::launch::async, [&] { return pair_.PeerReadExactly(total, std::chrono::seconds(60)); });
  auto peerWriter = std::async(std::launch::async, [&] {
    return pair_.PeerWrite(incoming.data(), incoming.size(), std::chrono::seconds(60));
  });
  std::vector<std::future<int>> writers;
  for (int writer = 0; writer < 2; ++writer) {
    writers.push_back(std::async(std::launch::async, [&, writer] {
      int failures = 0;
      for (int number = 0; number < kBlocks; ++number) {
        const Bytes bytes = block(writer, number);
        failures += port_->WriteSerial(bytes.data(), bytes.size()) != 1;
      }
      return failures;
    }));
  }
  Bytes read;
  std::atomic<std::size_t> received{0};
  ReadOnNotification(incoming.size(), received, [&](const unsigned char* data, std::size_t count) {
    read.insert(read.end(), data, data + count);
    received = read.size();
  });
  EXPECT_TRUE(peerWriter.get());
  EXPECT_TRUE(read == incoming) << "read " << read.size() << " of " << incoming.size();
  const Bytes wire = peerReader.get();
  if (wire.size() < total) port_->CloseSerial();  // ends a write the peer no longer takes
  for (auto& writer : writers) EXPECT_EQ(writer.get(), 0);
  ASSERT_EQ(wire.size(), total);
  int next[2] = {};
  for (std::size_t offset = 0; offset < wire.size();) {
    const int writer = wire[offset] & 1;
    const Bytes expected = block(writer, next[writer]++);
    ASSERT_TRUE(offset + expected.size() <= wire.size() &&
                std::equal(expected.begin(), expected.end(), wire.begin() + offset))
        << "block " << next[writer] - 1 << " of writer " << writer << " is not whole at " << offset;
    offset += expected.size();
  }
}

// Three reading threads (two with ReadSerial, one with ReadSerial2) answer
// notifications that come as fast as the listener can post: each delivery
// is a run of the stream as sent (byte i is i mod 251), and together they
// hold every byte once.
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

// A write the device does not take (the peer never reads) ends with 0 when
// another thread closes the port, or destroys the object; the close releases
// everything, so the port opens again.
TEST_F(HostThreads, CloseFromAnotherThreadEndsAWriteTheDeviceDoesNotTake) {
  SerialCtl* const port = port_.get();
  for (const bool destroy : {false, true}) {
    const Bytes block(4u << 20, destroy ? 2 : 1);
    auto writer = std::async(std::launch::async,
                             [&] { return port->WriteSerial(block.data(), block.size()); });
    // Bytes of this block at the peer (behind what an earlier round left):
    // the write is under way, and it cannot finish.
    Bytes seen;
    while (seen.empty() || seen.back() != block[0]) {
      seen = pair_.PeerReadExactly(4096);
      ASSERT_FALSE(seen.empty());
    }
    if (destroy) {
      port_.reset();
    } else {
      port_->CloseSerial();
    }
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(writer.get(), 0);
    if (destroy) {
      port_.reset(new SerialCtl);
    } else {
      port_->OpenSerial();
      EXPECT_TRUE(port_->IsSerialOpen());
    }
  }
}

// A host that reads inside Window::Post, on the listener's thread, while
// another thread closes: the close ends the listener and returns.
TEST_F(HostThreads, CloseReturnsWhileThePostReads) {
  struct ReadingWindow : kavrel::Window {
    SerialCtl* port;
    std::atomic<bool> posting{false};
    void Post(kavrel::UINT, kavrel::WPARAM, kavrel::LPARAM) override {
      posting = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow host
      std::vector<unsigned char> buffer(SerialCtl::kStagingSize);
      int count = 0;
      port->ReadSerial(buffer.data(), count);
    }
  } window;
  window.port = port_.get();
  kavrel::SetMainWindow(&window);
  port_->ListenSerial(0, 0);
  ASSERT_TRUE(pair_.PeerWrite("x", 1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!window.posting && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto closing = std::async(std::launch::async, [&] { port_->CloseSerial(); });
  EXPECT_EQ(closing.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  kavrel::SetMainWindow(&window_);
}

}  // namespace
