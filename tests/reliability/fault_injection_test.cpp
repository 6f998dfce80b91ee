// Faults a port meets in the field: the peer hanging up before, during and
// after each kind of transfer and a listener cycle; the tty hung up under an
// open port, as an unplugged adapter is; the host closing while a
// notification is on its way; a host whose message box or trace handler is
// slow; the system refusing a thread or an event. After each: no call hangs
// beyond a bounded wait, nothing crashes, nothing leaks, and the object still
// closes and opens on a new pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "kavrel/SerialCtl.h"
#include "platform/testing.h"
#include "reliability_support.h"
#include "support/host_capture.h"
#include "support/null_modem.h"
#include "support/pty_pair.h"

namespace {

using kavrel_reliability::Bounded;
using kavrel_reliability::Bytes;
using kavrel_reliability::CountFigure;
using kavrel_reliability::ExpectReopensOnANewPair;
using kavrel_reliability::MainWindowScope;
using kavrel_reliability::OpenOn;
using kavrel_reliability::RandomBytes;
using kavrel_reliability::ReadFor;
using kavrel_reliability::ResourceLedger;
using kavrel_reliability::StaysIdle;
using kavrel_test::HostCapture;
using kavrel_test::NullModemPair;
using std::chrono::milliseconds;

constexpr kavrel::HANDLE kEmpty{};

void CountFault() { CountFigure("faults_injected"); }

// Most a tty's line discipline holds, which the kernel discards when the
// line hangs up (N_TTY_BUF_SIZE).
constexpr std::size_t kLineDisciplineBuffer = 4096;

// Whether what arrived across a hang-up is what was sent, in order, with at
// most one hole no larger than the line discipline's buffer. When a pty's
// master closes, the kernel empties the slave's line discipline but can still
// pass on bytes it had queued behind them; Kavrel delivers exactly what the
// kernel delivers. Anything else (a larger hole, a second one, a byte out of
// place) is the library's.
bool SentInOrderAcrossAHangUp(const Bytes& received, const Bytes& sent) {
  const std::size_t limit = std::min(received.size(), sent.size());
  const std::size_t at = static_cast<std::size_t>(
      std::mismatch(received.begin(), received.begin() + limit, sent.begin()).first -
      received.begin());
  if (at == received.size()) return true;
  const std::size_t probe = std::min<std::size_t>(16, received.size() - at);
  const auto resumes = std::search(sent.begin() + at, sent.end(), received.begin() + at,
                                   received.begin() + at + probe);
  const auto hole = static_cast<std::size_t>(resumes - (sent.begin() + at));
  const std::size_t rest = received.size() - at;
  const bool rejoined = resumes != sent.end() &&
                        static_cast<std::size_t>(sent.end() - resumes) >= rest &&
                        std::equal(received.begin() + at, received.end(), resumes);
  std::printf("received bytes part from the stream at %zu; %s\n", at,
              rejoined ? ("a hole of " + std::to_string(hole) + " bytes, then in order").c_str()
                       : "they never rejoin it");
  return rejoined && hole <= kLineDisciplineBuffer;
}

// Runs after a delay on a thread of its own; joined on destruction.
class Later {
 public:
  Later(milliseconds delay, std::function<void()> action)
      : thread_([delay, action] {
          std::this_thread::sleep_for(delay);
          action();
        }) {}
  ~Later() { thread_.join(); }

 private:
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// The peer hangs up before, during or after an operation.

enum class Operation { kWrite, kReadSerial, kReadSerial2, kListener };
enum class Moment { kBefore, kDuring, kAfter };

const char* Name(Operation operation) {
  switch (operation) {
    case Operation::kWrite:
      return "Write";
    case Operation::kReadSerial:
      return "ReadSerial";
    case Operation::kReadSerial2:
      return "ReadSerial2";
    case Operation::kListener:
      return "ListenerCycle";
  }
  return "?";
}

const char* Name(Moment moment) {
  switch (moment) {
    case Moment::kBefore:
      return "Before";
    case Moment::kDuring:
      return "During";
    case Moment::kAfter:
      return "After";
  }
  return "?";
}

class PeerHangsUp : public ::testing::TestWithParam<std::tuple<Operation, Moment>> {
 protected:
  void SetUp() override {
    kavrel::SetMainWindow(&window_);
    pair_ = std::make_unique<NullModemPair>();
    if (!pair_->ok()) GTEST_SKIP() << "no virtual null-modem pair here";
    ASSERT_TRUE(OpenOn(port_, *pair_));
  }
  void TearDown() override { kavrel::SetMainWindow(nullptr); }

