// The receive listener: the main window is told when received bytes wait,
// and the listener always ends when asked, leaving nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/host_capture.h"
#include "support/null_modem.h"

namespace {

using kavrel_test::HostCapture;
using kavrel_test::NullModemPair;
using Bytes = std::vector<unsigned char>;
namespace platform = kavrel::platform;

// Wait results by value: on Windows WAIT_OBJECT_0 and WAIT_TIMEOUT are macros
// and cannot be qualified with platform::.
constexpr kavrel::DWORD kWaitSignalled = 0;
constexpr kavrel::DWORD kWaitTimedOut = 258;

constexpr kavrel::HANDLE kEmpty{};

// Listener thread's exit code, once it has ended by itself.
bool ListenerEndedWith(const SerialCtl& port, kavrel::DWORD expected) {
  if (platform::WaitForSingleObject(port.listenerThread, 5000) != kWaitSignalled) {
    return false;
  }
  kavrel::DWORD code = 0;
  return platform::GetExitCodeThread(port.listenerThread, &code) && code == expected;
}

class Listener : public ::testing::Test {
 protected:
  void SetUp() override { kavrel::SetMainWindow(&window_); }
  void TearDown() override { kavrel::SetMainWindow(nullptr); }

  bool OpenPort() {
    if (!pair_.ok()) return false;
    port_.SetSerial(pair_.portName().c_str(), 115200, 8, 1, "NONE", "");
    port_.OpenSerial();
    return port_.IsSerialOpen();
  }

  // Messages that arrive within the given time.
  std::vector<kavrel::Message> Drain(std::chrono::milliseconds within) {
    std::vector<kavrel::Message> messages;
    const auto end = std::chrono::steady_clock::now() + within;
    kavrel::Message message{};
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !window_.Wait(message, static_cast<int>(left.count()))) break;
      messages.push_back(message);
    }
    return messages;
  }

  // Drops the messages already queued.
  void DiscardQueued() {
    kavrel::Message message{};
    while (window_.Wait(message, 0)) {
    }
  }

  kavrel::MessageQueue window_;
  NullModemPair pair_;
  SerialCtl port_;
};

TEST_F(Listener, TenBytesBringANotificationEachCycleUntilRead) {
  ASSERT_TRUE(OpenPort());
  port_.notifyTag = 0x1234;
  port_.ListenSerial(50, 20);
  EXPECT_EQ(port_.settleDelayMs, 50);
  EXPECT_EQ(port_.pollIntervalMs, 20);

  const Bytes ten(10, 'x');
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(pair_.PeerWrite(ten.data(), ten.size()));
  kavrel::Message message{};
  ASSERT_TRUE(window_.Wait(message, 5000));
  // Not before the settle delay has passed since the bytes were sent.
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(45));
  EXPECT_EQ(message.message, static_cast<kavrel::UINT>(KAVREL_WM_DATA_READY));
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_EQ(message.lParam, 0x1234);

  // Unread bytes keep the notifications coming, one a cycle.
  const auto more = Drain(std::chrono::milliseconds(400));
  EXPECT_GE(more.size(), 2u);
  for (const auto& m : more) EXPECT_EQ(m.lParam, 0x1234);

  Bytes buffer(SerialCtl::kStagingSize);
  int count = 0;
  port_.ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 10);
  // Once read, none follow (one may have been in flight while reading).
  Drain(std::chrono::milliseconds(150));
  EXPECT_TRUE(Drain(std::chrono::milliseconds(300)).empty());
  port_.StopListenSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);
}

