// Soak: a long two-way stream through a pty pair with the listener on.
// Blocks of random size, from 1 byte to 256 KiB, go each way; the host reads
// when notified, alternating ReadSerial and ReadSerial2 at random, and now
// and then restarts the listener with a random settle delay and poll
// interval; the peer pauses at random on both its reading and its writing
// side. Every byte is checked against the stream it belongs to and each side
// keeps a running hash: nothing may be lost, repeated or reordered.
//
// KAVREL_SOAK_MIB sets the MiB sent each way (default 16, which keeps the
// ordinary suite quick under every sanitizer); CI and the reliability report
// send 256.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "reliability_support.h"
#include "support/pty_pair.h"

namespace {

using kavrel_reliability::CountFigure;
using kavrel_reliability::ResourceLedger;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kLargestBlock = 256 * 1024;
constexpr std::uint64_t kHostToPeer = 0x4B415652454C3031ULL;
constexpr std::uint64_t kPeerToHost = 0x4B415652454C3032ULL;
// The emulated input queue (the size the library asks for at open) plus what
// the kernel's pty buffers can hold beyond it.
constexpr std::size_t kMostEverQueued = SerialCtl::kStagingSize + 128 * 1024;

std::size_t SoakBytes() {
  const char* text = std::getenv("KAVREL_SOAK_MIB");
  const unsigned long mib = text != nullptr ? std::strtoul(text, nullptr, 10) : 16;
  return static_cast<std::size_t>(mib == 0 ? 16 : mib) << 20;
}

std::uint64_t SplitMix(std::uint64_t value) {
  value += 0x9E3779B97F4A7C15ULL;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

// The bytes of a stream from offset on: byte i is a function of the stream
// and i alone, so the receiver can tell exactly where a stream went wrong.
void FillStream(std::uint64_t stream, std::size_t offset, unsigned char* out, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const std::size_t position = offset + i;
    const std::uint64_t word = SplitMix(stream ^ (position / 8));
    out[i++] = static_cast<unsigned char>(word >> (8 * (position % 8)));
  }
}

// The first position where received bytes differ from the stream, or npos.
std::size_t FirstDifference(std::uint64_t stream, std::size_t offset, const unsigned char* data,
                            std::size_t size, Bytes& scratch) {
  scratch.resize(size);
  FillStream(stream, offset, scratch.data(), size);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != scratch[i]) return offset + i;
  }
  return std::string::npos;
}

// FNV-1a over a stream, in order.
class RunningHash {
 public:
  void Add(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) value_ = (value_ ^ data[i]) * 0x100000001B3ULL;
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xCBF29CE484222325ULL;
};

// A block size between 1 byte and 256 KiB, spread evenly over the orders of
// magnitude so that single bytes are as common as large blocks.
std::size_t BlockSize(std::mt19937_64& random, std::size_t left) {
  const unsigned bits = static_cast<unsigned>(random() % 19);  // up to 2^18 = 256 KiB
  const std::size_t size = 1 + random() % (std::size_t{1} << bits);
  return std::min(std::min(size, kLargestBlock), left);
}

// The peer: one thread writes the peer-to-host stream into the master, one
// reads and checks the host-to-peer stream. Both pause at random and end on
// a stop request.
class Peer {
 public:
  Peer(int master, std::size_t total) : master_(master), total_(total) {}
  ~Peer() { Stop(); }

  void Start() {
    writer_ = std::thread([this] { Write(); });
    reader_ = std::thread([this] { Read(); });
  }
  void Stop() {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
  }
  // Waits up to within for the reader to have every byte.
  bool AwaitAllReceived(milliseconds within) {
    const auto end = Clock::now() + within;
    while (received_ < total_ && Clock::now() < end && Failure().empty()) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    return received_ == total_;
  }

  std::string Failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  std::size_t sent() const { return sent_; }
  std::size_t received() const { return received_; }
  std::uint64_t sentHash() const { return sentHash_.value(); }
  std::uint64_t receivedHash() const { return receivedHash_.value(); }
  std::uint64_t pauses() const { return pauses_; }