  // Taken before the pair and the port exist, checked once both are gone.
  const ResourceLedger ledger_;

  void HangUp() {
    CountFault();
    pair_->PeerHangUp();
  }

  // One read with the operation under test, bounded.
  int ReadOnce(unsigned char* buffer) {
    int count = -1;
    Bounded("read after the peer hung up", [&] {
      if (std::get<0>(GetParam()) == Operation::kReadSerial2) {
        port_.ReadSerial2(buffer, count);
      } else {
        port_.ReadSerial(buffer, count);
      }
    });
    return count;
  }

  // Reads with the operation under test until the line has been quiet for
  // quiet after the last delivery.
  Bytes ReadUntilQuiet(milliseconds quiet) {
    Bytes received;
    Bytes buffer(SerialCtl::kStagingSize);
    auto lastDelivery = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - lastDelivery < quiet) {
      const int count = ReadOnce(buffer.data());
      EXPECT_GE(count, 0);
      if (count > 0) {
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
        lastDelivery = std::chrono::steady_clock::now();
      } else {
        std::this_thread::sleep_for(milliseconds(1));
      }
    }
    return received;
  }

  // Waits for the next notification; false if none comes in time.
  bool Notified(milliseconds within = milliseconds(5000)) {
    kavrel::Message message{};
    return window_.Wait(message, static_cast<int>(within.count()));
  }

  void RunWrite(Moment moment);
  void RunRead(Moment moment);
  void RunListener(Moment moment);

  kavrel::MessageQueue window_;
  std::unique_ptr<NullModemPair> pair_;
  SerialCtl port_;
};

void PeerHangsUp::RunWrite(Moment moment) {
  switch (moment) {
    case Moment::kBefore: {
      HangUp();
      const Bytes block = RandomBytes(64 * 1024, 1);
      int result = -1;
      Bounded("WriteSerial to a hung-up peer",
              [&] { result = port_.WriteSerial(block.data(), block.size()); });
      EXPECT_EQ(result, 0);
      break;
    }
    case Moment::kDuring: {
      // Far more than the line buffers and a peer that never reads: the
      // write is still pending when the line goes.
      const Bytes block = RandomBytes(4 << 20, 2);
      Later hangUp(milliseconds(150), [this] { HangUp(); });
      int result = -1;
      Bounded("WriteSerial while the peer hangs up",
              [&] { result = port_.WriteSerial(block.data(), block.size()); });
      EXPECT_EQ(result, 0);
      break;
    }
    case Moment::kAfter: {
      const Bytes block = RandomBytes(10000, 3);
      auto peer = std::async(std::launch::async,
                             [this, &block] { return pair_->PeerReadExactly(block.size()); });
      EXPECT_EQ(port_.WriteSerial(block.data(), block.size()), 1);
      EXPECT_EQ(peer.get(), block);
      HangUp();
      int result = -1;
      Bounded("WriteSerial after the peer hung up",
              [&] { result = port_.WriteSerial(block.data(), block.size()); });
      EXPECT_EQ(result, 0);
      break;
    }
  }
}

void PeerHangsUp::RunRead(Moment moment) {
  Bytes buffer(SerialCtl::kStagingSize, 0xEE);
  switch (moment) {
    case Moment::kBefore: {
      HangUp();
      EXPECT_EQ(ReadOnce(buffer.data()), 0);
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](unsigned char b) {
        return b == 0xEE;
      })) << "a read that delivered nothing wrote into the host's buffer";
      break;
    }
    case Moment::kDuring: {
      // The peer streams in pieces and hangs up at a random point while the
      // host keeps reading. Whatever arrives is what was sent, in order:
      // nothing invented, repeated or reordered by the hang-up, and nothing
      // lost beyond what the kernel itself discards as the line goes.
      const Bytes sent = RandomBytes(1 << 20, 4);
      std::mt19937 random(5);
      const std::size_t cut = 1 + random() % (sent.size() - 1);
      auto peer = std::async(std::launch::async, [&] {
        std::size_t offset = 0;
        while (offset < cut) {
          const std::size_t piece = std::min<std::size_t>(1 + random() % 8192, cut - offset);
          if (!pair_->PeerWrite(sent.data() + offset, piece)) break;
          offset += piece;
        }
        HangUp();
      });
      const Bytes received = ReadUntilQuiet(milliseconds(500));
      peer.get();
      EXPECT_TRUE(SentInOrderAcrossAHangUp(received, Bytes(sent.begin(), sent.begin() + cut)))
          << received.size() << " bytes received of " << cut << " sent";
      EXPECT_EQ(ReadOnce(buffer.data()), 0);
      break;
    }
    case Moment::kAfter: {
      const Bytes sent = RandomBytes(1000, 6);
      ASSERT_TRUE(pair_->PeerWrite(sent.data(), sent.size()));
      Bytes received;
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (received.size() < sent.size() && std::chrono::steady_clock::now() < end) {
        const int count = ReadOnce(buffer.data());
        received.insert(received.end(), buffer.begin(), buffer.begin() + std::max(count, 0));
      }
      EXPECT_EQ(received, sent);
      HangUp();
      EXPECT_EQ(ReadOnce(buffer.data()), 0);
      break;
    }
  }
}