TEST_F(Listener, HostLoopExchangesTenThousandMessagesIntact) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 1);

  // The peer sends 10,000 messages of random length; the host answers each
  // delivery by echoing it; the peer checks the echo byte for byte.
  std::mt19937 random(11);
  Bytes stream;
  for (int i = 0; i < 10000; ++i) {
    const std::size_t length = 1 + random() % 64;
    for (std::size_t j = 0; j < length; ++j) stream.push_back(static_cast<unsigned char>(random()));
  }
  std::atomic<bool> done{false};
  auto peerWriter = std::async(std::launch::async, [&] {
    std::mt19937 pacing(12);
    std::size_t offset = 0;
    while (offset < stream.size()) {
      const std::size_t length = std::min<std::size_t>(1 + pacing() % 64, stream.size() - offset);
      if (!pair_.PeerWrite(stream.data() + offset, length)) return false;
      offset += length;
    }
    return true;
  });
  auto peerReader = std::async(std::launch::async, [&] {
    Bytes echo = pair_.PeerReadExactly(stream.size(), std::chrono::seconds(120));
    done = true;
    return echo;
  });

  Bytes buffer(SerialCtl::kStagingSize);
  std::size_t echoed = 0;
  kavrel::Message message{};
  while (echoed < stream.size() && !done) {
    if (!window_.Wait(message, 1000)) continue;
    int count = 0;
    port_.ReadSerial(buffer.data(), count);
    if (count > 0) {
      ASSERT_EQ(port_.WriteSerial(buffer.data(), static_cast<unsigned long>(count)), 1);
      echoed += static_cast<std::size_t>(count);
    }
  }
  EXPECT_TRUE(peerWriter.get());
  EXPECT_EQ(peerReader.get(), stream);
  EXPECT_EQ(echoed, stream.size());
}

TEST_F(Listener, WritesFinishingAroundArrivingBytesDoNotSilenceTheNotification) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 1);
  // A second host thread keeps writing, so the device reports "output
  // empty" again and again, often in the instant after bytes arrived. That
  // event must never hide bytes that still wait: every burst the peer sends
  // has to be announced.
  std::atomic<bool> stop{false};
  auto writer = std::async(std::launch::async, [&] {
    const unsigned char byte = 0x55;
    while (!stop) {
      if (port_.WriteSerial(&byte, 1) != 1) return false;
    }
    return true;
  });
  auto drainer = std::async(std::launch::async, [&] {
    while (!stop) pair_.PeerReadUntilQuiet(std::chrono::milliseconds(20));
  });
  Bytes buffer(SerialCtl::kStagingSize);
  const unsigned char burst[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  for (int round = 0; round < 300; ++round) {
    ASSERT_TRUE(pair_.PeerWrite(burst, sizeof burst));
    std::size_t received = 0;
    kavrel::Message message{};
    while (received < sizeof burst) {
      if (!window_.Wait(message, 3000)) break;
      int count = 0;
      port_.ReadSerial(buffer.data(), count);
      received += static_cast<std::size_t>(count);
    }
    if (received != sizeof burst) {
      ADD_FAILURE() << "round " << round << ": " << received << " bytes announced of 10";
      break;
    }
  }
  stop = true;
  EXPECT_TRUE(writer.get());
  drainer.get();
}