 private:
  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = what;
    stop_ = true;
  }

  void MaybePause(std::mt19937_64& random) {
    if (random() % 32 != 0) return;
    ++pauses_;
    std::this_thread::sleep_for(milliseconds(random() % 20));  // the peer is busy elsewhere
  }

  void Write() {
    std::mt19937_64 random(21);
    Bytes block(kLargestBlock);
    while (sent_ < total_ && !stop_) {
      const std::size_t size = BlockSize(random, total_ - sent_);
      FillStream(kPeerToHost, sent_, block.data(), size);
      std::size_t done = 0;
      while (done < size && !stop_) {
        const ssize_t written = write(master_, block.data() + done, size - done);
        if (written > 0) {
          done += static_cast<std::size_t>(written);
          continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
          Fail("peer write failed: " + std::to_string(errno));
          return;
        }
        pollfd ready{master_, POLLOUT, 0};
        poll(&ready, 1, 100);
      }
      sentHash_.Add(block.data(), done);
      sent_ += done;
      MaybePause(random);
    }
  }

  void Read() {
    std::mt19937_64 random(22);
    Bytes buffer(64 * 1024);
    Bytes scratch;
    while (!stop_) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      const ssize_t got = read(master_, buffer.data(), buffer.size());
      if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        Fail("peer read failed: " + std::to_string(errno));
        return;
      }
      const auto size = static_cast<std::size_t>(got);
      if (received_ + size > total_) {
        Fail("the peer received " + std::to_string(received_ + size - total_) +
             " bytes more than the host sent");
        return;
      }
      const std::size_t wrong =
          FirstDifference(kHostToPeer, received_, buffer.data(), size, scratch);
      if (wrong != std::string::npos) {
        Fail("host-to-peer stream differs first at byte " + std::to_string(wrong));
        return;
      }
      receivedHash_.Add(buffer.data(), size);
      received_ += size;
      MaybePause(random);
    }
  }

  const int master_;
  const std::size_t total_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::atomic<std::size_t> received_{0};
  std::atomic<std::uint64_t> pauses_{0};
  RunningHash sentHash_;      // the writer's own; read after Stop
  RunningHash receivedHash_;  // the reader's own; read after Stop
  std::mutex mutex_;
  std::string failure_;
  std::thread writer_;
  std::thread reader_;
};