void PeerHangsUp::RunListener(Moment moment) {
  const Bytes ten = RandomBytes(10, 7);
  switch (moment) {
    case Moment::kBefore: {
      HangUp();
      port_.ListenSerial(0, 1);
      EXPECT_FALSE(Notified(milliseconds(200)));
      // A listener whose device has gone waits; it does not spin.
      EXPECT_TRUE(StaysIdle());
      break;
    }
    case Moment::kDuring: {
      // The bytes land and the line goes while the listener is settling.
      port_.ListenSerial(150, 1);
      ASSERT_TRUE(pair_->PeerWrite(ten.data(), ten.size()));
      HangUp();
      const Bytes received = ReadFor(port_, milliseconds(500));
      EXPECT_TRUE(SentInOrderAcrossAHangUp(received, ten));
      // Drain what was posted before the bytes were read, then check the
      // listener has settled down to waiting.
      kavrel::Message message{};
      while (window_.Wait(message, 300)) {
      }
      EXPECT_TRUE(StaysIdle());
      break;
    }
    case Moment::kAfter: {
      port_.ListenSerial(0, 1);
      ASSERT_TRUE(pair_->PeerWrite(ten.data(), ten.size()));
      EXPECT_TRUE(Notified());
      EXPECT_EQ(ReadFor(port_, milliseconds(2000), ten.size()), ten);
      HangUp();
      kavrel::Message message{};
      while (window_.Wait(message, 300)) {
      }
      EXPECT_TRUE(StaysIdle());
      break;
    }
  }
  Bounded("StopListenSerial after the peer hung up", [&] { port_.StopListenSerial(); });
  EXPECT_EQ(port_.listenerThread, kEmpty);
}