// Bytes the peer sends just before it hangs up stay readable, so they are
// announced like any others, whatever the listener was doing as the line
// went. A write finished before the listener starts leaves "output empty"
// recorded, so the listener's first event request ends at once and no
// request is pending until it asks again: a listener that waited out a poll
// interval before asking again lost bytes and hang-ups that came meanwhile.
// The moment they come moves through that interval from round to round.
TEST_F(Listener, BytesJustBeforeAHangUpAreAnnounced) {
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    NullModemPair pair;
    KAVREL_REQUIRE_PAIR(pair);
    auto port = std::make_unique<SerialCtl>();
    port->SetSerial(pair.portName().c_str(), 115200, 8, 1, "NONE", "");
    port->OpenSerial();
    ASSERT_TRUE(port->IsSerialOpen());
    const unsigned char request = '?';
    ASSERT_EQ(port->WriteSerial(&request, 1), 1);
    port->ListenSerial(0, 300);
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * round));

    const Bytes answer = {'o', 'k', static_cast<unsigned char>('0' + round)};
    ASSERT_TRUE(pair.PeerWrite(answer.data(), answer.size()));
    // The kernel discards what the line still holds when it hangs up, so
    // the peer hangs up only once the port's queue has the answer.
    kavrel::COMSTAT status{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (status.cbInQue < answer.size() && std::chrono::steady_clock::now() < deadline) {
      kavrel::DWORD errors = 0;
      ASSERT_TRUE(platform::ClearCommError(port->portHandle, &errors, &status));
      if (status.cbInQue < answer.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(status.cbInQue, answer.size());
    pair.PeerHangUp();

    kavrel::Message message{};
    EXPECT_TRUE(window_.Wait(message, 3000)) << "bytes waiting across a hang-up not announced";
    Bytes buffer(SerialCtl::kStagingSize);
    int count = 0;
    port->ReadSerial(buffer.data(), count);
    ASSERT_EQ(count, static_cast<int>(answer.size()));
    EXPECT_TRUE(std::equal(answer.begin(), answer.end(), buffer.begin()));
    port.reset();
    DiscardQueued();
    if (HasFailure()) break;
  }
}

// A listener starts by looking at what is queued: bytes that were announced
// to an earlier listener and are still unread are announced again, in a
// request/response protocol perhaps the last bytes that will ever come.
TEST_F(Listener, ARestartedListenerAnnouncesBytesAlreadyWaiting) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 1);
  const Bytes five(5, 'w');
  ASSERT_TRUE(pair_.PeerWrite(five.data(), five.size()));
  kavrel::Message message{};
  ASSERT_TRUE(window_.Wait(message, 5000));
  for (const bool stopFirst : {false, true}) {
    SCOPED_TRACE(stopFirst ? "StopListenSerial, then ListenSerial" : "ListenSerial again");
    if (stopFirst) port_.StopListenSerial();
    port_.ListenSerial(0, 1);
    // What the earlier listener posted is no proof of the new one.
    DiscardQueued();
    EXPECT_TRUE(window_.Wait(message, 2000));
  }
  Bytes buffer(SerialCtl::kStagingSize);
  int count = 0;
  port_.ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 5);
}

TEST_F(Listener, EndsByItselfAfterAFailedOpenWithoutPosting) {
  HostCapture capture;
  port_.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
  port_.OpenSerial();
  ASSERT_FALSE(port_.IsSerialOpen());
  port_.ListenSerial(0, 0);
  EXPECT_TRUE(ListenerEndedWith(port_, 0));
  EXPECT_NE(port_.listenerThread, kEmpty);  // still set, although it has ended
  EXPECT_TRUE(Drain(std::chrono::milliseconds(50)).empty());
  port_.StopListenSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);
  EXPECT_TRUE(capture.messageBoxes().empty());
}

TEST_F(Listener, CyclesWithoutPostingOnAFreshObjectUntilStopped) {
  port_.ListenSerial(0, 0);
  EXPECT_EQ(platform::WaitForSingleObject(port_.listenerThread, 100), kWaitTimedOut);
  EXPECT_TRUE(Drain(std::chrono::milliseconds(50)).empty());
  port_.StopListenSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);
}

TEST_F(Listener, FollowsADeviceOpenedAfterItStarted) {
  if (!pair_.ok()) GTEST_SKIP() << "no virtual null-modem pair here";
  port_.ListenSerial(0, 5);
  port_.SetSerial(pair_.portName().c_str(), 9600, 8, 1, "NONE", "");
  port_.OpenSerial();
  ASSERT_TRUE(port_.IsSerialOpen());
  const unsigned char byte = 'z';
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  kavrel::Message message{};
  EXPECT_TRUE(window_.Wait(message, 5000));
}

TEST_F(Listener, StopIsHarmlessWithoutAListenerAndTwice) {
  port_.StopListenSerial();
  port_.ListenSerial(1, 1);
  port_.StopListenSerial();
  port_.StopListenSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);
}

TEST_F(Listener, RestartUsesTheNewValues) {
  ASSERT_TRUE(OpenPort());
  port_.notifyTag = 5;
  port_.ListenSerial(1000, 1000);
  port_.StopListenSerial();
  port_.ListenSerial(0, 1);
  EXPECT_EQ(port_.settleDelayMs, 0);
  EXPECT_EQ(port_.pollIntervalMs, 1);
  const unsigned char byte = 1;
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  kavrel::Message message{};
  // A listener still on the old values would need a second to settle.
  ASSERT_TRUE(window_.Wait(message, 500));
  EXPECT_EQ(message.lParam, 5);
}