TEST(Soak, TwoWayStreamWithTheListenerOnLosesRepeatsAndReordersNothing) {
  const std::size_t total = SoakBytes();
  const ResourceLedger ledger;
  {
    kavrel_test::PtyPair pair;
    if (!pair.ok()) GTEST_SKIP() << "no pty here";
    kavrel::MessageQueue window;
    const kavrel_reliability::MainWindowScope mainWindow(&window);
    SerialCtl port;
    port.SetSerial(pair.name().c_str(), 115200, 8, 1, "NONE", "");
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen());

    std::mt19937_64 random(23);
    port.ListenSerial(static_cast<long>(random() % 4), static_cast<long>(random() % 4));
    Peer peer(pair.master(), total);
    peer.Start();

    // Generous: a stream that stalls for this long has stopped for good.
    const milliseconds stall(60000);
    auto lastProgress = Clock::now();
    const auto started = Clock::now();
    std::size_t sent = 0;
    std::size_t received = 0;
    std::uint64_t notifications = 0;
    std::uint64_t reads[2] = {0, 0};
    std::uint64_t writes = 0;
    std::uint64_t listenerRestarts = 0;
    std::size_t mostQueued = 0;
    RunningHash sentHash;
    RunningHash receivedHash;
    Bytes block(kLargestBlock);
    Bytes buffer(SerialCtl::kStagingSize);
    Bytes scratch;

    while ((sent < total || received < total) && peer.Failure().empty()) {
      ASSERT_LT(Clock::now() - lastProgress, stall)
          << "no progress: host sent " << sent << ", received " << received << " of " << total;

      if (sent < total && (received == total || random() % 2 == 0)) {
        const std::size_t size = BlockSize(random, total - sent);
        FillStream(kHostToPeer, sent, block.data(), size);
        ASSERT_EQ(port.WriteSerial(block.data(), size), 1) << "block at " << sent;
        sentHash.Add(block.data(), size);
        sent += size;
        ++writes;
        lastProgress = Clock::now();
      }

      if (received < total) {
        // The host reads when told to; a short wait keeps it sending while
        // nothing is announced.
        kavrel::Message message{};
        if (window.Wait(message, 20)) {
          ++notifications;
          while (window.Wait(message, 0)) ++notifications;
        }
        const bool second = random() % 2 == 0;
        int count = -1;
        if (second) {
          port.ReadSerial2(buffer.data(), count);
        } else {
          port.ReadSerial(buffer.data(), count);
        }
        ASSERT_GE(count, 0);
        ++reads[second ? 1 : 0];
        const auto size = static_cast<std::size_t>(count);
        ASSERT_LE(received + size, total) << "the host received bytes the peer never sent";
        const std::size_t wrong =
            FirstDifference(kPeerToHost, received, buffer.data(), size, scratch);
        ASSERT_EQ(wrong, std::string::npos)
            << "peer-to-host stream differs first at byte " << wrong;
        receivedHash.Add(buffer.data(), size);
        received += size;
        if (size > 0) lastProgress = Clock::now();
        // The driver's own count, taken without touching the snapshot the
        // listener shares: with the input queue full the peer is held back,
        // so no more than the queue and the kernel's buffer can be waiting.
        kavrel::COMSTAT status{};
        kavrel::DWORD errors = 0;
        ASSERT_TRUE(kavrel::platform::ClearCommError(port.portHandle, &errors, &status));
        mostQueued = std::max<std::size_t>(mostQueued, status.cbInQue);
        ASSERT_LE(status.cbInQue, kMostEverQueued) << "the input queue grew past its size";
      }

      if (random() % 256 == 0) {
        port.ListenSerial(static_cast<long>(random() % 4), static_cast<long>(random() % 4));
        ++listenerRestarts;
      }
    }
    ASSERT_EQ(peer.Failure(), "");
    ASSERT_TRUE(peer.AwaitAllReceived(stall)) << peer.received() << " of " << total;

    // Nothing arrives beyond the streams on either side.
    std::this_thread::sleep_for(milliseconds(200));
    int extra = -1;
    port.ReadSerial(buffer.data(), extra);
    EXPECT_EQ(extra, 0);
    peer.Stop();
    EXPECT_EQ(peer.Failure(), "");
    EXPECT_EQ(peer.received(), total);
    EXPECT_EQ(peer.sent(), total);
    EXPECT_EQ(receivedHash.value(), peer.sentHash());
    EXPECT_EQ(peer.receivedHash(), sentHash.value());

    port.CloseSerial();

    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
    std::printf(
        "soak: %zu MiB each way in %.1f s; %llu notifications, %llu ReadSerial, "
        "%llu ReadSerial2, %llu writes, %llu listener restarts, %llu peer pauses, "
        "at most %zu bytes queued\n",
        total >> 20, static_cast<double>(elapsed) / 1000.0,
        static_cast<unsigned long long>(notifications), static_cast<unsigned long long>(reads[0]),
        static_cast<unsigned long long>(reads[1]), static_cast<unsigned long long>(writes),
        static_cast<unsigned long long>(listenerRestarts),
        static_cast<unsigned long long>(peer.pauses()), mostQueued);
    CountFigure("soak_bytes_each_way", total);
    CountFigure("soak_milliseconds", static_cast<std::uint64_t>(elapsed));
    CountFigure("soak_notifications", notifications);
    CountFigure("soak_readserial_calls", reads[0]);
    CountFigure("soak_readserial2_calls", reads[1]);
    CountFigure("soak_writeserial_calls", writes);
    CountFigure("soak_listener_restarts", listenerRestarts);
    CountFigure("soak_peer_pauses", peer.pauses());
    CountFigure("soak_most_bytes_queued", mostQueued);
  }
  ledger.ExpectUnchanged("after the soak");
}

}  // namespace