TEST_P(PeerHangsUp, CallsReturnAndThePortReopens) {
  {
    switch (std::get<0>(GetParam())) {
      case Operation::kWrite:
        RunWrite(std::get<1>(GetParam()));
        break;
      case Operation::kReadSerial:
      case Operation::kReadSerial2:
        RunRead(std::get<1>(GetParam()));
        break;
      case Operation::kListener:
        RunListener(std::get<1>(GetParam()));
        break;
    }
    // Nothing spins on the line that went: neither the driver's I/O thread
    // nor a listener.
    EXPECT_TRUE(StaysIdle());
    // The object closes, with a listener running or not, and opens afresh.
    port_.ListenSerial(0, 1);
    ExpectReopensOnANewPair(port_);
    pair_.reset();
  }
  ledger_.ExpectUnchanged("after the hang-up, close and reopen");
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperationAndMoment, PeerHangsUp,
    ::testing::Combine(::testing::Values(Operation::kWrite, Operation::kReadSerial,
                                         Operation::kReadSerial2, Operation::kListener),
                       ::testing::Values(Moment::kBefore, Moment::kDuring, Moment::kAfter)),
    [](const ::testing::TestParamInfo<std::tuple<Operation, Moment>>& info) {
      return std::string(Name(std::get<1>(info.param))) + Name(std::get<0>(info.param));
    });

// ---------------------------------------------------------------------------
// The device disappears while open: the kernel hangs the tty up under every
// descriptor, as it does when a USB adapter is unplugged, and then the pty
// itself is gone.

TEST(DeviceDisappears, EveryCallReturnsAndThePortReopens) {
  const ResourceLedger ledger;
  {
    kavrel::MessageQueue window;
    const MainWindowScope mainWindow(&window);
    auto pair = std::make_unique<kavrel_test::PtyPair>();
    if (!pair->ok()) GTEST_SKIP() << "no pty here";
    // Opened before the port, whose exclusive mode would keep it out after.
    const int tty = open(pair->path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    SerialCtl port;
    port.SetSerial(pair->name().c_str(), 115200, 8, 1, "NONE", "");
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen());
    port.ListenSerial(0, 1);

    // A write the peer never reads is pending when the tty goes.
    std::atomic<int> hangUp{-1};
    const Bytes block = RandomBytes(4 << 20, 8);
    int result = -1;
    {
      Later vanish(milliseconds(150), [&] {
        hangUp = ioctl(tty, TIOCVHANGUP);
        close(tty);
        pair.reset();  // the master too: the pty no longer exists
      });
      Bounded("WriteSerial while the device disappears",
              [&] { result = port.WriteSerial(block.data(), block.size()); });
    }
    if (hangUp != 0) {
      port.CloseSerial();
      GTEST_SKIP() << "hanging up a tty needs CAP_SYS_ADMIN";
    }
    CountFault();
    EXPECT_EQ(result, 0);

    Bytes buffer(SerialCtl::kStagingSize);
    int count = -1;
    Bounded("ReadSerial on a vanished device", [&] { port.ReadSerial(buffer.data(), count); });
    EXPECT_EQ(count, 0);
    count = -1;
    Bounded("ReadSerial2 on a vanished device", [&] { port.ReadSerial2(buffer.data(), count); });
    EXPECT_EQ(count, 0);
    Bounded("ClearSerialBuf on a vanished device", [&] { port.ClearSerialBuf(); });
    const unsigned char byte = 1;
    Bounded("WriteSerial on a vanished device", [&] { result = port.WriteSerial(&byte, 1); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(StaysIdle()) << "something spins on the vanished device";
    // Opening the object again while its device is gone fails cleanly.
    Bounded("OpenSerial on a vanished device", [&] { port.OpenSerial(); });
    EXPECT_FALSE(port.IsSerialOpen());
    ExpectReopensOnANewPair(port);
  }
  ledger.ExpectUnchanged("after the device disappeared");
}

// ---------------------------------------------------------------------------
// Closing while a notification is in flight.

// A main window whose Post takes its time, as a busy GUI toolkit's post can.
// It records posts that start and finish.
class SlowWindow : public kavrel::Window {
 public:
  void Post(kavrel::UINT, kavrel::WPARAM, kavrel::LPARAM) override {
    milliseconds duration;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++started_;
      inPost_ = true;
      duration = duration_;
      changed_.notify_all();
    }
    std::this_thread::sleep_for(duration);  // the host's slow handling
    std::lock_guard<std::mutex> lock(mutex_);
    inPost_ = false;
    ++finished_;
    changed_.notify_all();
  }

  void SetDuration(milliseconds duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    duration_ = duration;
  }
  // Waits until a post is running (or, with inFlight false, has started).
  bool AwaitPost(bool inFlight, milliseconds within = milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, within, [&] { return inFlight ? inPost_ : started_ > 0; });
  }
  int started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  int finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  milliseconds duration_{0};
  int started_ = 0;
  int finished_ = 0;
  bool inPost_ = false;
};