TEST_F(Listener, ListeningTwiceEndsTheFirstListener) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 1);
  const kavrel::HANDLE first = port_.listenerThread;
  port_.ListenSerial(0, 1);
#if !defined(_WIN32)
  // Windows hands a closed handle's value out again at once, so there the
  // new listener's handle may equal the first one's.
  EXPECT_NE(port_.listenerThread, first);
#else
  (void)first;
#endif
  const unsigned char byte = 1;
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  kavrel::Message message{};
  ASSERT_TRUE(window_.Wait(message, 5000));
  Bytes buffer(SerialCtl::kStagingSize);
  int count = 0;
  port_.ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 1);
  port_.StopListenSerial();
  // With the one remaining listener stopped, nothing posts any more.
  Drain(std::chrono::milliseconds(20));
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  EXPECT_TRUE(Drain(std::chrono::milliseconds(200)).empty());
}

TEST_F(Listener, CloseAndDestroyEndTheListener) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 1);
  port_.CloseSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);

  auto listening = std::make_unique<SerialCtl>();
  listening->SetSerial(pair_.portName().c_str(), 9600, 8, 1, "NONE", "");
  listening->OpenSerial();
  ASSERT_TRUE(listening->IsSerialOpen());
  listening->ListenSerial(0, 0);
  const unsigned char byte = 1;
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  listening.reset();  // must not crash or leave a thread reading freed memory
  Drain(std::chrono::milliseconds(20));
  (void)pair_.PeerWrite(&byte, 1, std::chrono::milliseconds(100));
  EXPECT_TRUE(Drain(std::chrono::milliseconds(200)).empty());
}

TEST_F(Listener, ZeroDelaysStillNotifyAndStop) {
  ASSERT_TRUE(OpenPort());
  port_.ListenSerial(0, 0);
  const unsigned char byte = 1;
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  kavrel::Message message{};
  ASSERT_TRUE(window_.Wait(message, 5000));
  Bytes buffer(SerialCtl::kStagingSize);
  int count = 0;
  port_.ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 1);
  port_.StopListenSerial();
}

TEST_F(Listener, WithoutAMainWindowNotificationsAreDroppedAndItGoesOn) {
  ASSERT_TRUE(OpenPort());
  kavrel::SetMainWindow(nullptr);
  port_.ListenSerial(0, 1);
  const unsigned char byte = 1;
  ASSERT_TRUE(pair_.PeerWrite(&byte, 1));
  EXPECT_EQ(platform::WaitForSingleObject(port_.listenerThread, 100), kWaitTimedOut);
  kavrel::SetMainWindow(&window_);
  kavrel::Message message{};
  EXPECT_TRUE(window_.Wait(message, 5000));  // the unread byte is still announced
}

#if defined(KAVREL_FAULT_INJECTION)
TEST_F(Listener, ThreadCreationFailureRaisesItsMessageBox) {
  HostCapture capture;
  platform::testing::FailNextThreadCreation();
  port_.ListenSerial(7, 9);
  EXPECT_EQ(port_.listenerThread, kEmpty);
  EXPECT_EQ(port_.settleDelayMs, 7);
  EXPECT_EQ(port_.pollIntervalMs, 9);
  ASSERT_EQ(capture.messageBoxes().size(), 1u);
  EXPECT_EQ(capture.messageBoxes()[0], kavrel_test::kThreadFailedGbk);
  port_.StopListenSerial();
}

TEST_F(Listener, EventCreationFailureRaisesItsMessageBoxFromTheListener) {
  HostCapture capture;
  platform::testing::FailNextEventCreation();
  port_.ListenSerial(1, 1);
  ASSERT_NE(port_.listenerThread, kEmpty);
  EXPECT_TRUE(ListenerEndedWith(port_, 0xFFFFFFFFu));
  ASSERT_EQ(capture.messageBoxes().size(), 1u);
  EXPECT_EQ(capture.messageBoxes()[0], kavrel_test::kEventFailedGbk);
  port_.StopListenSerial();
  EXPECT_EQ(port_.listenerThread, kEmpty);
}
#endif

}  // namespace