// How a round ends the listener while a post may be running.
enum class Ending { kCloseSerial, kStopListenSerial, kDestroy };

void RaceEndingAgainstPosts(Ending ending) {
  const ResourceLedger ledger;
  std::mt19937 random(static_cast<unsigned>(ending) + 40);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    SlowWindow window;
    window.SetDuration(milliseconds(random() % 8));
    const MainWindowScope mainWindow(&window);
    {
      NullModemPair pair;
      ASSERT_TRUE(pair.ok());
      auto port = std::make_unique<SerialCtl>();
      ASSERT_TRUE(OpenOn(*port, pair));
      // Unread bytes keep the listener posting, every cycle.
      port->ListenSerial(0, 0);
      const unsigned char byte = 0x55;
      ASSERT_TRUE(pair.PeerWrite(&byte, 1));
      // Half the rounds end exactly while a post runs, the others at
      // whatever point the listener has reached.
      ASSERT_TRUE(window.AwaitPost(round % 2 == 0));
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      CountFault();
      Bounded("ending the listener while it posts", [&] {
        switch (ending) {
          case Ending::kCloseSerial:
            port->CloseSerial();
            break;
          case Ending::kStopListenSerial:
            port->StopListenSerial();
            break;
          case Ending::kDestroy:
            port.reset();
            break;
        }
      });
      // The post that was running has finished, and none follows.
      const int started = window.started();
      EXPECT_EQ(window.finished(), started);
      std::this_thread::sleep_for(milliseconds(30));
      EXPECT_EQ(window.started(), started);
      if (port != nullptr) {
        EXPECT_EQ(port->listenerThread, kEmpty);
      }
    }
  }
  ledger.ExpectUnchanged("after 20 raced endings");
}

TEST(NotificationInFlight, CloseSerialWaitsForItAndNoneFollows) {
  RaceEndingAgainstPosts(Ending::kCloseSerial);
}

TEST(NotificationInFlight, StopListenSerialWaitsForItAndNoneFollows) {
  RaceEndingAgainstPosts(Ending::kStopListenSerial);
}

TEST(NotificationInFlight, DestroyingTheObjectWaitsForItAndNoneFollows) {
  RaceEndingAgainstPosts(Ending::kDestroy);
}

TEST(NotificationInFlight, UnsettingTheMainWindowWaitsForItAndTheListenerGoesOn) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SlowWindow first;
  first.SetDuration(milliseconds(20));
  const MainWindowScope firstScope(&first);
  SerialCtl port;
  ASSERT_TRUE(OpenOn(port, pair));
  port.ListenSerial(0, 0);
  const unsigned char byte = 0x55;
  ASSERT_TRUE(pair.PeerWrite(&byte, 1));
  ASSERT_TRUE(first.AwaitPost(true));
  CountFault();
  Bounded("SetMainWindow(nullptr) while a post runs", [] { kavrel::SetMainWindow(nullptr); });
  // A host may destroy its window now: no post to it is running or to come.
  const int startedBeforeUnset = first.started();
  EXPECT_EQ(first.finished(), startedBeforeUnset);
  // The listener goes on: a new window hears about the unread byte.
  kavrel::MessageQueue second;
  const MainWindowScope mainWindow(&second);
  kavrel::Message message{};
  EXPECT_TRUE(second.Wait(message, 5000));
  Bounded("CloseSerial", [&] { port.CloseSerial(); });
  EXPECT_EQ(first.started(), startedBeforeUnset);
}

// ---------------------------------------------------------------------------
// A slow host: message boxes and trace lines that take their time, and
// handlers that call back into the library.

// Blocks callers until opened.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    --waiting_;
  }
  bool AwaitSomeoneWaiting(milliseconds within = milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, within, [this] { return waiting_ > 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

TEST(SlowHost, AMessageBoxThatCallsBackIntoTheLibraryDoesNotDeadlock) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  {
    SerialCtl port;
    std::atomic<int> boxes{0};
    // The user takes a while to dismiss the box, and the host's handler
    // looks at the port meanwhile.
    kavrel::SetMessageBoxHandler([&](const char*) {
      ++boxes;
      (void)port.IsSerialOpen();
      (void)port.isCanSend();
      (void)kavrel::GetMainWindow();
      std::this_thread::sleep_for(milliseconds(200));
    });
    port.SetSerial(pair.portName().c_str(), 0, 8, 1, "NONE", "");
    CountFault();
    Bounded("OpenSerial raising a slow message box", [&] { port.OpenSerial(); });
    EXPECT_EQ(boxes, 1);
    EXPECT_FALSE(port.IsSerialOpen());
    EXPECT_EQ(port.portHandle, kEmpty);

#if defined(KAVREL_FAULT_INJECTION)
    // The listener's own box, raised from the listener thread.
    kavrel::platform::testing::FailNextEventCreation();
    CountFault();
    port.ListenSerial(0, 0);
    Bounded("StopListenSerial while the listener's box is up", [&] { port.StopListenSerial(); });
    EXPECT_EQ(boxes, 2);
#endif
    kavrel::SetMessageBoxHandler({});
    ExpectReopensOnANewPair(port);
  }
  ledger.ExpectUnchanged("after slow message boxes");
}

#if defined(KAVREL_FAULT_INJECTION)
TEST(SlowHost, AListenerBoxLeftOpenHoldsOnlyItsOwnListener) {
  NullModemPair quietPair;
  NullModemPair busyPair;
  KAVREL_REQUIRE_PAIR(quietPair);
  KAVREL_REQUIRE_PAIR(busyPair);
  kavrel::MessageQueue window;
  const MainWindowScope mainWindow(&window);
  Gate dismissed;
  std::atomic<bool> boxReturned{false};
  kavrel::SetMessageBoxHandler([&](const char*) {
    dismissed.Pass();
    boxReturned = true;
  });

  SerialCtl failing;
  ASSERT_TRUE(OpenOn(failing, quietPair));
  kavrel::platform::testing::FailNextEventCreation();
  CountFault();
  failing.ListenSerial(0, 1);
  ASSERT_TRUE(dismissed.AwaitSomeoneWaiting());

  // With that box up, another port's listener still notifies.
  SerialCtl working;
  ASSERT_TRUE(OpenOn(working, busyPair));
  working.notifyTag = 77;
  working.ListenSerial(0, 1);
  const unsigned char byte = 9;
  ASSERT_TRUE(busyPair.PeerWrite(&byte, 1));
  kavrel::Message message{};
  ASSERT_TRUE(window.Wait(message, 5000));
  EXPECT_EQ(message.lParam, 77);

  // Stopping the failed listener waits for the user, then returns.
  {
    Later dismiss(milliseconds(200), [&] { dismissed.Open(); });
    Bounded("StopListenSerial while its box is up", [&] { failing.StopListenSerial(); });
    EXPECT_TRUE(boxReturned);
  }
  kavrel::SetMessageBoxHandler({});
  Bounded("CloseSerial", [&] { working.CloseSerial(); });
}
#endif

TEST(SlowHost, ATraceHandlerThatBlocksHoldsOnlyItsCaller) {
  NullModemPair quietPair;
  NullModemPair busyPair;
  KAVREL_REQUIRE_PAIR(quietPair);
  KAVREL_REQUIRE_PAIR(busyPair);
  kavrel::MessageQueue window;
  const MainWindowScope mainWindow(&window);
  SerialCtl traced;
  SerialCtl working;
  ASSERT_TRUE(OpenOn(traced, quietPair));
  ASSERT_TRUE(OpenOn(working, busyPair));

  // The handler blocks until let go, then replaces itself, as a host that
  // reconfigures its logging from within the handler would.
  Gate release;
  std::atomic<int> lines{0};
  kavrel::SetTraceHandler([&](const char*) {
    ++lines;
    release.Pass();
    kavrel::SetTraceHandler([&](const char*) { ++lines; });
  });
  CountFault();
  auto tracing = std::async(std::launch::async, [&] {
    int count = 0;
    traced.ReadSerial(nullptr, count);  // traces "ReadSerial Abnormal"
    return count;
  });
  ASSERT_TRUE(release.AwaitSomeoneWaiting());

  // Meanwhile the other port notifies, reads and writes as usual.
  working.ListenSerial(0, 1);
  const unsigned char byte = 4;
  ASSERT_TRUE(busyPair.PeerWrite(&byte, 1));
  kavrel::Message message{};
  EXPECT_TRUE(window.Wait(message, 5000));
  EXPECT_EQ(ReadFor(working, milliseconds(2000), 1), Bytes{4});
  EXPECT_EQ(working.WriteSerial(&byte, 1), 1);
  EXPECT_EQ(busyPair.PeerReadExactly(1, std::chrono::seconds(5)), Bytes{4});

  release.Open();
  ASSERT_EQ(tracing.wait_for(kavrel_reliability::kCallBound), std::future_status::ready);
  EXPECT_EQ(tracing.get(), 0);
  int count = 0;
  traced.ReadSerial2(nullptr, count);  // goes to the replacement handler
  EXPECT_EQ(lines, 2);
  kavrel::SetTraceHandler({});
  working.CloseSerial();
  traced.CloseSerial();
}

// ---------------------------------------------------------------------------
// The system refuses an event or a thread.

#if defined(KAVREL_FAULT_INJECTION)
TEST(CreationFailure, AnEventRefusedAtOpenLeavesAWorkingPort) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  {
    HostCapture host;
    SerialCtl port;
    kavrel::platform::testing::FailNextEventCreation();
    CountFault();
    ASSERT_TRUE(OpenOn(port, pair));
    // The write record has no event; transfers are waited for all the same.
    EXPECT_EQ(port.writeOverlapped.hEvent, kEmpty);
    const Bytes block = RandomBytes(300000, 9);
    auto peer = std::async(std::launch::async, [&] { return pair.PeerReadExactly(block.size()); });
    EXPECT_EQ(port.WriteSerial(block.data(), block.size()), 1);
    EXPECT_EQ(peer.get(), block);
    ASSERT_TRUE(pair.PeerWrite(block.data(), 1000));
    EXPECT_EQ(ReadFor(port, milliseconds(5000), 1000), Bytes(block.begin(), block.begin() + 1000));
    EXPECT_TRUE(host.messageBoxes().empty());
    port.CloseSerial();
  }
  ledger.ExpectUnchanged("after an open without a write event");
}

TEST(CreationFailure, ARefusedListenerThreadLeavesThePortWorkingAndListeningCanBeRetried) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const ResourceLedger ledger;
  {
    HostCapture host;
    kavrel::MessageQueue window;
    const MainWindowScope mainWindow(&window);
    SerialCtl port;
    ASSERT_TRUE(OpenOn(port, pair));
    const unsigned char byte = 0x21;
    ASSERT_TRUE(pair.PeerWrite(&byte, 1));
    kavrel::platform::testing::FailNextThreadCreation();
    CountFault();
    port.ListenSerial(0, 1);
    EXPECT_EQ(port.listenerThread, kEmpty);
    EXPECT_EQ(host.messageBoxes().size(), 1u);
    kavrel::Message message{};
    EXPECT_FALSE(window.Wait(message, 100));
    // Retrying starts a listener that announces what arrives from then on;
    // the byte that waited meanwhile is still there to read.
    port.ListenSerial(0, 1);
    const unsigned char next = 0x22;
    ASSERT_TRUE(pair.PeerWrite(&next, 1));
    EXPECT_TRUE(window.Wait(message, 5000));
    EXPECT_EQ(ReadFor(port, milliseconds(2000), 2), (Bytes{0x21, 0x22}));
    port.CloseSerial();
  }
  ledger.ExpectUnchanged("after a refused listener thread");
}
#endif

}  // namespace
